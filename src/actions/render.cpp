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

// Returns the decoded string value of the body's "body" member as a heap string, or null when
// the body has no such member with a string value.
static char *render_text_from_body(void)
{
    if (!g_body[0])
        return nullptr;
    const char *v = json_find_value(g_body, "body");
    if (!v || *v != '"')
        return nullptr;
    return json_dup_string(&v);
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

// Writes the preview response; a missing text is answered 400, an over-long one 413.
void do_render(const Request *r)
{
    char *text = render_text_from_body();
    if (!text)
        text = render_text_from_query(r->query);
    if (!text) {
        json_err(400, "Bad Request", "missing body field");
        return;
    }
    if (strlen(text) > RENDER_TEXT_MAX) {
        free(text);
        json_err(413, "Payload Too Large", "note body exceeds 512 KiB");
        return;
    }
    TextBuf html = {};
    blocks_into(&html, text);
    json_header();
    TextBuf b = {};
    buf_puts(&b, "{\"ok\":true,\"html\":");
    json_str(&b, html.data ? html.data : "");
    buf_puts(&b, "}\n");
    out_write(b.data, b.length);
    buf_free(&b);
    buf_free(&html);
    free(text);
}
