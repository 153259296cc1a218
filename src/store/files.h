// Where the notes live (the notes and trash directories) and how their files are written and read.
#pragma once
#include <cstddef>

constexpr size_t PATH_CAP = 1024;

extern char g_dir[PATH_CAP];
extern char g_trash[PATH_CAP];

// Finds or creates the notes and trash directories. Returns 1, or 0 after answering
// 500 "notes dir unavailable".
int storage_setup(void);

// Joins base (may be null) and name with '/' into out (PATH_CAP bytes); the name goes whole or not at all.
void path_join(char *out, const char *base, const char *name);

// Writes the path of the note's body file (g_dir joined with id + ".md") into out.
void note_path(char *out, const char *id);

// Replaces the file at path with len bytes through path + ".tmp". Returns 1, or 0 with the
// destination untouched and no temporary left behind.
int atomic_write(const char *path, const char *data, size_t len);

// The two halves of atomic_write, for replacing two files with one directory flush: writes
// path + ".tmp" forced to disk. Returns 1, or 0 with no temporary left behind.
int atomic_prepare(const char *path, const char *data, size_t len);

// atomic_prepare in two halves, so that two temporaries travel to disk together: writes
// path + ".tmp" and starts writing it out (a descriptor for atomic_end, or -1 with no temporary
// left), then waits until it is on disk (1, or 0 with the temporary removed).
int atomic_start(const char *path, const char *data, size_t len);
int atomic_end(const char *path, int fd);
// Writes path + ".tmp" without waiting: it is on disk after the next plat_sync_fs. Returns 1, or 0
// with no temporary left.
int atomic_stage(const char *path, const char *data, size_t len);

// Moves path + ".tmp" over path; durable only once the directory is flushed (plat_sync_dir).
// Returns 1, or 0 with the destination untouched and the temporary removed.
int atomic_commit(const char *path);

// Removes the temporary of path that atomic_prepare wrote; failure is ignored.
void atomic_discard(const char *path);

// Returns the file's content as a new NUL-terminated heap string, or null when it cannot be read.
char *read_whole_file(const char *path);
