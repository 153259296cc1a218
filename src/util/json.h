// JSON text output (json_str) and the key scanner that reads single fields out of flat JSON text
// without building a tree. Input is trusted to be of the simple shape the program itself writes.
#pragma once
#include "util/textbuf.h"

// Appends s as a JSON string literal, quotes included; a null s is written as "".
void json_str(TextBuf *b, const char *s);

// Returns the length of the longest prefix of s[0, n) that json_str copies unchanged (no byte
// below 0x20, no double quote, no backslash), looking at sixteen bytes at a time. No failure.
size_t json_plain_run(const char *s, size_t n);

// Escapes s[*pos, n) into out (cap >= 6 bytes) as the inside of a JSON string literal, up to
// the first escape that no longer fits, and moves *pos past what it took. Returns the bytes
// written. No failure of its own.
size_t json_escape_some(const char *s, size_t n, size_t *pos, char *out, size_t cap);

// Finds the first occurrence of "key" followed by optional white space and ':'.
// Returns the position after the colon and any white space, or null when the key is absent.
const char *json_find_value(const char *text, const char *key);

// Reads the string value of key into out (size bytes). Returns 1, or 0 with out untouched.
int json_find_str(const char *text, const char *key, char *out, size_t size);

// Reads key's value as an int (true 1, false 0, numbers and quoted numbers like atoi).
// Returns 1 whenever the key was found, 0 (out untouched) when it was not.
int json_find_int(const char *text, const char *key, int *out);

// Reads the string at *cur (which must be on '"') into out, cut to size - 1 bytes, and moves
// *cur past it. out may be the quote's own position: decoding never overtakes reading. Returns 1, or 0 with nothing written when *cur is null or not on a quote.
int json_read_string(const char **cur, char *out, size_t size);

// Reads the string at *cur into a new heap string the caller frees. Returns null (cursor
// unchanged) when *cur is not on a quote or no storage could be had.
char *json_dup_string(const char **cur);
