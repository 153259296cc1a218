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
    // The table tells which bodies in the notes folder the index does not list.
    index_fill();
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

void do_restore(const Request *r)
{
    if (!action_valid_id(r))
        return;
    TrashEntry e;
    if (!trash_lookup(r, &e))
        return;
    // A record that could not be read would leave the note with made-up metadata.
    if (e.unread) {
        json_err(500, "Internal Server Error", "could not write note");
        return;
    }
    // The identifier may have been used again since the delete: a live note (or an orphan body,
    // when another entry is named) is never overwritten.
    char live[PATH_CAP], body[PATH_CAP], record[PATH_CAP];
    note_path(live, r->id);
    if (meta_find(r->id) >= 0 || (!e.orphan && plat_exists(live))) {
        json_err(409, "Conflict", "note already exists");
        return;
    }
    // A page names the entry it shows by its copy number and its time of delete: should another
    // delete of the identifier have taken that number since, nothing is restored.
    if (!trash_unchanged(r, &e))
        return;
    if (g_count >= META_MAX) {
        json_err(500, "Internal Server Error", "note limit reached");
        return;
    }
    // Body back, then the index with the note, then its record removed: a crash in between
    // leaves an orphan with its record, or a listed note with a stray record.
    trash_paths(r->id, e.copy, body, record);
    if (!e.orphan && !plat_move_new(body, live)) {
        json_err(500, "Internal Server Error", "could not write note");
        return;
    }
    meta_append(&e.meta);
    sort_meta();
    if (!save_index()) {
        if (!e.orphan)
            plat_move_new(live, body);
        json_err(500, "Internal Server Error", "could not write index");
        return;
    }
    if (e.has_record)
        trash_record_remove(r->id, e.copy);
    else if (!e.orphan)
        plat_sync_dir(g_trash);
    json_header();
    TextBuf b = {};
    buf_puts(&b, "{\"ok\":true,\"note\":");
    meta_members(&b, &e.meta);
    buf_puts(&b, "}}\n");
    out_write(b.data, b.length);
    buf_free(&b);
}
