// The export action: the whole store as one zip streamed to the client - a Markdown file per live
// note named after its title, the manifest notes.json, and the trash and versions folders.
#include <cstdio>
#include <cstring>

#include "actions/actions.h"
#include "platform/platform.h"
#include "store/files.h"
#include "store/index.h"
#include "store/meta.h"
#include "util/json.h"
#include "util/query.h"
#include "util/response.h"
#include "util/safe_name.h"
#include "util/utf8.h"
#include "util/zip.h"

constexpr int EXPORT_DEPTH_MAX = 8; // folders below .versions that are followed

static char g_chunk[65536];

// Seconds since 1970 of a "YYYY-MM-DDTHH:MM:SSZ" timestamp, or fallback when it is not one.
static int64_t iso_seconds(const char *ts, int64_t fallback)
{
    int y, mo, d, h, mi, s;
    char z;
    if (strlen(ts) != 20 || sscanf(ts, "%4d-%2d-%2dT%2d:%2d:%2d%c", &y, &mo, &d, &h, &mi, &s, &z) != 7 || z != 'Z')
        return fallback;
    // Days since 1970 of a civil date (proleptic Gregorian, eras of 400 years).
    int64_t yy = y - (mo <= 2 ? 1 : 0), era = (yy >= 0 ? yy : yy - 399) / 400;
    int64_t yoe = yy - era * 400, doy = (153 * (mo > 2 ? mo - 3 : mo + 9) + 2) / 5 + d - 1;
    int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    int64_t days = era * 146097 + doe - 719468;
    return days * 86400 + h * 3600 + mi * 60 + s;
}

// 1 for each note whose body went into the archive.
static unsigned char g_exported[META_MAX];

// Adds the file at path as the entry name, read a chunk at a time. Returns 1 when it was added,
// -1 when it could not be opened (deleted since it was listed: nothing to keep), or 0 when the
// archive failed (a read error midway, zlib).
static int export_file(const char *path, const char *name, int64_t mtime)
{
    int fd = plat_open_read(path);
    if (fd < 0)
        return -1;
    if (!zip_entry_begin(name, mtime)) {
        plat_close(fd);
        return 0;
    }
    long n = 0;
    while ((n = plat_read(fd, g_chunk, sizeof g_chunk)) > 0)
        if (!zip_entry_data(g_chunk, static_cast<size_t>(n)))
            break;
    plat_close(fd);
    int ended = zip_entry_end();
    return n >= 0 && ended;
}

// Writes the manifest: each exported note's file name with its identifier, title, pin and dates.
// It comes after the notes, so it lists exactly the ones the archive holds.
static int export_manifest(const SafeNames *names, int64_t now)
{
    if (!zip_entry_begin("notes.json", now))
        return 0;
    TextBuf b = {};
    buf_puts(&b, "{\"version\":1,\"notes\":[\n");
    // Every text is valid UTF-8, so that any JSON reader takes the manifest: a title cut
    // inside a character by the store's limit, or hand-edited bytes, show as U+FFFD.
    TextBuf text = {};
    for (int i = 0, first = 1; i < g_count; i++) {
        if (!g_exported[i])
            continue;
        const NoteMeta *m = &g_meta[i];
        const char *fields[][2] = {{"{\"id\":", m->id}, {",\"title\":", m->title}, {",\"created\":", m->created},
                                   {",\"updated\":", m->updated}, {",\"file\":", names->names[i]}};
        buf_puts(&b, first ? "  " : ",\n  ");
        first = 0;
        for (auto &f : fields) {
            buf_puts(&b, f[0]);
            buf_clear(&text);
            size_t n = strlen(f[1]);
            utf8_repair(&text, f[1], f[1] == m->title ? utf8_whole(f[1], n) : n);
            json_str(&b, text.data ? text.data : "");
            if (f[1] == m->title)
                buf_puts(&b, m->pinned ? ",\"pinned\":1" : ",\"pinned\":0");
        }
        buf_putc(&b, '}');
        if (b.length > sizeof g_chunk) {
            zip_entry_data(b.data, b.length);
            buf_clear(&b);
        }
    }
    buf_free(&text);
    buf_puts(&b, "\n]}\n");
    int ok = b.data != nullptr && zip_entry_data(b.data, b.length);
    buf_free(&b);
    return zip_entry_end() && ok;
}

struct FolderWalk {
    char dir[PATH_CAP];
    char prefix[PATH_CAP]; // the entry names' folder inside the zip, ending in '/'
    int depth;
    int ok;
};

// Adds one entry of a folder being walked: files as they are, folders below it in turn.
// Temporaries, links and names that do not fit are left out.
static int walk_entry(void *ctx, const char *name)
{
    FolderWalk *w = static_cast<FolderWalk *>(ctx);
    size_t n = strlen(name);
    char path[PATH_CAP], entry[PATH_CAP];
    if (n >= 4 && strcmp(name + n - 4, ".tmp") == 0)
        return 1;
    path_join(path, w->dir, name);
    if (snprintf(entry, sizeof entry, "%s%s", w->prefix, name) >= static_cast<int>(sizeof entry))
        return 1;
    if (plat_is_real_file(path)) {
        w->ok = export_file(path, entry, plat_mtime_s(path)) != 0;
    } else if (plat_is_real_dir(path) && w->depth < EXPORT_DEPTH_MAX) {
        FolderWalk sub;
        str_copy(sub.dir, sizeof sub.dir, path);
        if (snprintf(sub.prefix, sizeof sub.prefix, "%s/", entry) >= static_cast<int>(sizeof sub.prefix))
            return 1;
        sub.depth = w->depth + 1;
        sub.ok = 1;
        plat_list_dir(path, walk_entry, &sub);
        w->ok = sub.ok;
    }
    return w->ok;
}

// Adds every file of the folder dir under the zip folder prefix. Returns 0 when the archive failed.
static int export_folder(const char *dir, const char *prefix)
{
    if (!plat_is_real_dir(dir))
        return 1;
    FolderWalk w;
    str_copy(w.dir, sizeof w.dir, dir);
    str_copy(w.prefix, sizeof w.prefix, prefix);
    w.depth = 0;
    w.ok = 1;
    plat_list_dir(dir, walk_entry, &w);
    return w.ok;
}

void do_export(const Request *r)
{
    if (g_index_unreadable) {
        json_err(500, "Internal Server Error", "could not read index");
        return;
    }
    index_fill();
    char only[8];
    int notes_only = get_query_val(r->query, "notes_only", only, sizeof only) && strcmp(only, "1") == 0;
    SafeNames names;
    if (!safe_names_init(&names, static_cast<size_t>(g_count) + 1)) {
        json_err(500, "Internal Server Error", "out of memory");
        return;
    }
    char stem[SAFE_NAME_CAP];
    for (int i = 0; i < g_count; i++) {
        safe_stem(g_meta[i].title, stem);
        safe_names_add(&names, stem, ".md");
    }
    char today[24], head[256];
    iso_now(today);
    today[10] = '\0';
    snprintf(head, sizeof head,
             "Content-Type: application/zip\r\nContent-Disposition: attachment; filename=\"notes-%s.zip\"\r\n"
             "Cache-Control: no-store\r\nX-Content-Type-Options: nosniff\r\n\r\n",
             today);
    // A header probe learns what a download would be without the archive being made.
    if (strcmp(r->method, "HEAD") == 0 || strcmp(r->method, "OPTIONS") == 0) {
        out_puts(head);
        safe_names_free(&names);
        return;
    }
    if (!zip_begin()) {
        safe_names_free(&names);
        json_err(500, "Internal Server Error", "out of memory");
        return;
    }
    out_puts(head);
    int64_t now = plat_time_s();
    int ok = 1;
    char path[PATH_CAP], dir[PATH_CAP];
    for (int i = 0; ok && i < g_count; i++) {
        note_path(path, g_meta[i].id);
        int added = export_file(path, names.names[i], iso_seconds(g_meta[i].updated, now));
        g_exported[i] = added > 0;
        ok = added != 0;
    }
    if (ok)
        ok = export_manifest(&names, now);
    if (ok && !notes_only) {
        ok = export_folder(g_trash, "trash/");
        path_join(dir, g_dir, ".versions");
        if (ok)
            ok = export_folder(dir, "versions/");
    }
    // A failed archive ends without its end records: every reader then calls it broken rather
    // than taking a part for the whole backup.
    if (ok)
        zip_finish();
    else
        zip_abandon();
    safe_names_free(&names);
}
