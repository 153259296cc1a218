// Safety property of the preview: for seeded random documents built from the dialect's
// constructs and hostile bytes, the HTML holds only the fixed markup and safe links.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "../support/html_safety.h"
#include "markdown/markdown.h"

static uint64_t g_rng;

static uint64_t rng_next(void)
{
    g_rng ^= g_rng << 13;
    g_rng ^= g_rng >> 7;
    g_rng ^= g_rng << 17;
    return g_rng;
}

static size_t rng_below(size_t n)
{
    return static_cast<size_t>(rng_next() % n);
}

static const char *const k_line_starts[] = {
    "",    "",     "",    "# ",    "###### ", "####### ", "#",   "> ", ">",  ">> ", "- ", "* ",  "+ ",
    "1. ", "42. ", "```", "```js", "---",     "* * *",    "___", "  ", "\t", "-",   "1.", "- -",
};

static const char *const k_pieces[] = {
    "word",
    " ",
    "  ",
    "*",
    "**",
    "_",
    "__",
    "`",
    "[",
    "]",
    "(",
    ")",
    "](",
    "[x](",
    "[",
    "](/p)",
    "](#t)",
    "](https://h/p?a=1&b=2)",
    "](mailto:a@b)",
    "](javascript:alert(1))",
    "](data:text/html,<b>)",
    "](JavaScript:x)",
    "](http://a b)",
    "](/\"onclick=\"x)",
    "<",
    ">",
    "&",
    "\"",
    "'",
    "<script>",
    "</p>",
    "<a href=\"javascript:x\">",
    "&amp;",
    "&#39;",
    "&lt;",
    "\r",
    "#",
    "\xe2\x82\xac",
    "\xc3",
    "javascript:",
    "data:",
    "http://",
    "https://",
    "mailto:",
    "/",
    "#",
};

// Appends one random byte from the ranges that tend to break naive renderers.
static void add_odd_byte(std::string &s)
{
    static const unsigned char k_odd[] = {0x01, 0x08, 0x09, 0x0b, 0x0c, 0x0d,
                                          0x1b, 0x1f, 0x7f, 0x80, 0xa0, 0xff};
    s += static_cast<char>(k_odd[rng_below(sizeof k_odd)]);
}

static std::string random_line(void)
{
    std::string line = k_line_starts[rng_below(sizeof k_line_starts / sizeof k_line_starts[0])];
    size_t count = rng_below(12);
    for (size_t i = 0; i < count; i++) {
        if (rng_below(8) == 0)
            add_odd_byte(line);
        else
            line += k_pieces[rng_below(sizeof k_pieces / sizeof k_pieces[0])];
    }
    if (rng_below(40) == 0) { // long line: the cut can fall anywhere, even inside a construct
        std::string unit = line.empty() ? std::string("[a](/") : line;
        while (line.size() < 4090 + rng_below(20))
            line += unit;
    }
    return line;
}

static std::string random_document(void)
{
    std::string doc;
    size_t lines = rng_below(30);
    for (size_t i = 0; i < lines; i++) {
        doc += random_line();
        doc += rng_below(5) == 0 ? "\r\n" : "\n";
    }
    if (rng_below(2))
        doc += random_line(); // sometimes no final line feed
    return doc;
}

TEST(MarkdownSafety, RandomDocumentsRenderOnlyFixedMarkup)
{
    // The check must refuse what it exists to catch, or a pass below would prove nothing.
    const char *bad[] = {
        "<p>a<b</p>\n",
        "<p><script>x</script></p>\n",
        "<p><a href=\"javascript:x\" rel=\"noopener noreferrer\" target=\"_blank\">x</a></p>\n",
        "<p><a href=\"/x\" onclick=\"y\" rel=\"noopener noreferrer\" target=\"_blank\">x</a></p>\n",
        "<p><a href=\"&#106;avascript:x\" rel=\"noopener noreferrer\" target=\"_blank\">x</a></p>\n",
        "<p><em><strong>x</strong></em></p>\n",
        "<p>x</p>\n<li>y</li>\n",
        "<p>x\n",
        "<p>x</ul>\n",
        "<p>a & b</p>\n",
        "<p>a > b</p>\n",
        "text at top\n",
    };
    for (const char *h : bad) {
        const char *why = "";
        ASSERT_FALSE(html_safety_check(h, strlen(h), &why)) << h;
    }
    const char *good = "<h2>t</h2>\n<ul>\n<li><a href=\"#a\" rel=\"noopener noreferrer\" target=\"_blank\">"
                       "&lt;</a> <code>&amp;</code></li>\n</ul>\n<hr>\n<pre><code>x\n\n</code></pre>\n";
    const char *good_why = "";
    ASSERT_TRUE(html_safety_check(good, strlen(good), &good_why)) << good_why;

    for (uint64_t seed = 1; seed <= 3000; seed++) {
        g_rng = seed * 0x9E3779B97F4A7C15ull;
        std::string doc = random_document();
        TextBuf b = {};
        blocks_into(&b, doc.c_str());
        const char *why = "";
        int safe = html_safety_check(b.data ? b.data : "", b.length, &why);
        std::string html(b.data ? b.data : "", b.length);
        buf_free(&b);
        ASSERT_TRUE(safe) << "seed " << seed << ": " << why << "\nhtml: " << html;
    }
}
