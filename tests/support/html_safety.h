// Checker for rendered preview HTML, shared by the unit tests, the fuzz targets and the corpus
// replay: only the renderer's fixed tags in their fixed nesting, links with the fixed attributes
// and a safe href, and text in which every markup byte is an entity.
#pragma once
#include <cstddef>
#include <cstring>

// What may stand directly inside an element (or the fragment itself, HC_ROOT).
enum HtmlContent {
    HC_ROOT,   // block tags and line feeds
    HC_LIST,   // <li> and line feeds
    HC_INLINE, // text and inline tags
    HC_TEXT,   // text only
    HC_PRE,    // one <code>
    HC_VOID,   // nothing: the tag has no closing tag
};

enum HtmlTagId {
    TAG_P,
    TAG_H1,
    TAG_H2,
    TAG_H3,
    TAG_H4,
    TAG_H5,
    TAG_H6,
    TAG_QUOTE,
    TAG_UL,
    TAG_OL,
    TAG_LI,
    TAG_HR,
    TAG_PRE,
    TAG_STRONG,
    TAG_EM,
    TAG_CODE,
    TAG_A,
    TAG_COUNT
};

struct HtmlTag {
    const char *name;
    int content;    // what the element holds
    int allowed_in; // where it may stand
};

// Indexed by HtmlTagId.
static const HtmlTag k_html_tags[TAG_COUNT] = {
    {"p", HC_INLINE, HC_ROOT},    {"h1", HC_INLINE, HC_ROOT},         {"h2", HC_INLINE, HC_ROOT},
    {"h3", HC_INLINE, HC_ROOT},   {"h4", HC_INLINE, HC_ROOT},         {"h5", HC_INLINE, HC_ROOT},
    {"h6", HC_INLINE, HC_ROOT},   {"blockquote", HC_INLINE, HC_ROOT}, {"ul", HC_LIST, HC_ROOT},
    {"ol", HC_LIST, HC_ROOT},     {"li", HC_INLINE, HC_LIST},         {"hr", HC_VOID, HC_ROOT},
    {"pre", HC_PRE, HC_ROOT},     {"strong", HC_TEXT, HC_INLINE},     {"em", HC_TEXT, HC_INLINE},
    {"code", HC_TEXT, HC_INLINE}, {"a", HC_TEXT, HC_INLINE},
};

// The only entities the escaper writes.
static const char *const k_html_entities[] = {"&quot;", "&amp;", "&#39;", "&lt;", "&gt;"};

// The only starts an href may have.
static const char *const k_html_href_starts[] = {"/", "#", "https://", "http://", "mailto:"};

static const char k_html_href_head[] = " href=\"";
static const char k_html_link_tail[] = "\" rel=\"noopener noreferrer\" target=\"_blank\">";

// Returns 1 when the n bytes at p begin with the NUL-terminated lit, else 0.
inline int html_starts(const char *p, size_t n, const char *lit)
{
    size_t k = strlen(lit);
    return n >= k && memcmp(p, lit, k) == 0;
}

// Returns the entity's length when one of the escaper's entities starts at p, else 0.
inline size_t html_entity_at(const char *p, const char *end)
{
    for (const char *e : k_html_entities)
        if (html_starts(p, static_cast<size_t>(end - p), e))
            return strlen(e);
    return 0;
}

// Returns 1 when the n bytes of escaped text hold no raw markup byte and no NUL, else 0.
inline int html_text_ok(const char *t, size_t n)
{
    for (size_t i = 0; i < n; i++) {
        char c = t[i];
        if (c == '<' || c == '>' || c == '"' || c == '\'' || c == '\0')
            return 0;
        if (c == '&' && !html_entity_at(t + i, t + n))
            return 0;
    }
    return 1;
}

// Returns 1 when the n bytes of an href value are escaped text with an allowed start, else 0.
inline int html_href_ok(const char *v, size_t n)
{
    if (!html_text_ok(v, n))
        return 0;
    for (const char *s : k_html_href_starts)
        if (html_starts(v, n, s))
            return 1;
    return 0;
}

// Reads the tag at p (on '<'): returns its id and sets *closing and *next (the byte after the
// tag), or returns -1 when it is no tag of the renderer or an anchor with other attributes.
inline int html_read_tag(const char *p, const char *end, int *closing, const char **next, const char **why)
{
    *closing = end - p > 1 && p[1] == '/';
    const char *name = p + 1 + *closing;
    size_t left = static_cast<size_t>(end - name);
    for (int t = 0; t < TAG_COUNT; t++) {
        size_t len = strlen(k_html_tags[t].name);
        if (left <= len || memcmp(name, k_html_tags[t].name, len) != 0)
            continue;
        if (name[len] == '>') {
            if (t == TAG_A && !*closing)
                return *why = "link without href", -1;
            *next = name + len + 1;
            return t;
        }
        if (t != TAG_A || *closing)
            continue;
        const char *v = name + len;
        if (!html_starts(v, static_cast<size_t>(end - v), k_html_href_head))
            return *why = "link attribute other than href", -1;
        v += sizeof k_html_href_head - 1;
        const char *q = static_cast<const char *>(memchr(v, '"', static_cast<size_t>(end - v)));
        if (!q)
            return *why = "unterminated href", -1;
        if (!html_href_ok(v, static_cast<size_t>(q - v)))
            return *why = "unsafe href", -1;
        if (!html_starts(q, static_cast<size_t>(end - q), k_html_link_tail))
            return *why = "link attributes differ from the fixed ones", -1;
        *next = q + sizeof k_html_link_tail - 1;
        return t;
    }
    return *why = "unknown tag", -1;
}

// Returns 1 when html (n bytes) holds only the renderer's markup, properly nested and closed, and
// text with no raw markup byte; otherwise 0 with a short reason in *why.
inline int html_safety_check(const char *html, size_t n, const char **why)
{
    int stack[8];
    int depth = 0;
    const char *p = html;
    const char *end = html + n;
    *why = "";
    while (p < end) {
        int here = depth ? k_html_tags[stack[depth - 1]].content : HC_ROOT;
        if (*p != '<') {
            const char *lt = static_cast<const char *>(memchr(p, '<', static_cast<size_t>(end - p)));
            const char *stop = lt ? lt : end;
            if (here == HC_ROOT || here == HC_LIST) {
                for (; p < stop; p++)
                    if (*p != '\n')
                        return *why = "text outside a text element", 0;
            }
            if (here == HC_PRE)
                return *why = "text in pre outside code", 0;
            if (!html_text_ok(p, static_cast<size_t>(stop - p)))
                return *why = "raw markup byte in text", 0;
            p = stop;
            continue;
        }
        int closing = 0;
        const char *next = nullptr;
        int t = html_read_tag(p, end, &closing, &next, why);
        if (t < 0)
            return 0;
        p = next;
        if (closing) {
            if (!depth || stack[depth - 1] != t)
                return *why = "closing tag does not match", 0;
            depth--;
            continue;
        }
        int in_pre = here == HC_PRE && t == TAG_CODE;
        if (k_html_tags[t].allowed_in != here && !in_pre)
            return *why = "tag in a place it may not stand", 0;
        if (k_html_tags[t].content == HC_VOID)
            continue;
        if (depth == static_cast<int>(sizeof stack / sizeof stack[0]))
            return *why = "nesting too deep", 0;
        stack[depth++] = t;
    }
    if (depth)
        return *why = "element left open", 0;
    return 1;
}
