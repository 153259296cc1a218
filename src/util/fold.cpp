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


// Sixteen bytes handled as one value: compilers map it to the vector registers of the machine.
typedef unsigned char Bytes16 __attribute__((vector_size(16)));

// Returns sixteen copies of c.
static inline Bytes16 splat16(unsigned char c)
{
    Bytes16 v;
    memset(&v, c, 16);
    return v;
}

// Returns 0xFF in each byte of the sixteen at p that equals a or b, 0 elsewhere.
static inline Bytes16 match16(const char *p, Bytes16 a, Bytes16 b)
{
    Bytes16 v;
    memcpy(&v, p, 16);
    return reinterpret_cast<Bytes16>((v == a) | (v == b));
}

// Returns 1 when any byte of m is not zero.
static inline int any16(Bytes16 m)
{
    uint64_t a, b;
    memcpy(&a, &m, 8);
    memcpy(&b, reinterpret_cast<const char *>(&m) + 8, 8);
    return (a | b) != 0;
}

// Returns 1 when s[0, n) folded equals the folded needle.
static int fold_equal(const char *s, const char *needle, size_t n)
{
    for (size_t j = 0; j < n; j++)
        if (k_fold.v[static_cast<unsigned char>(s[j])] != static_cast<unsigned char>(needle[j]))
            return 0;
    return 1;
}

// Returns the upper-case form of a folded byte (the byte itself when it is not a letter).
static unsigned char fold_upper(char c)
{
    return static_cast<unsigned char>(c >= 'a' && c <= 'z' ? c - 32 : c);
}

int fold_contains(const char *s, size_t len, const char *needle, size_t n)
{
    return fold_find(s, len, needle, n) >= 0;
}

long fold_find(const char *s, size_t len, const char *needle, size_t n)
{
    if (n == 0 || n > len)
        return n == 0 ? 0 : -1;
    // Thirty-two starting places at a time are tested for the needle's first two bytes (its only
    // byte when it has one) in either case; only the places that pass are compared whole.
    char second = n > 1 ? needle[1] : needle[0];
    Bytes16 a0 = splat16(static_cast<unsigned char>(needle[0])), b0 = splat16(fold_upper(needle[0]));
    Bytes16 a1 = splat16(static_cast<unsigned char>(second)), b1 = splat16(fold_upper(second));
    size_t step = n > 1 ? 1 : 0, i = 0;
    for (; i + 33 <= len && i + n <= len; i += 32) {
        Bytes16 hit = match16(s + i, a0, b0) & match16(s + i + step, a1, b1);
        Bytes16 hit2 = match16(s + i + 16, a0, b0) & match16(s + i + 16 + step, a1, b1);
        if (!any16(hit | hit2))
            continue;
        for (size_t k = 0; k < 32 && i + k + n <= len; k++)
            if ((k < 16 ? hit[k] : hit2[k - 16]) && fold_equal(s + i + k, needle, n))
                return static_cast<long>(i + k);
    }
    for (; i + n <= len; i++)
        if (fold_equal(s + i, needle, n))
            return static_cast<long>(i);
    return -1;
}
