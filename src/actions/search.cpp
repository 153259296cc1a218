// The search action: the plain search of list.cpp, or with "smart=1" the smart search: folded
// words and phrases that must all occur, results ranked by how their titles match, each with a
// snippet of its body and the byte ranges of the matches.
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "actions/actions.h"
#include "platform/platform.h"
#include "store/files.h"
#include "store/index.h"
#include "store/meta.h"
#include "util/fold.h"
#include "util/json.h"
#include "util/match.h"
#include "util/query.h"
#include "util/response.h"
#include "util/textbuf.h"
#include "util/unifold.h"

constexpr size_t SEARCH_CHUNK = 65536;          // body bytes read at a time
constexpr size_t SEARCH_CARRY_MAX = 16384;      // bytes kept from one chunk for the next
constexpr size_t SEARCH_TOPUP = 8192;           // bytes read past a chunk to finish a snippet
constexpr size_t SEARCH_STEP = 1024;            // bytes of a chunk folded at a time
constexpr size_t SNIPPET_BEFORE = 30;           // bytes of the body shown before the first match
constexpr size_t SNIPPET_LEN = 120;             // bytes a snippet aims at
constexpr size_t SNIPPET_MARKS_MAX = 32;
constexpr size_t TITLE_MARKS_MAX = 32;
constexpr int SEARCH_GROUPS = 4; // exact title, title start, title words, bodies

// What the body scan of one note found.
struct BodyScan {
    int missing;                 // terms found neither in the title nor in the body
    long mark_start, mark_end;   // the first match in the body, or -1
    char snippet[SNIPPET_LEN + SEARCH_TOPUP];
    size_t snippet_len;
    MatchRange marks[SNIPPET_MARKS_MAX];
    size_t mark_count;
};

static char g_raw[SEARCH_CARRY_MAX + SEARCH_CHUNK + SEARCH_TOPUP];
static char g_folded[(SEARCH_CARRY_MAX + SEARCH_CHUNK) * UNIFOLD_GROWTH];

// Reads up to n bytes of fd into buf; a NUL byte ends the body there (*eof set). Returns the
// number of bytes kept; a read error counts as the end of the body.
static size_t search_read(int fd, char *buf, size_t n, int *eof)
{
    size_t got = 0;
    while (got < n && !*eof) {
        long r = plat_read(fd, buf + got, n - got);
        if (r <= 0) {
            *eof = 1;
            break;
        }
        // A regular file gives less than asked only at its end, as the plain search relies on.
        if (static_cast<size_t>(r) < n - got)
            *eof = 1;
        const char *nul = static_cast<const char *>(memchr(buf + got, '\0', static_cast<size_t>(r)));
        if (nul) {
            got = static_cast<size_t>(nul - buf);
            *eof = 1;
            break;
        }
        got += static_cast<size_t>(r);
    }
    return got;
}

// Finds in raw (folded from its start) the match of folded bytes [a, a + n): *start gets the
// offset of the character that gave byte a, *end the end of the one that gave the last byte
// and of the dropped marks after it.
static void search_raw_range(const char *raw, size_t len, size_t a, size_t n, size_t *start, size_t *end)
{
    size_t i = 0, f = 0, bytes = 1, target = a;
    for (int pass = 0; pass < 2; pass++) {
        while (i < len) {
            // Runs of bytes that fold one to one are stepped over whole, up to the target.
            size_t run = unifold_ascii_run(raw + i, len - i < target - f ? len - i : target - f);
            i += run, f += run;
            if (i >= len)
                break;
            size_t k = static_cast<unsigned char>(raw[i]) >= 0x20 && static_cast<unsigned char>(raw[i]) < 0x80
                           ? (bytes = 1)
                           : unifold_char_len(raw, i, len, &bytes);
            if (f + k > target)
                break;
            f += k;
            i += bytes;
        }
        if (pass == 0) {
            *start = i;
            target = a + n - 1;
        }
    }
    *end = i < len ? unifold_match_end(raw, i, len) : len;
}

// Notes term t found at folded offset p of the chunk (nothing when p < 0): it is no longer
// wanted, and an earlier match than *first becomes the first while the body has none yet.
static void search_found(int t, long p, const MatchQuery *q, int *want, BodyScan *scan, long *first, size_t *first_len)
{
    if (p < 0)
        return;
    if (want[t]) {
        want[t] = 0;
        scan->missing--;
    }
    if (scan->mark_start < 0 && (*first < 0 || p < *first))
        *first = p, *first_len = q->len[t];
}

// Cuts the snippet out of raw[0, avail) around the match [ms, me): from a character boundary
// SNIPPET_BEFORE bytes before it to about SNIPPET_LEN bytes on, stretched over any match that
// starts inside it; line breaks become spaces. Ranges go into scan relative to the snippet.
static void search_snippet(const MatchQuery *q, const char *raw, size_t avail, size_t ms, size_t me,
                           BodyScan *scan)
{
    size_t ws = ms > SNIPPET_BEFORE ? ms - SNIPPET_BEFORE : 0;
    while (ws < ms && (static_cast<unsigned char>(raw[ws]) & 0xC0) == 0x80)
        ws++;
    // Starts after a space near the cut, so the snippet does not open with half a word.
    for (size_t k = ws; ws > 0 && k < ms && k < ws + 12; k++)
        if (raw[k] == ' ' || raw[k] == '\n') {
            ws = k + 1;
            break;
        }
    size_t we = ws + SNIPPET_LEN;
    if (we < me)
        we = me;
    if (we > avail)
        we = avail;
    while (we > me && we < avail && (static_cast<unsigned char>(raw[we]) & 0xC0) == 0x80)
        we--;
    // Matches are sought a little past the snippet's end, where one that starts inside it ends.
    size_t look = we - ws + q->longest * 4 + 64;
    if (look > avail - ws)
        look = avail - ws;
    scan->mark_count = match_ranges(q, raw + ws, look, scan->marks, SNIPPET_MARKS_MAX);
    size_t keep = 0;
    for (size_t k = 0; k < scan->mark_count; k++) {
        if (ws + scan->marks[k].start >= we)
            break;
        if (ws + scan->marks[k].end > we)
            we = ws + scan->marks[k].end;
        keep++;
    }
    // A match stretched by thousands of dropped marks is cut to what the snippet holds, between
    // characters, and so are its range and the ranges after the cut.
    size_t cap = ws + sizeof scan->snippet - 1;
    if (we > cap) {
        we = cap;
        while (we > ms && (static_cast<unsigned char>(raw[we]) & 0xC0) == 0x80)
            we--;
        while (keep > 0 && ws + scan->marks[keep - 1].start >= we)
            keep--;
        if (keep > 0 && ws + scan->marks[keep - 1].end > we)
            scan->marks[keep - 1].end = static_cast<uint32_t>(we - ws);
    }
    scan->mark_count = keep;
    scan->snippet_len = we - ws;
    for (size_t k = 0; k < scan->snippet_len; k++)
        scan->snippet[k] = raw[ws + k] == '\n' || raw[ws + k] == '\r' ? ' ' : raw[ws + k];
    scan->snippet[scan->snippet_len] = '\0';
}

// Reads the note's body in chunks and looks for the terms that need[] marks and for the first
// match of any term; makes the snippet. A body that cannot be read counts as empty.
static void search_body(const char *id, const MatchQuery *q, const int *need, BodyScan *scan)
{
    int want[MATCH_TERMS_MAX];
    scan->missing = 0;
    for (int t = 0; t < q->count; t++)
        scan->missing += want[t] = need[t];
    scan->mark_start = scan->mark_end = -1;
    scan->snippet_len = scan->mark_count = 0;
    scan->snippet[0] = '\0';
    char path[PATH_CAP];
    note_path(path, id);
    int fd = plat_open_read(path);
    if (fd < 0)
        return;
    int eof = 0;
    size_t have = 0, total = 0, base = 0;
    // A match may straddle two chunks: the end of one is folded again at the start of the next,
    // with enough before it for the snippet.
    while (!eof && (scan->missing || scan->mark_start < 0)) {
        total = have + search_read(fd, g_raw + have, SEARCH_CHUNK, &eof);
        size_t usable = eof ? total : unifold_cut(g_raw, total);
        // An ASCII chunk folds to its ASCII lower case, length kept: it is searched as it is for
        // the ASCII words (a non-ASCII term cannot occur in it); phrases, whose spaces a line
        // break may stand for, are sought in its fold.
        int ascii = unifold_ascii(g_raw, usable);
        long first = -1;
        size_t first_len = 0;
        int folded_terms = 0;
        for (int t = 0; t < q->count; t++) {
            if ((!want[t] && scan->mark_start >= 0) || (ascii && !q->ascii[t]))
                continue;
            if (!ascii || memchr(q->term[t], ' ', q->len[t])) {
                folded_terms++;
                continue;
            }
            long p = fold_find(g_raw, usable, q->term[t], q->len[t]);
            search_found(t, p, q, want, scan, &first, &first_len);
        }
        // The other terms are sought in the chunk's fold, made a step at a time and each step
        // searched from where a match could have begun in the step before, so that a body whose
        // match comes early is not folded to its end.
        for (size_t done = 0, flen = 0; folded_terms && done < usable;) {
            size_t to = usable - done <= SEARCH_STEP ? usable : done + unifold_cut(g_raw + done, SEARCH_STEP);
            size_t from = flen + 1 > q->longest ? flen + 1 - q->longest : 0;
            flen += unifold(g_raw + done, to - done, g_folded + flen, nullptr);
            done = to;
            int open = 0;
            for (int t = 0; t < q->count; t++) {
                if ((!want[t] && (scan->mark_start >= 0 || first >= 0)) || (ascii && !q->ascii[t]) ||
                    (ascii && !memchr(q->term[t], ' ', q->len[t])))
                    continue;
                long p = unifold_find(g_folded + from, flen - from, q->term[t], q->len[t]);
                search_found(t, p < 0 ? -1 : p + static_cast<long>(from), q, want, scan, &first, &first_len);
                open += want[t];
            }
            if (!open && (scan->mark_start >= 0 || first >= 0))
                break;
        }
        if (first >= 0) {
            size_t ms, me;
            search_raw_range(g_raw, usable, static_cast<size_t>(first), first_len, &ms, &me);
            scan->mark_start = static_cast<long>(base + ms);
            scan->mark_end = static_cast<long>(base + me);
            total += search_read(fd, g_raw + total, SEARCH_TOPUP, &eof);
            search_snippet(q, g_raw, total, ms, me, scan);
        } else if (base == 0 && !scan->snippet_len) {
            // Until a match shows, the snippet is the body's opening.
            size_t n = unifold_cut(g_raw, total < SNIPPET_LEN ? total : SNIPPET_LEN);
            if (eof && total <= SNIPPET_LEN)
                n = total;
            for (size_t k = 0; k < n; k++)
                scan->snippet[k] = g_raw[k] == '\n' || g_raw[k] == '\r' ? ' ' : g_raw[k];
            scan->snippet_len = n;
            scan->snippet[n] = '\0';
        }
        if (eof)
            break;
        // The carry: enough characters back to hold a term less one folded byte, then the bytes
        // a snippet shows before its match.
        size_t c = usable, got = 0;
        while (c > 0 && got + 1 < q->longest && usable - c < SEARCH_CARRY_MAX / 4) {
            size_t bytes;
            c = unifold_back(g_raw, c);
            got += unifold_char_len(g_raw, c, usable, &bytes);
        }
        for (size_t k = 0; k < SNIPPET_BEFORE && c > 0; k++)
            c = unifold_back(g_raw, c);
        memmove(g_raw, g_raw + c, total - c);
        have = total - c;
        base += c;
    }
    plat_close(fd);
}

// Appends v in decimal.
static void search_put_uint(TextBuf *b, uint32_t v)
{
    char digits[10];
    size_t n = 0;
    do {
        digits[n++] = static_cast<char>('0' + v % 10);
        v /= 10;
    } while (v);
    while (n)
        buf_putc(b, digits[--n]);
}

// Appends the pair [start,end].
static void search_pair_json(TextBuf *b, MatchRange r)
{
    buf_putc(b, '[');
    search_put_uint(b, r.start);
    buf_putc(b, ',');
    search_put_uint(b, r.end);
    buf_putc(b, ']');
}

// Appends ranges as a JSON array of [start,end] pairs.
static void search_ranges_json(TextBuf *b, const MatchRange *r, size_t n)
{
    buf_putc(b, '[');
    for (size_t k = 0; k < n; k++) {
        if (k)
            buf_putc(b, ',');
        search_pair_json(b, r[k]);
    }
    buf_putc(b, ']');
}

// Returns the ranking group of a title (0 exact, 1 starts with the query, 2 holds every term,
// 3 none of these); found[t] tells which terms it holds. With want_marks its match ranges go
// into marks (*count of them), else *count is 0.
static int search_title(const MatchQuery *q, const char *title, int *found, MatchRange *marks, size_t *count,
                        int want_marks)
{
    char folded[sizeof(NoteMeta::title) * UNIFOLD_GROWTH];
    size_t flen = unifold(title, strlen(title), folded, nullptr);
    int all = 1;
    for (int t = 0; t < q->count; t++) {
        found[t] = unifold_find(folded, flen, q->term[t], q->len[t]) >= 0;
        all &= found[t];
    }
    *count = 0;
    for (int t = 0; t < q->count && !*count && want_marks; t++)
        if (found[t])
            *count = match_ranges(q, title, strlen(title), marks, TITLE_MARKS_MAX);
    if (!all)
        return 3;
    // White space around the title does not count against an exact or a leading match.
    size_t from = 0, to = flen;
    while (from < to && (folded[from] == ' ' || folded[from] == '\t'))
        from++;
    while (to > from && (folded[to - 1] == ' ' || folded[to - 1] == '\t'))
        to--;
    if (to - from >= q->whole_len && memcmp(folded + from, q->whole, q->whole_len) == 0)
        return to - from == q->whole_len ? 0 : 1;
    return 2;
}

// Reads note i's identifier and title, and with a plain index its record (else *rec is null).
static void search_note(int i, int plain, char *id, char *title, const char **rec, size_t *rec_len)
{
    *rec = nullptr;
    *rec_len = 0;
    if (plain) {
        *rec = index_plain_record(i, rec_len);
        NoteMeta m;
        index_plain_meta(*rec, &m);
        memcpy(id, m.id, ID_LEN + 1);
        memcpy(title, m.title, sizeof(NoteMeta::title));
    } else {
        memcpy(id, g_meta[i].id, ID_LEN + 1);
        memcpy(title, g_meta[i].title, sizeof(NoteMeta::title));
    }
}

// Writes the smart search answer for the terms of q: the shown notes by group, each group in
// listing order, each note as list writes it followed by "snippet", "title_marks",
// "snippet_marks" and "body_mark" (the first match in the whole body, [] when the body has
// none). The items go out as they are found, so the count closes the answer instead of opening
// it and nothing grows with the number of results.
static void search_smart(const MatchQuery *q)
{
    int total = 0;
    int plain = index_rows(&total);
    // Titles first: they give every note's group without reading a body.
    static unsigned char group[META_MAX];
    static uint16_t in_title[META_MAX]; // bit t: the title holds term t
    static_assert(MATCH_TERMS_MAX <= 16, "one bit per term");
    int in_group[SEARCH_GROUPS] = {};
    for (int i = 0; i < total; i++) {
        char id[ID_LEN + 1], title[sizeof(NoteMeta::title)];
        const char *rec;
        size_t rec_len, tcount;
        int found[MATCH_TERMS_MAX];
        MatchRange tmarks[TITLE_MARKS_MAX];
        search_note(i, plain, id, title, &rec, &rec_len);
        group[i] = static_cast<unsigned char>(search_title(q, title, found, tmarks, &tcount, 0));
        in_group[group[i]]++;
        in_title[i] = 0;
        for (int t = 0; t < q->count; t++)
            in_title[i] = static_cast<uint16_t>(in_title[i] | found[t] << t);
    }
    static BodyScan scan;
    TextBuf b = {};
    int count = 0;
    out_puts("{\"ok\":true,\"notes\":[");
    for (int g = 0; g < SEARCH_GROUPS; g++) {
        for (int i = 0; i < total && in_group[g]; i++) {
            if (group[i] != g)
                continue;
            in_group[g]--;
            char id[ID_LEN + 1], title[sizeof(NoteMeta::title)];
            const char *rec;
            size_t rec_len, tcount;
            int found[MATCH_TERMS_MAX], need[MATCH_TERMS_MAX];
            MatchRange tmarks[TITLE_MARKS_MAX];
            search_note(i, plain, id, title, &rec, &rec_len);
            for (int t = 0; t < q->count; t++)
                need[t] = !(in_title[i] >> t & 1);
            search_body(id, q, need, &scan);
            if (scan.missing)
                continue;
            search_title(q, title, found, tmarks, &tcount, 1);
            buf_clear(&b);
            buf_puts(&b, count ? ",\n  " : "\n  ");
            if (rec)
                buf_add(&b, rec, rec_len - 1); // without its closing brace
            else
                meta_members(&b, &g_meta[i]);
            buf_puts(&b, ",\"snippet\":");
            json_str(&b, scan.snippet);
            buf_puts(&b, ",\"title_marks\":");
            search_ranges_json(&b, tmarks, tcount);
            buf_puts(&b, ",\"snippet_marks\":");
            search_ranges_json(&b, scan.marks, scan.mark_count);
            buf_puts(&b, ",\"body_mark\":");
            if (scan.mark_start >= 0)
                search_pair_json(&b, MatchRange{static_cast<uint32_t>(scan.mark_start), static_cast<uint32_t>(scan.mark_end)});
            else
                buf_puts(&b, "[]");
            buf_putc(&b, '}');
            out_write(b.data, b.length);
            count++;
        }
    }
    char tail[64];
    int tl = snprintf(tail, sizeof tail, "%s],\"count\":%d}\n", count ? "\n" : "", count);
    out_write(tail, static_cast<size_t>(tl));
    buf_free(&b);
}

void do_search(const Request *r)
{
    char q[256], smart[8];
    get_query_val(r->query, "q", q, sizeof q);
    get_query_val(r->query, "smart", smart, sizeof smart);
    json_header();
    static MatchQuery mq;
    if (strcmp(smart, "1") != 0)
        emit_list(q[0] ? q : nullptr);
    else if (match_parse(&mq, q) > 0)
        search_smart(&mq);
    else
        emit_list(nullptr);
}
