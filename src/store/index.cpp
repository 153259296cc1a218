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
static char *span_end(char *p)
{
    p++;
    for (;;) {
        p += strcspn(p, "\"}");
        if (*p == '\0')
            return nullptr;
        if (*p == '}')
            return p;
        // Inside a string a backslash and the byte after it count as one unit.
        for (p++;; p++) {
            p += strcspn(p, "\"\\");
            if (*p == '\0')
                return nullptr;
            if (*p == '"')
                break;
            if (*++p == '\0')
                return nullptr;
        }
        p++;
    }
}

// Reads one record out of a span (a NUL-terminated object text) and appends it when its
// identifier is valid and the table has room.
static void index_record(const char *span)
{
    // Filled in place in the next free slot, which only counts once the identifier is valid.
    NoteMeta *m = &g_meta[g_count];
    memset(m, 0, sizeof *m);
    if (!json_find_str(span, "id", m->id, sizeof m->id) || !valid_id(m->id))
        return;
    json_find_str(span, "title", m->title, sizeof m->title);
    json_find_int(span, "pinned", &m->pinned);
    json_find_str(span, "created", m->created, sizeof m->created);
    json_find_str(span, "updated", m->updated, sizeof m->updated);
    g_count++;
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
    // A written record takes at least about 90 bytes: map in the table rows this file can fill.
    size_t rows = strlen(text) / 90 + 1;
    plat_prefault(g_meta, sizeof(NoteMeta) * (rows < META_MAX ? rows : META_MAX));
    // Each span is read in place: the byte after it (or after its first 8191 bytes) is
    // swapped for a NUL while its fields are read, then put back.
    constexpr size_t SPAN_MAX = 8191;
    char *cur = text;
    while (g_count < META_MAX) {
        char *open = strchr(cur, '{');
        if (!open)
            break;
        char *close = span_end(open);
        if (!close)
            break;
        char *end = static_cast<size_t>(close - open) + 1 > SPAN_MAX ? open + SPAN_MAX : close + 1;
        char saved = *end;
        *end = '\0';
        index_record(open);
        *end = saved;
        cur = close + 1;
    }
    free(text);
}
