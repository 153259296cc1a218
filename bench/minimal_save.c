/* Baseline for a save: the two durable replacements a save makes (a body file and the index),
 * each written to a temporary, synced, renamed over the old file, and the directory synced.
 * Usage: minimal_save DIR BODY_BYTES INDEX_BYTES */
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

static int replace(const char *dir, const char *name, const char *data, size_t len)
{
    char tmp[4096], dst[4096];
    snprintf(tmp, sizeof tmp, "%s/%s.tmp", dir, name);
    snprintf(dst, sizeof dst, "%s/%s", dir, name);
    int fd = open(tmp, O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (fd < 0 || write(fd, data, len) != (ssize_t)len || fsync(fd) != 0 || close(fd) != 0)
        return 0;
    if (rename(tmp, dst) != 0)
        return 0;
    int dfd = open(dir, O_RDONLY | O_DIRECTORY);
    if (dfd < 0)
        return 0;
    fsync(dfd);
    close(dfd);
    return 1;
}

int main(int argc, char **argv)
{
    if (argc < 4)
        return 2;
    size_t body = strtoul(argv[2], NULL, 10), index = strtoul(argv[3], NULL, 10);
    char *data = malloc(body > index ? body : index);
    if (!data)
        return 1;
    memset(data, 'x', body > index ? body : index);
    int ok = replace(argv[1], "baselinebody.md", data, body) && replace(argv[1], "baseline-index.json", data, index);
    puts(ok ? "{\"ok\":true}" : "{\"ok\":false}");
    free(data);
    return ok ? 0 : 1;
}
