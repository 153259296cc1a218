// Growable, always NUL-terminated byte string used for every response body, index text and HTML.
// A zeroed TextBuf is empty and valid; buf_need is the single place where storage grows.
#pragma once
#include <cstddef>
#include <cstring>

struct TextBuf {
    char *data;
    size_t length;
    size_t capacity;
};

// Largest capacity ever requested (128 MiB); requests beyond it fail.
constexpr size_t TEXTBUF_MAX = 134217728;

// Ensures room for length + extra bytes plus the NUL. Returns 1, or 0 with the buffer unchanged.
int buf_need(TextBuf *b, size_t extra);

// Appends n bytes; drops them silently when src is null, n is 0 or the buffer cannot grow.
inline void buf_add(TextBuf *b, const char *src, size_t n)
{
    if (!src || n == 0)
        return;
    if (b->length + n >= b->capacity && !buf_need(b, n))
        return;
    memcpy(b->data + b->length, src, n);
    b->length += n;
    b->data[b->length] = '\0';
}

// Appends a NUL-terminated string without its NUL; the empty string obtains no storage.
inline void buf_puts(TextBuf *b, const char *s)
{
    buf_add(b, s, strlen(s));
}

// Appends one byte; dropped when the buffer cannot grow.
inline void buf_putc(TextBuf *b, char c)
{
    if (b->length + 1 >= b->capacity && !buf_need(b, 1))
        return;
    b->data[b->length++] = c;
    b->data[b->length] = '\0';
}

// Empties the buffer but keeps its storage for reuse.
inline void buf_clear(TextBuf *b)
{
    b->length = 0;
    if (b->data)
        b->data[0] = '\0';
}

// Releases the storage and returns the buffer to its zeroed state.
void buf_free(TextBuf *b);

// Copies src into a field of cap bytes (cap >= 1), cut to cap - 1 bytes and always terminated.
void str_copy(char *dst, size_t cap, const char *src);
