// The save action: creates a note or replaces an existing note's body and title, then rewrites
// the index and answers with the stored metadata.
#include <cstdlib>
#include <cstring>

#include "actions/actions.h"
#include "platform/platform.h"
#include "store/files.h"
#include "store/index.h"
#include "store/meta.h"
#include "util/json.h"
#include "util/response.h"

constexpr size_t NOTE_BODY_MAX = 524288;

// Writes the success body: {"ok":true,"note":{...}} and a line feed.
static void save_answer(const NoteMeta *m)
{
    json_header();
    TextBuf b = {};
    buf_puts(&b, "{\"ok\":true,\"note\":");
    meta_members(&b, m);
    buf_puts(&b, "}}\n");
    out_write(b.data, b.length);
    buf_free(&b);
}

void do_save(const Request *)
{
    if (!g_body[0]) {
        json_err(400, "Bad Request", "empty body");
        return;
    }
    char id[64] = {0};
    char title[300] = {0};
    json_find_str(g_body, "id", id, sizeof id);
    json_find_str(g_body, "title", title, sizeof title);

    const char *v = json_find_value(g_body, "body");
    char *text = v && *v == '"' ? json_dup_string(&v) : nullptr;
    if (!text) {
        json_err(400, "Bad Request", "missing body field");
        return;
    }
    size_t len = strlen(text);
    if (len > NOTE_BODY_MAX) {
        free(text);
        json_err(413, "Payload Too Large", "note body exceeds 512 KiB");
        return;
    }
    if (id[0] && !valid_id(id)) {
        free(text);
        json_err(400, "Bad Request", "invalid id");
        return;
    }
    int pinned = 0;
    int has_pinned = json_find_int(g_body, "pinned", &pinned);
    pinned = pinned ? 1 : 0;
    char now[24];
    iso_now(now);

    NoteMeta m;
    int i = id[0] ? meta_find(id) : -1;
    if (i >= 0) {
        m = g_meta[i];
        if (has_pinned)
            m.pinned = pinned;
    } else {
        // A full table is refused before any file is written, so no body is left without a record.
        if (g_count >= META_MAX) {
            free(text);
            json_err(500, "Internal Server Error", "note limit reached");
            return;
        }
        memset(&m, 0, sizeof m);
        if (id[0])
            str_copy(m.id, sizeof m.id, id);
        else
            id_generate(m.id);
        m.pinned = pinned;
        str_copy(m.created, sizeof m.created, now);
    }
    str_copy(m.title, sizeof m.title, title);
    str_copy(m.updated, sizeof m.updated, now);

    char path[PATH_CAP];
    size_t old_len = 0;
    note_path(path, m.id);
    // An existing note's old body is kept in memory so a failed index write can put it back.
    char *old_body = i >= 0 ? plat_read_file(path, &old_len) : nullptr;
    int body_fd = atomic_start(path, text, len);
    free(text);
    if (body_fd < 0) {
        free(old_body);
        json_err(500, "Internal Server Error", "could not write note");
        return;
    }
    if (i >= 0)
        g_meta[i] = m;
    else
        meta_append(&m);
    sort_meta();
    // Both new files travel to disk together under their temporary names and are waited for
    // before either replaces its original; then the body moves first, and one directory flush
    // makes both replacements durable. A crash between the two moves leaves the new body beside
    // the old index, as a crash between two separate replacements would.
    int index_fd = index_start();
    int body_ok = atomic_end(path, body_fd);
    int index_ok = index_fd >= 0 && index_end(index_fd);
    if (!body_ok || !index_ok) {
        if (body_ok)
            atomic_discard(path);
        if (index_ok)
            index_discard();
        free(old_body);
        json_err(500, "Internal Server Error", body_ok ? "could not write index" : "could not write note");
        return;
    }
    if (!atomic_commit(path)) {
        index_discard();
        free(old_body);
        json_err(500, "Internal Server Error", "could not write note");
        return;
    }
    if (!index_commit()) {
        // Leave the note as the index still describes it: its old body back, or a brand-new
        // note's body (whose generated identifier had no file before) taken away again.
        if (old_body)
            atomic_write(path, old_body, old_len);
        else if (!id[0])
            plat_remove(path);
        free(old_body);
        json_err(500, "Internal Server Error", "could not write index");
        return;
    }
    plat_sync_dir(g_dir);
    free(old_body);
    save_answer(&m);
}
