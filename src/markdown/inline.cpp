// Inline Markdown for one line: code spans, strong, emphasis and links, found in one left-to-right
// scan. Contents are only escaped, never rendered again, so constructs cannot nest.
#include <cstring>

#include "markdown/markdown.h"

// What a byte may open. Bytes that open nothing are copied through the escaper in runs.
enum InlineOpen : unsigned char { OPEN_NONE, OPEN_CODE, OPEN_STAR, OPEN_UNDER, OPEN_LINK };

// Byte classes: the opener kind, white space (may not follow an emphasis opener), and bytes
// that may not appear in a link target with a scheme (space and control bytes).
struct InlineTables {
    unsigned char open[256];
    unsigned char space[256];
    unsigned char url_bad[256];
    constexpr InlineTables() : open(), space(), url_bad()
    {
        open[static_cast<unsigned char>('`')] = OPEN_CODE;
        open[static_cast<unsigned char>('*')] = OPEN_STAR;
        open[static_cast<unsigned char>('_')] = OPEN_UNDER;
        open[static_cast<unsigned char>('[')] = OPEN_LINK;
        for (const char *w = " \t\n\v\f\r"; *w; w++)
            space[static_cast<unsigned char>(*w)] = 1;
        for (int c = 0; c <= 0x20; c++)
            url_bad[c] = 1;
    }
};
static constexpr InlineTables k_in;

// Accepted starts of a link target. Site-local targets are taken as they are; targets with a
// scheme must also be free of spaces and control bytes.
struct TargetStart {
    const char *prefix;
    size_t len;
    int strict;
};
static const TargetStart k_target_starts[] = {
    {"/", 1, 0}, {"#", 1, 0}, {"https://", 8, 1}, {"http://", 7, 1}, {"mailto:", 7, 1},
};

struct InlineScan {
    TextBuf *out;
    const char *s;
    size_t n;
    size_t lit; // start of the literal bytes not yet appended
};

// Returns the position of the first c at or after from, or sc->n when there is none. Every
// opener searches afresh; lines are at most MD_LINE_MAX bytes, which bounds the repeated work.
static size_t scan_find(const InlineScan *sc, char c, size_t from)
{
    if (from >= sc->n)
        return sc->n;
    const void *hit = memchr(sc->s + from, c, sc->n - from);
    return hit ? static_cast<size_t>(static_cast<const char *>(hit) - sc->s) : sc->n;
}

// Returns the start of the first "**" at or after from, or sc->n when there is none.
static size_t scan_find_pair(const InlineScan *sc, size_t from)
{
    for (size_t at = scan_find(sc, '*', from); at + 1 < sc->n; at = scan_find(sc, '*', at + 1))
        if (sc->s[at + 1] == '*')
            return at;
    return sc->n;
}

// Appends the pending literal bytes before pos. No result.
static void scan_flush(InlineScan *sc, size_t pos)
{
    esc_html_into(sc->out, sc->s + sc->lit, pos - sc->lit);
}

// Appends open, the escaped bytes [from, to) and close. No result.
static void scan_wrap(InlineScan *sc, const char *open, size_t from, size_t to, const char *close)
{
    buf_puts(sc->out, open);
    esc_html_into(sc->out, sc->s + from, to - from);
    buf_puts(sc->out, close);
}

// Span functions try the construct whose opener stands at pos.

// Returns the position after the code span once appended, or 0 when the backtick is literal.
static size_t span_code(InlineScan *sc, size_t pos)
{
    size_t close = scan_find(sc, '`', pos + 1);
    if (close >= sc->n || close == pos + 1)
        return 0;
    scan_flush(sc, pos);
    scan_wrap(sc, "<code>", pos + 1, close, "</code>");
    return close + 1;
}

// Returns the position after the strong span once appended, or 0 when the pair is literal.
static size_t span_strong(InlineScan *sc, size_t pos)
{
    size_t close = scan_find_pair(sc, pos + 2);
    if (close >= sc->n || close == pos + 2)
        return 0;
    scan_flush(sc, pos);
    scan_wrap(sc, "<strong>", pos + 2, close, "</strong>");
    return close + 2;
}

// Returns the position after the emphasis once appended, or 0 when the opener is literal.
static size_t span_emphasis(InlineScan *sc, size_t pos)
{
    if (pos + 1 >= sc->n || k_in.space[static_cast<unsigned char>(sc->s[pos + 1])])
        return 0;
    size_t close = scan_find(sc, sc->s[pos], pos + 1);
    if (close >= sc->n || close == pos + 1)
        return 0;
    scan_flush(sc, pos);
    scan_wrap(sc, "<em>", pos + 1, close, "</em>");
    return close + 1;
}

// Returns the position after a strong or emphasis span, or 0 when the asterisk is literal. A
// doubled asterisk tries strong only: on failure the second one gets its own turn next.
static size_t span_star(InlineScan *sc, size_t pos)
{
    if (pos + 1 < sc->n && sc->s[pos + 1] == '*')
        return span_strong(sc, pos);
    return span_emphasis(sc, pos);
}

// Returns the position after an underscore emphasis, or 0 when the underscore is literal.
static size_t span_under(InlineScan *sc, size_t pos)
{
    return span_emphasis(sc, pos);
}

// Returns 1 when the n target bytes at t (1 to MD_TARGET_MAX of them) may become an href, else 0.
static int link_target_ok(const char *t, size_t n)
{
    for (const TargetStart &ts : k_target_starts) {
        if (n < ts.len || memcmp(t, ts.prefix, ts.len) != 0)
            continue;
        if (!ts.strict)
            return 1;
        for (size_t i = 0; i < n; i++)
            if (k_in.url_bad[static_cast<unsigned char>(t[i])])
                return 0;
        return 1;
    }
    return 0;
}

// Returns the position after the link once appended, or 0 when the '[' is literal; the link
// text is escaped only, so markers inside it stay as they are.
static size_t span_link(InlineScan *sc, size_t pos)
{
    size_t rb = scan_find(sc, ']', pos + 1);
    if (rb + 1 >= sc->n || sc->s[rb + 1] != '(')
        return 0;
    size_t t0 = rb + 2;
    size_t rp = scan_find(sc, ')', t0);
    if (rp >= sc->n || rp == t0 || rp - t0 > MD_TARGET_MAX || !link_target_ok(sc->s + t0, rp - t0))
        return 0;
    scan_flush(sc, pos);
    scan_wrap(sc, "<a href=\"", t0, rp, "\" rel=\"noopener noreferrer\" target=\"_blank\">");
    scan_wrap(sc, "", pos + 1, rb, "</a>");
    return rp + 1;
}

// Span function for each opener kind, indexed by InlineOpen.
static size_t (*const k_spans[])(InlineScan *, size_t) = {
    nullptr, span_code, span_star, span_under, span_link,
};

// Renders the n bytes at s. No result.
static void inline_scan(TextBuf *b, const char *s, size_t n)
{
    InlineScan sc = {b, s, n, 0};
    size_t pos = 0;
    while (pos < n) {
        unsigned char kind = k_in.open[static_cast<unsigned char>(s[pos])];
        if (kind == OPEN_NONE) {
            pos++;
            continue;
        }
        size_t end = k_spans[kind](&sc, pos);
        if (end) {
            pos = end;
            sc.lit = end;
        } else {
            pos++; // a failed opener stays in the literal run
        }
    }
    scan_flush(&sc, n);
}

void inline_into(TextBuf *b, const char *line)
{
    inline_scan(b, line, strlen(line));
}

void inline_line(TextBuf *b, const char *s, size_t n)
{
    const void *nul = memchr(s, '\0', n);
    if (nul)
        n = static_cast<size_t>(static_cast<const char *>(nul) - s);
    inline_scan(b, s, n);
}
