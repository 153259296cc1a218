// The render action: Markdown from the request body's "body" member, or from the "text" query
// parameter, rendered to HTML for the editor's live preview; with search terms, their matches
// are marked.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "actions/actions.h"
#include "markdown/markdown.h"
#include "util/json.h"
#include "util/match.h"
#include "util/query.h"
#include "util/response.h"

constexpr size_t RENDER_TEXT_MAX = 524288;
constexpr size_t RENDER_PARAM_CAP = 8192;

// Returns the decoded string value of the body's "body" member, decoded in place inside the
// request body (nothing reads the body afterwards), or null when there is no such string.
static const char *render_text_from_body(void)
{
    if (!g_body[0])
        return nullptr;
    const char *v = json_find_value(g_body, "body");
    if (!v || *v != '"')
        return nullptr;
    char *out = g_body + (v - g_body);
    json_read_string(&v, out, BODY_CAP - static_cast<size_t>(out - g_body));
    return out;
}

// Returns a heap copy of the decoded "text" parameter (empty values included), or null when
// the parameter is absent or no memory is left.
static char *render_text_from_query(const char *query)
{
    char val[RENDER_PARAM_CAP];
    if (!get_query_val(query, "text", val, sizeof val))
        return nullptr;
    size_t n = strlen(val);
    char *copy = static_cast<char *>(malloc(n + 1));
    if (copy)
        memcpy(copy, val, n + 1);
    return copy;
}

// The search terms to mark in the preview (render with "smart=1" and "q"), or null.
static const MatchQuery *g_render_marks;

// Writes the HTML gathered so far as part of the escaped "html" string and empties the buffer;
// with search terms, their matches are wrapped in <mark> first.
static void render_flush(TextBuf *html)
{
    if (g_render_marks) {
        TextBuf marked = {};
        mark_html(g_render_marks, html->data, html->length, &marked);
        out_json_part(marked.data, marked.length);
        buf_free(&marked);
    } else {
        out_json_part(html->data, html->length);
    }
    buf_clear(html);
}

// Reads the search terms of a smart render ("smart=1" and a "q" with terms) into q. Returns 1
// when there are some, else 0.
static int render_terms(const char *query, MatchQuery *q)
{
    char text[256], smart[8];
    get_query_val(query, "smart", smart, sizeof smart);
    get_query_val(query, "q", text, sizeof text);
    return strcmp(smart, "1") == 0 && match_parse(q, text) > 0;
}

// Writes the "marks" member: the byte ranges of the matches in the rendered text, at most
// RENDER_MARKS_MAX of them, for the page to step through in its text area.
static void render_marks_member(const MatchQuery *q, const char *text)
{
    constexpr size_t RENDER_MARKS_MAX = 1000;
    static MatchRange r[RENDER_MARKS_MAX];
    size_t n = match_ranges(q, text, strlen(text), r, RENDER_MARKS_MAX);
    TextBuf b = {};
    buf_puts(&b, ",\"marks\":[");
    for (size_t k = 0; k < n; k++) {
        char pair[32];
        int len = snprintf(pair, sizeof pair, "%s[%u,%u]", k ? "," : "", r[k].start, r[k].end);
        buf_add(&b, pair, static_cast<size_t>(len));
    }
    buf_putc(&b, ']');
    out_write(b.data, b.length);
    buf_free(&b);
}

// Writes the preview response; a missing text is answered 400, an over-long one 413.
void do_render(const Request *r)
{
    char *owned = nullptr;
    const char *text = render_text_from_body();
    if (!text)
        text = owned = render_text_from_query(r->query);
    if (!text) {
        json_err(400, "Bad Request", "missing body field");
        return;
    }
    if (strlen(text) > RENDER_TEXT_MAX) {
        free(owned);
        json_err(413, "Payload Too Large", "note body exceeds 512 KiB");
        return;
    }
    // The HTML goes out escaped a chunk at a time while it is rendered: the whole of a large
    // answer is never held.
    static MatchQuery terms;
    g_render_marks = render_terms(r->query, &terms) ? &terms : nullptr;
    json_header();
    out_puts("{\"ok\":true,\"html\":\"");
    TextBuf html = {};
    blocks_stream(&html, text, render_flush);
    render_flush(&html);
    out_puts("\"");
    if (g_render_marks)
        render_marks_member(g_render_marks, text);
    out_puts("}\n");
    buf_free(&html);
    free(owned);
}
