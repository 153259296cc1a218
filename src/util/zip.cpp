// The zip writer: the one place that knows the archive layout (local headers, descriptors, the
// central directory, zip64 and end records). Output is streamed; only the central records stay.
#include "util/zip.h"

#include <zlib.h>

#include <cstring>

#include "util/response.h"
#include "util/textbuf.h"

constexpr uint32_t SIG_LOCAL = 0x04034b50, SIG_DESCRIPTOR = 0x08074b50, SIG_CENTRAL = 0x02014b50;
constexpr uint32_t SIG_END = 0x06054b50, SIG_END64 = 0x06064b50, SIG_LOCATOR64 = 0x07064b50;
constexpr uint16_t FLAG_DESCRIPTOR = 0x0008, FLAG_UTF8 = 0x0800, METHOD_DEFLATE = 8;
constexpr uint16_t NEEDS_PLAIN = 20, NEEDS_ZIP64 = 45;
constexpr uint16_t MADE_BY_UNIX = (3 << 8) | 45;
constexpr uint32_t MODE_FILE = 0100644u << 16; // a regular file readable by all, as unzip sets it
constexpr uint16_t EXTRA_ZIP64 = 0x0001, EXTRA_TIME = 0x5455;
constexpr uint32_t MAX32 = 0xffffffffu;
constexpr size_t NAME_MAX_BYTES = 1024;

struct ZipState {
    int open;       // zip_begin succeeded
    int in_entry;   // between zip_entry_begin and zip_entry_end
    int failed;     // an entry could not be written whole
    z_stream z;
    uint64_t offset; // bytes written so far
    uint64_t count;  // entries finished
    TextBuf central; // the central records, written at the end
    // The open entry.
    uint64_t start, csize, usize;
    uint32_t crc, mtime;
    uint16_t dos_time, dos_date, name_len;
    char name[NAME_MAX_BYTES + 1];
};

static ZipState g_zip;
static unsigned char g_zip_out[65536];

// Little-endian fields into a small header buffer.
static unsigned char *put16(unsigned char *p, uint32_t v)
{
    p[0] = static_cast<unsigned char>(v);
    p[1] = static_cast<unsigned char>(v >> 8);
    return p + 2;
}
static unsigned char *put32(unsigned char *p, uint32_t v)
{
    return put16(put16(p, v & 0xffffu), v >> 16);
}
static unsigned char *put64(unsigned char *p, uint64_t v)
{
    return put32(put32(p, static_cast<uint32_t>(v)), static_cast<uint32_t>(v >> 32));
}
static uint32_t cap32(uint64_t v)
{
    return v >= MAX32 ? MAX32 : static_cast<uint32_t>(v);
}

// Writes to standard output and counts the bytes for the offsets.
static void zip_out(const void *p, size_t n)
{
    out_write(static_cast<const char *>(p), n);
    g_zip.offset += n;
}

// MS-DOS date and time fields (local header and central record) of a UTC time; the format
// starts in 1980 and ends in 2107, so earlier and later times are held at those ends.
static void dos_stamp(int64_t t, uint16_t *dtime, uint16_t *ddate)
{
    const int64_t lo = 315532800, hi = 4354819199; // 1980-01-01 and 2107-12-31T23:59:59
    if (t < lo)
        t = lo;
    if (t > hi)
        t = hi;
    int64_t days = t / 86400, secs = t % 86400;
    // Civil date from days since 1970 (proleptic Gregorian, eras of 400 years).
    int64_t z = days + 719468, era = z / 146097;
    int64_t doe = z - era * 146097;
    int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    int64_t mp = (5 * doy + 2) / 153;
    int64_t d = doy - (153 * mp + 2) / 5 + 1, m = mp < 10 ? mp + 3 : mp - 9;
    int64_t y = yoe + era * 400 + (m <= 2 ? 1 : 0);
    *ddate = static_cast<uint16_t>(((y - 1980) << 9) | (m << 5) | d);
    *dtime = static_cast<uint16_t>(((secs / 3600) << 11) | (((secs / 60) % 60) << 5) | ((secs % 60) / 2));
}

int zip_begin(void)
{
    memset(&g_zip, 0, sizeof g_zip);
    // Raw deflate (no zlib wrapper), level 6 as zip's default, the default window and memory.
    if (deflateInit2(&g_zip.z, 6, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY) != Z_OK)
        return 0;
    g_zip.open = 1;
    return 1;
}

int zip_entry_begin(const char *name, int64_t mtime)
{
    size_t n = strlen(name);
    if (!g_zip.open || g_zip.in_entry || n == 0 || n > NAME_MAX_BYTES)
        return 0;
    if (deflateReset(&g_zip.z) != Z_OK) {
        g_zip.failed = 1;
        return 0;
    }
    memcpy(g_zip.name, name, n + 1);
    g_zip.name_len = static_cast<uint16_t>(n);
    g_zip.in_entry = 1;
    g_zip.start = g_zip.offset;
    g_zip.csize = g_zip.usize = 0;
    g_zip.crc = static_cast<uint32_t>(crc32(0L, Z_NULL, 0));
    int64_t t = mtime < 0 ? 0 : mtime > 0xffffffffLL ? 0xffffffffLL : mtime;
    g_zip.mtime = static_cast<uint32_t>(t);
    dos_stamp(mtime, &g_zip.dos_time, &g_zip.dos_date);

    unsigned char h[30 + 9], *p = h;
    p = put32(p, SIG_LOCAL);
    p = put16(p, NEEDS_PLAIN);
    p = put16(p, FLAG_DESCRIPTOR | FLAG_UTF8);
    p = put16(p, METHOD_DEFLATE);
    p = put16(p, g_zip.dos_time);
    p = put16(p, g_zip.dos_date);
    p = put32(p, 0); // CRC-32 and sizes follow the data, in the descriptor
    p = put32(p, 0);
    p = put32(p, 0);
    p = put16(p, g_zip.name_len);
    p = put16(p, 9);
    unsigned char *extra = p;
    // Extended time: the modification time in UTC seconds, which the DOS fields cannot say.
    extra = put16(extra, EXTRA_TIME);
    extra = put16(extra, 5);
    *extra++ = 1;
    extra = put32(extra, g_zip.mtime);
    zip_out(h, 30);
    zip_out(name, n);
    zip_out(h + 30, static_cast<size_t>(extra - (h + 30)));
    return 1;
}

// Runs deflate over the input given (flush: Z_NO_FLUSH or Z_FINISH) and writes what it gives.
// Returns 1, or 0 when zlib failed.
static int zip_deflate(int flush)
{
    for (;;) {
        g_zip.z.next_out = g_zip_out;
        g_zip.z.avail_out = sizeof g_zip_out;
        int rc = deflate(&g_zip.z, flush);
        if (rc == Z_STREAM_ERROR)
            return 0;
        size_t got = sizeof g_zip_out - g_zip.z.avail_out;
        zip_out(g_zip_out, got);
        g_zip.csize += got;
        if (flush == Z_FINISH ? rc == Z_STREAM_END : g_zip.z.avail_in == 0 && g_zip.z.avail_out != 0)
            return 1;
        if (rc != Z_OK && rc != Z_BUF_ERROR)
            return 0;
    }
}

int zip_entry_data(const char *data, size_t n)
{
    if (!g_zip.in_entry)
        return 0;
    while (n > 0) {
        uInt part = n > 0x40000000u ? 0x40000000u : static_cast<uInt>(n);
        g_zip.crc = static_cast<uint32_t>(crc32(g_zip.crc, reinterpret_cast<const Bytef *>(data), part));
        g_zip.z.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(data));
        g_zip.z.avail_in = part;
        if (!zip_deflate(Z_NO_FLUSH)) {
            g_zip.failed = 1;
            return 0;
        }
        g_zip.usize += part;
        data += part;
        n -= part;
    }
    return 1;
}

int zip_entry_end(void)
{
    if (!g_zip.in_entry)
        return 0;
    g_zip.in_entry = 0;
    g_zip.z.next_in = Z_NULL;
    g_zip.z.avail_in = 0;
    // One entry is a file of the notes folder, far below 4 GiB; one that is not cannot be
    // described by a 32-bit descriptor, and the archive is given up rather than written wrong.
    if (!zip_deflate(Z_FINISH) || g_zip.usize >= MAX32 || g_zip.csize >= MAX32) {
        g_zip.failed = 1;
        return 0;
    }
    unsigned char d[16], *p = d;
    p = put32(p, SIG_DESCRIPTOR);
    p = put32(p, g_zip.crc);
    p = put32(p, static_cast<uint32_t>(g_zip.csize));
    p = put32(p, static_cast<uint32_t>(g_zip.usize));
    zip_out(d, static_cast<size_t>(p - d));

    // The central record; an entry that starts past 4 GiB gives its offset in a zip64 extra.
    unsigned char c[46 + 9 + 12];
    unsigned char z64[12];
    size_t z64_len = 0;
    if (g_zip.start >= MAX32) {
        put64(put16(put16(z64, EXTRA_ZIP64), 8), g_zip.start);
        z64_len = sizeof z64;
    }
    int zip64 = z64_len > 0;
    p = c;
    p = put32(p, SIG_CENTRAL);
    p = put16(p, MADE_BY_UNIX);
    p = put16(p, zip64 ? NEEDS_ZIP64 : NEEDS_PLAIN);
    p = put16(p, FLAG_DESCRIPTOR | FLAG_UTF8);
    p = put16(p, METHOD_DEFLATE);
    p = put16(p, g_zip.dos_time);
    p = put16(p, g_zip.dos_date);
    p = put32(p, g_zip.crc);
    p = put32(p, static_cast<uint32_t>(g_zip.csize));
    p = put32(p, static_cast<uint32_t>(g_zip.usize));
    p = put16(p, g_zip.name_len);
    p = put16(p, static_cast<uint32_t>(9 + z64_len));
    p = put16(p, 0); // comment
    p = put16(p, 0); // disk
    p = put16(p, 0); // internal attributes
    p = put32(p, MODE_FILE);
    p = put32(p, cap32(g_zip.start));
    size_t fixed = static_cast<size_t>(p - c);
    p = put16(p, EXTRA_TIME);
    p = put16(p, 5);
    *p++ = 1;
    p = put32(p, g_zip.mtime);
    memcpy(p, z64, z64_len);
    p += z64_len;
    size_t before = g_zip.central.length;
    buf_add(&g_zip.central, reinterpret_cast<const char *>(c), fixed);
    buf_add(&g_zip.central, g_zip.name, g_zip.name_len);
    buf_add(&g_zip.central, reinterpret_cast<const char *>(c + fixed), static_cast<size_t>(p - (c + fixed)));
    if (g_zip.central.length != before + fixed + g_zip.name_len + static_cast<size_t>(p - (c + fixed))) {
        g_zip.failed = 1;
        return 0;
    }
    g_zip.count++;
    return 1;
}

void zip_abandon(void)
{
    if (g_zip.open)
        deflateEnd(&g_zip.z);
    buf_free(&g_zip.central);
    memset(&g_zip, 0, sizeof g_zip);
}

int zip_finish(void)
{
    if (!g_zip.open || g_zip.in_entry || g_zip.failed) {
        zip_abandon();
        return 0;
    }
    uint64_t cd_start = g_zip.offset, cd_size = g_zip.central.length;
    zip_out(g_zip.central.data, g_zip.central.length);
    unsigned char e[56 + 20 + 22], *p = e;
    int zip64 = g_zip.count >= 0xffff || cd_start >= MAX32 || cd_size >= MAX32;
    if (zip64) {
        uint64_t end64 = g_zip.offset;
        p = put32(p, SIG_END64);
        p = put64(p, 44); // the size of the rest of this record
        p = put16(p, MADE_BY_UNIX);
        p = put16(p, NEEDS_ZIP64);
        p = put32(p, 0);
        p = put32(p, 0);
        p = put64(p, g_zip.count);
        p = put64(p, g_zip.count);
        p = put64(p, cd_size);
        p = put64(p, cd_start);
        p = put32(p, SIG_LOCATOR64);
        p = put32(p, 0);
        p = put64(p, end64);
        p = put32(p, 1);
    }
    uint32_t count16 = g_zip.count >= 0xffff ? 0xffffu : static_cast<uint32_t>(g_zip.count);
    p = put32(p, SIG_END);
    p = put16(p, 0);
    p = put16(p, 0);
    p = put16(p, count16);
    p = put16(p, count16);
    p = put32(p, cap32(cd_size));
    p = put32(p, cap32(cd_start));
    p = put16(p, 0); // comment
    zip_out(e, static_cast<size_t>(p - e));
    zip_abandon();
    return 1;
}
