// The history action and get with a version: a note's kept versions, newest first, and the text
// of one of them in the shape get answers.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "actions/actions.h"
#include "platform/platform.h"
#include "store/files.h"
#include "store/index.h"
#include "store/meta.h"
#include "store/versions.h"
#include "util/json.h"
#include "util/query.h"
#include "util/response.h"

static VersionInfo g_version_rows[VERSION_NOTE_MAX];

// Returns 1 when the identifier is listed in the index this request read (a plain index is
// searched as it stands, any other is read into the table first).
static int history_listed(const char *id)
{
    int total;
    size_t len;
    if (index_plain(&total))
        return index_plain_find(id, &len) != nullptr;
    index_fill();
    return meta_find(id) >= 0;
}

void do_history(const Request *r)
{
    if (!valid_id(r->id)) {
        json_err(400, "Bad Request", "invalid id");
        return;
    }
    int n = versions_list(r->id, g_version_rows);
    // A note that is listed or in the trash has a history, perhaps empty; any other id is unknown.
    if (n == 0 && !history_listed(r->id) && !versions_owner_exists(r->id)) {
        json_err(404, "Not Found", "note not found");
        return;
    }
    json_header();
    TextBuf b = {};
    char head[160];
    snprintf(head, sizeof head, "{\"ok\":true,\"id\":\"%.12s\",\"count\":%d,\"versions\":[", r->id, n);
    buf_puts(&b, head);
    for (int i = 0; i < n; i++) {
        const VersionInfo *v = &g_version_rows[i];
        char size[32];
        snprintf(size, sizeof size, "\",\"size\":%lld,\"title\":", static_cast<long long>(v->size));
        buf_puts(&b, i ? ",\n  {\"version\":\"" : "\n  {\"version\":\"");
        buf_puts(&b, v->key);
        buf_puts(&b, "\",\"replaced\":\"");
        buf_puts(&b, v->replaced);
        buf_puts(&b, size);
        json_str(&b, v->title);
        buf_puts(&b, "}");
    }
    buf_puts(&b, n ? "\n]}\n" : "]}\n");
    out_write(b.data, b.length);
    buf_free(&b);
}

void do_get_version(const Request *r, const char *key)
{
    // The id was checked by get; the key is checked before it becomes part of a path.
    VersionInfo v;
    char path[PATH_CAP];
    size_t len = 0;
    char *text = nullptr;
    if (version_info(r->id, key, &v)) {
        version_path(path, r->id, key);
        text = plat_read_file(path, &len);
    }
    if (!text) {
        json_err(404, "Not Found", "version not found");
        return;
    }
    // The note's own metadata where it is listed, with the title the version had and the time its
    // text was replaced as "updated"; a trashed note's version has no pin and no creation date.
    NoteMeta m;
    memset(&m, 0, sizeof m);
    index_fill();
    int i = meta_find(r->id);
    if (i >= 0)
        m = g_meta[i];
    str_copy(m.id, sizeof m.id, r->id);
    str_copy(m.title, sizeof m.title, v.title);
    str_copy(m.updated, sizeof m.updated, v.replaced);
    json_header();
    TextBuf b = {};
    buf_puts(&b, "{\"ok\":true,\"note\":");
    meta_members(&b, &m);
    buf_puts(&b, ",\"body\":");
    json_str(&b, text);
    buf_puts(&b, "}}\n");
    out_write(b.data, b.length);
    buf_free(&b);
    free(text);
}
