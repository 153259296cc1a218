// ASCII case folding for search: upper-case ASCII letters become lower case, every other byte
// (those above 0x7F included) stays as it is.
#include "util/fold.h"

#include <cstdint>
#include <cstring>

// ASCII upper case to lower case; every other byte maps to itself.
struct FoldTable {
    unsigned char v[256];
    constexpr FoldTable() : v()
    {
        for (int i = 0; i < 256; i++)
            v[i] = static_cast<unsigned char>(i >= 'A' && i <= 'Z' ? i + 32 : i);
    }
};
static constexpr FoldTable k_fold;

// Folds s to lower case in place, up to its NUL; returns its length. Eight bytes at a time:
// a byte from 'A' to 'Z' (and below 0x80) gets its 0x20 bit set.
size_t fold_lower(char *s)
{
    const uint64_t ones = 0x0101010101010101ull, highs = 0x8080808080808080ull;
    size_t n = strlen(s), i = 0;
    for (; i + 8 <= n; i += 8) {
        uint64_t v;
        memcpy(&v, s + i, 8);
        uint64_t low7 = v & ~highs;
        uint64_t from_a = low7 + ones * (0x80 - 'A');
        uint64_t past_z = low7 + ones * (0x80 - 'Z' - 1);
        uint64_t upper = from_a & ~past_z & ~v & highs;
        v |= upper >> 2;
        memcpy(s + i, &v, 8);
    }
    for (; i < n; i++)
        s[i] = static_cast<char>(k_fold.v[static_cast<unsigned char>(s[i])]);
    return n;
}

