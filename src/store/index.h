// The index file "index.json": the persistent list of notes and their metadata.
#pragma once

// 1 when index.json exists but could not be read; a changing request must then not replace it.
extern int g_index_unreadable;

// Empties the table and fills it from index.json; a missing or unreadable file gives no records.
void load_index(void);

struct TextBuf;
struct NoteMeta;

// Appends a record's members as index, list, get and save write them, from "{" through the
// "updated" value, without the closing brace (get adds "body" before it).
void meta_members(TextBuf *b, const NoteMeta *m);

// Appends the whole table in the index layout to b. Returns 1, or 0 when the buffer could not grow.
int index_text(TextBuf *b);

// Rewrites index.json from the table. Returns 1, or 0 with the old file unchanged.
int save_index(void);
