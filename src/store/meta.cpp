// Metadata table operations: lookup, stable listing order, identifiers and timestamps.
#include "store/meta.h"

#include <cstdio>
#include <cstring>

#include "platform/platform.h"
#include "store/files.h"

NoteMeta g_meta[META_MAX];
int g_count;

static const char k_id_alphabet[] = "abcdefghijklmnopqrstuvwxyz0123456789";

int meta_find(const char *id)
{
    for (int i = 0; i < g_count; i++)
        if (strcmp(g_meta[i].id, id) == 0)
            return i;
    return -1;
}

int valid_id(const char *text)
{
    for (int i = 0; i < ID_LEN; i++) {
        char c = text[i];
        if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')))
            return 0;
    }
    return text[ID_LEN] == '\0';
}

// Returns 1 when record a is listed before record b.
static int meta_before(const NoteMeta *a, const NoteMeta *b)
{
    if (a->pinned != b->pinned)
        return a->pinned > b->pinned;
    return strcmp(a->updated, b->updated) > 0;
}

void sort_meta(void)
{
    for (int i = 1; i < g_count; i++) {
        if (!meta_before(&g_meta[i], &g_meta[i - 1]))
            continue;
        NoteMeta m = g_meta[i];
        int j = i;
        while (j > 0 && meta_before(&m, &g_meta[j - 1])) {
            g_meta[j] = g_meta[j - 1];
            j--;
        }
        g_meta[j] = m;
    }
}

// Returns 1 for a leap year of the Gregorian calendar.
static int year_is_leap(int64_t y)
{
    return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
}

void iso_format(char *out, int64_t seconds)
{
    // Counted here rather than by the C library, whose conversion reads the local time zone
    // file first although the answer is UTC: that read was a measurable part of a save.
    static const int k_month_days[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    int64_t days = seconds / 86400, rest = seconds % 86400;
    if (rest < 0) {
        rest += 86400;
        days--;
    }
    int64_t year = 1970;
    while (days < 0) {
        year--;
        days += year_is_leap(year) ? 366 : 365;
    }
    while (days >= (year_is_leap(year) ? 366 : 365)) {
        days -= year_is_leap(year) ? 366 : 365;
        year++;
    }
    int month = 0;
    for (;; month++) {
        int len = k_month_days[month] + (month == 1 && year_is_leap(year) ? 1 : 0);
        if (days < len)
            break;
        days -= len;
    }
    if (year < 0 || year > 9999) {
        out[0] = '\0';
        return;
    }
    // "YYYY-MM-DDTHH:MM:SSZ": each field's digits written into place.
    const struct {
        int64_t value;
        int at, width;
    } fields[] = {{year, 0, 4}, {month + 1, 5, 2}, {days + 1, 8, 2}, {rest / 3600, 11, 2}, {rest / 60 % 60, 14, 2}, {rest % 60, 17, 2}};
    memcpy(out, "0000-00-00T00:00:00Z", 21);
    for (const auto &f : fields)
        for (int64_t v = f.value, k = f.width - 1; k >= 0; k--, v /= 10)
            out[f.at + k] = static_cast<char>('0' + v % 10);
}

int iso_valid(const char *t)
{
    // Digits where the form has them, then each field within its range (the day within its month).
    static const char k_form[] = "0000-00-00T00:00:00Z";
    for (size_t i = 0; i < sizeof k_form - 1; i++)
        if (k_form[i] == '0' ? (t[i] < '0' || t[i] > '9') : t[i] != k_form[i])
            return 0;
    if (t[sizeof k_form - 1] != '\0')
        return 0;
    auto num = [t](int at, int width) {
        int v = 0;
        for (int k = 0; k < width; k++)
            v = v * 10 + (t[at + k] - '0');
        return v;
    };
    static const int k_month_days[12] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    int year = num(0, 4), month = num(5, 2), day = num(8, 2);
    if (month < 1 || month > 12 || day < 1 || day > k_month_days[month - 1] ||
        (month == 2 && day == 29 && !year_is_leap(year)))
        return 0;
    return num(11, 2) <= 23 && num(14, 2) <= 59 && num(17, 2) <= 59;
}

void iso_now(char *out)
{
    iso_format(out, plat_time_s());
}

void id_from_seed(uint32_t seed, char *out)
{
    uint32_t state = seed * 1103515245u + 12345u;
    for (int i = 0; i < ID_LEN; i++) {
        state = state * 1103515245u + 12345u;
        out[i] = k_id_alphabet[(state >> 16) % 36];
    }
    out[ID_LEN] = '\0';
}

// Returns 1 when a body file for id exists in the notes or the trash directory.
static int id_has_file(const char *id)
{
    char name[80], path[PATH_CAP];
    snprintf(name, sizeof name, "%s.md", id);
    path_join(path, g_dir, name);
    if (plat_exists(path))
        return 1;
    path_join(path, g_trash, name);
    return plat_exists(path);
}

void id_generate(char *out)
{
    // out is the new record's own field, so its address varies with the randomised stack.
    uint32_t seed = plat_tick_ms() ^ static_cast<uint32_t>(reinterpret_cast<uintptr_t>(out)) ^
                    static_cast<uint32_t>(plat_time_s());
    id_from_seed(seed, out);
    // A collision would let the new note overwrite another's body: draw again from a new seed.
    while (meta_find(out) >= 0 || id_has_file(out)) {
        seed = seed * 2654435761u + plat_tick_ms() + 1u;
        id_from_seed(seed, out);
    }
}

int meta_append(const NoteMeta *m)
{
    if (g_count >= META_MAX)
        return 0;
    g_meta[g_count++] = *m;
    return 1;
}

int meta_insert(int i, const NoteMeta *m)
{
    if (g_count >= META_MAX)
        return 0;
    memmove(&g_meta[i + 1], &g_meta[i], sizeof(NoteMeta) * static_cast<size_t>(g_count - i));
    g_meta[i] = *m;
    g_count++;
    return 1;
}

void meta_remove(int i)
{
    memmove(&g_meta[i], &g_meta[i + 1], sizeof(NoteMeta) * static_cast<size_t>(g_count - i - 1));
    g_count--;
}

void meta_title_from_text(const char *text, char *title, size_t size)
{
    const char *p = text;
    while (*p == ' ' || *p == '\t' || *p == '#')
        p++;
    size_t n = strcspn(p, "\r\n");
    while (n > 0 && (p[n - 1] == ' ' || p[n - 1] == '\t'))
        n--;
    if (n > size - 1) {
        n = size - 1;
        while (n > 0 && (static_cast<unsigned char>(p[n]) & 0xC0) == 0x80)
            n--;
    }
    memcpy(title, p, n);
    title[n] = '\0';
}
