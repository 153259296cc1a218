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
    // A version is asked for by its note's id whether the note is listed or in the trash.
    char version[VERSION_KEY_CAP + 1];
    if (get_query_val(r->query, "version", version, sizeof version)) {
        if (action_valid_id(r))
            do_get_version(r, version);
        return;
    }
    NoteRef ref;
    if (!note_lookup(r, 1, &ref))
        return;
    char path[PATH_CAP];
    note_path(path, r->id);
    json_header();
    TextBuf b = {};
    buf_puts(&b, "{\"ok\":true,\"note\":");
    if (ref.rec)
        buf_add(&b, ref.rec, ref.rec_len - 1); // without its closing brace
    else
        meta_members(&b, &g_meta[ref.i]);
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
