// Safe file names for exported notes: one byte-class table, the reserved device names, UTF-8
// checked so every name is valid text, and a case-blind set that tells duplicates apart.
#include "util/safe_name.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "util/textbuf.h"
#include "util/utf8.h"

// 1 for an ASCII byte that some file system refuses in a name.
struct RefusedTable {
    unsigned char v[128];
    constexpr RefusedTable() : v()
    {
        for (int i = 0; i < 0x20; i++)
            v[i] = 1;
        v[0x7f] = 1;
        for (const char *p = "<>:\"/\\|?*"; *p; p++)
            v[static_cast<unsigned char>(*p)] = 1;
    }
};
static constexpr RefusedTable k_refused;

static const char *const k_reserved[] = {
    "CON",  "PRN",  "AUX",  "NUL",  "COM1", "COM2", "COM3", "COM4", "COM5", "COM6", "COM7",
    "COM8", "COM9", "LPT1", "LPT2", "LPT3", "LPT4", "LPT5", "LPT6", "LPT7", "LPT8", "LPT9",
};

// Returns 1 when the part of stem before its first dot, trailing spaces left out, is a device
// name in any case (Windows refuses "con.md" and "Com1 .txt" alike).
static int reserved_stem(const char *stem)
{
    size_t n = strcspn(stem, ".");
    while (n > 0 && stem[n - 1] == ' ')
        n--;
    for (const char *r : k_reserved) {
        size_t i = 0;
        while (i < n && r[i] && (stem[i] == r[i] || stem[i] == r[i] + 32))
            i++;
        if (i == n && !r[i])
            return 1;
    }
    return 0;
}

void safe_stem(const char *title, char *out)
{
    const unsigned char *s = reinterpret_cast<const unsigned char *>(title);
    size_t o = 1; // out[0] is kept for the '_' of a reserved name
    while (*s == ' ' || *s == '.')
        s++;
    const unsigned char *end = s + strlen(reinterpret_cast<const char *>(s));
    while (*s) {
        size_t n = utf8_len(s, static_cast<size_t>(end - s));
        char one = '_';
        const char *src = reinterpret_cast<const char *>(s);
        if (n == 1 && !k_refused.v[*s])
            one = static_cast<char>(*s);
        size_t take = n > 1 ? n : 1;
        if (o - 1 + take > SAFE_STEM_MAX)
            break;
        if (n > 1)
            memcpy(out + o, src, n);
        else
            out[o] = one;
        o += take;
        s += n ? n : 1;
    }
    while (o > 1 && (out[o - 1] == ' ' || out[o - 1] == '.'))
        o--;
    out[o] = '\0';
    if (o == 1) {
        str_copy(out, SAFE_NAME_CAP, "Untitled");
        return;
    }
    if (reserved_stem(out + 1)) {
        out[0] = '_';
        return;
    }
    memmove(out, out + 1, o);
}

// FNV-1a over the name with ASCII letters folded to lower case.
static unsigned name_hash(const char *s)
{
    unsigned h = 2166136261u;
    for (; *s; s++) {
        unsigned char c = static_cast<unsigned char>(*s);
        h = (h ^ (c >= 'A' && c <= 'Z' ? c + 32u : c)) * 16777619u;
    }
    return h;
}

static int same_name(const char *a, const char *b)
{
    for (;; a++, b++) {
        unsigned char x = static_cast<unsigned char>(*a), y = static_cast<unsigned char>(*b);
        if (x >= 'A' && x <= 'Z')
            x = static_cast<unsigned char>(x + 32);
        if (y >= 'A' && y <= 'Z')
            y = static_cast<unsigned char>(y + 32);
        if (x != y)
            return 0;
        if (!x)
            return 1;
    }
}

int safe_names_init(SafeNames *s, size_t cap)
{
    memset(s, 0, sizeof *s);
    size_t nslots = 16;
    while (nslots < cap * 2)
        nslots *= 2;
    s->names = static_cast<char (*)[SAFE_NAME_CAP]>(malloc(cap * SAFE_NAME_CAP + 1));
    s->slots = static_cast<unsigned *>(calloc(nslots, sizeof(unsigned)));
    if (!s->names || !s->slots) {
        safe_names_free(s);
        return 0;
    }
    s->cap = cap;
    s->nslots = nslots;
    return 1;
}

void safe_names_free(SafeNames *s)
{
    free(s->names);
    free(s->slots);
    memset(s, 0, sizeof *s);
}

// Returns the slot where name is, or the free slot where it would go.
static size_t name_slot(const SafeNames *s, const char *name, int *found)
{
    size_t i = name_hash(name) & (s->nslots - 1);
    for (; s->slots[i]; i = (i + 1) & (s->nslots - 1))
        if (same_name(s->names[s->slots[i] - 1], name)) {
            *found = 1;
            return i;
        }
    *found = 0;
    return i;
}

const char *safe_names_add(SafeNames *s, const char *stem, const char *ext)
{
    if (s->count >= s->cap)
        return nullptr;
    char *name = s->names[s->count];
    for (unsigned k = 1;; k++) {
        if (k == 1)
            snprintf(name, SAFE_NAME_CAP, "%s%s", stem, ext);
        else
            snprintf(name, SAFE_NAME_CAP, "%s (%u)%s", stem, k, ext);
        int found;
        size_t slot = name_slot(s, name, &found);
        if (!found) {
            s->slots[slot] = static_cast<unsigned>(++s->count);
            return name;
        }
    }
}
