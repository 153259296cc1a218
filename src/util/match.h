// Smart search terms: the query split into folded words and quoted phrases, and where they occur
// in a text, as byte ranges of the text itself.
#pragma once
#include <cstddef>
#include <cstdint>

constexpr int MATCH_TERMS_MAX = 16;
constexpr size_t MATCH_TERM_CAP = 768; // a folded 255-byte query, with room for the growth

struct MatchQuery {
    char term[MATCH_TERMS_MAX][MATCH_TERM_CAP]; // folded words and phrases
    size_t len[MATCH_TERMS_MAX];
    int ascii[MATCH_TERMS_MAX];  // 1 when the folded term is all ASCII
    int count;
    size_t longest;              // length of the longest folded term
    char whole[MATCH_TERM_CAP];  // the folded terms joined by single spaces
    size_t whole_len;
};

// A byte range [start, end) of a text.
struct MatchRange {
    uint32_t start, end;
};

// Splits text into words at ASCII white space, a double quote opening a phrase that runs to the
// next one (or the end), and folds each; terms that fold to nothing are left out. Returns the
// number of terms (0 when none: no filter). At most MATCH_TERMS_MAX are kept.
int match_parse(MatchQuery *q, const char *text);

// Finds every occurrence of every term in s[0, len) and writes their ranges, in order and with
// overlapping ones joined, into out (room for max). Returns how many were written; the rest are
// dropped. Occurrences are sought in windows of a few KiB whose ends overlap.
size_t match_ranges(const MatchQuery *q, const char *s, size_t len, MatchRange *out, size_t max);

// Turns a range of folded bytes [a, a + n) (n >= 1) of s[0, len) folded with a map into the
// text's own range: from the character that gave byte a to the end of the one that gave the last,
// dropped marks after it included.
MatchRange match_unfold(const char *s, size_t len, const uint32_t *map, size_t a, size_t n);
