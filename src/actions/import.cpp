// The import action: a batch of notes from another app or a backup becomes new notes - bodies
// first under free identifiers, then the index once - with each note's outcome in the answer.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "actions/actions.h"
#include "platform/platform.h"
#include "store/files.h"
#include "store/index.h"
#include "store/meta.h"
#include "store/trash.h"
#include "util/json.h"
#include "util/response.h"
#include "util/utf8.h"

constexpr size_t IMPORT_BODY_MAX = 524288;

// Bodies are written in groups: each group's temporaries are written, then one flush of the
// file system makes them all durable, and only then are they renamed.
constexpr int IMPORT_GROUP = 256;

// A body of the current group: its identifier and its text (a later note of the batch is compared
// with it while it is not on disk under its name yet).
struct ImportPending {
    char id[ID_LEN + 1];
    char *text;
    size_t len;
};
static ImportPending g_pending[IMPORT_GROUP];
static int g_pending_count;

// The identifiers whose bodies this request started writing, taken away again on failure.
static char g_written[META_MAX][ID_LEN + 1];
static int g_written_count;

// 1 when ts is a timestamp as the store writes them ("YYYY-MM-DDTHH:MM:SSZ").
static int import_timestamp(const char *ts)
{
    static const char k_shape[] = "dddd-dd-ddTdd:dd:ddZ";
    for (size_t i = 0; i < sizeof k_shape - 1; i++)
        if (k_shape[i] == 'd' ? ts[i] < '0' || ts[i] > '9' : ts[i] != k_shape[i])
            return 0;
    return ts[sizeof k_shape - 1] == '\0';
}

// Returns the index of a live note with this title and exactly this text, or -1.
static int import_duplicate(const char *title, const char *text, size_t len)
{
    char path[PATH_CAP];
    for (int i = 0; i < g_count; i++) {
        if (strcmp(g_meta[i].title, title) != 0)
            continue;
        int k = 0;
        while (k < g_pending_count && strcmp(g_pending[k].id, g_meta[i].id) != 0)
            k++;
        if (k < g_pending_count) {
            if (g_pending[k].len == len && memcmp(g_pending[k].text, text, len) == 0)
                return i;
            continue;
        }
        note_path(path, g_meta[i].id);
        size_t have = 0;
        char *stored = plat_read_file(path, &have);
        int same = (stored ? have : 0) == len && (len == 0 || memcmp(stored, text, len) == 0);
        free(stored);
        if (same)
            return i;
    }
    return -1;
}

// 1 when id names nothing yet: no record, no body file, no latest trashed copy (which a
// restore would bring back under it).
static int import_id_free(const char *id)
{
    char path[PATH_CAP], record[PATH_CAP];
    if (!valid_id(id) || meta_find(id) >= 0)
        return 0;
    note_path(path, id);
    if (plat_exists(path))
        return 0;
    trash_paths(id, 0, path, record);
    return !plat_exists(path);
}

// Imports the note described by the object text obj. Returns null when it was imported (m filled),
// else the reason; *dup gets the index of the live note it repeats (skipped), else -1.
static const char *import_one(const char *obj, const char *now, NoteMeta *m, int *dup)
{
    *dup = -1;
    const char *v = json_find_value(obj, "body");
    char *text = v && *v == '"' ? json_dup_string(&v) : nullptr;
    if (!text)
        return "missing body field";
    const char *why = nullptr;
    size_t len = strlen(text);
    memset(m, 0, sizeof *m);
    json_find_str(obj, "title", m->title, sizeof m->title);
    m->title[utf8_whole(m->title, strlen(m->title))] = '\0';
    char id[64] = {0};
    json_find_str(obj, "id", id, sizeof id);
    json_find_str(obj, "created", m->created, sizeof m->created);
    json_find_str(obj, "updated", m->updated, sizeof m->updated);
    int pinned = 0;
    json_find_int(obj, "pinned", &pinned);
    m->pinned = pinned ? 1 : 0;
    char path[PATH_CAP];
    ImportPending *pend;

    if (len > IMPORT_BODY_MAX) {
        why = "note body exceeds 512 KiB";
        goto done;
    }
    if (!utf8_valid(text, len) || !utf8_valid(m->title, strlen(m->title))) {
        why = "not valid UTF-8";
        goto done;
    }
    *dup = import_duplicate(m->title, text, len);
    if (*dup >= 0) {
        why = "duplicate";
        goto done;
    }
    if (g_count >= META_MAX) {
        why = "note limit reached";
        goto done;
    }
    if (!import_timestamp(m->created))
        str_copy(m->created, sizeof m->created, import_timestamp(m->updated) ? m->updated : now);
    if (!import_timestamp(m->updated))
        str_copy(m->updated, sizeof m->updated, m->created);
    if (import_id_free(id))
        str_copy(m->id, sizeof m->id, id);
    else
        id_generate(m->id);
    // The body goes to disk under its temporary name; import_flush gives it its own, free, name.
    note_path(path, m->id);
    if (!atomic_stage(path, text, len)) {
        why = "could not write note";
        goto done;
    }
    str_copy(g_written[g_written_count++], ID_LEN + 1, m->id);
    meta_append(m);
    pend = &g_pending[g_pending_count++];
    str_copy(pend->id, sizeof pend->id, m->id);
    pend->text = text;
    pend->len = len;
    return nullptr;
done:
    free(text);
    return why;
}

// Waits until the group's temporaries (and the index's, when index_fd is not -1: it then
// travels with them) are on disk, and renames each body to its note's name. Returns 1, or 0
// when one failed (the index's descriptor is closed either way).
static int import_flush(int index_fd)
{
    char path[PATH_CAP];
    // One flush of the file system in place of one per file: the bodies (and the index's
    // temporary) are on disk before any of them is renamed in.
    int ok = plat_sync_fs(g_dir);
    if (index_fd >= 0 && !index_end(index_fd))
        ok = 0;
    for (int k = 0; k < g_pending_count; k++) {
        note_path(path, g_pending[k].id);
        if (ok && !atomic_commit(path))
            ok = 0;
        free(g_pending[k].text);
    }
    g_pending_count = 0;
    return ok;
}

// Takes away the bodies (and temporaries) this request wrote: the index does not name them.
static void import_undo(void)
{
    char path[PATH_CAP];
    for (int i = 0; i < g_written_count; i++) {
        note_path(path, g_written[i]);
        plat_remove(path);
        atomic_discard(path);
    }
    plat_sync_dir(g_dir);
}

void do_import(const Request *)
{
    const char *list = json_find_value(g_body, "notes");
    if (!list || *list != '[') {
        json_err(400, "Bad Request", "missing notes field");
        return;
    }
    char now[24];
    iso_now(now);
    g_written_count = 0;
    g_pending_count = 0;
    int counts[3] = {0, 0, 0}; // imported, skipped, refused
    TextBuf out = {};
    buf_puts(&out, "\"results\":[");
    // Each note is an object of strings and numbers; its end is the first '}' outside a string.
    char *p = g_body + (list - g_body) + 1;
    for (int n = 0;; n++) {
        while (*p == ' ' || *p == '\t' || *p == '\r' || *p == '\n' || *p == ',')
            p++;
        if (*p != '{')
            break;
        char *end = p + 1;
        for (int in_str = 0; *end && (in_str || *end != '}'); end++) {
            if (in_str && *end == '\\' && end[1])
                end++;
            else if (*end == '"')
                in_str = !in_str;
        }
        if (!*end)
            break;
        char keep = end[1];
        end[1] = '\0';
        NoteMeta m;
        int dup;
        const char *why = import_one(p, now, &m, &dup);
        end[1] = keep;
        if (g_pending_count == IMPORT_GROUP && !import_flush(-1))
            goto failed;
        p = end + 1;
        buf_puts(&out, n ? ",{\"status\":" : "{\"status\":");
        if (!why) {
            counts[0]++;
            buf_puts(&out, "\"imported\",\"id\":");
            json_str(&out, m.id);
        } else if (dup >= 0) {
            counts[1]++;
            buf_puts(&out, "\"skipped\",\"id\":");
            json_str(&out, g_meta[dup].id);
        } else {
            counts[2]++;
            buf_puts(&out, "\"refused\",\"error\":");
            json_str(&out, why);
        }
        buf_putc(&out, '}');
    }
    buf_puts(&out, "]}\n");
    if (g_written_count > 0) {
        // The last group's bodies and the new index go to disk together; the bodies are renamed
        // first, then the index, and one directory flush makes all of it durable.
        sort_meta();
        int index_fd = index_start();
        if (!import_flush(index_fd))
            goto failed;
        if (index_fd < 0 || !index_commit() || !plat_sync_dir(g_dir)) {
            import_undo();
            buf_free(&out);
            json_err(500, "Internal Server Error", "could not write index");
            return;
        }
    }
    char head[96];
    snprintf(head, sizeof head, "{\"ok\":true,\"imported\":%d,\"skipped\":%d,\"refused\":%d,", counts[0], counts[1],
             counts[2]);
    json_header();
    out_puts(head);
    out_write(out.data, out.length);
    buf_free(&out);
    return;
failed:
    // A body that could not be written whole fails the batch: nothing of it stays.
    import_flush(-1);
    index_discard();
    import_undo();
    buf_free(&out);
    json_err(500, "Internal Server Error", "could not write note");
}
