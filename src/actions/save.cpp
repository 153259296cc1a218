// The save action: creates a note or replaces an existing note's body and title, then rewrites
// the index and answers with the stored metadata.
#include <cstdlib>
#include <cstring>

#include "actions/actions.h"
#include "platform/platform.h"
#include "store/files.h"
#include "store/index.h"
#include "store/meta.h"
#include "store/trash.h"
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

// The members of a save request, as read from its body.
struct SaveRequest {
    char id[64];
    char title[300];
    char *text; // the decoded body, owned
    size_t len;
    int pinned, has_pinned;
    char base[32];
    int has_base;
    char base_title[1024]; // the title the client last saw, in the form it was shown
    int has_base_title;
    int keep; // the client asks for the replaced text to be kept as a version
    int copy; // 1 once a stale base made this save a conflicting copy
};

// Reads the request body's members into q (text is null on failure). Returns 1, or 0 after
// answering 400 or 413.
static int save_read(SaveRequest *q)
{
    memset(q, 0, sizeof *q);
    if (!g_body[0]) {
        json_err(400, "Bad Request", "empty body");
        return 0;
    }
    json_find_str(g_body, "id", q->id, sizeof q->id);
    json_find_str(g_body, "title", q->title, sizeof q->title);
    const char *v = json_find_value(g_body, "body");
    q->text = v && *v == '"' ? json_dup_string(&v) : nullptr;
    if (!q->text) {
        json_err(400, "Bad Request", "missing body field");
        return 0;
    }
    q->len = strlen(q->text);
    if (q->len > NOTE_BODY_MAX) {
        json_err(413, "Payload Too Large", "note body exceeds 512 KiB");
        return 0;
    }
    if (q->id[0] && !valid_id(q->id)) {
        json_err(400, "Bad Request", "invalid id");
        return 0;
    }
    q->has_pinned = json_find_int(g_body, "pinned", &q->pinned);
    q->pinned = q->pinned ? 1 : 0;
    // "base" names the body the client last saw; a save from a stale view must not replace text
    // it never saw.
    q->has_base = json_find_value(g_body, "base") != nullptr;
    if (q->has_base &&
        (!json_find_str(g_body, "base", q->base, sizeof q->base) || !fingerprint_valid(q->base))) {
        json_err(400, "Bad Request", "invalid base");
        return 0;
    }
    q->has_base_title = json_find_str(g_body, "base_title", q->base_title, sizeof q->base_title);
    json_find_int(g_body, "keep", &q->keep);
    return 1;
}

// Checks the base under the directory lock, so two racing saves with one base cannot both pass.
// A stale save with "copy_title" becomes a new note of that title (*i -1, the id cleared): a page
// that is closing cannot act on a refusal. Returns 1, or 0 after answering 409.
static int save_check_base(SaveRequest *q, int *i, const char *old_body)
{
    // A title changed elsewhere counts as a change of the note too.
    int title_ok = !q->has_base_title || (*i >= 0 && fingerprint_same_shown(g_meta[*i].title, q->base_title));
    if ((!q->has_base || base_matches(*i, old_body, q->base)) && title_ok)
        return 1;
    char copy_title[300] = {0};
    if (!json_find_str(g_body, "copy_title", copy_title, sizeof copy_title)) {
        json_err(409, "Conflict", "note changed elsewhere");
        return 0;
    }
    *i = -1;
    q->id[0] = '\0';
    q->copy = 1;
    str_copy(q->title, sizeof q->title, copy_title);
    return 1;
}

// Moves a body that the index does not list at the note's name (an orphan the trash shows) into
// the trash as the entry it is listed as, so a save never replaces it unseen. Returns 1 (also
// when there is none), or 0 after answering 500 with the orphan in place.
static int save_keep_orphan(const char *id)
{
    TrashEntry e;
    char live[PATH_CAP], body[PATH_CAP], record[PATH_CAP];
    note_path(live, id);
    // Nothing, or a special file that the save replaces; a failed look-up counts as neither.
    int kind = plat_file_kind(live);
    if (kind == 0 || kind == 2)
        return 1;
    // An orphan that the trash cannot be read to number, or cannot take, is refused, never replaced.
    int ok = trash_find(id, TRASH_ORPHAN, &e) && !e.unread && e.copy <= TRASH_COPY_MAX;
    if (ok) {
        trash_paths(id, e.copy, body, record);
        ok = plat_move_new(live, body);
    }
    if (!ok) {
        json_err(500, "Internal Server Error", "could not write note");
        return 0;
    }
    plat_sync_dir(g_trash);
    plat_sync_dir(g_dir);
    return 1;
}

// At the note limit a conflicting copy cannot become a note: its text goes into the trash as
// a new entry (body, then record), so it is neither refused nor lost, and the answer says where
// it is. Answers 500 either way: "note limit reached; copy kept in trash", or "note limit
// reached" when it could not be written (nothing is left then).
static void save_copy_to_trash(const SaveRequest *q, NoteMeta *m)
{
    char body[PATH_CAP], record[PATH_CAP];
    id_generate(m->id);
    int k = plat_is_real_dir(g_trash) ? trash_free_copy(m->id) : -1;
    if (k >= 0)
        trash_paths(m->id, k, body, record);
    if (k < 0 || !atomic_write(body, q->text, q->len)) {
        json_err(500, "Internal Server Error", "note limit reached");
        return;
    }
    // Without its record the entry still shows, titled by its first line.
    trash_record_write(m, m->updated, k);
    json_err(500, "Internal Server Error", "note limit reached; copy kept in trash");
}

// Writes the note's body and the index with record m (table index i, -1 for a new note).
// Returns 1, or 0 after answering 500 with the old body and index in place.
static int save_commit(const SaveRequest *q, int i, const NoteMeta *m, const char *old_body, size_t old_len)
{
    char path[PATH_CAP], old_title[300];
    // The text this save replaces is kept as a version just before the new body moves over it.
    int keep = i >= 0 && versions_wanted(m->id, old_body, old_len, q->text, q->len, q->keep != 0);
    str_copy(old_title, sizeof old_title, i >= 0 ? g_meta[i].title : "");
    note_path(path, m->id);
    int body_fd = atomic_start(path, q->text, q->len);
    if (body_fd < 0) {
        json_err(500, "Internal Server Error", "could not write note");
        return 0;
    }
    if (i >= 0)
        g_meta[i] = *m;
    else
        meta_append(m);
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
        json_err(500, "Internal Server Error", body_ok ? "could not write index" : "could not write note");
        return 0;
    }
    if ((keep && !versions_keep(m->id, old_title)) || !atomic_commit(path)) {
        if (keep)
            atomic_discard(path);
        index_discard();
        json_err(500, "Internal Server Error", "could not write note");
        return 0;
    }
    if (!index_commit()) {
        // Leave the note as the index still describes it: its old body back, or a new note's
        // body (no file stood at its name: an orphan there went to the trash) taken away again.
        if (i >= 0 && old_body)
            atomic_write(path, old_body, old_len);
        else if (i < 0)
            plat_remove(path);
        json_err(500, "Internal Server Error", "could not write index");
        return 0;
    }
    plat_sync_dir(g_dir);
    versions_thin(m->id, keep);
    return 1;
}

void do_save(const Request *)
{
    SaveRequest q;
    NoteMeta m;
    char now[24], path[PATH_CAP];
    char *old_body = nullptr;
    size_t old_len = 0;
    int i = -1;
    if (!save_read(&q))
        goto done;
    i = q.id[0] ? meta_find(q.id) : -1;
    // An existing note's old body is kept in memory: the base is compared with it, and a failed
    // index write puts it back.
    if (i >= 0) {
        note_path(path, q.id);
        old_body = plat_read_file(path, &old_len);
    }
    if (!save_check_base(&q, &i, old_body))
        goto done;
    if (i < 0) {
        free(old_body);
        old_body = nullptr;
    }
    iso_now(now);
    if (i >= 0) {
        m = g_meta[i];
        if (q.has_pinned)
            m.pinned = q.pinned;
    } else {
        memset(&m, 0, sizeof m);
        m.pinned = q.pinned;
        str_copy(m.created, sizeof m.created, now);
    }
    str_copy(m.title, sizeof m.title, q.title);
    str_copy(m.updated, sizeof m.updated, now);
    if (i < 0 && g_count >= META_MAX) {
        // A full table is refused before any file is written, so no body is left without a record.
        if (q.copy)
            save_copy_to_trash(&q, &m);
        else
            json_err(500, "Internal Server Error", "note limit reached");
        goto done;
    }
    if (i < 0 && q.id[0] && !save_keep_orphan(q.id))
        goto done;
    if (i < 0) {
        if (q.id[0])
            str_copy(m.id, sizeof m.id, q.id);
        else
            id_generate(m.id);
    }
    if (save_commit(&q, i, &m, old_body, old_len))
        save_answer(&m);
done:
    free(q.text);
    free(old_body);
}
