// Folding for smart search: Unicode full case folding with diacritics dropped, so that texts
// that differ only in case or accents fold to the same bytes; tabs and line breaks fold to a
// space; bytes that are not valid UTF-8 are kept as they are.
#pragma once
#include <cstddef>
#include <cstdint>

#include "util/unifold_table.h"

// Folds s[0, len) into out, which holds at least len * UNIFOLD_GROWTH bytes. When map is not
// null, map[k] gets the offset in s of the character that gave folded byte k, and
// map[result] gets len. Returns the folded length. No failure.
size_t unifold(const char *s, size_t len, char *out, uint32_t *map);

// Returns the longest prefix length of s[0, len) that does not end inside a UTF-8 sequence
// (the rest, at most 3 bytes, begins a character that may continue in the next chunk).
size_t unifold_cut(const char *s, size_t len);

// Returns the start of the character before s[at] (at > 0), stepping over at most 3
// continuation bytes.
size_t unifold_back(const char *s, size_t at);

// Returns the number of folded bytes that the character starting at s[at] gives (0 when it is
// dropped) and its own length in *bytes (1 for a byte that starts no valid sequence); end
// bounds the text.
size_t unifold_char_len(const char *s, size_t at, size_t end, size_t *bytes);

// Returns the offset of the first occurrence of needle[0, n) (n >= 1) in s[0, len), or -1.
long unifold_find(const char *s, size_t len, const char *needle, size_t n);

// Returns 1 when every byte of s[0, len) is ASCII and none a carriage return (its fold is then
// its ASCII lower case byte for byte, tabs and line feeds as spaces), else 0.
int unifold_ascii(const char *s, size_t len);

// Returns the end of the character starting at s[at] together with the marks after it that the
// fold drops (a match's end); len bounds the text.
size_t unifold_match_end(const char *s, size_t at, size_t len);

// Returns the length of the leading run of s[0, len) whose bytes each fold to one byte (ASCII
// without control bytes other than tab and line feed), sixteen bytes at a time.
size_t unifold_ascii_run(const char *s, size_t len);
