// The in-memory metadata table in listing order, note identifiers and timestamps.
#pragma once
#include <cstddef>
#include <cstdint>

constexpr int META_MAX = 2000;
constexpr int ID_LEN = 12;

struct NoteMeta {
    char id[13];
    char title[300];
    int pinned;
    char created[24];
    char updated[24];
};

extern NoteMeta g_meta[META_MAX];
extern int g_count;

// Returns the index of the first record with this identifier, or -1.
int meta_find(const char *id);

// Returns 1 when text is exactly 12 bytes of 'a'-'z' and '0'-'9', else 0.
int valid_id(const char *text);

// Puts the table into listing order (pinned first, then newest update first), stably.
void sort_meta(void);

// Writes the current UTC time as "YYYY-MM-DDTHH:MM:SSZ" into a 24-byte field.
void iso_now(char *out);

// Returns 1 when t is a timestamp as iso_now writes it, naming a real date and time, else 0.
int iso_valid(const char *t);

// Formats seconds since 1970 as a UTC timestamp into a 24-byte field.
void iso_format(char *out, int64_t seconds);

// Draws the 12-character identifier that a seed gives (out holds 13 bytes).
void id_from_seed(uint32_t seed, char *out);

// Writes a new identifier into out, the new record's id field: seeded from the clock, its address and
// the time, drawn again while it names a record or an existing body file (live or trashed).
void id_generate(char *out);

// Appends a record; returns 1, or 0 when the table is full.
int meta_append(const NoteMeta *m);

// Inserts a record at index i (0..g_count), keeping the order of the rest; returns 1, or 0 when
// the table is full.
int meta_insert(int i, const NoteMeta *m);

// Removes record i, keeping the order of the rest.
void meta_remove(int i);

// Sets title (size bytes) to the first line of text without heading marks or surrounding blanks,
// cut at a character boundary: the title of a body that has no record of its own.
void meta_title_from_text(const char *text, char *title, size_t size);
