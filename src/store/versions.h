// Versions: the earlier texts of a note, each a plain file ".versions/<id>/<time>.md" that holds
// a text a save replaced, byte for byte, thinned by age, by count and by their total size.
#pragma once
#include <cstddef>
#include <cstdint>

constexpr int VERSION_NOTE_MAX = 100;                            // versions kept per note
constexpr int64_t VERSION_GAP_S = 600;                           // one kept per 10 minutes by itself
constexpr int64_t VERSION_BYTES_FLOOR = INT64_C(256) << 20;     // all versions may take this much
constexpr int VERSION_KEY_CAP = 32;

// One kept version: its key (the file name without ".md", "YYYY-MM-DDTHH-MM-SSZ" with "-NN"
// added for a second one within the same second), when its text was replaced, its size and the
// title the note had then.
struct VersionInfo {
    char key[VERSION_KEY_CAP];
    char replaced[24];
    int64_t time;
    int64_t size;
    char title[300];
};

// Returns 1 when a version key has the form the keeper writes, else 0.
int version_key_valid(const char *key);

// Writes the path of a note's version file into out (PATH_CAP bytes); key must be valid.
void version_path(char *out, const char *id, const char *key);

// Returns 1 when a save that replaces old (old_len bytes, null when unreadable) by text should
// keep old as a version: asked for, more than half of its bytes dropped, or no version of the note
// kept in the last 10 minutes; 0 when nothing is replaced (same text, no old text).
int versions_wanted(const char *id, const char *old, size_t old_len, const char *text, size_t len, int asked);

// Keeps the note's current body file as a version (a hard link, else a flushed copy) with the
// title it had, durable before it returns; called before the new body is moved over it. Returns 1,
// or 0 with nothing kept.
int versions_keep(const char *id, const char *title);

// Thins the note's versions by age and count (and, after a keep, all versions by total size);
// called once the save is durable. Failures are ignored: a version left over is kept longer.
void versions_thin(const char *id, int kept);

// Fills rows (VERSION_NOTE_MAX entries, the newest first) with the note's versions, titles from
// the note's record or else from each text's first line. Returns their number (0 when none).
int versions_list(const char *id, VersionInfo *rows);

// Fills v with one version of the note as versions_list does. Returns 1, or 0 when the key is
// not valid or names no version file.
int version_info(const char *id, const char *key, VersionInfo *v);

// Removes every version of the note and its folder. Returns 1, or 0 when a file stayed.
int versions_purge(const char *id);

// Returns 1 when the identifier still names something the user can reach: a listed note (the
// table must be filled), a body file in the notes folder, or any trash entry; else 0.
int versions_owner_exists(const char *id);
