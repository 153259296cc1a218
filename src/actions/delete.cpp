// The delete action: removes the note's record and moves its body file into the trash.
#include <cstdio>

#include "actions/actions.h"
#include "platform/platform.h"
#include "store/files.h"
#include "store/index.h"
#include "store/meta.h"
#include "util/response.h"

void do_delete(const Request *r)
{
    if (!valid_id(r->id)) {
        json_err(400, "Bad Request", "invalid id");
        return;
    }
    int i = meta_find(r->id);
    if (i < 0) {
        json_err(404, "Not Found", "note not found");
        return;
    }
    char src[PATH_CAP], dst[PATH_CAP], name[80];
    note_path(src, r->id);
    snprintf(name, sizeof name, "%s.md", r->id);
    path_join(dst, g_trash, name);
    int has_body = plat_exists(src);
    // A trash that is not a real directory (a planted link, a file) would send the body
    // elsewhere or nowhere: the delete is refused before anything changes.
    if (has_body && !plat_is_real_dir(g_trash)) {
        json_err(500, "Internal Server Error", "could not move note to trash");
        return;
    }
    meta_remove(i);
    // The index goes first: a failure or a crash before the move then leaves the note listed
    // with its body, or unlisted with its body still in place, never listed without one.
    if (!save_index()) {
        json_err(500, "Internal Server Error", "could not write index");
        return;
    }
    if (has_body)
        plat_move(src, dst);
    char out[128];
    int n = snprintf(out, sizeof out, "{\"ok\":true,\"deleted\":\"%s\",\"trash\":true}\n", r->id);
    json_header();
    out_write(out, static_cast<size_t>(n));
}
