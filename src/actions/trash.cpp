// The trash and restore actions: which deleted notes the trash holds, and bringing one back.
#include <cstdio>
#include <cstring>

#include "actions/actions.h"
#include "platform/platform.h"
#include "store/files.h"
#include "store/index.h"
#include "store/meta.h"
#include "store/trash.h"
#include "util/json.h"
#include "util/query.h"
#include "util/response.h"

static TrashEntry g_trash_rows[TRASH_MAX];

void do_trash(const Request *)
{
    int n = trash_list(g_trash_rows);
    json_header();
    TextBuf b = {};
    char head[64];
    snprintf(head, sizeof head, "{\"ok\":true,\"count\":%d,\"notes\":[", n);
    buf_puts(&b, head);
    for (int i = 0; i < n; i++) {
        const TrashEntry *e = &g_trash_rows[i];
        buf_puts(&b, i ? ",\n  " : "\n  ");
        meta_members(&b, &e->meta);
        buf_puts(&b, ",\"deleted\":");
        json_str(&b, e->deleted);
        char copy[32];
        snprintf(copy, sizeof copy, ",\"copy\":%d}", e->copy);
        buf_puts(&b, copy);
    }
    buf_puts(&b, n ? "\n]}\n" : "]}\n");
    out_write(b.data, b.length);
    buf_free(&b);
}

// Returns the copy number of the "copy" parameter (0 when absent or empty), or -1 when it is not
// a plain decimal number within the copy range.
static int restore_copy(const char *query)
{
    char q[16];
    if (!get_query_val(query, "copy", q, sizeof q) || !q[0])
        return 0;
    int k = 0;
    for (const char *p = q; *p; p++) {
        if (*p < '0' || *p > '9' || k > TRASH_COPY_MAX)
            return -1;
        k = k * 10 + (*p - '0');
    }
    return k <= TRASH_COPY_MAX ? k : -1;
}

void do_restore(const Request *r)
{
    if (!action_valid_id(r))
        return;
    int copy = restore_copy(r->query);
    TrashEntry e;
    if (copy < 0 || !trash_entry(r->id, copy, &e)) {
        json_err(404, "Not Found", "note not found");
        return;
    }
    // The identifier may have been used again since the delete: a live note (or a body file
    // without a record) is never overwritten.
    char live[PATH_CAP], body[PATH_CAP], record[PATH_CAP];
    note_path(live, r->id);
    if (meta_find(r->id) >= 0 || plat_exists(live)) {
        json_err(409, "Conflict", "note already exists");
        return;
    }
    if (g_count >= META_MAX) {
        json_err(500, "Internal Server Error", "note limit reached");
        return;
    }
    trash_paths(r->id, copy, body, record);
    if (!plat_replace(body, live)) {
        json_err(500, "Internal Server Error", "could not write note");
        return;
    }
    meta_append(&e.meta);
    sort_meta();
    if (!save_index()) {
        plat_move(live, body);
        json_err(500, "Internal Server Error", "could not write index");
        return;
    }
    plat_remove(record);
    json_header();
    TextBuf b = {};
    buf_puts(&b, "{\"ok\":true,\"note\":");
    meta_members(&b, &e.meta);
    buf_puts(&b, "}}\n");
    out_write(b.data, b.length);
    buf_free(&b);
}
