// The delete action: moves the note's body file into the trash and removes its record.
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
    int moved = plat_exists(src) && plat_move(src, dst);
    meta_remove(i);
    if (!save_index()) {
        // The index still lists the note: bring its body back so it is not listed empty.
        if (moved)
            plat_move(dst, src);
        json_err(500, "Internal Server Error", "could not write index");
        return;
    }
    char out[128];
    int n = snprintf(out, sizeof out, "{\"ok\":true,\"deleted\":\"%s\",\"trash\":true}\n", r->id);
    json_header();
    out_write(out, static_cast<size_t>(n));
}
