// Notes directory set-up with its location chain, path building, and whole-file replace and read.
#include "store/files.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/platform.h"
#include "util/response.h"
#include "util/textbuf.h"

char g_dir[PATH_CAP];
char g_trash[PATH_CAP];

// Returns the variable's value, or null when it is unset or empty.
static const char *env_nonempty(const char *name)
{
    const char *v = getenv(name);
    return v && *v ? v : nullptr;
}

int storage_setup(void)
{
    if (g_dir[0])
        return 1;
    char dir[PATH_CAP];
    const char *v;
    if ((v = env_nonempty("NOTES_DIR")) != nullptr) {
        str_copy(dir, sizeof dir, v);
    } else if ((v = env_nonempty("ORVIK_PLUGIN_DIR")) != nullptr) {
        char plugin[PATH_CAP];
        str_copy(plugin, sizeof plugin, v);
        plat_mkdir(plugin);
        path_join(dir, plugin, ".notes");
    } else {
        char data[PATH_CAP], plugins[PATH_CAP];
        if ((v = env_nonempty("LOCALAPPDATA")) != nullptr)
            path_join(data, v, "velmora");
        else if ((v = env_nonempty("USERPROFILE")) != nullptr)
            path_join(data, v, ".velmora");
        else
            str_copy(data, sizeof data, ".");
        plat_mkdir(data);
        path_join(plugins, data, "plugins");
        plat_mkdir(plugins);
        path_join(dir, plugins, ".notes");
    }
    plat_mkdir(dir);
    char trash[PATH_CAP];
    path_join(trash, dir, ".trash");
    plat_mkdir(trash);
    if (!plat_is_dir(dir)) {
        json_err(500, "Internal Server Error", "notes dir unavailable");
        return 0;
    }
    memcpy(g_dir, dir, sizeof g_dir);
    memcpy(g_trash, trash, sizeof g_trash);
    return 1;
}

void path_join(char *out, const char *base, const char *name)
{
    size_t n = base ? strlen(base) : 0;
    if (n > PATH_CAP - 1)
        n = PATH_CAP - 1;
    if (n)
        memcpy(out, base, n);
    out[n] = '\0';
    size_t nl = strlen(name);
    if (n == 0) {
        if (nl <= PATH_CAP - 1)
            memcpy(out, name, nl + 1);
        return;
    }
    if (out[n - 1] != '/' && out[n - 1] != '\\' && n < PATH_CAP - 1) {
        out[n++] = '/';
        out[n] = '\0';
    }
    if (n + nl <= PATH_CAP - 1)
        memcpy(out + n, name, nl + 1);
}

void note_path(char *out, const char *id)
{
    // Built by hand: a search builds one path per note, and formatting would cost more.
    char name[80];
    size_t n = strlen(id);
    if (n > sizeof name - 4)
        n = sizeof name - 4;
    memcpy(name, id, n);
    memcpy(name + n, ".md", 4);
    path_join(out, g_dir, name);
}

// Writes the temporary path of path (path + ".tmp") into tmp.
static void temp_path(char *tmp, size_t cap, const char *path)
{
    snprintf(tmp, cap, "%s.tmp", path);
}

void atomic_discard(const char *path)
{
    char tmp[PATH_CAP + 8];
    temp_path(tmp, sizeof tmp, path);
    plat_remove(tmp);
}

int atomic_start(const char *path, const char *data, size_t len)
{
    char tmp[PATH_CAP + 8];
    temp_path(tmp, sizeof tmp, path);
    int fd = plat_write_start(tmp, data, len);
    if (fd < 0)
        plat_remove(tmp);
    return fd;
}

int atomic_end(const char *path, int fd)
{
    if (plat_write_end(fd))
        return 1;
    atomic_discard(path);
    return 0;
}

int atomic_stage(const char *path, const char *data, size_t len)
{
    char tmp[PATH_CAP + 8];
    temp_path(tmp, sizeof tmp, path);
    if (plat_write_staged(tmp, data, len))
        return 1;
    plat_remove(tmp);
    return 0;
}

int atomic_prepare(const char *path, const char *data, size_t len)
{
    int fd = atomic_start(path, data, len);
    return fd >= 0 && atomic_end(path, fd);
}

int atomic_commit(const char *path)
{
    char tmp[PATH_CAP + 8];
    temp_path(tmp, sizeof tmp, path);
    if (!plat_move(tmp, path)) {
        plat_remove(tmp);
        return 0;
    }
    return 1;
}

int atomic_write(const char *path, const char *data, size_t len)
{
    char tmp[PATH_CAP + 8];
    temp_path(tmp, sizeof tmp, path);
    if (!atomic_prepare(path, data, len))
        return 0;
    if (!plat_replace(tmp, path)) {
        plat_remove(tmp);
        return 0;
    }
    return 1;
}

char *read_whole_file(const char *path)
{
    return plat_read_file(path, nullptr);
}
