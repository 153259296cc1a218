// JSON string writer and the single-field scanner used for request bodies and index records.
#include "util/json.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>

// Bytes json_str writes as escapes: 0 = unchanged, 'u' = \u00XX, other = backslash + that byte.
static const unsigned char k_json_escape[256] = {
    'u', 'u', 'u', 'u', 'u', 'u', 'u', 'u', 'u', 't', 'n', 'u', 'u', 'r', 'u', 'u',
    'u', 'u', 'u', 'u', 'u', 'u', 'u', 'u', 'u', 'u', 'u', 'u', 'u', 'u', 'u', 'u',
    0,   0,   '"', 0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,
    0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,
    0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,
    0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   '\\',
};

// Sixteen bytes handled as one value: compilers map it to the vector registers of the machine.
typedef unsigned char Bytes16 __attribute__((vector_size(16)));

size_t json_plain_run(const char *s, size_t n)
{
    size_t i = 0;
    for (; i + 16 <= n; i += 16) {
        Bytes16 v;
        memcpy(&v, s + i, 16);
        Bytes16 special = reinterpret_cast<Bytes16>((v < 0x20) | (v == '"') | (v == '\\'));
        uint64_t lo, hi;
        memcpy(&lo, &special, 8);
        memcpy(&hi, reinterpret_cast<const char *>(&special) + 8, 8);
        if (lo | hi)
            break;
    }
    while (i < n && !k_json_escape[static_cast<unsigned char>(s[i])])
        i++;
    return i;
}

size_t json_escape_some(const char *s, size_t n, size_t *pos, char *out, size_t cap)
{
    static const char k_hex[] = "0123456789abcdef";
    size_t i = *pos, w = 0;
    while (i < n) {
        size_t run = json_plain_run(s + i, n - i < cap - w ? n - i : cap - w);
        memcpy(out + w, s + i, run);
        w += run;
        i += run;
        if (i == n || cap - w < 6)
            break;
        unsigned char c = static_cast<unsigned char>(s[i]);
        unsigned char e = k_json_escape[c];
        i++;
        out[w++] = '\\';
        if (e == 'u') {
            memcpy(out + w, "u00", 3);
            out[w + 3] = k_hex[c >> 4];
            out[w + 4] = k_hex[c & 15];
            w += 5;
        } else {
            out[w++] = static_cast<char>(e);
        }
    }
    *pos = i;
    return w;
}

void json_str(TextBuf *b, const char *s)
{
    size_t n = s ? strlen(s) : 0, pos = 0;
    buf_putc(b, '"');
    // Escapes go straight into the buffer's free room; it grows for what is left plus one escape.
    while (pos < n && buf_need(b, n - pos + 6)) {
        size_t room = b->capacity - b->length - 1;
        b->length += json_escape_some(s, n, &pos, b->data + b->length, room);
        b->data[b->length] = '\0';
    }
    buf_putc(b, '"');
}

static int is_ws(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

static const char *skip_ws(const char *p)
{
    while (is_ws(*p))
        p++;
    return p;
}

const char *json_find_value(const char *text, const char *key)
{
    char pat[64];
    size_t klen = strlen(key);
    if (klen > sizeof pat - 3)
        return nullptr;
    pat[0] = '"';
    memcpy(pat + 1, key, klen);
    pat[klen + 1] = '"';
    pat[klen + 2] = '\0';
    size_t n = klen + 2;
    const char *p = text;
    while ((p = strstr(p, pat)) != nullptr) {
        p = skip_ws(p + n);
        if (*p == ':')
            return skip_ws(p + 1);
    }
    return nullptr;
}

int json_find_str(const char *text, const char *key, char *out, size_t size)
{
    const char *v = json_find_value(text, key);
    if (!v || *v != '"')
        return 0;
    return json_read_string(&v, out, size);
}

int json_find_int(const char *text, const char *key, int *out)
{
    const char *v = json_find_value(text, key);
    if (!v)
        return 0;
    char scratch[32];
    if (*v == '"') {
        json_read_string(&v, scratch, sizeof scratch);
        *out = atoi(scratch);
    } else if (strncmp(v, "true", 4) == 0) {
        *out = 1;
    } else if (strncmp(v, "false", 5) == 0) {
        *out = 0;
    } else {
        size_t n = 0;
        while (n < sizeof scratch - 1 && ((v[n] >= '0' && v[n] <= '9') || v[n] == '-')) {
            scratch[n] = v[n];
            n++;
        }
        scratch[n] = '\0';
        *out = atoi(scratch);
    }
    return 1;
}

static int hex_val(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return 0;
}

// Bytes after a backslash that stand for another byte; every other byte stands for itself.
static char unescape_byte(char c)
{
    switch (c) {
    case 'b': return '\b';
    case 'f': return '\f';
    case 'n': return '\n';
    case 'r': return '\r';
    case 't': return '\t';
    default: return c;
    }
}

// Where a string's decoded bytes go: a bounded fixed buffer, or a growable TextBuf.
struct StrSink {
    char *out;
    size_t size;
    size_t stored;
    TextBuf *tb;
};

static void sink_bytes(StrSink *s, const char *bytes, size_t n)
{
    if (s->tb) {
        buf_add(s->tb, bytes, n);
        return;
    }
    // A multi-byte character stores its leading part only whole, its last byte only after it.
    if (n > 1) {
        if (s->stored + (n - 1) > s->size - 1)
            return;
        memcpy(s->out + s->stored, bytes, n - 1);
        s->stored += n - 1;
        bytes += n - 1;
    }
    if (s->stored < s->size - 1)
        s->out[s->stored++] = *bytes;
}

// Decodes the string whose opening quote is at p; returns the position after it (or the NUL).
static const char *read_string_into(const char *p, StrSink *s)
{
    p++;
    for (;;) {
        const char *run = p;
        p += strcspn(p, "\"\\");
        if (p > run) {
            if (s->tb) {
                buf_add(s->tb, run, static_cast<size_t>(p - run));
            } else {
                size_t room = s->size - 1 - s->stored;
                size_t n = static_cast<size_t>(p - run);
                if (n > room)
                    n = room;
                // memmove: a string may be decoded in place, its output trailing its input.
                memmove(s->out + s->stored, run, n);
                s->stored += n;
            }
        }
        if (*p == '\0')
            return p;
        if (*p == '"')
            return p + 1;
        p++; // backslash
        if (*p == '\0')
            return p;
        if (*p != 'u') {
            char c = unescape_byte(*p++);
            sink_bytes(s, &c, 1);
            continue;
        }
        p++;
        unsigned cp = 0;
        for (int i = 0; i < 4; i++) {
            if (*p == '\0')
                return p;
            cp = cp * 16 + static_cast<unsigned>(hex_val(*p++));
        }
        char u[3];
        if (cp == 0) {
            continue;
        } else if (cp < 0x80) {
            u[0] = static_cast<char>(cp);
            sink_bytes(s, u, 1);
        } else if (cp < 0x800) {
            u[0] = static_cast<char>(0xC0 + (cp >> 6));
            u[1] = static_cast<char>(0x80 + (cp & 0x3F));
            sink_bytes(s, u, 2);
        } else {
            u[0] = static_cast<char>(0xE0 + (cp >> 12));
            u[1] = static_cast<char>(0x80 + ((cp >> 6) & 0x3F));
            u[2] = static_cast<char>(0x80 + (cp & 0x3F));
            sink_bytes(s, u, 3);
        }
    }
}

int json_read_string(const char **cur, char *out, size_t size)
{
    if (!cur || !*cur || **cur != '"')
        return 0;
    StrSink s = {out, size, 0, nullptr};
    *cur = read_string_into(*cur, &s);
    out[s.stored] = '\0';
    return 1;
}

char *json_dup_string(const char **cur)
{
    if (!cur || !*cur || **cur != '"')
        return nullptr;
    TextBuf tb = {};
    if (!buf_need(&tb, 0))
        return nullptr;
    StrSink s = {nullptr, 0, 0, &tb};
    *cur = read_string_into(*cur, &s);
    return tb.data;
}
