// The save action: creates a note or replaces an existing note's body and title, then rewrites
// the index and answers with the stored metadata.
#include <cstdlib>
#include <cstring>

#include "actions/actions.h"
#include "platform/platform.h"
#include "store/files.h"
#include "store/index.h"
#include "store/meta.h"
#include "store/versions.h"
#include "util/fingerprint.h"
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

// Returns 1 when the note at table index i (-1: none) still has the body that base names. The
// body counts up to its first NUL and an unreadable file as empty, as get shows them; a body that
// is not valid UTF-8 also matches in the form a browser shows it, which is all a page can know.
static int base_matches(int i, const char *stored, const char *base)
{
    if (i < 0)
        return 0;
    const char *text = stored ? stored : "";
    char now[FINGERPRINT_HEX + 1];
    fingerprint_text(text, strlen(text), now);
    if (strcmp(now, base) == 0)
        return 1;
    fingerprint_shown(text, strlen(text), now);
    return strcmp(now, base) == 0;
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
    // "base" names the body the client last saw; a save from a stale view must not replace text
    // it never saw. It is checked here, under the directory lock, so two racing saves with the
    // same base cannot both pass.
    char base[32] = {0};
    int has_base = json_find_value(g_body, "base") != nullptr;
    if (has_base && (!json_find_str(g_body, "base", base, sizeof base) || !fingerprint_valid(base))) {
        free(text);
        json_err(400, "Bad Request", "invalid base");
        return;
    }
    char path[PATH_CAP];
    size_t old_len = 0;
    int i = id[0] ? meta_find(id) : -1;
    // An existing note's old body is kept in memory: the base is compared with it, and a failed
    // index write puts it back.
    char *old_body = nullptr;
    if (i >= 0) {
        note_path(path, id);
        old_body = plat_read_file(path, &old_len);
    }
    // "base_title" names the title the client last saw, so a stale view never replaces a title
    // changed elsewhere either.
    char base_title[1024];
    int has_base_title = json_find_str(g_body, "base_title", base_title, sizeof base_title);
    if ((has_base && !base_matches(i, old_body, base)) ||
        (has_base_title && (i < 0 || !fingerprint_same_shown(g_meta[i].title, base_title)))) {
        // With "copy_title" the text is kept at once as a new note instead of being refused:
        // a page that is closing cannot act on a refusal.
        char copy_title[300] = {0};
        if (!json_find_str(g_body, "copy_title", copy_title, sizeof copy_title)) {
            free(text);
            free(old_body);
            json_err(409, "Conflict", "note changed elsewhere");
            return;
        }
        free(old_body);
        old_body = nullptr;
        i = -1;
        id[0] = '\0';
        str_copy(title, sizeof title, copy_title);
    }
    char now[24];
    iso_now(now);

    NoteMeta m;
    if (i >= 0) {
        m = g_meta[i];
        if (has_pinned)
            m.pinned = pinned;
    } else {
        // A full table is refused before any file is written, so no body is left without a record.
        if (g_count >= META_MAX) {
            free(text);
            free(old_body);
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

    // The text this save replaces is kept as a version before the new body is moved over it.
    int keep = 0;
    json_find_int(g_body, "keep", &keep);
    int keep_version = i >= 0 && versions_wanted(m.id, old_body, old_len, text, len, keep != 0);
    char old_title[300];
    str_copy(old_title, sizeof old_title, i >= 0 ? g_meta[i].title : "");
    note_path(path, m.id);
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
    if (keep_version && !versions_keep(m.id, old_title)) {
        atomic_discard(path);
        index_discard();
        free(old_body);
        json_err(500, "Internal Server Error", "could not write note");
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
    versions_thin(m.id, keep_version);
}
