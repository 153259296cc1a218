// Versions of notes: naming, keeping a replaced text by link or copy, the per-note title record,
// listing, thinning by age, count and total size, and removal for good.
#include "store/versions.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/platform.h"
#include "store/files.h"
#include "store/meta.h"
#include "util/json.h"
#include "util/textbuf.h"

// The per-note record: one line {"version":"<key>","title":"<title>"} per kept version. It holds
// only what the file names cannot tell, is written without a flush, and a missing or damaged one
// costs only the titles (the texts' first lines stand in).
static const char k_record[] = "versions.json";

constexpr int64_t DAY_S = 86400;
constexpr int64_t WEEK_S = 7 * DAY_S;
constexpr int64_t DAILY_UNTIL_S = 30 * DAY_S;

// Writes the versions folder (g_dir joined with ".versions") into out, and the note's folder
// inside it into note_dir when that is not null.
static void versions_dirs(char *out, char *note_dir, const char *id)
{
    path_join(out, g_dir, ".versions");
    if (note_dir)
        path_join(note_dir, out, id);
}

// Positions of the digits in a key, "YYYY-MM-DDTHH-MM-SSZ", and the separators between them.
static const struct {
    int at;
    char c;
} k_key_marks[] = {{4, '-'}, {7, '-'}, {10, 'T'}, {13, '-'}, {16, '-'}, {19, 'Z'}};

int version_key_valid(const char *key)
{
    size_t n = strnlen(key, VERSION_KEY_CAP);
    if (n != 20 && !(n == 23 && key[20] == '-' && key[21] >= '0' && key[21] <= '9' && key[22] >= '0' && key[22] <= '9'))
        return 0;
    for (int i = 0, m = 0; i < 20; i++) {
        if (m < 6 && k_key_marks[m].at == i) {
            if (key[i] != k_key_marks[m++].c)
                return 0;
        } else if (key[i] < '0' || key[i] > '9') {
            return 0;
        }
    }
    return 1;
}

// Returns the number of days from 1970-01-01 to the given civil date (proleptic Gregorian).
static int64_t days_from_civil(int64_t y, int64_t m, int64_t d)
{
    y -= m <= 2;
    int64_t era = (y >= 0 ? y : y - 399) / 400;
    int64_t yoe = y - era * 400;
    int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

// Returns the seconds since 1970 that a valid key names.
static int64_t key_time(const char *key)
{
    auto num = [key](int at, int width) {
        int64_t v = 0;
        for (int i = 0; i < width; i++)
            v = v * 10 + (key[at + i] - '0');
        return v;
    };
    return days_from_civil(num(0, 4), num(5, 2), num(8, 2)) * DAY_S + num(11, 2) * 3600 + num(14, 2) * 60 + num(17, 2);
}

void version_path(char *out, const char *id, const char *key)
{
    char root[PATH_CAP], dir[PATH_CAP], name[VERSION_KEY_CAP + 4];
    versions_dirs(root, dir, id);
    snprintf(name, sizeof name, "%s.md", key);
    path_join(out, dir, name);
}

struct KeyScan {
    char (*keys)[VERSION_KEY_CAP];
    int count, cap;
};

// Collects one folder entry whose name is a version file; keeps going when the table is full
// only to let the caller see that there were more.
static int scan_key(void *ctx, const char *name)
{
    KeyScan *s = static_cast<KeyScan *>(ctx);
    size_t n = strlen(name);
    if (n < 4 || n - 3 >= VERSION_KEY_CAP || strcmp(name + n - 3, ".md") != 0)
        return 1;
    char key[VERSION_KEY_CAP];
    memcpy(key, name, n - 3);
    key[n - 3] = '\0';
    if (!version_key_valid(key))
        return 1;
    if (s->count < s->cap) {
        memcpy(s->keys[s->count], key, sizeof key);
    } else {
        // A full table keeps the newest: the oldest held gives way to a newer key.
        int oldest = 0;
        for (int i = 1; i < s->cap; i++)
            if (strcmp(s->keys[i], s->keys[oldest]) < 0)
                oldest = i;
        if (strcmp(key, s->keys[oldest]) > 0)
            memcpy(s->keys[oldest], key, sizeof key);
    }
    s->count++;
    return 1;
}

static int key_newer_first(const void *a, const void *b)
{
    return -strcmp(static_cast<const char *>(a), static_cast<const char *>(b));
}

// Fills keys (cap entries) with the note's version keys, the newest first (keys sort by time).
// Returns how many the folder holds (more than cap when it holds more).
static int note_keys(const char *id, char (*keys)[VERSION_KEY_CAP], int cap)
{
    char root[PATH_CAP], dir[PATH_CAP];
    versions_dirs(root, dir, id);
    KeyScan s = {keys, 0, cap};
    // Folders that are links (planted) are never read: versions are only where the keeper put them.
    if (!plat_is_real_dir(root) || !plat_is_real_dir(dir) || !plat_list_dir(dir, scan_key, &s))
        return 0;
    qsort(keys, static_cast<size_t>(s.count < cap ? s.count : cap), sizeof *keys, key_newer_first);
    return s.count;
}

int versions_wanted(const char *id, const char *old, size_t old_len, const char *text, size_t len, int asked)
{
    if (!old || old_len == 0 || (old_len == len && memcmp(old, text, len) == 0))
        return 0;
    if (asked || len * 2 < old_len)
        return 1;
    char newest[1][VERSION_KEY_CAP];
    if (note_keys(id, newest, 1) == 0)
        return 1;
    return plat_time_s() - key_time(newest[0]) >= VERSION_GAP_S;
}

// Replaces the note's record by text (len bytes), without a flush; failure is ignored.
static void record_write(const char *dir, const char *text, size_t len)
{
    char path[PATH_CAP], tmp[PATH_CAP + 8];
    path_join(path, dir, k_record);
    snprintf(tmp, sizeof tmp, "%s.tmp", path);
    int fd = plat_write_start(tmp, text, len);
    if (fd >= 0)
        plat_close(fd);
    if (fd < 0 || !plat_move(tmp, path))
        plat_remove(tmp);
}

// Returns the note's record as a new heap string (an empty one when it is missing), or null.
static char *record_read(const char *dir)
{
    char path[PATH_CAP];
    path_join(path, dir, k_record);
    char *text = plat_read_file(path, nullptr);
    if (!text) {
        text = static_cast<char *>(malloc(1));
        if (text)
            text[0] = '\0';
    }
    return text;
}

// Returns the record line of key in text (from its "{"), or null.
static const char *record_line(const char *text, const char *key)
{
    char probe[VERSION_KEY_CAP + 16];
    snprintf(probe, sizeof probe, "{\"version\":\"%.31s\"", key);
    for (const char *p = strstr(text, probe); p; p = strstr(p + 1, probe))
        if (p == text || p[-1] == '\n')
            return p;
    return nullptr;
}

// Appends a record line for key and title to b.
static void record_add(TextBuf *b, const char *key, const char *title)
{
    buf_puts(b, "{\"version\":\"");
    buf_puts(b, key);
    buf_puts(b, "\",\"title\":");
    json_str(b, title);
    buf_puts(b, "}\n");
}

// Copies the lines of text whose keys are among keys[0, n) into b.
static void record_keep(TextBuf *b, const char *text, char (*keys)[VERSION_KEY_CAP], int n)
{
    for (int i = 0; i < n; i++) {
        const char *line = record_line(text, keys[i]);
        if (line)
            buf_add(b, line, strcspn(line, "\n") + 1);
    }
}

int versions_keep(const char *id, const char *title)
{
    char root[PATH_CAP], dir[PATH_CAP], src[PATH_CAP], dst[PATH_CAP];
    versions_dirs(root, dir, id);
    int fresh_root = !plat_exists(root);
    plat_mkdir(root);
    int fresh = !plat_exists(dir);
    plat_mkdir(dir);
    if (!plat_is_real_dir(root) || !plat_is_real_dir(dir))
        return 0;
    char key[VERSION_KEY_CAP], now[24];
    iso_now(now);
    snprintf(key, sizeof key, "%.4s-%.2s-%.2sT%.2s-%.2s-%.2sZ", now, now + 5, now + 8, now + 11, now + 14, now + 17);
    version_path(dst, id, key);
    for (int k = 1; plat_exists(dst); k++) {
        if (k > 99)
            return 0;
        snprintf(key + 20, sizeof key - 20, "-%02d", k);
        version_path(dst, id, key);
    }
    note_path(src, id);
    // A second name for the old body: the text is never copied, and the rename that follows
    // moves only the note's name to the new body. Where links are refused, a flushed copy.
    if (plat_link(src, dst)) {
        if (!plat_sync_dir(dir))
            return 0;
    } else {
        size_t len = 0;
        char *text = plat_read_file(src, &len);
        int ok = text && atomic_write(dst, text, len);
        free(text);
        if (!ok)
            return 0;
    }
    // New folders' names must be on disk before the body moves, like the version's own name.
    if (fresh)
        plat_sync_dir(root);
    if (fresh_root)
        plat_sync_dir(g_dir);
    // The new line goes at the record's end in place: no new file, no rename, no read of the old
    // lines. Only a missing record (or one that is not a plain file) is written anew.
    char path[PATH_CAP];
    path_join(path, dir, k_record);
    TextBuf b = {};
    record_add(&b, key, title);
    if (b.data && !plat_append(path, b.data, b.length)) {
        char *rec = record_read(dir);
        b.length = 0;
        if (rec)
            buf_puts(&b, rec);
        record_add(&b, key, title);
        record_write(dir, b.data, b.length);
        free(rec);
    }
    buf_free(&b);
    return 1;
}

// Marks which of the note's versions (keys, the newest first) stay: all of the last day, one per
// calendar day for 30 days, one per week after that, and at most VERSION_NOTE_MAX.
static void thin_marks(char (*keys)[VERSION_KEY_CAP], int n, int64_t now, int *stay)
{
    int64_t last_day = INT64_MIN, last_week = INT64_MIN;
    int kept = 0;
    for (int i = 0; i < n; i++) {
        int64_t t = key_time(keys[i]), age = now - t;
        stay[i] = 1;
        if (age >= DAILY_UNTIL_S) {
            int64_t week = t >= 0 ? t / WEEK_S : (t - WEEK_S + 1) / WEEK_S;
            stay[i] = week != last_week;
            last_week = week;
        } else if (age >= DAY_S) {
            int64_t day = t >= 0 ? t / DAY_S : (t - DAY_S + 1) / DAY_S;
            stay[i] = day != last_day;
            last_day = day;
        }
        if (stay[i] && ++kept > VERSION_NOTE_MAX)
            stay[i] = 0;
    }
}

// One version file found by the size scan.
struct SizedVersion {
    char id[ID_LEN + 1];
    char key[VERSION_KEY_CAP];
    int64_t size;
};

struct SizeScan {
    SizedVersion *rows;
    size_t count, cap;
    int64_t total;
    const char *id; // the note folder being read
    char dir[PATH_CAP];
};

// Takes one file of a note folder into the size scan.
static int size_file(void *ctx, const char *name)
{
    SizeScan *s = static_cast<SizeScan *>(ctx);
    size_t n = strlen(name);
    if (n < 4 || n - 3 >= VERSION_KEY_CAP || strcmp(name + n - 3, ".md") != 0)
        return 1;
    SizedVersion v;
    memcpy(v.key, name, n - 3);
    v.key[n - 3] = '\0';
    char path[PATH_CAP];
    path_join(path, s->dir, name);
    if (!version_key_valid(v.key) || (v.size = plat_file_size(path)) < 0)
        return 1;
    if (s->count == s->cap) {
        size_t cap = s->cap ? s->cap * 2 : 1024;
        void *grown = realloc(s->rows, cap * sizeof *s->rows);
        if (!grown)
            return 0;
        s->rows = static_cast<SizedVersion *>(grown);
        s->cap = cap;
    }
    str_copy(v.id, sizeof v.id, s->id);
    s->rows[s->count++] = v;
    s->total += v.size;
    return 1;
}

// Takes one note folder of the versions folder into the size scan.
static int size_dir(void *ctx, const char *name)
{
    SizeScan *s = static_cast<SizeScan *>(ctx);
    if (!valid_id(name))
        return 1;
    char root[PATH_CAP];
    versions_dirs(root, s->dir, name);
    s->id = name;
    if (plat_is_real_dir(s->dir))
        plat_list_dir(s->dir, size_file, s);
    return 1;
}

static int sized_older_first(const void *a, const void *b)
{
    const SizedVersion *x = static_cast<const SizedVersion *>(a), *y = static_cast<const SizedVersion *>(b);
    int c = strcmp(x->key, y->key);
    return c ? c : strcmp(x->id, y->id);
}

// Returns the bytes all listed notes' bodies take.
static int64_t live_bytes(void)
{
    int64_t total = 0;
    char path[PATH_CAP];
    for (int i = 0; i < g_count; i++) {
        note_path(path, g_meta[i].id);
        int64_t n = plat_file_size(path);
        if (n > 0)
            total += n;
    }
    return total;
}

// Removes the oldest versions of all notes while they take more than the larger of 256 MiB and
// four times the live notes' size. Their record lines are left to the next thinning of each note.
static void versions_cap(void)
{
    char root[PATH_CAP];
    versions_dirs(root, nullptr, "");
    SizeScan s = {};
    if (!plat_is_real_dir(root) || !plat_list_dir(root, size_dir, &s) || s.total <= VERSION_BYTES_FLOOR) {
        free(s.rows);
        return;
    }
    int64_t cap = 4 * live_bytes();
    if (cap < VERSION_BYTES_FLOOR)
        cap = VERSION_BYTES_FLOOR;
    qsort(s.rows, s.count, sizeof *s.rows, sized_older_first);
    for (size_t i = 0; i < s.count && s.total > cap; i++) {
        char path[PATH_CAP];
        version_path(path, s.rows[i].id, s.rows[i].key);
        plat_remove(path);
        s.total -= s.rows[i].size;
    }
    free(s.rows);
}

// A note's folder may hold more than its limit (planted files, an older limit): thinning reads
// this many of the newest and takes the rest away.
constexpr int THIN_SCAN_MAX = 4 * VERSION_NOTE_MAX;

void versions_thin(const char *id, int kept)
{
    static char keys[THIN_SCAN_MAX][VERSION_KEY_CAP];
    static int stay[THIN_SCAN_MAX];
    int total = note_keys(id, keys, THIN_SCAN_MAX);
    int n = total < THIN_SCAN_MAX ? total : THIN_SCAN_MAX;
    thin_marks(keys, n, plat_time_s(), stay);
    int staying = 0, removed = 0;
    char path[PATH_CAP];
    for (int i = 0; i < n; i++) {
        if (stay[i]) {
            staying++;
            continue;
        }
        version_path(path, id, keys[i]);
        plat_remove(path);
        removed = 1;
    }
    // Files older than the newest THIN_SCAN_MAX lie beyond the count limit: each pass reads the
    // folder again (the staying ones come first) and takes away what follows them.
    for (int pass = 0; total > n && pass < 64; pass++) {
        total = note_keys(id, keys, THIN_SCAN_MAX);
        n = total < THIN_SCAN_MAX ? total : THIN_SCAN_MAX;
        for (int i = staying; i < n; i++) {
            version_path(path, id, keys[i]);
            plat_remove(path);
            removed = 1;
        }
    }
    if (removed) {
        char root[PATH_CAP], dir[PATH_CAP];
        versions_dirs(root, dir, id);
        n = note_keys(id, keys, THIN_SCAN_MAX);
        char *rec = record_read(dir);
        TextBuf b = {};
        if (rec)
            record_keep(&b, rec, keys, n < THIN_SCAN_MAX ? n : THIN_SCAN_MAX);
        record_write(dir, b.data ? b.data : "", b.length);
        buf_free(&b);
        free(rec);
    }
    if (kept)
        versions_cap();
}

// Sets title to the first line of the file at path without heading marks or blanks, cut to the
// title field at a character boundary; empty when the file cannot be read.
static void title_from_text(const char *path, char *title, size_t size)
{
    title[0] = '\0';
    int fd = plat_open_read(path);
    if (fd < 0)
        return;
    char head[512];
    long got = plat_read(fd, head, sizeof head - 1);
    plat_close(fd);
    if (got <= 0)
        return;
    head[got] = '\0';
    meta_title_from_text(head, title, size);
}

// Fills v with the version key of the note, its title from the record text rec (may be null)
// or else from the text's first line. Returns 1, or 0 when there is no such version file.
static int version_fill(const char *id, const char *key, const char *rec, VersionInfo *v)
{
    char path[PATH_CAP];
    version_path(path, id, key);
    if ((v->size = plat_file_size(path)) < 0)
        return 0;
    str_copy(v->key, sizeof v->key, key);
    v->time = key_time(key);
    iso_format(v->replaced, v->time);
    const char *line = rec ? record_line(rec, key) : nullptr;
    if (!line || !json_find_str(line, "title", v->title, sizeof v->title))
        title_from_text(path, v->title, sizeof v->title);
    return 1;
}

int versions_list(const char *id, VersionInfo *rows)
{
    static char keys[VERSION_NOTE_MAX][VERSION_KEY_CAP];
    int n = note_keys(id, keys, VERSION_NOTE_MAX);
    if (n > VERSION_NOTE_MAX)
        n = VERSION_NOTE_MAX;
    if (n == 0)
        return 0;
    char root[PATH_CAP], dir[PATH_CAP];
    versions_dirs(root, dir, id);
    char *rec = record_read(dir);
    int out = 0;
    for (int i = 0; i < n; i++)
        out += version_fill(id, keys[i], rec, &rows[out]);
    free(rec);
    return out;
}

int version_info(const char *id, const char *key, VersionInfo *v)
{
    if (!version_key_valid(key))
        return 0;
    char root[PATH_CAP], dir[PATH_CAP];
    versions_dirs(root, dir, id);
    if (!plat_is_real_dir(root) || !plat_is_real_dir(dir))
        return 0;
    char *rec = record_read(dir);
    int ok = version_fill(id, key, rec, v);
    free(rec);
    return ok;
}

struct PurgeScan {
    char dir[PATH_CAP];
    int left;
};

// Removes one file of a note's versions folder, its record and temporaries included.
static int purge_file(void *ctx, const char *name)
{
    PurgeScan *s = static_cast<PurgeScan *>(ctx);
    char path[PATH_CAP];
    path_join(path, s->dir, name);
    plat_remove(path);
    if (plat_exists(path))
        s->left = 1;
    return 1;
}

int versions_purge(const char *id)
{
    char root[PATH_CAP];
    PurgeScan s = {};
    versions_dirs(root, s.dir, id);
    if (!plat_exists(s.dir) || !plat_is_real_dir(root))
        return 1;
    if (!plat_is_real_dir(s.dir)) {
        plat_remove(s.dir);
        return !plat_exists(s.dir);
    }
    plat_list_dir(s.dir, purge_file, &s);
    plat_remove_dir(s.dir);
    plat_sync_dir(root);
    return !s.left && !plat_exists(s.dir);
}

struct OwnerScan {
    const char *id;
    int found;
};

// Notes a trash entry of the identifier: its body, a numbered copy or a record.
static int owner_entry(void *ctx, const char *name)
{
    OwnerScan *s = static_cast<OwnerScan *>(ctx);
    if (strncmp(name, s->id, ID_LEN) == 0 && name[ID_LEN] == '.') {
        s->found = 1;
        return 0;
    }
    return 1;
}

int versions_owner_exists(const char *id)
{
    char path[PATH_CAP];
    note_path(path, id);
    if (meta_find(id) >= 0 || plat_exists(path))
        return 1;
    OwnerScan s = {id, 0};
    plat_list_dir(g_trash, owner_entry, &s);
    return s.found;
}
