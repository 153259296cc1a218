// The purge action (Delete forever, Empty trash): removes trash entries for good, and the
// versions of identifiers that are then neither listed nor in the trash.
#include <cstdio>
#include <cstring>

#include "actions/actions.h"
#include "platform/platform.h"
#include "store/files.h"
#include "store/meta.h"
#include "store/trash.h"
#include "store/versions.h"
#include "util/query.h"
#include "util/response.h"
#include "util/textbuf.h"

// Removes path and its temporary (path + ".tmp"), left by a write that was stopped.
static void purge_with_temp(const char *path)
{
    char tmp[PATH_CAP + 8];
    snprintf(tmp, sizeof tmp, "%s.tmp", path);
    plat_remove(path);
    plat_remove(tmp);
}

// Identifiers whose trash entries went, to see afterwards whether their versions go too.
struct PurgeIds {
    char ids[2 * TRASH_MAX][ID_LEN + 1];
    int count;
    int bodies; // 1 while removing bodies, 0 while removing everything else
    int entries;
};
static PurgeIds g_purge;

// Notes an identifier once in the purge list.
static void purge_note_id(const char *id)
{
    for (int i = 0; i < g_purge.count; i++)
        if (strcmp(g_purge.ids[i], id) == 0)
            return;
    if (g_purge.count < 2 * TRASH_MAX)
        str_copy(g_purge.ids[g_purge.count++], ID_LEN + 1, id);
}

// Removes one file of the trash: bodies in the first pass, records and temporaries in the
// second, so a crash in between leaves a record without its body, which nothing lists.
static int purge_trash_file(void *, const char *name)
{
    char id[ID_LEN + 1], path[PATH_CAP];
    str_copy(id, sizeof id, name);
    if (!valid_id(id) || name[ID_LEN] != '.')
        return 1;
    size_t n = strlen(name);
    int body = n >= 3 && strcmp(name + n - 3, ".md") == 0;
    if (body != g_purge.bodies)
        return 1;
    path_join(path, g_trash, name);
    plat_remove(path);
    g_purge.entries += body;
    purge_note_id(id);
    return 1;
}

// Notes every version folder's identifier, so versions whose note went some other way go too.
static int purge_version_dir(void *, const char *name)
{
    if (valid_id(name))
        purge_note_id(name);
    return 1;
}

static TrashEntry g_purge_rows[TRASH_MAX];

// Removes the bodies the index does not list, which the trash shows as entries too.
static void purge_orphans(void)
{
    int n = trash_list(g_purge_rows);
    char path[PATH_CAP];
    for (int i = 0; i < n; i++) {
        if (!g_purge_rows[i].orphan)
            continue;
        note_path(path, g_purge_rows[i].meta.id);
        purge_with_temp(path);
        g_purge.entries++;
        purge_note_id(g_purge_rows[i].meta.id);
    }
    if (n)
        plat_sync_dir(g_dir);
}

void do_purge(const Request *r)
{
    char all[8];
    memset(&g_purge, 0, sizeof g_purge);
    if (get_query_val(r->query, "all", all, sizeof all) && strcmp(all, "1") == 0) {
        purge_orphans();
        if (plat_is_real_dir(g_trash)) {
            g_purge.bodies = 1;
            plat_list_dir(g_trash, purge_trash_file, nullptr);
            plat_sync_dir(g_trash);
            g_purge.bodies = 0;
            plat_list_dir(g_trash, purge_trash_file, nullptr);
            plat_sync_dir(g_trash);
        }
        char root[PATH_CAP];
        path_join(root, g_dir, ".versions");
        plat_list_dir(root, purge_version_dir, nullptr);
    } else {
        if (!valid_id(r->id)) {
            json_err(400, "Bad Request", "invalid id");
            return;
        }
        char body[PATH_CAP], record[PATH_CAP];
        TrashEntry e;
        // A trash view drawn before another change names its entry by its time of delete too.
        if (!trash_lookup(r, &e) || !trash_unchanged(r, &e))
            return;
        // The entry's body (in the trash, or the orphan in the notes folder), then its record.
        trash_paths(r->id, e.copy, body, record);
        if (e.orphan)
            note_path(body, r->id);
        purge_with_temp(body);
        plat_sync_dir(e.orphan ? g_dir : g_trash);
        purge_with_temp(record);
        plat_sync_dir(g_trash);
        g_purge.entries = 1;
        purge_note_id(r->id);
    }
    // Versions belong to the identifier: they go once nothing of it is left to bring back. A
    // crashed save's temporary of such an identifier may hold its text too.
    for (int i = 0; i < g_purge.count; i++) {
        const char *id = g_purge.ids[i];
        if (versions_owner_exists(id))
            continue;
        char path[PATH_CAP];
        note_path(path, id);
        purge_with_temp(path);
        if (!versions_purge(id)) {
            json_err(500, "Internal Server Error", "could not remove versions");
            return;
        }
    }
    plat_sync_dir(g_dir);
    char out[64];
    int n = snprintf(out, sizeof out, "{\"ok\":true,\"purged\":%d}\n", g_purge.entries);
    json_header();
    out_write(out, static_cast<size_t>(n));
}
