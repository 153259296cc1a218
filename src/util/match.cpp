// Smart search terms: parsing a query into folded terms and finding them in a text.
#include "util/match.h"

#include <cstring>

#include "util/unifold.h"

// ASCII white space separates words.
static int match_space(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v';
}

// Folds raw[0, n) into the next term slot when it folds to something.
static void match_add(MatchQuery *q, const char *raw, size_t n)
{
    if (q->count >= MATCH_TERMS_MAX || n == 0)
        return;
    char *t = q->term[q->count];
    size_t flen = unifold(raw, n, t, nullptr);
    if (flen == 0)
        return;
    t[flen] = '\0';
    q->ascii[q->count] = unifold_ascii(t, flen);
    q->len[q->count++] = flen;
    if (flen > q->longest)
        q->longest = flen;
    if (q->whole_len)
        q->whole[q->whole_len++] = ' ';
    memcpy(q->whole + q->whole_len, t, flen);
    q->whole_len += flen;
    q->whole[q->whole_len] = '\0';
}

int match_parse(MatchQuery *q, const char *text)
{
    q->count = 0;
    q->longest = 0;
    q->whole_len = 0;
    q->whole[0] = '\0';
    // The query is at most 255 bytes, so the joined terms fit MATCH_TERM_CAP once folded.
    size_t n = strnlen(text, 255);
    size_t i = 0;
    while (i < n) {
        if (match_space(text[i])) {
            i++;
        } else if (text[i] == '"') {
            size_t from = ++i;
            while (i < n && text[i] != '"')
                i++;
            // Spaces at the phrase's edges do not count, and a run of them inside is one space.
            char phrase[256];
            size_t n2 = 0;
            for (size_t k = from; k < i; k++) {
                if (!match_space(text[k]))
                    phrase[n2++] = text[k];
                else if (n2 && phrase[n2 - 1] != ' ')
                    phrase[n2++] = ' ';
            }
            if (n2 && phrase[n2 - 1] == ' ')
                n2--;
            match_add(q, phrase, n2);
            i += i < n;
        } else {
            size_t from = i;
            while (i < n && !match_space(text[i]) && text[i] != '"')
                i++;
            match_add(q, text + from, i - from);
        }
    }
    return q->count;
}

MatchRange match_unfold(const char *s, size_t len, const uint32_t *map, size_t a, size_t n)
{
    // A match that ends inside a character's fold ("s" of the "ss" of "ß") runs to that
    // character's end.
    return MatchRange{map[a], static_cast<uint32_t>(unifold_match_end(s, map[a + n - 1], len))};
}

// Inserts r into the sorted, joined ranges out[0, *have), joining it with those it overlaps.
static void match_insert(MatchRange *out, size_t *have, size_t max, MatchRange r)
{
    size_t k = *have;
    while (k > 0 && out[k - 1].start > r.start)
        k--;
    if (k > 0 && out[k - 1].end >= r.start) {
        k--;
        if (r.end > out[k].end)
            out[k].end = r.end;
    } else {
        if (*have >= max)
            return;
        memmove(out + k + 1, out + k, (*have - k) * sizeof *out);
        out[k] = r;
        ++*have;
    }
    // The grown range may now reach the ones after it.
    size_t j = k + 1;
    while (j < *have && out[j].start <= out[k].end) {
        if (out[j].end > out[k].end)
            out[k].end = out[j].end;
        j++;
    }
    memmove(out + k + 1, out + j, (*have - j) * sizeof *out);
    *have -= j - k - 1;
}

constexpr size_t MATCH_WINDOW = 4096;
constexpr size_t MATCH_OVERLAP_MAX = 4096;

size_t match_ranges(const MatchQuery *q, const char *s, size_t len, MatchRange *out, size_t max)
{
    static char folded[(MATCH_WINDOW + MATCH_OVERLAP_MAX) * UNIFOLD_GROWTH];
    static uint32_t map[(MATCH_WINDOW + MATCH_OVERLAP_MAX) * UNIFOLD_GROWTH + 1];
    size_t have = 0;
    // Each window keeps the occurrences that start in it; its overlap lets one that starts near
    // its end be seen whole.
    size_t overlap = q->longest * 4 + 64;
    if (overlap > MATCH_OVERLAP_MAX)
        overlap = MATCH_OVERLAP_MAX;
    for (size_t w = 0; w < len;) {
        size_t own = len - w < MATCH_WINDOW ? len - w : MATCH_WINDOW;
        size_t next = w + own;
        if (next < len) {
            next = w + unifold_cut(s + w, own);
            if (next == w)
                next = w + own;
        }
        size_t end = len - w < own + overlap ? len : w + own + overlap;
        size_t span = end < len ? unifold_cut(s + w, end - w) : end - w;
        size_t flen = unifold(s + w, span, folded, map);
        for (int t = 0; t < q->count; t++) {
            size_t n = q->len[t];
            for (size_t at = 0; at + n <= flen;) {
                long p = unifold_find(folded + at, flen - at, q->term[t], n);
                if (p < 0)
                    break;
                size_t a = at + static_cast<size_t>(p);
                MatchRange r = match_unfold(s + w, span, map, a, n);
                if (w + r.start >= next)
                    break;
                match_insert(out, &have, max, MatchRange{static_cast<uint32_t>(w + r.start),
                                                         static_cast<uint32_t>(w + r.end)});
                at = a + n;
            }
        }
        w = next;
    }
    return have;
}
