// FNV-1a over the body bytes: cheap, needs no library, and the page computes the same value in
// script from the text it holds, so no answer has to carry it.
#include "util/fingerprint.h"

#include <cstdint>
#include <cstring>

constexpr uint64_t FNV_START = 0xcbf29ce484222325u;

// Returns the hash h continued over n bytes.
static uint64_t fnv_add(uint64_t h, const unsigned char *p, size_t n)
{
    for (size_t i = 0; i < n; i++) {
        h ^= p[i];
        h *= 0x100000001b3u;
    }
    return h;
}

static void fnv_hex(uint64_t h, char *out)
{
    static const char k_hex[] = "0123456789abcdef";
    for (size_t i = 0; i < FINGERPRINT_HEX; i++)
        out[i] = k_hex[(h >> (60 - 4 * i)) & 0xf];
    out[FINGERPRINT_HEX] = '\0';
}

void fingerprint_text(const char *s, size_t n, char *out)
{
    fnv_hex(fnv_add(FNV_START, reinterpret_cast<const unsigned char *>(s), n), out);
}

// Lead bytes of UTF-8 sequences: how many continuation bytes follow and the range the first of
// them must lie in (the others lie in 0x80-0xBF). need 0 marks a byte that starts nothing.
struct Utf8Lead {
    unsigned char first, last, need, lo, hi;
};
static const Utf8Lead k_utf8_leads[] = {
    {0xC2, 0xDF, 1, 0x80, 0xBF}, {0xE0, 0xE0, 2, 0xA0, 0xBF}, {0xE1, 0xEC, 2, 0x80, 0xBF},
    {0xED, 0xED, 2, 0x80, 0x9F}, {0xEE, 0xEF, 2, 0x80, 0xBF}, {0xF0, 0xF0, 3, 0x90, 0xBF},
    {0xF1, 0xF3, 3, 0x80, 0xBF}, {0xF4, 0xF4, 3, 0x80, 0x8F},
};

void fingerprint_shown(const char *s, size_t n, char *out)
{
    static const unsigned char k_replacement[] = {0xEF, 0xBF, 0xBD};
    const unsigned char *p = reinterpret_cast<const unsigned char *>(s);
    uint64_t h = FNV_START;
    size_t i = 0;
    while (i < n) {
        if (p[i] < 0x80) {
            h = fnv_add(h, p + i++, 1);
            continue;
        }
        Utf8Lead lead = {0, 0, 0, 0, 0};
        for (const Utf8Lead &l : k_utf8_leads)
            if (p[i] >= l.first && p[i] <= l.last)
                lead = l;
        // A broken sequence gives one replacement character for the bytes read so far; the byte
        // that broke it starts afresh.
        size_t j = i + 1, got = 0;
        while (got < lead.need && j < n && p[j] >= (got ? 0x80 : lead.lo) && p[j] <= (got ? 0xBF : lead.hi)) {
            j++;
            got++;
        }
        if (lead.need && got == lead.need)
            h = fnv_add(h, p + i, j - i);
        else
            h = fnv_add(h, k_replacement, sizeof k_replacement);
        i = j;
    }
    fnv_hex(h, out);
}

int fingerprint_valid(const char *text)
{
    for (size_t i = 0; i < FINGERPRINT_HEX; i++) {
        char c = text[i];
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f')))
            return 0;
    }
    return text[FINGERPRINT_HEX] == '\0';
}

int fingerprint_same_shown(const char *stored, const char *sent)
{
    if (strcmp(stored, sent) == 0)
        return 1;
    char a[FINGERPRINT_HEX + 1], b[FINGERPRINT_HEX + 1];
    fingerprint_shown(stored, strlen(stored), a);
    fingerprint_text(sent, strlen(sent), b);
    return strcmp(a, b) == 0;
}
