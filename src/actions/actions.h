// The action handlers; each writes one complete response for its action.
#pragma once
#include <cstddef>

#include "request.h"

void do_list(const Request *r);
void do_search(const Request *r);
void do_get(const Request *r);
void do_save(const Request *r);
void do_delete(const Request *r);
void do_pin(const Request *r);
void do_render(const Request *r);
void do_trash(const Request *r);
void do_restore(const Request *r);
void do_export(const Request *r);
void do_import(const Request *r);
void do_history(const Request *r);
void do_purge(const Request *r);

// Answers get for one kept version (key as given in the "version" parameter) of a valid id.
void do_get_version(const Request *r, const char *key);

// The note that a request's id names: its table index, or (-1 and) its record text in a plain index.
struct NoteRef {
    int i;
    const char *rec;
    size_t rec_len;
};

// Returns 1 when the request's id is a valid identifier, or 0 after answering 400 "invalid id".
int action_valid_id(const Request *r);

// Finds the note the request's id names; want_rec lets a plain index answer with its record text
// (a read-only action), else the table is searched. Returns 1, or 0 after answering 400 "invalid
// id" or 404 "note not found".
int note_lookup(const Request *r, int want_rec, NoteRef *ref);

struct TrashEntry;

// Finds the trash entry that the request's id and "copy" parameter name (no copy: the entry a
// restore takes). Returns 1, or 0 after answering 404 "note not found".
int trash_lookup(const Request *r, TrashEntry *e);

// Returns 1 when the request gives no "deleted" parameter or the entry's time of delete, or 0
// after answering 409 "trash entry changed" (its copy number was taken again since it was listed).
int trash_unchanged(const Request *r, const TrashEntry *e);

// Writes the editor page: its header block and the template with both theme assets in place.
void page_write(void);

// Writes the list body (after the header block) for all notes, or those matching filter.
void emit_list(const char *filter);
