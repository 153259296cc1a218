// The trash: deleted notes' body files, each with a small record of its metadata beside it, so a
// note comes back with its title, pin and dates; and every body the index does not list.
#pragma once
#include "store/meta.h"

constexpr int TRASH_MAX = 2000;       // entries a listing holds: the most recently deleted
constexpr int TRASH_COPY_MAX = 9999;  // highest copy number of one identifier
constexpr int TRASH_LATEST = -1;      // trash_find: the entry a restore without a copy number takes
constexpr int TRASH_ORPHAN = -2;      // trash_find: the body in the notes folder that the index does not list

// One restorable entry. A trashed body is copy 0 "<id>.md" or copy k "<id>.<k>.md" in the trash,
// its record the same name with ".json" for ".md". An orphan is "<id>.md" in the notes folder
// while the index does not list it (left by a crash, an older version or a hand); it carries the
// copy number of its pending record (a record without a body), else the lowest number free.
struct TrashEntry {
    NoteMeta meta;
    char deleted[24]; // when it was deleted; empty when it has no record in the stored forms
    int copy;
    int orphan;     // 1: the body is the orphan in the notes folder
    int has_record; // 1: meta and deleted came from the record of this copy number
    int unread;     // 1: a record of this entry is there but could not be read (nothing may act on it)
};

// Writes the body and record paths of a trashed copy into body and record (PATH_CAP bytes each).
void trash_paths(const char *id, int copy, char *body, char *record);

// Returns the lowest copy number of a listed note's identifier whose trashed body name is free
// (a record there without a body is left by a crashed change of this note, and is replaced), or
// -1 when every number is taken or a name could not be looked up.
int trash_free_copy(const char *id);

// Writes the record of copy number copy: m, deleted at the time given, flushed with its directory.
// Returns 1, or 0 with no record or temporary left (an older record there stays).
int trash_record_write(const NoteMeta *m, const char *deleted, int copy);

// Removes the record of copy number copy and flushes the trash directory; failure is ignored.
void trash_record_remove(const char *id, int copy);

// Fills e with the entry of id that copy names: a copy number, TRASH_LATEST (the orphan when
// there is one, as the only entry that can come back without replacing a file, else the latest
// delete: newest deleted time, then highest copy number) or TRASH_ORPHAN. Uses the table to tell
// orphans. Returns 1, or 0 when there is no such entry.
int trash_find(const char *id, int copy, TrashEntry *e);

// Fills rows (TRASH_MAX entries) with the trash's entries and orphans, most recently deleted
// first, then most recently updated. Uses the table to tell orphans. Returns their number (0 when
// the trash cannot be read).
int trash_list(TrashEntry *rows);
