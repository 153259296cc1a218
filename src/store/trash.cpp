// Trash entries: naming of trashed copies, their records, moving a deleted body in and reading
// the trash back for listing and restoring.
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

// Returns the lowest copy number whose body and record names are both free, or -1.
static int trash_free_copy(const char *id)
{
    char body[PATH_CAP], record[PATH_CAP];
    for (int k = 1; k <= TRASH_COPY_MAX; k++) {
        trash_paths(id, k, body, record);
        if (!plat_exists(body) && !plat_exists(record))
            return k;
    }
    return -1;
}

int trash_put(const NoteMeta *m, const char *deleted)
{
    char src[PATH_CAP], body[PATH_CAP], record[PATH_CAP];
    note_path(src, m->id);
    if (!plat_exists(src) || !plat_is_real_dir(g_trash))
        return 0;
    trash_paths(m->id, 0, body, record);
    if (plat_exists(body)) {
        // The earlier delete of this identifier keeps its body: it moves aside, never replaced.
        int k = trash_free_copy(m->id);
        char body_k[PATH_CAP], record_k[PATH_CAP];
        if (k < 0)
            return 0;
        trash_paths(m->id, k, body_k, record_k);
        if (!plat_move(body, body_k))
            return 0;
        if (plat_exists(record))
            plat_move(record, record_k);
    }
    if (!plat_replace(src, body))
        return 0;
    // A missing record only costs the title and dates (the body's first line stands in).
    TextBuf b = {};
    meta_members(&b, m);
    buf_puts(&b, ",\"deleted\":");
    json_str(&b, deleted);
    buf_puts(&b, "}\n");
    if (b.data)
        atomic_write(record, b.data, b.length);
    buf_free(&b);
    return 1;
}

// Sets title to the body's first line without heading marks or surrounding blanks, cut to the
// title field at a character boundary.
static void trash_title_from_body(const char *text, char *title, size_t size)
{
    const char *p = text;
    while (*p == ' ' || *p == '\t' || *p == '#')
        p++;
    size_t n = strcspn(p, "\r\n");
    while (n > 0 && (p[n - 1] == ' ' || p[n - 1] == '\t'))
        n--;
    if (n > size - 1) {
        n = size - 1;
        while (n > 0 && (static_cast<unsigned char>(p[n]) & 0xC0) == 0x80)
            n--;
    }
    memcpy(title, p, n);
    title[n] = '\0';
}

int trash_entry(const char *id, int copy, TrashEntry *e)
{
    char body[PATH_CAP], record[PATH_CAP];
    trash_paths(id, copy, body, record);
    // A trash that is not a real directory, or a body that is a link, is nothing to bring back:
    // a restore would make a note of whatever the link points to.
    if (!plat_is_real_dir(g_trash) || !plat_is_real_file(body))
        return 0;
    memset(e, 0, sizeof *e);
    e->copy = copy;
    NoteMeta *m = &e->meta;
    char *rec = plat_read_file(record, nullptr);
    if (rec && meta_read_json(rec, m) && strcmp(m->id, id) == 0) {
        m->pinned = m->pinned ? 1 : 0;
        json_find_str(rec, "deleted", e->deleted, sizeof e->deleted);
    } else {
        // Trashed before records were kept: a delete leaves a body file's time untouched, so it
        // tells when the note was last saved.
        memset(m, 0, sizeof *m);
        str_copy(m->id, sizeof m->id, id);
        char *text = plat_read_file(body, nullptr);
        if (text)
            trash_title_from_body(text, m->title, sizeof m->title);
        free(text);
        int64_t t = plat_mtime_s(body);
        if (t >= 0) {
            iso_format(m->created, t);
            str_copy(m->updated, sizeof m->updated, m->created);
        }
    }
    free(rec);
    return 1;
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

struct TrashScan {
    TrashEntry *rows;
    int count;
};

// Returns the copy number a trashed body's file name gives, or -1 for any other name; id gets the
// identifier (13 bytes).
static int trash_name_copy(const char *name, char *id)
{
    size_t n = strlen(name);
    if (n < ID_LEN + 3 || strcmp(name + n - 3, ".md") != 0)
        return -1;
    memcpy(id, name, ID_LEN);
    id[ID_LEN] = '\0';
    if (!valid_id(id))
        return -1;
    if (n == ID_LEN + 3)
        return 0;
    const char *p = name + ID_LEN, *end = name + n - 3;
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

// Takes one trash directory entry into the scan, keeping the TRASH_MAX most recent.
static int trash_scan_entry(void *ctx, const char *name)
{
    TrashScan *s = static_cast<TrashScan *>(ctx);
    char id[ID_LEN + 1];
    int copy = trash_name_copy(name, id);
    TrashEntry e;
    if (copy < 0 || !trash_entry(id, copy, &e))
        return 1;
    if (s->count < TRASH_MAX) {
        s->rows[s->count++] = e;
        return 1;
    }
    int oldest = 0;
    for (int i = 1; i < s->count; i++)
        if (trash_newer(&s->rows[oldest], &s->rows[i]))
            oldest = i;
    if (trash_newer(&e, &s->rows[oldest]))
        s->rows[oldest] = e;
    return 1;
}

int trash_list(TrashEntry *rows)
{
    TrashScan s = {rows, 0};
    if (!plat_is_real_dir(g_trash) || !plat_list_dir(g_trash, trash_scan_entry, &s))
        return 0;
    qsort(rows, static_cast<size_t>(s.count), sizeof *rows, trash_order);
    return s.count;
}
