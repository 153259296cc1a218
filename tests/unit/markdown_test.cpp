// Markdown preview: the escaper, the inline spans of one line and the block structure of a text.
#include <gtest/gtest.h>

#include <algorithm>

#include <string>

#include "markdown/markdown.h"

static std::string render_blocks(const std::string &text)
{
    TextBuf b = {};
    blocks_into(&b, text.c_str());
    std::string r(b.data ? b.data : "", b.length);
    buf_free(&b);
    return r;
}

static std::string render_inline(const std::string &line)
{
    TextBuf b = {};
    inline_into(&b, line.c_str());
    std::string r(b.data ? b.data : "", b.length);
    buf_free(&b);
    return r;
}

static std::string anchor(const std::string &href, const std::string &text)
{
    return "<a href=\"" + href + "\" rel=\"noopener noreferrer\" target=\"_blank\">" + text + "</a>";
}

struct Case {
    std::string in;
    std::string out;
};

TEST(Escape, WritesTheFiveMarkupBytesAsEntities)
{
    TextBuf b = {};
    const char in[] = "\"&'<>";
    esc_html_into(&b, in, 5);
    EXPECT_STREQ(b.data, "&quot;&amp;&#39;&lt;&gt;");
    buf_free(&b);
}

TEST(Escape, CopiesEveryOtherByteAndHonoursTheCount)
{
    std::string in = std::string("a\x01\x7f\xc3\xa9/`", 7) + std::string(1, '\0') + "<tail";
    TextBuf b = {};
    esc_into(&b, in.data(), 8); // the NUL is copied, the bytes after the count are not
    EXPECT_EQ(std::string(b.data, b.length), in.substr(0, 8));
    esc_html_into(&b, "<", 0);
    EXPECT_EQ(b.length, 8u);
    buf_free(&b);
    esc_html_into(&b, "x", 0);
    EXPECT_EQ(b.data, nullptr); // a count of 0 obtains no storage
}

TEST(Inline, RendersEveryDocumentedLine)
{
    const std::string t511 = "/" + std::string(510, 'a');
    const std::string t512 = "/" + std::string(511, 'a');
    const Case cases[] = {
        {"`a`", "<code>a</code>"},
        {"``", "``"},
        {"`<b>`", "<code>&lt;b&gt;</code>"},
        {"**a**", "<strong>a</strong>"},
        {"****", "****"},
        {"**a", "**a"},
        {"**a*", "*<em>a</em>"},
        {"***a***", "<strong>*a</strong>*"},
        {"*a*", "<em>a</em>"},
        {"* a*", "* a*"},
        {"*a *", "<em>a </em>"},
        {"_a_", "<em>a</em>"},
        {"__a__", "_<em>a</em>_"},
        {"snake_case_name", "snake<em>case</em>name"},
        {"2*3*4", "2<em>3</em>4"},
        {"*a [b* c](/d)", "<em>a [b</em> c](/d)"},
        {"**a *b* c**", "<strong>a *b* c</strong>"},
        {"[x](/p)", anchor("/p", "x")},
        {"[x](#top)", anchor("#top", "x")},
        {"[](/p)", anchor("/p", "")},
        {"[x](/a b)", anchor("/a b", "x")},
        {"[x](/?a=1&b=2)", anchor("/?a=1&amp;b=2", "x")},
        {"[m](mailto:x)", anchor("mailto:x", "m")},
        {"[**b**](/x)", anchor("/x", "**b**")},
        {"[x]()", "[x]()"},
        {"[x] (/p)", "[x] (/p)"},
        {"[a] b [c](/d)", "[a] b " + anchor("/d", "c")},
        {"[a](/b)(c)", anchor("/b", "a") + "(c)"},
        {"[x](ftp://h)", "[x](ftp://h)"},
        {"[x](HTTPS://h)", "[x](HTTPS://h)"},
        {"[x](Http://h)", "[x](Http://h)"},
        {"[x](MAILTO:a)", "[x](MAILTO:a)"},
        {"[x](https://a b)", "[x](https://a b)"},
        {"[x](http://a\tb)", "[x](http://a\tb)"},
        {"[x](" + t511 + ")", anchor(t511, "x")},
        {"[x](" + t512 + ")", "[x](" + t512 + ")"},
        {"\"&'<>", "&quot;&amp;&#39;&lt;&gt;"},
    };
    for (const Case &c : cases)
        EXPECT_EQ(render_inline(c.in), c.out) << "line: " << c.in;
}

// Targets that could run script or load other content must never become an href.
TEST(Inline, RefusesDangerousLinkTargets)
{
    const char *targets[] = {
        "javascript:alert`1`",
        "JavaScript:x",
        "data:text/html;base64,PHNjcmlwdD4=",
        "vbscript:x",
        " javascript:x",
        "\tjavascript:x",
        "http:x",
        "https:/x",
        "mailto x",
    };
    for (const char *t : targets) {
        std::string out = render_inline(std::string("[x](") + t + ")");
        EXPECT_EQ(out.find("<a"), std::string::npos) << "target: " << t;
    }
}

// Links, code spans and emphasis keep their contents as text: quotes in a target cannot end the
// attribute, and tags inside any construct come out as entities.
TEST(Inline, MarkupInsideConstructsStaysText)
{
    EXPECT_EQ(render_inline("[<i>](/\" onclick=\"x)"), anchor("/&quot; onclick=&quot;x", "&lt;i&gt;"));
    EXPECT_EQ(render_inline("*<img>*"), "<em>&lt;img&gt;</em>");
    EXPECT_EQ(render_inline("**'a'**"), "<strong>&#39;a&#39;</strong>");
    EXPECT_EQ(render_inline("`</code>`"), "<code>&lt;/code&gt;</code>");
}

TEST(Inline, CountedSpanStopsAtNulAndNeedsNoTerminator)
{
    TextBuf b = {};
    const char bytes[] = {'*', 'a', '*', 'Z', 'Z'};
    inline_line(&b, bytes, 3);
    EXPECT_STREQ(b.data, "<em>a</em>");
    buf_free(&b);
    const char with_nul[] = {'a', '\0', '<'};
    inline_line(&b, with_nul, 3);
    EXPECT_STREQ(b.data, "a");
    buf_free(&b);
}

// Lines full of openers without closers come out unchanged.
TEST(Inline, UnmatchedOpenersStayLiteral)
{
    for (const char *unit : {"[", "[a](", "`", "_", "* a", "[a]", "[a](x"}) {
        std::string line;
        while (line.size() < MD_LINE_MAX)
            line += unit;
        EXPECT_EQ(render_inline(line), line) << "unit: " << unit;
    }
}

TEST(Blocks, RendersEveryDocumentedText)
{
    const std::string fence = "```";
    const Case cases[] = {
        {"", ""},
        {"\n\n\n", ""},
        {"# Title", "<h1>Title</h1>\n"},
        {"#", "<h1></h1>\n"},
        {"###", "<h3></h3>\n"},
        {"#### Four", "<h4>Four</h4>\n"},
        {"##### Five #####", "<h5>Five</h5>\n"},
        {"####### x", "<p>####### x</p>\n"},
        {"#foo", "<p>#foo</p>\n"},
        {"#\tTitle", "<p>#\tTitle</p>\n"},
        {"## Title ##", "<h2>Title</h2>\n"},
        {"# Title #  ", "<h1>Title #</h1>\n"},
        {"# #", "<h1></h1>\n"},
        {"# Note#", "<h1>Note</h1>\n"},
        {"- a\n- b", "<ul>\n<li>a</li>\n<li>b</li>\n</ul>\n"},
        {"-", "<p>-</p>\n"},
        {"- ", "<ul>\n<li></li>\n</ul>\n"},
        {"+ plus", "<ul>\n<li>plus</li>\n</ul>\n"},
        {"* * *", "<hr>\n"},
        {"-- -", "<hr>\n"},
        {"- -", "<ul>\n<li>-</li>\n</ul>\n"},
        {"*-*", "<p><em>-</em></p>\n"},
        {"3. x", "<ol>\n<li>x</li>\n</ol>\n"},
        {"1.x", "<p>1.x</p>\n"},
        {"1) x", "<p>1) x</p>\n"},
        {"1. a\n2. b\n\n3. c", "<ol>\n<li>a</li>\n<li>b</li>\n</ol>\n<ol>\n<li>c</li>\n</ol>\n"},
        {"1. a\n- b", "<ol>\n<li>a</li>\n</ol>\n<ul>\n<li>b</li>\n</ul>\n"},
        {"- a\n  continued", "<ul>\n<li>a</li>\n</ul>\n<p>  continued</p>\n"},
        {"a\nb", "<p>a b</p>\n"},
        {"a\n\nb", "<p>a</p>\n<p>b</p>\n"},
        {"a\n---", "<p>a</p>\n<hr>\n"},
        {"a\n# h\nb", "<p>a</p>\n<h1>h</h1>\n<p>b</p>\n"},
        {"> q\n> r", "<blockquote>q</blockquote>\n<blockquote>r</blockquote>\n"},
        {">", "<blockquote></blockquote>\n"},
        {">> x", "<blockquote>&gt; x</blockquote>\n"},
        {fence + "js\n<b>\n\n" + fence + "\nafter", "<pre><code>&lt;b&gt;\n\n</code></pre>\n<p>after</p>\n"},
        {fence + "\nunclosed", "<pre><code>unclosed\n</code></pre>\n"},
        {fence + "\ncode\n" + fence + "x\nafter", "<pre><code>code\n</code></pre>\n<p>after</p>\n"},
        {"a\r\nb\r\n", "<p>a b</p>\n"},
        {"a\n\r\r\nb", "<p>a</p>\n<p>b</p>\n"},
        {std::string(5000, 'a'), "<p>" + std::string(4095, 'a') + "</p>\n"},
        {"x\n" + std::string(4095, 'b') + "c\nz", "<p>x " + std::string(4095, 'b') + " z</p>\n"},
    };
    for (const Case &c : cases)
        EXPECT_EQ(render_blocks(c.in), c.out) << "text: " << c.in;
}

// Edges of the line rules that the documented rows do not pin down.
TEST(Blocks, LineRuleEdges)
{
    const Case cases[] = {
        {"a  \nb", "<p>a   b</p>\n"}, // own trailing spaces stay before the joint
        {" ---", "<p> ---</p>\n"},    // a rule may not begin with a space
        {"-*-", "<p>-*-</p>\n"},      // nor mix its markers
        {"--\t-", "<p>--\t-</p>\n"},  // nor hold a tab
        {"___", "<hr>\n"},
        {"1.", "<p>1.</p>\n"}, // the space must lie inside the line
        {"1. ", "<ol>\n<li></li>\n</ol>\n"},
        {"123456789012345678901234567890. x", "<ol>\n<li>x</li>\n</ol>\n"},
        {"######", "<h6></h6>\n"},
        {"#######", "<p>#######</p>\n"},
        {"######## x", "<p>######## x</p>\n"}, // the run is counted only up to seven
        {"##   spaced   ", "<h2>spaced</h2>\n"},
        {">   q", "<blockquote>q</blockquote>\n"},
        {"a\r\rb", "<p>a\r\rb</p>\n"},                      // inner carriage returns stay
        {"```\n  \n```", "<pre><code>  \n</code></pre>\n"}, // spaces are no blank line
        {"```\n# *x*\n- y", "<pre><code># *x*\n- y\n</code></pre>\n"},
        {"- a\n```\nb", "<ul>\n<li>a</li>\n</ul>\n<pre><code>b\n</code></pre>\n"},
        {"p\n> q\n- r\n1. s\n```", "<p>p</p>\n<blockquote>q</blockquote>\n<ul>\n<li>r</li>\n</ul>\n"
                                   "<ol>\n<li>s</li>\n</ol>\n<pre><code></code></pre>\n"},
        {std::string(4094, 'a') + "\r\r", "<p>" + std::string(4094, 'a') + "</p>\n"},
        {std::string(4095, 'a') + "\rb", "<p>" + std::string(4095, 'a') + "</p>\n"}, // cut first, then strip
        {std::string(4094, 'a') + "\rb", "<p>" + std::string(4094, 'a') + "</p>\n"},
    };
    for (const Case &c : cases)
        EXPECT_EQ(render_blocks(c.in), c.out) << "text: " << c.in;
}

// Hands each piece on as the renderer does for a streamed answer, and keeps them all.
static std::string g_pieces;
static size_t g_largest_piece;
static void keep_piece(TextBuf *b)
{
    EXPECT_GE(b->length, MD_STREAM_CHUNK);
    g_largest_piece = std::max(g_largest_piece, b->length);
    g_pieces.append(b->data, b->length);
    buf_clear(b);
}

TEST(Blocks, StreamedPiecesJoinToTheWholeRendering)
{
    // Every construct, long enough for several pieces, with a fence open across piece ends.
    std::string doc;
    for (int i = 0; i < 3000; i++)
        doc += "# h <" + std::to_string(i) + ">\n- *a* & b\n1. `c`\n> q\n```\nx < y\n" +
               (i % 2 ? "```\n" : "") + "para [l](https://e.org/" + std::to_string(i) + ")\n\n";
    std::string whole = render_blocks(doc);
    g_pieces.clear();
    g_largest_piece = 0;
    TextBuf b = {};
    blocks_stream(&b, doc.c_str(), keep_piece);
    ASSERT_LT(b.length, MD_STREAM_CHUNK);
    g_pieces.append(b.data ? b.data : "", b.length);
    buf_free(&b);
    EXPECT_GT(whole.size(), 4 * MD_STREAM_CHUNK);
    EXPECT_LT(g_largest_piece, MD_STREAM_CHUNK + 8192) << "a piece is handed on at the end of the line that fills it";
    EXPECT_EQ(g_pieces, whole);
}

TEST(Blocks, AppendsAfterExistingContent)
{
    TextBuf b = {};
    buf_puts(&b, "keep:");
    blocks_into(&b, "# h");
    EXPECT_STREQ(b.data, "keep:<h1>h</h1>\n");
    buf_free(&b);
    blocks_into(&b, "");
    EXPECT_EQ(b.data, nullptr); // an empty text appends nothing at all
}
