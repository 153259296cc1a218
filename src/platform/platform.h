// The operating-system layer: the only code that asks the system about files, directories, locks
// and clocks. platform_posix.cpp and platform_win.cpp implement it; the build links one of them.
#pragma once
#include <cstddef>
#include <cstdint>

// Prepares the process: standard input and output carry bytes unchanged, and a failure is
// answered instead of ending the process (a write past a file-size limit, a crash dialog).
void plat_init(void);

// Maps in the pages of [p, p + n) in one call before they are written: on virtual machines a
// page fault per page costs far more. Only done for large ranges; a refusal is ignored.
void plat_prefault(void *p, size_t n);

// Creates one directory level; an existing directory or any failure is ignored.
void plat_mkdir(const char *path);

// Returns 1 when path names a directory, 0 otherwise (missing, a file, unreadable).
int plat_is_dir(const char *path);

// Returns 1 when path itself is a directory (a symbolic link to one does not count), 0 otherwise.
int plat_is_real_dir(const char *path);

// Returns 1 when something exists at path (a symbolic link counts, even a dangling one), 0 otherwise.
int plat_exists(const char *path);

// Returns what stands at path itself (a link is not followed): 0 nothing (the name is not found),
// 1 a regular file, 2 anything else, -1 when the look-up failed, which is never a free name.
int plat_file_kind(const char *path);

// Creates path afresh (whatever stood there is removed first and the file is created exclusively,
// so nothing is ever written through a link), writes len bytes and starts writing them out
// without waiting, so that two files can travel to disk together. Returns a descriptor for
// plat_write_end, or -1 (a partial file may remain; the caller removes it).
int plat_write_start(const char *path, const char *data, size_t len);

// Appends len bytes to the existing regular file at path (never through a link), without a flush.
// Returns 1, or 0 when there is no such file or the write failed (part of it may have been added).
int plat_append(const char *path, const char *data, size_t len);

// Waits until the bytes written through fd are on disk and closes it. Returns 1, or 0 on failure.
int plat_write_end(int fd);

// plat_write_start without starting the writing out, and closed at once: the bytes are on disk
// after the next plat_sync_fs (where a whole file system cannot be flushed, they are flushed
// here). Starting each of hundreds of files to disk by itself makes every following create wait
// on the journal. Returns 1, or 0 (a partial file may remain; the caller removes it).
int plat_write_staged(const char *path, const char *data, size_t len);

// Waits until everything written on the file system that holds the directory at path is on disk:
// one flush in place of one per file. Returns 1, or 0 when it could not be opened or flushed.
int plat_sync_fs(const char *path);

// Reads the whole regular file into a new NUL-terminated heap string (*len gets its length when
// len is not null), never through a symbolic link. Returns null when the file cannot be opened,
// sized or read into memory, or path is a link or not a regular file.
char *plat_read_file(const char *path, size_t *len);

// Maps the whole regular file at path read-only, never through a symbolic link, with all its
// pages mapped in by one call; *len gets its length. Returns null when it is missing, empty, not
// a regular file or cannot be mapped (callers then read a copy with plat_read_file).
const char *plat_map_file(const char *path, size_t *len);

// Releases a mapping of plat_map_file.
void plat_unmap_file(const char *p, size_t len);

// Opens the regular file at path for reading, never through a symbolic link and never waiting on
// a FIFO, socket or device. Returns a descriptor, or -1 when it cannot be opened or is no regular file.
int plat_open_read(const char *path);

// Reads up to n bytes from the descriptor. Returns the count, 0 at the end, or -1 on error.
long plat_read(int fd, char *buf, size_t n);

// Closes a descriptor of plat_open_read; failure is ignored.
void plat_close(int fd);

// Replaces dst by src in one step and makes the change durable (directory synced). Returns 1/0.
int plat_replace(const char *src, const char *dst);

// Moves src onto dst in one step, replacing dst, without asking for durability. Returns 1/0.
int plat_move(const char *src, const char *dst);

// Moves src to dst in one step only when nothing stands at dst, without asking for durability:
// a note's body never replaces another file. Returns 1, or 0 (dst taken, or any failure).
int plat_move_new(const char *src, const char *dst);

// Makes the renames already done inside the directory at path durable (the directory itself is
// flushed). Returns 1, or 0 when it could not be opened or flushed.
int plat_sync_dir(const char *path);

// Removes a file; failure is ignored.
void plat_remove(const char *path);

// Takes an exclusive lock on the directory, held until the process ends, waiting at most
// wait_ms for another holder to let go. Returns 1, or 0 when it failed or the wait ran out.
int plat_lock_dir(const char *path, unsigned wait_ms);

// Releases the lock of plat_lock_dir (for running several requests in one process).
void plat_unlock_dir(void);

// Milliseconds since an arbitrary start, wrapping at 2^32 (identifier seeds only).
uint32_t plat_tick_ms(void);

// Seconds since 1970-01-01 UTC.
int64_t plat_time_s(void);

// Receives one directory entry's name; returning 0 stops the listing.
typedef int (*PlatDirEntry)(void *ctx, const char *name);

// Hands the name of every entry of the directory (but "." and "..") to fn. Returns 1, or 0 when
// the directory cannot be opened or read to its end.
int plat_list_dir(const char *path, PlatDirEntry fn, void *ctx);

// Returns 1 when path itself is a regular file (a symbolic link to one does not count), 0 otherwise.
int plat_is_real_file(const char *path);

// Returns the file's last modification time in seconds since 1970, or -1 when it cannot be read.
int64_t plat_mtime_s(const char *path);

// Gives the file at src a second name dst (a hard link: no bytes are copied). Returns 1, or 0
// when dst exists or the file system offers no links (the caller then copies).
int plat_link(const char *src, const char *dst);

// Returns the size of the regular file at path (a link is not followed), or -1.
int64_t plat_file_size(const char *path);

// Removes an empty directory; failure is ignored.
void plat_remove_dir(const char *path);
