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

// Returns 1 when the note's title or body holds the folded needle.
static int note_matches(const NoteMeta *m, const char *needle, size_t nlen)
{
    char title[300];
    str_copy(title, sizeof title, m->title);
    size_t tlen = fold_lower(title);
    if (memmem(title, tlen, needle, nlen))
        return 1;
    char path[PATH_CAP];
    note_path(path, m->id);
    char *body = read_whole_file(path);
    if (!body)
        return 0;
    size_t blen = fold_lower(body);
    int hit = memmem(body, blen, needle, nlen) != nullptr;
    free(body);
    return hit;
}

void emit_list(const char *filter)
{
    char needle[256];
    size_t nlen = 0;
    if (filter) {
        str_copy(needle, sizeof needle, filter);
        nlen = fold_lower(needle);
    }
    TextBuf items = {};
    int shown = 0;
    for (int i = 0; i < g_count; i++) {
        if (filter && !note_matches(&g_meta[i], needle, nlen))
            continue;
        buf_puts(&items, shown ? ",\n  " : "\n  ");
        meta_members(&items, &g_meta[i]);
        buf_putc(&items, '}');
        shown++;
    }
    // The count heads the answer but is known only now: write the head, then the items as built.
    char head[64];
    int hl = snprintf(head, sizeof head, "{\"ok\":true,\"count\":%d,\"notes\":[", shown);
    out_write(head, static_cast<size_t>(hl));
    out_write(items.data, items.length);
    out_puts(shown ? "\n]}\n" : "]}\n");
    buf_free(&items);
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
