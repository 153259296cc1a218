// The delete action: removes the note's record and moves its body file, with a record of its
// metadata, into the trash.
#include <cstdio>

#include "actions/actions.h"
#include "platform/platform.h"
#include "store/files.h"
#include "store/index.h"
#include "store/meta.h"
#include "store/trash.h"
#include "util/response.h"

void do_delete(const Request *r)
{
    NoteRef ref;
    if (!note_lookup(r, 0, &ref))
        return;
    int i = ref.i;
    char src[PATH_CAP];
    note_path(src, r->id);
    int has_body = plat_exists(src);
    // A trash that is not a real directory (a planted link, a file) would send the body
    // elsewhere or nowhere: the delete is refused before anything changes.
    if (has_body && !plat_is_real_dir(g_trash)) {
        json_err(500, "Internal Server Error", "could not move note to trash");
        return;
    }
    NoteMeta gone = g_meta[i];
    meta_remove(i);
    // The index goes first: a failure or a crash before the move then leaves the note listed
    // with its body, or unlisted with its body still in place, never listed without one.
    if (!save_index()) {
        json_err(500, "Internal Server Error", "could not write index");
        return;
    }
    // The body goes with a record of the metadata the index no longer holds, so a restore can
    // bring the note back whole. A body that cannot be moved after the index was written does not
    // undo the delete.
    char deleted[24];
    iso_now(deleted);
    trash_put(&gone, deleted);
    char out[128];
    int n = snprintf(out, sizeof out, "{\"ok\":true,\"deleted\":\"%s\",\"trash\":true}\n", r->id);
    json_header();
    out_write(out, static_cast<size_t>(n));
}
