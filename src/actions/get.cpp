// The get action: one note's metadata and its whole body.
#include <cstdlib>
#include <cstring>

#include "actions/actions.h"
#include "store/files.h"
#include "store/index.h"
#include "store/meta.h"
#include "util/json.h"
#include "util/response.h"

void do_get(const Request *r)
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
    char path[PATH_CAP];
    note_path(path, r->id);
    char *text = read_whole_file(path);
    json_header();
    TextBuf b = {};
    buf_puts(&b, "{\"ok\":true,\"note\":");
    meta_members(&b, &g_meta[i]);
    buf_puts(&b, ",\"body\":");
    out_write(b.data, b.length);
    // The body goes out escaped as it is read, without a second copy of up to 512 KiB.
    out_json_str(text ? text : "", text ? strlen(text) : 0);
    out_puts("}}\n");
    buf_free(&b);
    free(text);
}
