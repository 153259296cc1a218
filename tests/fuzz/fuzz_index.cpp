// Fuzz entry for the index file: any bytes as index.json are loaded, written back and loaded
// again; the second table must equal the first (pinned flags written as 0 or 1).
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "store/files.h"
#include "store/index.h"
#include "store/meta.h"
#include "util/textbuf.h"

static NoteMeta g_first[META_MAX];

// Removes the scratch directory when the run ends.
static void fuzz_index_cleanup(void)
{
    std::filesystem::remove_all(g_dir);
}

// Points the store at a private scratch directory once per process.
static void fuzz_index_setup(void)
{
    if (g_dir[0])
        return;
    char tmpl[] = "/tmp/notes-fuzz-index-XXXXXX";
    if (!mkdtemp(tmpl))
        abort();
    str_copy(g_dir, sizeof g_dir, tmpl);
    path_join(g_trash, g_dir, ".trash");
    atexit(fuzz_index_cleanup);
}

// Returns 0; a round trip that changes the table aborts.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz_index_setup();
    char path[PATH_CAP];
    path_join(path, g_dir, "index.json");
    FILE *f = fopen(path, "wb");
    if (!f)
        return 0;
    fwrite(data, 1, size, f);
    fclose(f);
    load_index();
    int count = g_count;
    for (int i = 0; i < count; i++) {
        if (!valid_id(g_meta[i].id))
            abort();
        g_first[i] = g_meta[i];
        g_first[i].pinned = g_first[i].pinned ? 1 : 0;
    }
    if (!save_index())
        abort();
    load_index();
    if (g_count != count || memcmp(g_first, g_meta, sizeof(NoteMeta) * static_cast<size_t>(count)) != 0)
        abort();
    return 0;
}
