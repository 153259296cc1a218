// Query-string lookup: first "name=" at the start or after '&', value cut then percent-decoded.
#include "util/query.h"

#include <cstring>

// Value of each hexadecimal digit, -1 for every other byte.
struct HexTable {
    signed char v[256];
    constexpr HexTable() : v()
    {
        for (int i = 0; i < 256; i++)
            v[i] = -1;
        for (int i = 0; i < 10; i++)
            v['0' + i] = static_cast<signed char>(i);
        for (int i = 0; i < 6; i++) {
            v['a' + i] = static_cast<signed char>(10 + i);
            v['A' + i] = static_cast<signed char>(10 + i);
        }
    }
};
static constexpr HexTable k_hex;

static int hex_digit(unsigned char c)
{
    return k_hex.v[c];
}

int get_query_val(const char *query, const char *name, char *out, size_t size)
{
    out[0] = '\0';
    if (!query || !*query)
        return 0;
    size_t nlen = strlen(name);
    const char *p = query;
    for (;;) {
        if (strncmp(p, name, nlen) == 0 && p[nlen] == '=')
            break;
        p = strchr(p, '&');
        if (!p || p[1] == '\0')
            return 0;
        p++;
    }
    const char *v = p + nlen + 1;
    const char *end = strchr(v, '&');
    size_t n = end ? static_cast<size_t>(end - v) : strlen(v);
    if (n > size - 1)
        n = size - 1;
    memcpy(out, v, n);
    out[n] = '\0';

    char *w = out;
    for (const char *r = out; *r;) {
        unsigned char c = static_cast<unsigned char>(*r);
        int hi, lo;
        if (c == '%' && (hi = hex_digit(static_cast<unsigned char>(r[1]))) >= 0 &&
            (lo = hex_digit(static_cast<unsigned char>(r[2]))) >= 0) {
            *w++ = static_cast<char>(hi * 16 + lo);
            r += 3;
        } else {
            *w++ = c == '+' ? ' ' : static_cast<char>(c);
            r++;
        }
    }
    *w = '\0';
    return 1;
}
