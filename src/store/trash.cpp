// Trash entries: naming of trashed copies and their records, and reading the trash and the
// notes folder's unlisted bodies back for listing and restoring.
//
// The ordering rule of every change that touches more than one file. A note's metadata is
// authoritative in exactly one place: its index record, or a trash record. A body in the notes
// folder that the index does not list is an orphan, shown by the trash listing. Each step writes
// under a new name first (temporary, flush, rename); the step that removes the old reachable copy
// comes last, so a crash between any two steps leaves every note listed and readable, or listed
// by the trash and restorable with its title, pin and dates:
//
//   change               steps, in order                                   a crash between leaves
//   delete               record k -> index without the note -> body into    listed note + stray record;
//                        the trash as copy k -> flush both folders          orphan + its pending record
//   restore              body back to <id>.md (never over a file) ->        orphan + pending record;
//                        index with the note -> remove record k             listed note + stray record
//   save, new note       body -> index                                      orphan (first line as title)
//   save, existing note  both temporaries flushed -> body -> index ->       new text, old metadata
//                        one folder flush
//   save over an orphan  orphan into the trash as its entry -> new note     a trash entry
//   copy at note limit   body into the trash -> its record                  a trash entry
//   pin                  index                                              old or new
//
// A record without a body whose identifier the index lists is a stray of a crashed change: it is
// ignored, and replaced by the next delete of that note. Leftover "*.tmp" files match no name
// read here and are replaced by the next write of their file.
#include "store/trash.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/platform.h"
#include "store/files.h"
#include "store/index.h"
#include "util/json.h"
#include "util/textbuf.h"

void trash_paths(const char *id, int copy, char *body, char *record)
{
    char name[80];
    if (copy > 0)
        snprintf(name, sizeof name, "%s.%d.md", id, copy);
    else
        snprintf(name, sizeof name, "%s.md", id);
    path_join(body, g_trash, name);
    if (copy > 0)
        snprintf(name, sizeof name, "%s.%d.json", id, copy);
    else
        snprintf(name, sizeof name, "%s.json", id);
    path_join(record, g_trash, name);
}

int trash_free_copy(const char *id)
{
    char body[PATH_CAP], record[PATH_CAP];
    for (int k = 0; k <= TRASH_COPY_MAX; k++) {
        trash_paths(id, k, body, record);
        // A failed look-up is never taken for a free number: its record would replace another's.
        int kind = plat_file_kind(body);
        if (kind <= 0)
            return kind == 0 ? k : -1;
    }
    return -1;
}

int trash_record_write(const NoteMeta *m, const char *deleted, int copy)
{
    char body[PATH_CAP], record[PATH_CAP];
    trash_paths(m->id, copy, body, record);
    TextBuf b = {};
    meta_members(&b, m);
    buf_puts(&b, ",\"deleted\":");
    json_str(&b, deleted);
    buf_puts(&b, "}\n");
    int ok = b.data && atomic_write(record, b.data, b.length);
    buf_free(&b);
    return ok;
}

void trash_record_remove(const char *id, int copy)
{
    char body[PATH_CAP], record[PATH_CAP];
    trash_paths(id, copy, body, record);
    plat_remove(record);
    plat_sync_dir(g_trash);
}

// Returns 1 when t is empty or a valid timestamp: the forms a record's dates are stored in.
static int stored_time(const char *t)
{
    return t[0] == '\0' || iso_valid(t);
}

// Fills e from the record of id's copy number copy when it holds the identifier and values in
// their stored forms. Returns 1, 0 (e untouched) when it is missing, no regular file or not in
// those forms, or -1 when it is there but could not be read (a failing disk).
static int record_read(const char *id, int copy, TrashEntry *e)
{
    char body[PATH_CAP], record[PATH_CAP];
    trash_paths(id, copy, body, record);
    char *rec = plat_read_file(record, nullptr);
    if (!rec) {
        int kind = plat_file_kind(record);
        return kind == 1 || kind < 0 ? -1 : 0;
    }
    TrashEntry t;
    memset(&t, 0, sizeof t);
    int ok = meta_read_json(rec, &t.meta) && strcmp(t.meta.id, id) == 0 &&
             (t.meta.pinned == 0 || t.meta.pinned == 1) && stored_time(t.meta.created) &&
             stored_time(t.meta.updated) && json_find_str(rec, "deleted", t.deleted, sizeof t.deleted) &&
             iso_valid(t.deleted);
    free(rec);
    if (!ok)
        return 0;
    t.copy = copy;
    t.has_record = 1;
    *e = t;
    return 1;
}

// Fills e for a body without a usable record: the title from its first line and both dates from
// the file's time (a delete leaves it untouched, so it tells when the note was last saved).
static void entry_from_body(const char *id, const char *path, int copy, TrashEntry *e)
{
    memset(e, 0, sizeof *e);
    e->copy = copy;
    str_copy(e->meta.id, sizeof e->meta.id, id);
    char *text = plat_read_file(path, nullptr);
    if (text)
        meta_title_from_text(text, e->meta.title, sizeof e->meta.title);
    free(text);
    int64_t t = plat_mtime_s(path);
    if (t >= 0) {
        iso_format(e->meta.created, t);
        str_copy(e->meta.updated, sizeof e->meta.updated, e->meta.created);
    }
}

// Returns 1 when row a was deleted (then updated) later than row b.
static int trash_newer(const TrashEntry *a, const TrashEntry *b)
{
    int c = strcmp(a->deleted, b->deleted);
    return c != 0 ? c > 0 : strcmp(a->meta.updated, b->meta.updated) > 0;
}

static int trash_order(const void *a, const void *b)
{
    const TrashEntry *x = static_cast<const TrashEntry *>(a), *y = static_cast<const TrashEntry *>(b);
    return trash_newer(x, y) ? -1 : trash_newer(y, x) ? 1 : 0;
}

// One name that the scan found: a trashed body or record of a copy number, or (copy -1) an orphan.
struct TrashName {
    char id[ID_LEN + 1];
    int copy;
    unsigned char body, record;
};

// Where the entries a scan builds go: the listing's rows, or the one entry trash_find wants.
struct TrashScan {
    const char *only; // the identifier trash_find looks for; null for the listing
    TrashName *names;
    int count, cap;
    TrashEntry *rows; // the listing: the TRASH_MAX most recent
    int rows_count;
    int want; // trash_find: a copy number, TRASH_LATEST or TRASH_ORPHAN
    TrashEntry *found;
    int have;
    int unread; // trash_find of the latest: a candidate's record could not be read

};

// Appends a name to the scan; a name that finds no memory is left out.
static void scan_push(TrashScan *s, const char *id, int copy, int body)
{
    if (s->count == s->cap) {
        int cap = s->cap ? s->cap * 2 : 256;
        void *p = realloc(s->names, sizeof(TrashName) * static_cast<size_t>(cap));
        if (!p)
            return;
        s->names = static_cast<TrashName *>(p);
        s->cap = cap;
    }
    TrashName *n = &s->names[s->count++];
    memcpy(n->id, id, ID_LEN + 1);
    n->copy = copy;
    n->body = static_cast<unsigned char>(body);
    n->record = static_cast<unsigned char>(!body);
}

// Returns the copy number that a trash file name gives, or -1 for any other name; id gets the
// identifier (13 bytes) and *body 1 for a body ("*.md"), 0 for a record ("*.json").
static int trash_name_copy(const char *name, char *id, int *body)
{
    size_t n = strlen(name), ext;
    if (n > 3 && strcmp(name + n - 3, ".md") == 0) {
        ext = 3;
        *body = 1;
    } else if (n > 5 && strcmp(name + n - 5, ".json") == 0) {
        ext = 5;
        *body = 0;
    } else {
        return -1;
    }
    if (n < ID_LEN + ext)
        return -1;
    memcpy(id, name, ID_LEN);
    id[ID_LEN] = '\0';
    if (!valid_id(id))
        return -1;
    if (n == ID_LEN + ext)
        return 0;
    const char *p = name + ID_LEN, *end = name + n - ext;
    if (*p++ != '.' || p == end || *p == '0' || end - p > 4)
        return -1;
    int k = 0;
    for (; p < end; p++) {
        if (*p < '0' || *p > '9')
            return -1;
        k = k * 10 + (*p - '0');
    }
    return k;
}

// Takes one trash directory entry's name into the scan.
static int scan_trash_name(void *ctx, const char *name)
{
    TrashScan *s = static_cast<TrashScan *>(ctx);
    char id[ID_LEN + 1];
    int body;
    int copy = trash_name_copy(name, id, &body);
    if (copy >= 0 && (!s->only || strcmp(s->only, id) == 0))
        scan_push(s, id, copy, body);
    return 1;
}

// The listed identifiers, sorted, for telling orphans in the notes folder.
static char (*g_listed)[ID_LEN + 1];
static int g_listed_count;

static int id_order(const void *a, const void *b)
{
    return memcmp(a, b, ID_LEN);
}

// Takes one notes folder entry into the scan when it is an orphan body.
static int scan_orphan_name(void *ctx, const char *name)
{
    TrashScan *s = static_cast<TrashScan *>(ctx);
    char id[ID_LEN + 1], path[PATH_CAP];
    if (strlen(name) != ID_LEN + 3 || strcmp(name + ID_LEN, ".md") != 0)
        return 1;
    memcpy(id, name, ID_LEN);
    id[ID_LEN] = '\0';
    if (!valid_id(id) ||
        bsearch(id, g_listed, static_cast<size_t>(g_listed_count), sizeof *g_listed, id_order))
        return 1;
    note_path(path, id);
    if (plat_is_real_file(path))
        scan_push(s, id, -1, 1);
    return 1;
}

static int name_order(const void *a, const void *b)
{
    const TrashName *x = static_cast<const TrashName *>(a), *y = static_cast<const TrashName *>(b);
    int c = memcmp(x->id, y->id, ID_LEN);
    return c ? c : (x->copy > y->copy) - (x->copy < y->copy);
}

// Returns 1 when entry a of an identifier was deleted later than entry b: by its time of delete,
// then (a tie within one second) by its copy number.
static int entry_later(const TrashEntry *a, const TrashEntry *b)
{
    int c = strcmp(a->deleted, b->deleted);
    return c != 0 ? c > 0 : a->copy > b->copy;
}

// Hands one built entry to the listing or to trash_find.
static void scan_take(TrashScan *s, const TrashEntry *e)
{
    if (!s->rows) {
        int pick = s->want >= 0 ? e->copy == s->want : s->want == TRASH_ORPHAN ? e->orphan : 0;
        if (s->want == TRASH_LATEST) {
            // The orphan first: a trashed copy cannot come back while the orphan holds its name.
            const TrashEntry *f = s->found;
            pick = !s->have || (e->orphan != f->orphan ? e->orphan : entry_later(e, f));
            s->unread |= e->unread;
        }
        if (pick) {
            *s->found = *e;
            s->have = 1;
        }
        return;
    }
    if (s->rows_count < TRASH_MAX) {
        s->rows[s->rows_count++] = *e;
        return;
    }
    int oldest = 0;
    for (int i = 1; i < s->rows_count; i++)
        if (trash_newer(&s->rows[oldest], &s->rows[i]))
            oldest = i;
    if (trash_newer(e, &s->rows[oldest]))
        s->rows[oldest] = *e;
}

// Builds the entries of one identifier from its names g[0..n) (sorted by copy number, an orphan
// first): each trashed body, and the orphan with its pending record or the lowest free number.
static void scan_group(TrashScan *s, const TrashName *g, int n)
{
    const char *id = g[0].id;
    char body[PATH_CAP], record[PATH_CAP];
    TrashEntry e;
    for (int i = 0; i < n; i++) {
        if (!g[i].body || g[i].copy < 0)
            continue;
        trash_paths(id, g[i].copy, body, record);
        // A trashed body that is a link is nothing to bring back: a restore would make a note of
        // whatever the link points to. One that could not be looked up leaves the latest unknown.
        int kind = plat_file_kind(body);
        if (kind != 1) {
            s->unread |= kind < 0 && s->want == TRASH_LATEST;
            continue;
        }
        int r = g[i].record ? record_read(id, g[i].copy, &e) : 0;
        if (r <= 0) {
            entry_from_body(id, body, g[i].copy, &e);
            e.unread = r < 0;
        }
        scan_take(s, &e);
    }
    if (g[0].copy >= 0)
        return;
    // The orphan's metadata: the newest record without a body (left by a crashed delete or restore).
    int have = 0, unread = 0;
    TrashEntry best;
    for (int i = 1; i < n; i++) {
        int r = g[i].body ? 0 : record_read(id, g[i].copy, &e);
        unread |= r < 0;
        if (r <= 0)
            continue;
        if (!have || entry_later(&e, &best))
            best = e;
        have = 1;
    }
    if (!have) {
        int k = 0;
        for (int i = 1; i < n && g[i].copy == k; i++)
            k++;
        note_path(body, id);
        entry_from_body(id, body, k, &best);
    }
    best.orphan = 1;
    best.unread = unread;
    scan_take(s, &best);
}

// Scans the trash (and, for orphans, the notes folder against the table) and hands every entry to
// the scan's sink. Returns 1, or 0 when the trash cannot be read.
static int trash_scan(TrashScan *s)
{
    if (!plat_is_real_dir(g_trash) || !plat_list_dir(g_trash, scan_trash_name, s))
        return 0;
    // An index that could not be read lists nothing: every body would look like an orphan.
    if (!g_index_unreadable) {
        char path[PATH_CAP];
        if (s->only) {
            note_path(path, s->only);
            if (meta_find(s->only) < 0 && plat_is_real_file(path))
                scan_push(s, s->only, -1, 1);
        } else {
            g_listed =
                static_cast<char(*)[ID_LEN + 1]>(malloc(sizeof *g_listed * static_cast<size_t>(g_count + 1)));
            if (g_listed) {
                for (int i = 0; i < g_count; i++)
                    memcpy(g_listed[i], g_meta[i].id, ID_LEN + 1);
                g_listed_count = g_count;
                if (g_count > 1)
                    qsort(g_listed, static_cast<size_t>(g_count), sizeof *g_listed, id_order);
                plat_list_dir(g_dir, scan_orphan_name, s);
                free(g_listed);
                g_listed = nullptr;
            }
        }
    }
    if (s->count > 1)
        qsort(s->names, static_cast<size_t>(s->count), sizeof *s->names, name_order);
    // A body and a record of one copy number become one name.
    int m = 0;
    for (int i = 0; i < s->count; i++) {
        if (m > 0 && name_order(&s->names[m - 1], &s->names[i]) == 0) {
            s->names[m - 1].body |= s->names[i].body;
            s->names[m - 1].record |= s->names[i].record;
        } else {
            s->names[m++] = s->names[i];
        }
    }
    for (int i = 0, j; i < m; i = j) {
        for (j = i + 1; j < m && memcmp(s->names[j].id, s->names[i].id, ID_LEN) == 0;)
            j++;
        scan_group(s, &s->names[i], j - i);
    }
    free(s->names);
    s->names = nullptr;
    return 1;
}

int trash_find(const char *id, int copy, TrashEntry *e)
{
    TrashScan s;
    memset(&s, 0, sizeof s);
    s.only = id;
    s.want = copy;
    s.found = e;
    if (!trash_scan(&s) || !s.have)
        return 0;
    // Which entry is the latest is unknown while a record of one could not be read.
    e->unread |= s.unread;
    return 1;
}

int trash_list(TrashEntry *rows)
{
    TrashScan s;
    memset(&s, 0, sizeof s);
    s.rows = rows;
    if (!trash_scan(&s))
        return 0;
    if (s.rows_count > 1)
        qsort(rows, static_cast<size_t>(s.rows_count), sizeof *rows, trash_order);
    return s.rows_count;
}
