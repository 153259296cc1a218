// Writing the table as index.json in one fixed layout, and reading it back tolerantly.
#include "store/index.h"

#include <cstddef>
#include <cstdlib>
#include <cstring>

#include "platform/platform.h"
#include "store/files.h"
#include "store/meta.h"
#include "util/json.h"
#include "util/textbuf.h"

int g_index_unreadable;

// The text of index.json as this request read it (null when there is none), kept so that the
// read-only actions can answer from it without filling the table. It is mapped from the file
// when it can be (g_index_mapped), which costs no copy; the tolerant scanner gets a copy.
static const char *g_index_text;
static size_t g_index_len;
static int g_index_mapped;

// The record's layout, owned here: its members in the order the writer puts them, each with
// the text that opens it. The writer, both readers and the trash records walk this table.
enum FieldKind { FIELD_ID, FIELD_TEXT, FIELD_PIN };
struct RecordField {
    const char *lead; // the text before the value: "{" or "," and the quoted key with its colon
    const char *key;
    FieldKind kind;
    size_t at; // where the value lives in NoteMeta
    size_t size;
};
static const RecordField k_fields[] = {
    {"{\"id\":", "id", FIELD_ID, offsetof(NoteMeta, id), sizeof(NoteMeta::id)},
    {",\"title\":", "title", FIELD_TEXT, offsetof(NoteMeta, title), sizeof(NoteMeta::title)},
    {",\"pinned\":", "pinned", FIELD_PIN, offsetof(NoteMeta, pinned), sizeof(NoteMeta::pinned)},
    {",\"created\":", "created", FIELD_TEXT, offsetof(NoteMeta, created), sizeof(NoteMeta::created)},
    {",\"updated\":", "updated", FIELD_TEXT, offsetof(NoteMeta, updated), sizeof(NoteMeta::updated)},
};

// Returns the text field f of m.
static char *field_text(NoteMeta *m, const RecordField &f)
{
    return reinterpret_cast<char *>(m) + f.at;
}

void meta_members(TextBuf *b, const NoteMeta *m)
{
    for (const RecordField &f : k_fields) {
        buf_puts(b, f.lead);
        if (f.kind == FIELD_PIN)
            buf_putc(b, m->pinned ? '1' : '0');
        else
            json_str(b, field_text(const_cast<NoteMeta *>(m), f));
    }
}

int meta_read_json(const char *text, NoteMeta *m)
{
    memset(m, 0, sizeof *m);
    for (const RecordField &f : k_fields) {
        if (f.kind == FIELD_PIN)
            json_find_int(text, f.key, &m->pinned);
        else
            json_find_str(text, f.key, field_text(m, f), f.size);
    }
    return valid_id(m->id);
}

int index_text(TextBuf *b)
{
    // Reserve generously up front so that a failed growth shows as a failure, never a cut text.
    if (!buf_need(b, 64 + static_cast<size_t>(g_count) * 2200))
        return 0;
    // The new text is about as long as the one read: map its pages in with one call.
    size_t expect = g_index_len + 4096;
    plat_prefault(b->data + b->length, expect < b->capacity - b->length ? expect : b->capacity - b->length);
    buf_puts(b, "{\"version\":1,\"notes\":[\n");
    for (int i = 0; i < g_count; i++) {
        if (i)
            buf_puts(b, ",\n");
        buf_puts(b, "  ");
        meta_members(b, &g_meta[i]);
        buf_putc(b, '}');
    }
    buf_puts(b, "\n]}\n");
    return 1;
}

// Writes the path of index.json into out.
static void index_path(char *out)
{
    path_join(out, g_dir, "index.json");
}

int index_start(void)
{
    char path[PATH_CAP];
    index_path(path);
    if (g_index_unreadable)
        return -1;
    TextBuf b = {};
    int fd = index_text(&b) ? atomic_start(path, b.data, b.length) : -1;
    buf_free(&b);
    return fd;
}

int index_end(int fd)
{
    char path[PATH_CAP];
    index_path(path);
    return atomic_end(path, fd);
}

int index_commit(void)
{
    char path[PATH_CAP];
    index_path(path);
    return atomic_commit(path);
}

void index_discard(void)
{
    char path[PATH_CAP];
    index_path(path);
    atomic_discard(path);
}

int save_index(void)
{
    int fd = index_start();
    if (fd < 0 || !index_end(fd) || !index_commit())
        return 0;
    plat_sync_dir(g_dir);
    return 1;
}

// Returns the '}' that closes the object opening at p, skipping braces inside strings, or null.
static char *span_end(char *p)
{
    p++;
    for (;;) {
        p += strcspn(p, "\"}");
        if (*p == '\0')
            return nullptr;
        if (*p == '}')
            return p;
        // Inside a string a backslash and the byte after it count as one unit.
        for (p++;; p++) {
            p += strcspn(p, "\"\\");
            if (*p == '\0')
                return nullptr;
            if (*p == '"')
                break;
            if (*++p == '\0')
                return nullptr;
        }
        p++;
    }
}

// Reads one record out of a span (a NUL-terminated object text) and appends it when its
// identifier is valid and the table has room.
static void index_record(const char *span)
{
    // Filled in place in the next free slot, which only counts once the identifier is valid.
    if (meta_read_json(span, &g_meta[g_count]))
        g_count++;
}

// Forgets the index text, unmapping or freeing it.
static void index_forget(void)
{
    if (g_index_mapped)
        plat_unmap_file(g_index_text, g_index_len);
    else
        free(const_cast<char *>(g_index_text));
    g_index_text = nullptr;
    g_index_len = 0;
    g_index_mapped = 0;
}

// Replaces a mapped index text by a NUL-terminated heap copy of the file. Returns the copy, or
// null when there is no text; a file that was mapped but cannot be read again then counts as
// unreadable, so that no change replaces it with a table that lacks its records.
static char *index_copy(void)
{
    if (g_index_mapped) {
        index_forget();
        char path[PATH_CAP];
        index_path(path);
        g_index_text = plat_read_file(path, &g_index_len);
        if (!g_index_text)
            g_index_unreadable = 1;
    }
    return const_cast<char *>(g_index_text);
}

// Where each record of a plain index starts and how long it is; g_plain is 1 when the text is
// plain, 0 when it is not, -1 before it was checked.
static const char *g_plain_rec[META_MAX];
static size_t g_plain_len[META_MAX];
static int g_plain_count;
static int g_plain = -1;

static const char k_index_head[] = "{\"version\":1,\"notes\":[\n";
static const char k_index_foot[] = "\n]}\n";

void index_read(void)
{
    index_forget();
    g_plain = -1;
    g_count = 0;
    g_index_unreadable = 0;
    char path[PATH_CAP];
    index_path(path);
    g_index_text = plat_map_file(path, &g_index_len);
    g_index_mapped = g_index_text != nullptr;
    if (!g_index_text)
        g_index_text = plat_read_file(path, &g_index_len);
    if (!g_index_text)
        g_index_unreadable = plat_file_kind(path) != 0;
}

// Returns the position after the closing quote of a string value starting at p (just after its
// opening quote) when the value is written exactly as json_str writes it and decodes to at most
// max bytes; null otherwise.
static const char *plain_string(const char *p, const char *end, size_t max)
{
    for (size_t n = 0; p < end; n++) {
        size_t run = json_plain_run(p, static_cast<size_t>(end - p));
        p += run;
        n += run;
        if (p == end)
            return nullptr;
        unsigned char c = static_cast<unsigned char>(*p);
        if (c == '"')
            return n <= max ? p + 1 : nullptr;
        if (c < 0x20)
            return nullptr;
        if (end - p < 2)
            return nullptr;
        char e = p[1];
        if (e == '"' || e == '\\' || e == 't' || e == 'n' || e == 'r') {
            p += 2;
            continue;
        }
        // \u00XX with lower-case digits, only for the control bytes that have no short escape.
        if (e != 'u' || end - p < 6 || p[2] != '0' || p[3] != '0' || (p[4] != '0' && p[4] != '1'))
            return nullptr;
        const char *hex = "0123456789abcdef";
        const char *lo = static_cast<const char *>(memchr(hex, p[5], 16));
        if (!p[5] || !lo)
            return nullptr;
        int v = (p[4] - '0') * 16 + static_cast<int>(lo - hex);
        if (v == 0 || v == '\t' || v == '\n' || v == '\r')
            return nullptr;
        p += 6;
    }
    return nullptr;
}

// Returns the position after the text lit at p, or null when p does not start with it.
static const char *plain_lit(const char *p, const char *end, const char *lit)
{
    size_t n = strlen(lit);
    return static_cast<size_t>(end - p) >= n && memcmp(p, lit, n) == 0 ? p + n : nullptr;
}

// Returns the position after the record that starts at p when it is exactly as index_text
// writes it, or null.
static const char *plain_record(const char *p, const char *end)
{
    for (const RecordField &f : k_fields) {
        if (!(p = plain_lit(p, end, f.lead)) || p == end)
            return nullptr;
        if (f.kind == FIELD_PIN) {
            if (*p != '0' && *p != '1')
                return nullptr;
            p++;
            continue;
        }
        if (*p++ != '"')
            return nullptr;
        if (f.kind == FIELD_ID) {
            char id[ID_LEN + 1];
            if (end - p < ID_LEN + 1)
                return nullptr;
            memcpy(id, p, ID_LEN);
            id[ID_LEN] = '\0';
            if (!valid_id(id) || p[ID_LEN] != '"')
                return nullptr;
            p += ID_LEN + 1;
        } else if (!(p = plain_string(p, end, f.size - 1))) {
            return nullptr;
        }
    }
    return plain_lit(p, end, "}");
}

int index_plain(int *count)
{
    if (g_plain >= 0) {
        *count = g_plain_count;
        return g_plain;
    }
    g_plain = 0;
    g_plain_count = 0;
    const char *text = g_index_text;
    size_t hl = sizeof k_index_head - 1, fl = sizeof k_index_foot - 1;
    if (!text || g_index_len < hl + fl || memcmp(text, k_index_head, hl) != 0 ||
        memcmp(text + g_index_len - fl, k_index_foot, fl) != 0)
        return 0;
    const char *p = text + hl, *end = text + g_index_len - fl;
    if (p == end) { // no records: the footer follows the header
        *count = 0;
        return g_plain = 1;
    }
    for (int n = 0;; n++) {
        const char *q = n < META_MAX ? plain_lit(p, end, "  ") : nullptr;
        const char *after = q ? plain_record(q, end) : nullptr;
        if (!after)
            return 0;
        g_plain_rec[n] = q;
        g_plain_len[n] = static_cast<size_t>(after - q);
        if (after == end) {
            g_plain_count = n + 1;
            *count = g_plain_count;
            return g_plain = 1;
        }
        if (!(p = plain_lit(after, end, ",\n")))
            return 0;
    }
}

int index_rows(int *count)
{
    if (index_plain(count))
        return 1;
    index_fill();
    *count = g_count;
    return 0;
}

const char *index_plain_record(int i, size_t *len)
{
    *len = g_plain_len[i];
    return g_plain_rec[i];
}

// Where a plain record's identifier starts: after the first lead and the opening quote.
static size_t plain_id_at(void)
{
    return strlen(k_fields[0].lead) + 1;
}

const char *index_plain_find(const char *id, size_t *len)
{
    size_t at = plain_id_at();
    for (int i = 0; i < g_plain_count; i++)
        if (memcmp(g_plain_rec[i] + at, id, ID_LEN) == 0)
            return index_plain_record(i, len);
    return nullptr;
}

void index_plain_meta(const char *rec, NoteMeta *m)
{
    // Every value is where the writer put it: each lead is skipped by its length.
    memset(m, 0, sizeof *m);
    const char *v = rec;
    for (const RecordField &f : k_fields) {
        v += strlen(f.lead);
        if (f.kind == FIELD_PIN) {
            m->pinned = *v++ - '0';
        } else if (f.kind == FIELD_ID) {
            memcpy(m->id, v + 1, ID_LEN);
            v += ID_LEN + 2;
        } else {
            json_read_string(&v, field_text(m, f), f.size);
        }
    }
}

// Fills the table from a plain index by position.
static void index_fill_plain(void)
{
    plat_prefault(g_meta, sizeof(NoteMeta) * static_cast<size_t>(g_plain_count));
    for (int i = 0; i < g_plain_count; i++)
        index_plain_meta(g_plain_rec[i], &g_meta[i]);
    g_count = g_plain_count;
}

void index_fill(void)
{
    g_count = 0;
    int count;
    if (index_plain(&count)) {
        index_fill_plain();
        return;
    }
    char *text = index_copy();
    if (!text)
        return;
    // A written record takes at least about 90 bytes: map in the table rows this file can fill.
    size_t rows = strlen(text) / 90 + 1;
    plat_prefault(g_meta, sizeof(NoteMeta) * (rows < META_MAX ? rows : META_MAX));
    // Each span is read in place: the byte after it (or after its first 8191 bytes) is
    // swapped for a NUL while its fields are read, then put back.
    constexpr size_t SPAN_MAX = 8191;
    char *cur = text;
    while (g_count < META_MAX) {
        char *open = strchr(cur, '{');
        if (!open)
            break;
        char *close = span_end(open);
        if (!close)
            break;
        char *end = static_cast<size_t>(close - open) + 1 > SPAN_MAX ? open + SPAN_MAX : close + 1;
        char saved = *end;
        *end = '\0';
        index_record(open);
        *end = saved;
        cur = close + 1;
    }
}

void load_index(void)
{
    index_read();
    index_fill();
}
