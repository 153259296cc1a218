// The list and search actions: notes' metadata in listing order, optionally filtered by a text
// found in the title or the body without regard to ASCII case.
#include <cstdio>
#include <cstring>

#include "actions/actions.h"
#include "platform/platform.h"
#include "store/files.h"
#include "store/index.h"
#include "store/meta.h"
#include "util/fold.h"
#include "util/response.h"
#include "util/textbuf.h"

// Returns 1 when the note's body file, up to its first NUL byte, holds the folded needle; 0 when
// not or unreadable. The body is read in chunks, each searched with the end of the one before
// it (the needle's length less one byte), so no copy of a large body is held.
static int body_matches(const char *id, const char *needle, size_t nlen)
{
    char path[PATH_CAP];
    note_path(path, id);
    constexpr size_t chunk = 65536;
    static char buf[chunk + 256];
    int fd = plat_open_read(path);
    if (fd < 0)
        return 0;
    size_t have = 0;
    int hit = 0;
    for (;;) {
        long got = plat_read(fd, buf + have, chunk);
        if (got < 0)
            break;
        const char *nul = static_cast<const char *>(memchr(buf + have, '\0', static_cast<size_t>(got)));
        size_t len = nul ? static_cast<size_t>(nul - buf) : have + static_cast<size_t>(got);
        if ((hit = fold_contains(buf, len, needle, nlen)) != 0)
            break;
        // A regular file gives less than asked only at its end.
        if (nul || static_cast<size_t>(got) < chunk)
            break;
        have = nlen - 1 < len ? nlen - 1 : len;
        memmove(buf, buf + len - have, have);
    }
    plat_close(fd);
    return hit;
}

// Returns 1 when the note's title or body holds the folded needle.
static int note_matches(const char *id, const char *title, const char *needle, size_t nlen)
{
    return fold_contains(title, strlen(title), needle, nlen) || body_matches(id, needle, nlen);
}

void emit_list(const char *filter)
{
    char needle[256];
    size_t nlen = 0;
    if (filter) {
        str_copy(needle, sizeof needle, filter);
        nlen = fold_lower(needle);
    }
    // A plain index answers from its own record texts, which are the items as the table would
    // write them; any other index text is read into the table first.
    int total = 0;
    int plain = index_rows(&total);
    // The count heads the answer: decide which notes are shown first, then stream them out.
    static unsigned char shown[META_MAX];
    int count = 0;
    for (int i = 0; i < total; i++) {
        if (filter && plain) {
            size_t len;
            NoteMeta m;
            index_plain_meta(index_plain_record(i, &len), &m);
            shown[i] = static_cast<unsigned char>(note_matches(m.id, m.title, needle, nlen));
        } else {
            shown[i] = !filter || note_matches(g_meta[i].id, g_meta[i].title, needle, nlen);
        }
        count += shown[i];
    }
    char head[64];
    int hl = snprintf(head, sizeof head, "{\"ok\":true,\"count\":%d,\"notes\":[", count);
    out_write(head, static_cast<size_t>(hl));
    TextBuf item = {};
    int first = 1;
    if (plain && count == total && total > 0) {
        // Every record shown: the index holds them already joined as the answer joins them.
        size_t len;
        const char *from = index_plain_record(0, &len);
        const char *last = index_plain_record(total - 1, &len);
        out_puts("\n  ");
        out_write(from, static_cast<size_t>(last + len - from));
        first = total = 0;
    }
    for (int i = 0; i < total; i++) {
        if (!shown[i])
            continue;
        out_puts(first ? "\n  " : ",\n  ");
        first = 0;
        if (plain) {
            size_t len;
            const char *rec = index_plain_record(i, &len);
            out_write(rec, len);
            continue;
        }
        buf_clear(&item);
        meta_members(&item, &g_meta[i]);
        buf_putc(&item, '}');
        out_write(item.data, item.length);
    }
    out_puts(count ? "\n]}\n" : "]}\n");
    buf_free(&item);
}

void do_list(const Request *)
{
    json_header();
    emit_list(nullptr);
}
