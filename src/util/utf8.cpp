// UTF-8 validation by the lead byte's class and the ranges of its second byte.
#include "util/utf8.h"

#include "util/textbuf.h"

size_t utf8_len(const unsigned char *s, size_t n)
{
    if (n == 0)
        return 0;
    unsigned c = s[0];
    size_t len = c < 0x80 ? 1 : c >= 0xc2 && c <= 0xdf ? 2 : c >= 0xe0 && c <= 0xef ? 3 : c >= 0xf0 && c <= 0xf4 ? 4 : 0;
    if (len > n)
        return 0;
    for (size_t i = 1; i < len; i++)
        if ((s[i] & 0xc0) != 0x80)
            return 0;
    if (len > 1 && ((c == 0xe0 && s[1] < 0xa0) || (c == 0xed && s[1] >= 0xa0) || (c == 0xf0 && s[1] < 0x90) ||
                    (c == 0xf4 && s[1] >= 0x90)))
        return 0;
    return len;
}

int utf8_valid(const char *s, size_t n)
{
    const unsigned char *p = reinterpret_cast<const unsigned char *>(s);
    for (size_t i = 0; i < n;) {
        if (p[i] == 0)
            return 0;
        if (p[i] < 0x80) {
            i++;
            continue;
        }
        size_t len = utf8_len(p + i, n - i);
        if (!len)
            return 0;
        i += len;
    }
    return 1;
}

size_t utf8_whole(const char *s, size_t n)
{
    const unsigned char *p = reinterpret_cast<const unsigned char *>(s);
    size_t back = 0;
    while (back < 3 && back < n && (p[n - 1 - back] & 0xc0) == 0x80)
        back++;
    if (back < n && p[n - 1 - back] >= 0xc0 && !utf8_len(p + n - 1 - back, back + 1))
        return n - 1 - back;
    return n;
}

void utf8_repair(TextBuf *b, const char *s, size_t n)
{
    const unsigned char *p = reinterpret_cast<const unsigned char *>(s);
    size_t i = 0, run = 0; // run: the start of the valid bytes not yet appended
    while (i < n) {
        size_t len = p[i] < 0x80 ? 1 : utf8_len(p + i, n - i);
        if (len) {
            i += len;
            continue;
        }
        buf_add(b, s + run, i - run);
        buf_puts(b, "\xef\xbf\xbd");
        run = ++i;
    }
    buf_add(b, s + run, i - run);
}
