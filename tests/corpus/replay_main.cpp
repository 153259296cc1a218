// Replays every file of the corpus folders named on the command line through the fuzz entry it is
// linked with, so that the committed corpus runs as an ordinary test without libFuzzer.
#include <dirent.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

// Feeds one file to the fuzz entry. Returns 1, or 0 when the file cannot be read.
static int replay_file(const char *path)
{
    FILE *f = fopen(path, "rb");
    if (!f)
        return 0;
    size_t cap = 4096, len = 0;
    uint8_t *buf = static_cast<uint8_t *>(malloc(cap));
    size_t n;
    while (buf && (n = fread(buf + len, 1, cap - len, f)) > 0) {
        len += n;
        if (len == cap) {
            cap *= 2;
            uint8_t *grown = static_cast<uint8_t *>(realloc(buf, cap));
            if (!grown)
                free(buf);
            buf = grown;
        }
    }
    fclose(f);
    if (!buf)
        return 0;
    LLVMFuzzerTestOneInput(buf, len);
    free(buf);
    return 1;
}

// Returns 0 when every folder held at least one input and all were replayed, 1 otherwise.
int main(int argc, char **argv)
{
    int failed = argc < 2;
    for (int i = 1; i < argc; i++) {
        DIR *d = opendir(argv[i]);
        if (!d) {
            printf("cannot open corpus folder %s\n", argv[i]);
            failed = 1;
            continue;
        }
        size_t count = 0;
        while (struct dirent *e = readdir(d)) {
            if (e->d_name[0] == '.')
                continue;
            char path[4096];
            snprintf(path, sizeof path, "%s/%s", argv[i], e->d_name);
            if (!replay_file(path)) {
                printf("cannot read %s\n", path);
                failed = 1;
            }
            count++;
        }
        closedir(d);
        printf("%s: %zu inputs replayed\n", argv[i], count);
        if (count == 0)
            failed = 1;
    }
    return failed;
}
