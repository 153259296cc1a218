// The trash: deleted notes' body files, each with a small record of its metadata beside it, so a
// note comes back with its title, pin and dates. Earlier deletes of one identifier are kept too.
#pragma once
#include "store/meta.h"

constexpr int TRASH_MAX = 2000;       // entries a listing holds: the most recently deleted
constexpr int TRASH_COPY_MAX = 9999;  // highest copy number of one identifier

// One trashed body. Copy 0 is "<id>.md" (the latest delete of that identifier), copy k is
// "<id>.<k>.md"; the record is the same name with ".json" for ".md".
struct TrashEntry {
    NoteMeta meta;
    char deleted[24]; // when it was deleted; empty for a body trashed without a record
    int copy;
};

// Writes the body and record paths of a trashed copy into body and record (PATH_CAP bytes each).
void trash_paths(const char *id, int copy, char *body, char *record);

// Moves the note's body file into the trash as copy 0 and writes its record (m, deleted at the
// time given); an earlier copy 0 of the identifier first moves to a free copy number. Returns 1,
// or 0 when there was no body or it could not be moved (the body then stays where it is).
int trash_put(const NoteMeta *m, const char *deleted);

// Fills e with a trashed copy: metadata from its record, or, for a body trashed without one, the
// title from its first line and both dates from the file's time. Returns 1, or 0 when the trash
// holds no such body.
int trash_entry(const char *id, int copy, TrashEntry *e);

// Fills rows (TRASH_MAX entries) with the trash's entries, most recently deleted first, then
// most recently updated. Returns their number (0 when the trash cannot be read).
int trash_list(TrashEntry *rows);
