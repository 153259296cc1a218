// POSIX implementations of the file, directory, lock and clock calls the program needs.
#include "platform/platform.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

void plat_init(void)
{
    signal(SIGXFSZ, SIG_IGN);
}

void plat_prefault(void *p, size_t n)
{
#ifdef MADV_POPULATE_WRITE
    if (n < 65536)
        return;
    // madvise works on whole pages: widen the range to the pages it touches.
    uintptr_t page = 4096, start = reinterpret_cast<uintptr_t>(p) & ~(page - 1);
    uintptr_t end = reinterpret_cast<uintptr_t>(p) + n;
    (void)madvise(reinterpret_cast<void *>(start), end - start, MADV_POPULATE_WRITE);
#else
    (void)p;
    (void)n;
#endif
}

void plat_mkdir(const char *path)
{
    (void)mkdir(path, 0700);
}

int plat_is_dir(const char *path)
{
    struct stat st;
    return stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

int plat_is_real_dir(const char *path)
{
    struct stat st;
    return lstat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

int plat_exists(const char *path)
{
    struct stat st;
    return lstat(path, &st) == 0;
}

int plat_file_kind(const char *path)
{
    struct stat st;
    if (lstat(path, &st) != 0)
        return errno == ENOENT || errno == ENOTDIR ? 0 : -1;
    return S_ISREG(st.st_mode) ? 1 : 2;
}

// Creates path afresh and writes len bytes to it. Returns the descriptor, or -1 (closed).
static int write_new(const char *path, const char *data, size_t len)
{
    // A stale file, or a link planted under this name, is removed and the file created anew:
    // O_EXCL with O_CREAT never opens an existing name, so no write goes through a link.
    (void)unlink(path);
    int fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0)
        return -1;
    size_t done = 0;
    while (done < len) {
        ssize_t n = write(fd, data + done, len - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            close(fd);
            return -1;
        }
        done += static_cast<size_t>(n);
    }
    return fd;
}

int plat_write_start(const char *path, const char *data, size_t len)
{
    int fd = write_new(path, data, len);
    if (fd < 0)
        return -1;
#ifdef SYNC_FILE_RANGE_WRITE
    // Writing out starts now, so that the flush of another file started alongside finds this
    // one's blocks already placed and one journal commit covers both.
    (void)sync_file_range(fd, 0, 0, SYNC_FILE_RANGE_WRITE);
#endif
    return fd;
}

int plat_append(const char *path, const char *data, size_t len)
{
    int fd = open(path, O_WRONLY | O_APPEND | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return 0;
    struct stat st;
    int ok = fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    size_t done = 0;
    while (ok && done < len) {
        ssize_t n = write(fd, data + done, len - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            ok = 0;
        else
            done += static_cast<size_t>(n);
    }
    close(fd);
    return ok;
}

int plat_write_end(int fd)
{
    if (fsync(fd) != 0) {
        close(fd);
        return 0;
    }
    return close(fd) == 0;
}

int plat_write_staged(const char *path, const char *data, size_t len)
{
    int fd = write_new(path, data, len);
    return fd >= 0 && close(fd) == 0;
}

int plat_sync_fs(const char *path)
{
    int fd = open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return 0;
#ifdef __linux__
    int ok = syncfs(fd) == 0;
#else
    // Without syncfs: sync() writes everything out, and the directory's own flush waits for it.
    sync();
    int ok = fsync(fd) == 0;
#endif
    close(fd);
    return ok;
}

// Opens path read-only without following a link and without waiting (a FIFO with no writer would
// otherwise hold the request, and with it the directory lock, for good), and keeps it only when it
// is a regular file; *st gets its status. Returns a descriptor, or -1.
static int open_regular(const char *path, struct stat *st)
{
    int fd = open(path, O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return -1;
    if (fstat(fd, st) != 0 || !S_ISREG(st->st_mode)) {
        close(fd);
        return -1;
    }
    return fd;
}

char *plat_read_file(const char *path, size_t *len)
{
    struct stat st;
    int fd = open_regular(path, &st);
    if (fd < 0)
        return nullptr;
    if (st.st_size > 0x7fffffff) {
        close(fd);
        return nullptr;
    }
    size_t size = static_cast<size_t>(st.st_size);
    char *buf = static_cast<char *>(malloc(size + 1));
    if (!buf) {
        close(fd);
        return nullptr;
    }
    plat_prefault(buf, size + 1);
    size_t got = 0;
    while (got < size) {
        ssize_t n = read(fd, buf + got, size - got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            free(buf);
            close(fd);
            return nullptr;
        }
        if (n == 0)
            break;
        got += static_cast<size_t>(n);
    }
    close(fd);
    buf[got] = '\0';
    if (len)
        *len = got;
    return buf;
}

const char *plat_map_file(const char *path, size_t *len)
{
    struct stat st;
    int fd = open_regular(path, &st);
    if (fd < 0)
        return nullptr;
    void *p = MAP_FAILED;
    if (st.st_size > 0 && st.st_size <= 0x7fffffff)
        p = mmap(nullptr, static_cast<size_t>(st.st_size), PROT_READ, MAP_PRIVATE | MAP_POPULATE, fd, 0);
    close(fd);
    if (p == MAP_FAILED)
        return nullptr;
    *len = static_cast<size_t>(st.st_size);
    return static_cast<const char *>(p);
}

void plat_unmap_file(const char *p, size_t len)
{
    (void)munmap(const_cast<char *>(p), len);
}

int plat_open_read(const char *path)
{
    // A device planted under a note's name could give bytes without end: only regular files count.
    struct stat st;
    return open_regular(path, &st);
}

long plat_read(int fd, char *buf, size_t n)
{
    for (;;) {
        ssize_t got = read(fd, buf, n);
        if (got >= 0 || errno != EINTR)
            return static_cast<long>(got);
    }
}

void plat_close(int fd)
{
    (void)close(fd);
}

int plat_sync_dir(const char *path)
{
    int fd = open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return 0;
    int ok = fsync(fd) == 0;
    close(fd);
    return ok;
}

// Returns 1 after syncing the directory that holds path (its text up to the last '/'), else 0.
static int sync_parent_dir(const char *path)
{
    char dir[1100];
    const char *slash = strrchr(path, '/');
    if (!slash)
        return plat_sync_dir(".");
    size_t n = static_cast<size_t>(slash - path);
    if (n == 0)
        n = 1;
    if (n >= sizeof dir)
        return 0;
    memcpy(dir, path, n);
    dir[n] = '\0';
    return plat_sync_dir(dir);
}

int plat_replace(const char *src, const char *dst)
{
    if (rename(src, dst) != 0)
        return 0;
    (void)sync_parent_dir(dst);
    return 1;
}

int plat_move(const char *src, const char *dst)
{
    return rename(src, dst) == 0;
}

int plat_move_new(const char *src, const char *dst)
{
#ifdef RENAME_NOREPLACE
    if (renameat2(AT_FDCWD, src, AT_FDCWD, dst, RENAME_NOREPLACE) == 0)
        return 1;
    if (errno != EINVAL && errno != ENOSYS)
        return 0;
#endif
    // A file system without the no-replace rename: the callers hold the directory lock, so the
    // test and the rename are not raced by another request.
    struct stat st;
    return lstat(dst, &st) != 0 && errno == ENOENT && rename(src, dst) == 0;
}

void plat_remove(const char *path)
{
    (void)unlink(path);
}

// The descriptor holding the notes directory lock; it stays open until the process exits.
static int g_lock_fd = -1;

int plat_lock_dir(const char *path, unsigned wait_ms)
{
    if (g_lock_fd >= 0)
        return 1;
    int fd = open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return 0;
    // Polled rather than blocking, so that a lock held without end (another account's flock,
    // a stuck writer) costs a bounded wait and a clear answer instead of a hung request.
    uint32_t start = plat_tick_ms();
    long pause_us = 500;
    while (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if ((errno != EWOULDBLOCK && errno != EINTR) || plat_tick_ms() - start >= wait_ms) {
            close(fd);
            return 0;
        }
        struct timespec ts = {0, pause_us * 1000};
        nanosleep(&ts, nullptr);
        if (pause_us < 16000)
            pause_us *= 2;
    }
    g_lock_fd = fd;
    return 1;
}

void plat_unlock_dir(void)
{
    if (g_lock_fd >= 0)
        close(g_lock_fd);
    g_lock_fd = -1;
}

uint32_t plat_tick_ms(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    uint64_t ms = static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
    return static_cast<uint32_t>(ms);
}

int64_t plat_time_s(void)
{
    return static_cast<int64_t>(time(nullptr));
}

int plat_list_dir(const char *path, PlatDirEntry fn, void *ctx)
{
    DIR *d = opendir(path);
    if (!d)
        return 0;
    struct dirent *e;
    // readdir answers null both at the end and on a read error; only errno tells them apart.
    int ok = 1;
    for (errno = 0; (e = readdir(d)) != nullptr; errno = 0) {
        if (strcmp(e->d_name, ".") == 0 || strcmp(e->d_name, "..") == 0)
            continue;
        if (!fn(ctx, e->d_name))
            break;
    }
    if (!e && errno != 0)
        ok = 0;
    closedir(d);
    return ok;
}

int plat_is_real_file(const char *path)
{
    struct stat st;
    return lstat(path, &st) == 0 && S_ISREG(st.st_mode);
}

int64_t plat_mtime_s(const char *path)
{
    struct stat st;
    if (stat(path, &st) != 0)
        return -1;
    return static_cast<int64_t>(st.st_mtime);
}

int plat_link(const char *src, const char *dst)
{
    return link(src, dst) == 0;
}

int64_t plat_file_size(const char *path)
{
    struct stat st;
    if (lstat(path, &st) != 0 || !S_ISREG(st.st_mode))
        return -1;
    return static_cast<int64_t>(st.st_size);
}

void plat_remove_dir(const char *path)
{
    (void)rmdir(path);
}
