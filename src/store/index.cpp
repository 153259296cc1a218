// Writing the table as index.json in one fixed layout, and reading it back tolerantly.
#include "store/index.h"

#include <cstdlib>
#include <cstring>

#include "platform/platform.h"
#include "store/files.h"
#include "store/meta.h"
#include "util/json.h"
#include "util/textbuf.h"

int g_index_unreadable;

void meta_members(TextBuf *b, const NoteMeta *m)
{
    buf_puts(b, "{\"id\":");
    json_str(b, m->id);
    buf_puts(b, ",\"title\":");
    json_str(b, m->title);
    buf_puts(b, m->pinned ? ",\"pinned\":1,\"created\":" : ",\"pinned\":0,\"created\":");
    json_str(b, m->created);
    buf_puts(b, ",\"updated\":");
    json_str(b, m->updated);
}

int index_text(TextBuf *b)
{
    // Reserve generously up front so that a failed growth shows as a failure, never a cut text.
    if (!buf_need(b, 64 + static_cast<size_t>(g_count) * 2200))
        return 0;
    buf_puts(b, "{\"version\":1,\"notes\":[\n");
    for (int i = 0; i < g_count; i++) {
        if (i)
            buf_puts(b, ",\n");
        buf_puts(b, "  ");
        meta_members(b, &g_meta[i]);
        buf_putc(b, '}');
    }
    buf_puts(b, "\n]}\n");
    return 1;
}

int save_index(void)
{
    char path[PATH_CAP];
    path_join(path, g_dir, "index.json");
    if (g_index_unreadable)
        return 0;
    TextBuf b = {};
    int ok = index_text(&b) && atomic_write(path, b.data, b.length);
    buf_free(&b);
    return ok;
}

// Returns the '}' that closes the object opening at p, skipping braces inside strings, or null.
static const char *span_end(const char *p)
{
    int in_str = 0;
    for (p++; *p; p++) {
        if (in_str) {
            if (*p == '\\') {
                if (!p[1])
                    return nullptr;
                p++;
            } else if (*p == '"') {
                in_str = 0;
            }
        } else if (*p == '"') {
            in_str = 1;
        } else if (*p == '}') {
            return p;
        }
    }
    return nullptr;
}

void load_index(void)
{
    g_count = 0;
    g_index_unreadable = 0;
    char path[PATH_CAP];
    path_join(path, g_dir, "index.json");
    char *text = read_whole_file(path);
    if (!text) {
        g_index_unreadable = plat_exists(path);
        return;
    }
    static char span[8192];
    const char *cur = text;
    for (;;) {
        const char *open = strchr(cur, '{');
        if (!open)
            break;
        const char *close = span_end(open);
        if (!close)
            break;
        size_t n = static_cast<size_t>(close - open) + 1;
        if (n > sizeof span - 1)
            n = sizeof span - 1;
        memcpy(span, open, n);
        span[n] = '\0';
        cur = close + 1;
        if (g_count >= META_MAX)
            continue;
        NoteMeta m;
        memset(&m, 0, sizeof m);
        if (!json_find_str(span, "id", m.id, sizeof m.id) || !valid_id(m.id))
            continue;
        json_find_str(span, "title", m.title, sizeof m.title);
        json_find_int(span, "pinned", &m.pinned);
        json_find_str(span, "created", m.created, sizeof m.created);
        json_find_str(span, "updated", m.updated, sizeof m.updated);
        g_meta[g_count++] = m;
    }
    free(text);
}
