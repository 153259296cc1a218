// Folding for smart search: decodes UTF-8 a character at a time, looks each one up in the
// generated table and writes its fold; ASCII runs are lower-cased eight bytes at a time.
#include "util/unifold.h"

#include <cstring>

// Sixteen bytes handled as one value: compilers map it to the vector registers of the machine.
typedef unsigned char Bytes16 __attribute__((vector_size(16)));

// Returns 1 when any of the sixteen bytes has its high bit set.
static inline int unifold_any_high(Bytes16 v)
{
    uint64_t lo, hi;
    memcpy(&lo, &v, 8);
    memcpy(&hi, reinterpret_cast<const char *>(&v) + 8, 8);
    return ((lo | hi) & 0x8080808080808080ull) != 0;
}

// The fold of each ASCII byte, as the byte plus one (0: dropped): letters lower case, tab and line
// feed a space (so a phrase matches across a line break), carriage return dropped (so a CR LF is
// one space), every other byte itself.
struct AsciiFold {
    unsigned char v[128];
    constexpr AsciiFold() : v()
    {
        for (int c = 0; c < 128; c++)
            v[c] = static_cast<unsigned char>((c >= 'A' && c <= 'Z' ? c + 32 : c == '\t' || c == '\n' ? ' ' : c) + 1);
        v[static_cast<int>('\r')] = 0;
    }
};
static constexpr AsciiFold k_ascii;

// Returns the length of the valid UTF-8 sequence at s[i] (1 to 4) and its code point in *cp, or
// 0 when the bytes there are not a valid sequence (overlong, surrogate, beyond U+10FFFF, cut).
static size_t utf8_decode(const unsigned char *s, size_t i, size_t len, uint32_t *cp)
{
    unsigned char c = s[i];
    size_t n;
    uint32_t v, min;
    if (c < 0x80) {
        *cp = c;
        return 1;
    } else if (c >= 0xC2 && c <= 0xDF) {
        n = 2, v = c & 0x1Fu, min = 0x80;
    } else if (c >= 0xE0 && c <= 0xEF) {
        n = 3, v = c & 0x0Fu, min = 0x800;
    } else if (c >= 0xF0 && c <= 0xF4) {
        n = 4, v = c & 0x07u, min = 0x10000;
    } else {
        return 0;
    }
    if (i + n > len)
        return 0;
    for (size_t k = 1; k < n; k++) {
        if ((s[i + k] & 0xC0) != 0x80)
            return 0;
        v = v << 6 | (s[i + k] & 0x3Fu);
    }
    if (v < min || v > 0x10FFFF || (v >= 0xD800 && v <= 0xDFFF))
        return 0;
    *cp = v;
    return n;
}

// Returns the pool entry (length byte first) of cp's fold, or null when cp folds to itself.
static const unsigned char *fold_entry(uint32_t cp)
{
    unsigned short off = k_unifold_stage2[static_cast<size_t>(k_unifold_stage1[cp >> 8]) * 256 + (cp & 0xFF)];
    return off ? k_unifold_pool + off : nullptr;
}

size_t unifold(const char *src, size_t len, char *out, uint32_t *map)
{
    const unsigned char *s = reinterpret_cast<const unsigned char *>(src);
    const uint64_t ones = 0x0101010101010101ull, highs = 0x8080808080808080ull;
    size_t i = 0, o = 0;
    while (i < len) {
        // Sixteen ASCII bytes: 'A'-'Z' get their 0x20 bit, as in the plain search's folding, tabs
        // and line feeds become spaces; other control bytes take the byte-wise road.
        if (!map && i + 16 <= len) {
            Bytes16 v;
            memcpy(&v, s + i, 16);
            Bytes16 space = reinterpret_cast<Bytes16>((v == '\t') | (v == '\n'));
            Bytes16 other = reinterpret_cast<Bytes16>(v < 0x20) & ~space;
            if (!unifold_any_high(v | other)) {
                Bytes16 upper = reinterpret_cast<Bytes16>((v >= 'A') & (v <= 'Z'));
                v |= upper & 0x20;
                v = (v & ~space) | (space & ' ');
                memcpy(out + o, &v, 16);
                i += 16, o += 16;
                continue;
            }
        }
        // Eight ASCII bytes without control bytes, the same way.
        if (i + 8 <= len) {
            uint64_t v;
            memcpy(&v, s + i, 8);
            if (!(v & highs) && !((v - ones * 0x20) & ~v & highs)) {
                uint64_t upper = (v + ones * (0x80 - 'A')) & ~(v + ones * (0x80 - 'Z' - 1)) & highs;
                v |= upper >> 2;
                memcpy(out + o, &v, 8);
                if (map)
                    for (size_t k = 0; k < 8; k++)
                        map[o + k] = static_cast<uint32_t>(i + k);
                i += 8, o += 8;
                continue;
            }
        }
        uint32_t cp;
        size_t n = utf8_decode(s, i, len, &cp);
        if (n <= 1) {
            // ASCII by its table, or a byte that starts no valid sequence: it stands for itself.
            unsigned char c = s[i++];
            if (n == 1) {
                if (!k_ascii.v[c])
                    continue;
                c = static_cast<unsigned char>(k_ascii.v[c] - 1);
            }
            if (map)
                map[o] = static_cast<uint32_t>(i - 1);
            out[o++] = static_cast<char>(c);
            continue;
        }
        const unsigned char *e = fold_entry(cp);
        const unsigned char *from = e ? e + 1 : s + i;
        size_t flen = e ? e[0] : n;
        for (size_t k = 0; k < flen; k++) {
            if (map)
                map[o] = static_cast<uint32_t>(i);
            out[o++] = static_cast<char>(from[k]);
        }
        i += n;
    }
    if (map)
        map[o] = static_cast<uint32_t>(len);
    return o;
}

size_t unifold_cut(const char *src, size_t len)
{
    const unsigned char *s = reinterpret_cast<const unsigned char *>(src);
    // Looks at most three bytes back for a lead byte whose sequence runs past the end.
    for (size_t back = 1; back <= 3 && back <= len; back++) {
        unsigned char c = s[len - back];
        if ((c & 0xC0) == 0x80)
            continue;
        size_t need = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 1;
        return need > back ? len - back : len;
    }
    return len;
}

size_t unifold_back(const char *src, size_t at)
{
    const unsigned char *s = reinterpret_cast<const unsigned char *>(src);
    size_t i = at - 1;
    for (int k = 0; k < 3 && i > 0 && (s[i] & 0xC0) == 0x80; k++)
        i--;
    // Only a lead byte that really starts a sequence ending at `at` counts; otherwise the last
    // byte is a character of its own.
    uint32_t cp;
    size_t n = utf8_decode(s, i, at, &cp);
    return n == at - i ? i : at - 1;
}

size_t unifold_char_len(const char *src, size_t at, size_t end, size_t *bytes)
{
    uint32_t cp;
    size_t n = utf8_decode(reinterpret_cast<const unsigned char *>(src), at, end, &cp);
    *bytes = n ? n : 1;
    if (n == 1)
        return k_ascii.v[static_cast<unsigned char>(src[at])] ? 1 : 0;
    if (n == 0)
        return 1;
    const unsigned char *e = fold_entry(cp);
    return e ? e[0] : n;
}

long unifold_find(const char *s, size_t len, const char *needle, size_t n)
{
    if (n > len)
        return -1;
    // Sixteen starting places at a time are tested for the needle's first and last bytes; only
    // the places that pass both are compared whole.
    Bytes16 first, last;
    memset(&first, static_cast<unsigned char>(needle[0]), 16);
    memset(&last, static_cast<unsigned char>(needle[n - 1]), 16);
    size_t i = 0;
    for (; i + n - 1 + 16 <= len; i += 16) {
        Bytes16 a, b;
        memcpy(&a, s + i, 16);
        memcpy(&b, s + i + n - 1, 16);
        Bytes16 hit = reinterpret_cast<Bytes16>((a == first) & (b == last));
        uint64_t lo, hi;
        memcpy(&lo, &hit, 8);
        memcpy(&hi, reinterpret_cast<const char *>(&hit) + 8, 8);
        if (!(lo | hi))
            continue;
        for (size_t k = 0; k < 16; k++)
            if (hit[k] && memcmp(s + i + k, needle, n) == 0)
                return static_cast<long>(i + k);
    }
    for (; i + n <= len; i++)
        if (s[i] == needle[0] && memcmp(s + i, needle, n) == 0)
            return static_cast<long>(i);
    return -1;
}

int unifold_ascii(const char *s, size_t len)
{
    // Sixty-four bytes a step, so that a text with a non-ASCII byte early stops early. A carriage
    // return is dropped by the fold, so a text holding one is not searched as it stands either.
    size_t i = 0;
    for (; i + 64 <= len; i += 64) {
        Bytes16 a, b, c, d;
        memcpy(&a, s + i, 16);
        memcpy(&b, s + i + 16, 16);
        memcpy(&c, s + i + 32, 16);
        memcpy(&d, s + i + 48, 16);
        Bytes16 cr = reinterpret_cast<Bytes16>((a == '\r') | (b == '\r') | (c == '\r') | (d == '\r'));
        if (unifold_any_high(a | b | c | d | cr))
            return 0;
    }
    for (; i < len; i++)
        if (static_cast<unsigned char>(s[i]) >= 0x80 || s[i] == '\r')
            return 0;
    return 1;
}

size_t unifold_match_end(const char *s, size_t at, size_t len)
{
    size_t bytes;
    unifold_char_len(s, at, len, &bytes);
    size_t e = at + bytes;
    // Marks dropped by the fold belong to the character before them; a dropped carriage return
    // does not.
    while (e < len && s[e] != '\r' && unifold_char_len(s, e, len, &bytes) == 0)
        e += bytes;
    return e;
}

size_t unifold_ascii_run(const char *s, size_t len)
{
    size_t i = 0;
    for (; i + 16 <= len; i += 16) {
        Bytes16 v;
        memcpy(&v, s + i, 16);
        Bytes16 space = reinterpret_cast<Bytes16>((v == '\t') | (v == '\n'));
        if (unifold_any_high(v | (reinterpret_cast<Bytes16>(v < 0x20) & ~space)))
            break;
    }
    while (i < len && static_cast<unsigned char>(s[i]) < 0x80 && k_ascii.v[static_cast<unsigned char>(s[i])] &&
           (static_cast<unsigned char>(s[i]) >= 0x20 || s[i] == '\t' || s[i] == '\n'))
        i++;
    return i;
}
