// The get action: one note's metadata and its whole body.
#include <cstring>

#include "actions/actions.h"
#include "platform/platform.h"
#include "store/files.h"
#include "store/index.h"
#include "store/meta.h"
#include "store/versions.h"
#include "util/query.h"
#include "util/json.h"
#include "util/response.h"

void do_get(const Request *r)
{
    if (!valid_id(r->id)) {
        json_err(400, "Bad Request", "invalid id");
        return;
    }
    char version[VERSION_KEY_CAP + 1];
    if (get_query_val(r->query, "version", version, sizeof version)) {
        do_get_version(r, version);
        return;
    }
    // A plain index gives the note's members as they stand; any other is read into the table.
    int total, i = -1;
    const char *rec = nullptr;
    size_t rec_len = 0;
    if (index_plain(&total)) {
        rec = index_plain_find(r->id, &rec_len);
    } else {
        index_fill();
        i = meta_find(r->id);
    }
    if (!rec && i < 0) {
        json_err(404, "Not Found", "note not found");
        return;
    }
    char path[PATH_CAP];
    note_path(path, r->id);
    json_header();
    TextBuf b = {};
    buf_puts(&b, "{\"ok\":true,\"note\":");
    if (rec)
        buf_add(&b, rec, rec_len - 1); // without its closing brace
    else
        meta_members(&b, &g_meta[i]);
    buf_puts(&b, ",\"body\":\"");
    out_write(b.data, b.length);
    buf_free(&b);
    // The body goes out escaped as it is read, a chunk at a time, up to its first NUL byte: no
    // copy of the whole file is ever held. A file that cannot be opened gives an empty body.
    static char chunk[65536];
    int fd = plat_open_read(path);
    for (long n; fd >= 0 && (n = plat_read(fd, chunk, sizeof chunk)) > 0;) {
        const char *nul = static_cast<const char *>(memchr(chunk, '\0', static_cast<size_t>(n)));
        out_json_part(chunk, nul ? static_cast<size_t>(nul - chunk) : static_cast<size_t>(n));
        if (nul)
            break;
    }
    if (fd >= 0)
        plat_close(fd);
    out_puts("\"}}\n");
}
