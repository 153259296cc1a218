// The list and search actions: notes' metadata in listing order, optionally filtered by a text
// found in the title or the body without regard to ASCII case.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "actions/actions.h"
#include "store/files.h"
#include "store/index.h"
#include "store/meta.h"
#include "util/query.h"
#include "util/response.h"
#include "util/fold.h"
#include "util/textbuf.h"

// Returns 1 when the note's title or body holds the folded needle. Both texts are seen up to
// their first NUL (as every reader of them does), so a plain string search covers them.
static int note_matches(const NoteMeta *m, const char *needle)
{
    char title[300];
    str_copy(title, sizeof title, m->title);
    fold_lower(title);
    if (strstr(title, needle))
        return 1;
    char path[PATH_CAP];
    note_path(path, m->id);
    char *body = read_whole_file(path);
    if (!body)
        return 0;
    fold_lower(body);
    int hit = strstr(body, needle) != nullptr;
    free(body);
    return hit;
}

void emit_list(const char *filter)
{
    char needle[256];
    if (filter) {
        str_copy(needle, sizeof needle, filter);
        fold_lower(needle);
    }
    // The count heads the answer: decide which notes are shown first, then stream them out.
    static unsigned char shown[META_MAX];
    int count = 0;
    for (int i = 0; i < g_count; i++) {
        shown[i] = !filter || note_matches(&g_meta[i], needle);
        count += shown[i];
    }
    char head[64];
    int hl = snprintf(head, sizeof head, "{\"ok\":true,\"count\":%d,\"notes\":[", count);
    out_write(head, static_cast<size_t>(hl));
    TextBuf item = {};
    int first = 1;
    for (int i = 0; i < g_count; i++) {
        if (!shown[i])
            continue;
        buf_clear(&item);
        buf_puts(&item, first ? "\n  " : ",\n  ");
        meta_members(&item, &g_meta[i]);
        buf_putc(&item, '}');
        out_write(item.data, item.length);
        first = 0;
    }
    out_puts(count ? "\n]}\n" : "]}\n");
    buf_free(&item);
}

void do_list(const Request *)
{
    json_header();
    emit_list(nullptr);
}

void do_search(const Request *r)
{
    char q[256];
    get_query_val(r->query, "q", q, sizeof q);
    json_header();
    emit_list(q[0] ? q : nullptr);
}
