// HTML escaping of user text: the five bytes that could open, close or quote markup become
// entities; every other byte, control and non-ASCII bytes included, passes unchanged.
#include "markdown/markdown.h"

#include <cstdint>
#include <cstring>

struct Entity {
    const char *text;
    size_t len;
};

// Row 0 means "copy unchanged"; the escape table below points into this list.
static const Entity k_entities[] = {
    {"", 0}, {"&quot;", 6}, {"&amp;", 5}, {"&#39;", 5}, {"&lt;", 4}, {"&gt;", 4},
};

// Entity row for every byte value.
struct EscapeTable {
    unsigned char row[256];
    constexpr EscapeTable() : row()
    {
        row[static_cast<unsigned char>('"')] = 1;
        row[static_cast<unsigned char>('&')] = 2;
        row[static_cast<unsigned char>('\'')] = 3;
        row[static_cast<unsigned char>('<')] = 4;
        row[static_cast<unsigned char>('>')] = 5;
    }
};
static constexpr EscapeTable k_escape;

// Sixteen bytes handled as one value: compilers map it to the vector registers of the machine.
typedef unsigned char Bytes16 __attribute__((vector_size(16)));

// Returns the length of the longest prefix of s[0, n) without a byte that needs an entity,
// sixteen bytes at a time.
static size_t esc_plain_run(const char *s, size_t n)
{
    size_t i = 0;
    for (; i + 16 <= n; i += 16) {
        Bytes16 v;
        memcpy(&v, s + i, 16);
        Bytes16 hit = reinterpret_cast<Bytes16>((v == '"') | (v == '&') | (v == '\'') | (v == '<') | (v == '>'));
        uint64_t lo, hi;
        memcpy(&lo, &hit, 8);
        memcpy(&hi, reinterpret_cast<const char *>(&hit) + 8, 8);
        if (lo | hi)
            break;
    }
    while (i < n && !k_escape.row[static_cast<unsigned char>(s[i])])
        i++;
    return i;
}

// Returns nothing; bytes that do not fit are dropped by the buffer.
void esc_html_into(TextBuf *b, const char *s, size_t n)
{
    const unsigned char *u = reinterpret_cast<const unsigned char *>(s);
    size_t run = 0; // start of the bytes not yet appended, all of them safe
    for (size_t i = esc_plain_run(s, n); i < n; i += 1 + esc_plain_run(s + i + 1, n - i - 1)) {
        unsigned char e = k_escape.row[u[i]];
        buf_add(b, s + run, i - run);
        buf_add(b, k_entities[e].text, k_entities[e].len);
        run = i + 1;
    }
    buf_add(b, s + run, n - run);
}
