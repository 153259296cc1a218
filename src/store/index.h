// The index file "index.json": the persistent list of notes and their metadata.
#pragma once
#include <cstddef>

// 1 when index.json exists but could not be read; a changing request must then not replace it.
extern int g_index_unreadable;

// Empties the table and fills it from index.json; a missing or unreadable file gives no records.
void load_index(void);

// Reads index.json for this request (the first half of load_index) and empties the table.
void index_read(void);

// Fills the table from the text index_read read (the second half of load_index).
void index_fill(void);

// Returns 1 when the text index_read read is exactly what index_text writes, with at most
// META_MAX records, so that its records can be used as they stand; *count gets their number.
// Returns 0 otherwise (also when there is no text).
int index_plain(int *count);

// Makes the notes of this request's index text countable: returns 1 with a plain index (its
// records then stand as they are), else fills the table and returns 0; *count gets their number.
int index_rows(int *count);

// Returns record i of a plain index, from its "{" through its "}", and its length in *len.
const char *index_plain_record(int i, size_t *len);

// Returns the first record of a plain index whose identifier is id (a valid identifier), as
// index_plain_record does, or null when none has it.
const char *index_plain_find(const char *id, size_t *len);

struct TextBuf;
struct NoteMeta;

// Reads every field of a plain record (index_plain_record's text) into m.
void index_plain_meta(const char *rec, NoteMeta *m);

// Appends a record's members as index, list, get and save write them, from "{" through the
// "updated" value, without the closing brace (get adds "body" before it).
void meta_members(TextBuf *b, const NoteMeta *m);

// Reads a record's members out of JSON text (any order, missing ones empty or 0) into m, as the
// tolerant index reader does. Returns 1 when the identifier read is valid, else 0.
int meta_read_json(const char *text, NoteMeta *m);

// Appends the whole table in the index layout to b. Returns 1, or 0 when the buffer could not grow.
int index_text(TextBuf *b);

// Rewrites index.json from the table and flushes the notes directory. Returns 1, or 0 with the
// old file unchanged.
int save_index(void);

// save_index in parts, so that a save replaces its body and the index with one directory flush:
// index.json.tmp written from the table and started to disk (a descriptor, or -1 with nothing
// left behind), waited for until it is on disk (1, or 0 with it removed), then moved over
// index.json (1, or 0 with the old index in place), or removed unused.
int index_start(void);
int index_end(int fd);
int index_commit(void);
void index_discard(void);
