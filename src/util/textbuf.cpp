// Storage growth for TextBuf and the bounded string copy into fixed fields.
#include "util/textbuf.h"

#include <cstdlib>

int buf_need(TextBuf *b, size_t extra)
{
    if (extra >= TEXTBUF_MAX || b->length >= TEXTBUF_MAX)
        return 0;
    size_t needed = b->length + extra + 1;
    if (b->capacity >= needed)
        return 1;
    size_t cap = b->capacity ? b->capacity : 1024;
    while (cap < needed) {
        if (cap > TEXTBUF_MAX / 2)
            return 0;
        cap *= 2;
    }
    char *p = static_cast<char *>(realloc(b->data, cap));
    if (!p)
        return 0;
    if (!b->data)
        p[0] = '\0';
    b->data = p;
    b->capacity = cap;
    return 1;
}

void buf_free(TextBuf *b)
{
    free(b->data);
    b->data = nullptr;
    b->length = 0;
    b->capacity = 0;
}

void str_copy(char *dst, size_t cap, const char *src)
{
    size_t n = strlen(src);
    if (n >= cap)
        n = cap - 1;
    memcpy(dst, src, n);
    dst[n] = '\0';
}
