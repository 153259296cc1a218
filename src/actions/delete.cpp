// The delete action: moves the note's body file, with a record of its metadata, into the trash
// and removes its record from the index, in the order the store's ordering rule gives.
#include <cstdio>

#include "actions/actions.h"
#include "platform/platform.h"
#include "store/files.h"
#include "store/index.h"
#include "store/meta.h"
#include "store/trash.h"
#include "util/response.h"

// Writes the success answer for the identifier.
static void delete_answer(const char *id)
{
    char out[128];
    int n = snprintf(out, sizeof out, "{\"ok\":true,\"deleted\":\"%s\",\"trash\":true}\n", id);
    json_header();
    out_write(out, static_cast<size_t>(n));
}

void do_delete(const Request *r)
{
    NoteRef ref;
    if (!note_lookup(r, 0, &ref))
        return;
    int i = ref.i, k = -1;
    NoteMeta gone = g_meta[i];
    char src[PATH_CAP], body[PATH_CAP], record[PATH_CAP], deleted[24];
    note_path(src, r->id);
    // Only a body certainly missing lets the record go alone; a failed look-up takes the trash way.
    if (plat_file_kind(src) == 0) {
        // Nothing to keep: the record alone goes.
        meta_remove(i);
        if (!save_index()) {
            json_err(500, "Internal Server Error", "could not write index");
            return;
        }
        delete_answer(r->id);
        return;
    }
    // The record goes into the trash first, then the index lets go of the note, then the body
    // follows: at every point the note is listed, or its body and metadata are in the trash. A
    // trash that is not a real directory (a planted link, a file), no free copy number or a
    // record that cannot be written refuses the delete before anything changed.
    iso_now(deleted);
    if (!plat_is_real_dir(g_trash) || (k = trash_free_copy(r->id)) < 0 ||
        !trash_record_write(&gone, deleted, k)) {
        json_err(500, "Internal Server Error", "could not move note to trash");
        return;
    }
    meta_remove(i);
    if (!save_index()) {
        trash_record_remove(r->id, k);
        json_err(500, "Internal Server Error", "could not write index");
        return;
    }
    trash_paths(r->id, k, body, record);
    if (!plat_move_new(src, body)) {
        // The note is listed again; should that fail too, its body and record still make it an
        // orphan the trash shows, so the record stays.
        meta_insert(i, &gone);
        if (save_index())
            trash_record_remove(r->id, k);
        json_err(500, "Internal Server Error", "could not move note to trash");
        return;
    }
    plat_sync_dir(g_trash);
    plat_sync_dir(g_dir);
    delete_answer(r->id);
}
