// Windows implementations of the file, directory, lock and clock calls the program needs, with the
// same guarantees as the POSIX layer: whole-file replaces that readers never block for long, and
// one lock per notes directory however its path is spelled.
#define _WIN32_WINNT 0x0A00 // for the rename flags; every call made here exists since Windows Vista
#define WIN32_LEAN_AND_MEAN
#include "platform/platform.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <direct.h>
#include <fcntl.h>
#include <io.h>
#include <windows.h>

// Readers share everything, delete included, so that a writer may replace the file they read.
static const DWORD k_share_all = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// FileRenameInfoEx: some toolchains' headers leave the name out of FILE_INFO_BY_HANDLE_CLASS.
static const FILE_INFO_BY_HANDLE_CLASS k_rename_info_ex = static_cast<FILE_INFO_BY_HANDLE_CLASS>(22);

// How long a replace or move keeps retrying while another process holds the destination.
static const DWORD k_retry_ms = 1000;
static const DWORD k_retry_step_ms = 20;

void plat_init(void)
{
    // A crash ends the process at once instead of waiting on a dialog that nobody sees.
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
    // Text mode would add a CR before every LF written and end the input at a 0x1A byte.
    (void)_setmode(_fileno(stdin), _O_BINARY);
    (void)_setmode(_fileno(stdout), _O_BINARY);
}

void plat_prefault(void *p, size_t n)
{
    (void)p;
    (void)n;
}

void plat_mkdir(const char *path)
{
    (void)_mkdir(path);
}

int plat_is_dir(const char *path)
{
    DWORD a = GetFileAttributesA(path);
    return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// Returns 1 for the reparse tags that lead elsewhere: symbolic links and junctions. Other reparse
// points (cloud placeholders, deduplicated files) are ordinary files and folders to this program.
static int tag_is_link(DWORD tag)
{
    return tag == IO_REPARSE_TAG_SYMLINK || tag == IO_REPARSE_TAG_MOUNT_POINT;
}

// Returns 1 when path itself is a symbolic link or a junction, 0 otherwise (missing included).
static int path_is_link(const char *path)
{
    WIN32_FIND_DATAA found;
    HANDLE h = FindFirstFileA(path, &found); // the entry itself, not what it leads to
    if (h == INVALID_HANDLE_VALUE)
        return 0;
    FindClose(h);
    return (found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 && tag_is_link(found.dwReserved0);
}

int plat_is_real_dir(const char *path)
{
    // GetFileAttributesA describes a link itself, not its target.
    DWORD a = GetFileAttributesA(path);
    return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY) != 0 && !path_is_link(path);
}

int plat_exists(const char *path)
{
    return GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES;
}

int plat_file_kind(const char *path)
{
    DWORD a = GetFileAttributesA(path);
    if (a == INVALID_FILE_ATTRIBUTES) {
        DWORD e = GetLastError();
        return e == ERROR_FILE_NOT_FOUND || e == ERROR_PATH_NOT_FOUND ? 0 : -1;
    }
    return (a & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == 0 ? 1 : 2;
}

int plat_write_start(const char *path, const char *data, size_t len)
{
    // A stale file, or a link planted under this name, is removed (a link itself, never its
    // target) and the file created anew: CREATE_NEW never opens an existing name.
    (void)DeleteFileA(path);
    HANDLE h = CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, CREATE_NEW,
                           FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return -1;
    size_t done = 0;
    while (done < len) {
        size_t left = len - done;
        DWORD chunk = left > 0x40000000u ? 0x40000000u : static_cast<DWORD>(left), wrote = 0;
        if (!WriteFile(h, data + done, chunk, &wrote, nullptr) || wrote == 0) {
            CloseHandle(h);
            return -1;
        }
        done += wrote;
    }
    // The descriptor owns the handle from here on: closing it closes the handle.
    int fd = _open_osfhandle(reinterpret_cast<intptr_t>(h), 0);
    if (fd < 0)
        CloseHandle(h);
    return fd;
}

int plat_append(const char *path, const char *data, size_t len)
{
    // OPEN_EXISTING with the reparse point itself opened: a link is never written through.
    HANDLE h = CreateFileA(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return 0;
    BY_HANDLE_FILE_INFORMATION info;
    int ok = GetFileInformationByHandle(h, &info) &&
             !(info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY));
    size_t done = 0;
    while (ok && done < len) {
        size_t left = len - done;
        DWORD chunk = left > 0x40000000u ? 0x40000000u : static_cast<DWORD>(left), wrote = 0;
        if (!WriteFile(h, data + done, chunk, &wrote, nullptr) || wrote == 0)
            ok = 0;
        done += wrote;
    }
    CloseHandle(h);
    return ok;
}

int plat_write_end(int fd)
{
    HANDLE h = reinterpret_cast<HANDLE>(_get_osfhandle(fd));
    int ok = h != INVALID_HANDLE_VALUE && FlushFileBuffers(h) != 0;
    return _close(fd) == 0 && ok;
}

int plat_write_staged(const char *path, const char *data, size_t len)
{
    // A volume can be flushed whole only with administrator rights: each file is flushed here.
    int fd = plat_write_start(path, data, len);
    return fd >= 0 && plat_write_end(fd);
}

int plat_sync_fs(const char *path)
{
    (void)path;
    return 1;
}

// Opens path for reading without following a link: null for a link, a junction or a failure.
static HANDLE open_read_no_link(const char *path)
{
    const DWORD flags = FILE_FLAG_SEQUENTIAL_SCAN;
    HANDLE h = CreateFileA(path, GENERIC_READ, k_share_all, nullptr, OPEN_EXISTING, flags | FILE_FLAG_OPEN_REPARSE_POINT,
                           nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return nullptr;
    FILE_ATTRIBUTE_TAG_INFO tag;
    if (!GetFileInformationByHandleEx(h, FileAttributeTagInfo, &tag, sizeof tag)) {
        CloseHandle(h);
        return nullptr;
    }
    if ((tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0)
        return h;
    CloseHandle(h);
    if (tag_is_link(tag.ReparseTag))
        return nullptr;
    // Another kind of reparse point: its filter supplies the content to an ordinary open.
    h = CreateFileA(path, GENERIC_READ, k_share_all, nullptr, OPEN_EXISTING, flags, nullptr);
    return h == INVALID_HANDLE_VALUE ? nullptr : h;
}

char *plat_read_file(const char *path, size_t *len)
{
    HANDLE h = open_read_no_link(path);
    if (!h)
        return nullptr;
    LARGE_INTEGER size;
    if (GetFileType(h) != FILE_TYPE_DISK || !GetFileSizeEx(h, &size) || size.QuadPart > 0x7fffffff) {
        CloseHandle(h);
        return nullptr;
    }
    size_t want = static_cast<size_t>(size.QuadPart);
    char *buf = static_cast<char *>(malloc(want + 1));
    if (!buf) {
        CloseHandle(h);
        return nullptr;
    }
    size_t got = 0;
    while (got < want) {
        DWORD n = 0;
        if (!ReadFile(h, buf + got, static_cast<DWORD>(want - got), &n, nullptr)) {
            free(buf);
            CloseHandle(h);
            return nullptr;
        }
        if (n == 0)
            break;
        got += n;
    }
    CloseHandle(h);
    buf[got] = '\0';
    if (len)
        *len = got;
    return buf;
}

const char *plat_map_file(const char *path, size_t *len)
{
    // Not mapped here: the callers then read a copy, which costs the same on this system.
    (void)path;
    (void)len;
    return nullptr;
}

void plat_unmap_file(const char *p, size_t len)
{
    (void)p;
    (void)len;
}

int plat_open_read(const char *path)
{
    HANDLE h = open_read_no_link(path);
    if (!h)
        return -1;
    // Only a file on disk is read; anything else planted under a note's name gives no bytes.
    int fd = GetFileType(h) == FILE_TYPE_DISK ? _open_osfhandle(reinterpret_cast<intptr_t>(h), _O_RDONLY) : -1;
    if (fd < 0)
        CloseHandle(h);
    return fd;
}

long plat_read(int fd, char *buf, size_t n)
{
    HANDLE h = reinterpret_cast<HANDLE>(_get_osfhandle(fd));
    DWORD want = n > 0x40000000u ? 0x40000000u : static_cast<DWORD>(n), got = 0;
    if (h == INVALID_HANDLE_VALUE || !ReadFile(h, buf, want, &got, nullptr))
        return -1;
    return static_cast<long>(got);
}

void plat_close(int fd)
{
    (void)_close(fd);
}

// Renames src over dst the way POSIX does: a process that holds dst open keeps reading the old
// file while the name already gives the new one. Returns 0 where the system does not offer it.
static int rename_posix(const char *src, const char *dst)
{
    // The new name goes to the system as a full path in UTF-16, converted as the A calls convert.
    wchar_t wide[MAX_PATH + 8], full[MAX_PATH + 8];
    if (!MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, dst, -1, wide, MAX_PATH))
        return 0;
    DWORD n = GetFullPathNameW(wide, MAX_PATH, full, nullptr);
    if (n == 0 || n >= MAX_PATH)
        return 0;
    union {
        FILE_RENAME_INFO info;
        char bytes[sizeof(FILE_RENAME_INFO) + sizeof full];
    } r;
    memset(&r, 0, sizeof r);
    r.info.Flags = FILE_RENAME_FLAG_POSIX_SEMANTICS | FILE_RENAME_FLAG_REPLACE_IF_EXISTS;
    r.info.FileNameLength = n * static_cast<DWORD>(sizeof(wchar_t));
    memcpy(r.info.FileName, full, (n + 1) * sizeof(wchar_t));
    HANDLE h = CreateFileA(src, DELETE | SYNCHRONIZE, k_share_all, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                           nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return 0;
    int ok = SetFileInformationByHandle(h, k_rename_info_ex, &r, static_cast<DWORD>(sizeof r)) != 0;
    CloseHandle(h);
    return ok;
}

// Moves src onto dst with MoveFileExA, retrying for about a second while the refusal is one that
// another process holding dst causes (it ends when that process closes the file). Returns 1/0.
static int move_retrying(const char *src, const char *dst, DWORD flags)
{
    for (DWORD waited = 0;; waited += k_retry_step_ms) {
        if (MoveFileExA(src, dst, flags))
            return 1;
        DWORD e = GetLastError();
        int held = e == ERROR_SHARING_VIOLATION || e == ERROR_ACCESS_DENIED || e == ERROR_LOCK_VIOLATION;
        if (!held || waited >= k_retry_ms)
            return 0;
        Sleep(k_retry_step_ms);
    }
}

int plat_move(const char *src, const char *dst)
{
    // Every move is written through: on this system that, not a directory flush, is what makes
    // a rename durable, and a save's two renames go through here.
    if (rename_posix(src, dst))
        return 1;
    return move_retrying(src, dst, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
}

int plat_move_new(const char *src, const char *dst)
{
    // Without MOVEFILE_REPLACE_EXISTING the move fails when dst exists.
    return move_retrying(src, dst, MOVEFILE_WRITE_THROUGH);
}

int plat_replace(const char *src, const char *dst)
{
    return plat_move(src, dst);
}

int plat_sync_dir(const char *path)
{
    // The moves above were written through; a directory handle cannot be flushed on every
    // Windows file system, and nothing is left to flush.
    (void)path;
    return 1;
}

void plat_remove(const char *path)
{
    (void)DeleteFileA(path);
}

// The named mutex holding the notes directory lock. The system releases it (as abandoned) when
// the process ends, however it ends.
static HANDLE g_lock_mutex = nullptr;

int plat_lock_dir(const char *path, unsigned wait_ms)
{
    if (g_lock_mutex)
        return 1;
    // The mutex is named after the directory's volume and file index, so every spelling of the
    // path (drive letter case, separators, a trailing one) takes the same lock.
    HANDLE dir = CreateFileA(path, FILE_READ_ATTRIBUTES, k_share_all, nullptr, OPEN_EXISTING,
                             FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (dir == INVALID_HANDLE_VALUE)
        return 0;
    BY_HANDLE_FILE_INFORMATION info;
    int known = GetFileInformationByHandle(dir, &info) != 0;
    CloseHandle(dir);
    if (!known)
        return 0;
    char name[80];
    snprintf(name, sizeof name, "Local\\plugin_notes-%08lx-%08lx%08lx", static_cast<unsigned long>(info.dwVolumeSerialNumber),
             static_cast<unsigned long>(info.nFileIndexHigh), static_cast<unsigned long>(info.nFileIndexLow));
    HANDLE m = CreateMutexA(nullptr, FALSE, name);
    if (!m)
        return 0;
    // WAIT_ABANDONED: the holder was killed. Its files are whole (every write is a replace), so
    // the lock simply passes on. WAIT_TIMEOUT: someone holds it beyond the wait the caller allows.
    DWORD w = WaitForSingleObject(m, wait_ms);
    if (w != WAIT_OBJECT_0 && w != WAIT_ABANDONED) {
        CloseHandle(m);
        return 0;
    }
    g_lock_mutex = m;
    return 1;
}

void plat_unlock_dir(void)
{
    if (g_lock_mutex) {
        ReleaseMutex(g_lock_mutex);
        CloseHandle(g_lock_mutex);
    }
    g_lock_mutex = nullptr;
}

uint32_t plat_tick_ms(void)
{
    return static_cast<uint32_t>(GetTickCount());
}

int64_t plat_time_s(void)
{
    return static_cast<int64_t>(time(nullptr));
}

int plat_list_dir(const char *path, PlatDirEntry fn, void *ctx)
{
    char pattern[1100];
    int n = snprintf(pattern, sizeof pattern, "%s\\*", path);
    if (n < 0 || static_cast<size_t>(n) >= sizeof pattern)
        return 0;
    WIN32_FIND_DATAA found;
    HANDLE h = FindFirstFileA(pattern, &found);
    if (h == INVALID_HANDLE_VALUE)
        return 0;
    int stopped = 0;
    do {
        if (strcmp(found.cFileName, ".") == 0 || strcmp(found.cFileName, "..") == 0)
            continue;
        if (!fn(ctx, found.cFileName)) {
            stopped = 1;
            break;
        }
    } while (FindNextFileA(h, &found));
    // A listing that ran out for another reason than its end was not read whole.
    int ok = stopped || GetLastError() == ERROR_NO_MORE_FILES;
    FindClose(h);
    return ok;
}

int plat_is_real_file(const char *path)
{
    DWORD a = GetFileAttributesA(path);
    return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY) == 0 && !path_is_link(path);
}

int64_t plat_mtime_s(const char *path)
{
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExA(path, GetFileExInfoStandard, &data))
        return -1;
    // FILETIME counts 100 ns steps since 1601-01-01; 11644473600 s lie between then and 1970.
    uint64_t t = (static_cast<uint64_t>(data.ftLastWriteTime.dwHighDateTime) << 32) | data.ftLastWriteTime.dwLowDateTime;
    return static_cast<int64_t>(t / 10000000u) - INT64_C(11644473600);
}

int plat_link(const char *src, const char *dst)
{
    // FAT and exFAT volumes have no links: the caller copies there.
    return CreateHardLinkA(dst, src, nullptr) != 0;
}

int64_t plat_file_size(const char *path)
{
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExA(path, GetFileExInfoStandard, &data) || (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ||
        (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT))
        return -1;
    return static_cast<int64_t>((static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow);
}

void plat_remove_dir(const char *path)
{
    (void)RemoveDirectoryA(path);
}
