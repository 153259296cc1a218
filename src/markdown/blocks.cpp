// Block structure of a Markdown note: reads the text once, line by line, gives each line a kind
// through an ordered list of checks, and keeps at most one block (paragraph, list, fence) open.
#include <cstring>

#include "markdown/markdown.h"

enum MdBlock { MD_NONE, MD_PARA, MD_BULLETS, MD_NUMBERS, MD_FENCE };

// Closing tag of each open block, indexed by MdBlock.
static const char *const k_block_close[] = {"", "</p>\n", "</ul>\n", "</ol>\n", "</code></pre>\n"};

static const char *const k_heading_open[] = {"", "<h1>", "<h2>", "<h3>", "<h4>", "<h5>", "<h6>"};
static const char *const k_heading_close[] = {"",        "</h1>\n", "</h2>\n", "</h3>\n",
                                              "</h4>\n", "</h5>\n", "</h6>\n"};

enum LineByte : unsigned char { LB_RULE = 1, LB_BULLET = 2, LB_DIGIT = 4 };

// Bytes that can mark a thematic break, a bullet item or a list number.
struct LineTables {
    unsigned char cls[256];
    constexpr LineTables() : cls()
    {
        for (const char *p = "*-_"; *p; p++)
            cls[static_cast<unsigned char>(*p)] |= LB_RULE;
        for (const char *p = "*+-"; *p; p++)
            cls[static_cast<unsigned char>(*p)] |= LB_BULLET;
        for (int c = '0'; c <= '9'; c++)
            cls[c] |= LB_DIGIT;
    }
};
static constexpr LineTables k_line;

// One line after the cut and the removal of trailing carriage returns, and what a check found
// in it: the span of text to render and, for headings, the level.
struct MdLine {
    const char *s;
    size_t len;
    const char *text;
    size_t text_len;
    int level;
};

struct MdRender {
    TextBuf *out;
    MdBlock open;
};

// Returns the class bits of the line's byte i (0 for bytes with no block meaning).
static unsigned char line_class(const MdLine *ln, size_t i)
{
    return k_line.cls[static_cast<unsigned char>(ln->s[i])];
}

// Line checks: each fills in the text (and level) of a line of its kind.

// Returns 1 for a line that was empty or held only carriage returns, else 0.
static int line_is_blank(MdLine *ln)
{
    return ln->len == 0;
}

// Returns 1 for a fence line (anything after the backticks is ignored), else 0.
static int line_is_fence(MdLine *ln)
{
    return ln->len >= 3 && memcmp(ln->s, "```", 3) == 0;
}

// Returns 1 for three or more of one marker byte with only spaces between and none in front, else 0.
static int line_is_rule(MdLine *ln)
{
    if (ln->len < 3 || !(line_class(ln, 0) & LB_RULE))
        return 0;
    char mark = ln->s[0];
    size_t marks = 0;
    for (size_t i = 0; i < ln->len; i++) {
        if (ln->s[i] == mark)
            marks++;
        else if (ln->s[i] != ' ')
            return 0;
    }
    return marks >= 3;
}

// Returns 1 for one to six '#' alone or before a space, else 0; seven make a paragraph line.
// The text drops trailing '#' and then trailing spaces, so "# a #" reads as "a".
static int line_is_heading(MdLine *ln)
{
    size_t n = 0;
    while (n < ln->len && n < 7 && ln->s[n] == '#')
        n++;
    if (n == 0 || n == 7 || (n < ln->len && ln->s[n] != ' '))
        return 0;
    size_t start = n;
    while (start < ln->len && ln->s[start] == ' ')
        start++;
    size_t end = ln->len;
    while (end > start && ln->s[end - 1] == '#')
        end--;
    while (end > start && ln->s[end - 1] == ' ')
        end--;
    ln->level = static_cast<int>(n);
    ln->text = ln->s + start;
    ln->text_len = end - start;
    return 1;
}

// Returns 1 for a '>' line, its text after the spaces that follow the '>', else 0.
static int line_is_quote(MdLine *ln)
{
    if (ln->s[0] != '>')
        return 0;
    size_t start = 1;
    while (start < ln->len && ln->s[start] == ' ')
        start++;
    ln->text = ln->s + start;
    ln->text_len = ln->len - start;
    return 1;
}

// Returns 1 for "*", "+" or "-" and a space; further spaces stay in the text. Else 0.
static int line_is_bullet(MdLine *ln)
{
    if (ln->len < 2 || !(line_class(ln, 0) & LB_BULLET) || ln->s[1] != ' ')
        return 0;
    ln->text = ln->s + 2;
    ln->text_len = ln->len - 2;
    return 1;
}

// Returns 1 for digits, a '.' and a space inside the line, else 0; the number is not kept.
static int line_is_numbered(MdLine *ln)
{
    size_t i = 0;
    while (i < ln->len && (line_class(ln, i) & LB_DIGIT))
        i++;
    if (i == 0 || i + 1 >= ln->len || ln->s[i] != '.' || ln->s[i + 1] != ' ')
        return 0;
    ln->text = ln->s + i + 2;
    ln->text_len = ln->len - i - 2;
    return 1;
}

// Returns 1 always: the whole line is the text (paragraph lines, code lines).
static int line_is_any(MdLine *ln)
{
    ln->text = ln->s;
    ln->text_len = ln->len;
    return 1;
}

// Appends the closing tag of the open block, if any, and leaves no block open. No result.
static void block_close(MdRender *r)
{
    buf_puts(r->out, k_block_close[r->open]);
    r->open = MD_NONE;
}

// Line handlers: each appends the HTML for a line of its kind and sets the open block.

// Ends the open block. No result.
static void emit_blank(MdRender *r, const MdLine *)
{
    block_close(r);
}

// Opens a code fence; no line feed follows the tags, so code starts on their line. No result.
static void emit_fence_open(MdRender *r, const MdLine *)
{
    block_close(r);
    buf_puts(r->out, "<pre><code>");
    r->open = MD_FENCE;
}

// Ends the open block and appends a rule. No result.
static void emit_rule(MdRender *r, const MdLine *)
{
    block_close(r);
    buf_puts(r->out, "<hr>\n");
}

// Appends a heading of the line's level; it never stays open. No result.
static void emit_heading(MdRender *r, const MdLine *ln)
{
    block_close(r);
    buf_puts(r->out, k_heading_open[ln->level]);
    inline_line(r->out, ln->text, ln->text_len);
    buf_puts(r->out, k_heading_close[ln->level]);
}

// Every quote line is its own element: quotes do not continue. No result.
static void emit_quote(MdRender *r, const MdLine *ln)
{
    block_close(r);
    buf_puts(r->out, "<blockquote>");
    inline_line(r->out, ln->text, ln->text_len);
    buf_puts(r->out, "</blockquote>\n");
}

// A list item joins the open list of its own kind, or opens one. No result.
static void emit_item(MdRender *r, const MdLine *ln, MdBlock list, const char *open_tag)
{
    if (r->open != list) {
        block_close(r);
        buf_puts(r->out, open_tag);
        r->open = list;
    }
    buf_puts(r->out, "<li>");
    inline_line(r->out, ln->text, ln->text_len);
    buf_puts(r->out, "</li>\n");
}

// Appends a bullet item. No result.
static void emit_bullet(MdRender *r, const MdLine *ln)
{
    emit_item(r, ln, MD_BULLETS, "<ul>\n");
}

// Appends a numbered item; the list carries no start number. No result.
static void emit_numbered(MdRender *r, const MdLine *ln)
{
    emit_item(r, ln, MD_NUMBERS, "<ol>\n");
}

// Consecutive paragraph lines share one paragraph, joined by a single space. No result.
static void emit_paragraph(MdRender *r, const MdLine *ln)
{
    if (r->open == MD_PARA) {
        buf_putc(r->out, ' ');
    } else {
        block_close(r);
        buf_puts(r->out, "<p>");
        r->open = MD_PARA;
    }
    inline_line(r->out, ln->text, ln->text_len);
}

// Keeps an empty code line. No result.
static void fence_blank(MdRender *r, const MdLine *)
{
    buf_putc(r->out, '\n');
}

// Closes the fence; whatever follows the backticks on their line is dropped. No result.
static void fence_close(MdRender *r, const MdLine *)
{
    block_close(r);
}

// Appends one code line, escaped only. No result.
static void fence_code(MdRender *r, const MdLine *ln)
{
    esc_html_into(r->out, ln->s, ln->len);
    buf_putc(r->out, '\n');
}

struct LineRule {
    int (*check)(MdLine *ln);
    void (*emit)(MdRender *r, const MdLine *ln);
};

// Kinds of a line outside a code fence, in the order they are tried; the last always matches.
static const LineRule k_line_rules[] = {
    {line_is_blank, emit_blank},       {line_is_fence, emit_fence_open}, {line_is_rule, emit_rule},
    {line_is_heading, emit_heading},   {line_is_quote, emit_quote},      {line_is_bullet, emit_bullet},
    {line_is_numbered, emit_numbered}, {line_is_any, emit_paragraph},
};

// Kinds of a line inside a code fence: its content is escaped only, never rendered.
static const LineRule k_fence_rules[] = {
    {line_is_blank, fence_blank},
    {line_is_fence, fence_close},
    {line_is_any, fence_code},
};

// Runs the first rule of the table whose check matches the line. No result.
static void line_dispatch(MdRender *r, MdLine *ln, const LineRule *rules, size_t count)
{
    for (size_t i = 0; i < count; i++) {
        if (rules[i].check(ln)) {
            rules[i].emit(r, ln);
            return;
        }
    }
}

void blocks_into(TextBuf *b, const char *text)
{
    blocks_stream(b, text, nullptr);
}

void blocks_stream(TextBuf *b, const char *text, void (*flush)(TextBuf *b))
{
    MdRender r = {b, MD_NONE};
    size_t total = strlen(text);
    const char *p = text;
    const char *end = text + total;
    while (p < end) {
        const char *nl = static_cast<const char *>(memchr(p, '\n', static_cast<size_t>(end - p)));
        size_t full = static_cast<size_t>((nl ? nl : end) - p);
        MdLine ln = {p, full < MD_LINE_MAX ? full : MD_LINE_MAX, nullptr, 0, 0};
        while (ln.len > 0 && ln.s[ln.len - 1] == '\r')
            ln.len--;
        if (r.open == MD_FENCE)
            line_dispatch(&r, &ln, k_fence_rules, sizeof k_fence_rules / sizeof k_fence_rules[0]);
        else
            line_dispatch(&r, &ln, k_line_rules, sizeof k_line_rules / sizeof k_line_rules[0]);
        p += full;
        if (p < end)
            p++; // the line feed belongs to no line
        if (flush && b->length >= MD_STREAM_CHUNK)
            flush(b);
    }
    block_close(&r);
}
