// The render action: Markdown from the request body's "body" member, or from the "text" query
// parameter, rendered to HTML for the editor's live preview.
#include <cstdlib>
#include <cstring>

#include "actions/actions.h"
#include "markdown/markdown.h"
#include "util/json.h"
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

// Writes the HTML gathered so far as part of the escaped "html" string and empties the buffer.
static void render_flush(TextBuf *html)
{
    out_json_part(html->data, html->length);
    buf_clear(html);
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
    json_header();
    out_puts("{\"ok\":true,\"html\":\"");
    TextBuf html = {};
    blocks_stream(&html, text, render_flush);
    render_flush(&html);
    out_puts("\"}\n");
    buf_free(&html);
    free(owned);
}
