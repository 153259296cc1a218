// JSON text output (json_str) and the key scanner that reads single fields out of flat JSON text
// without building a tree. Input is trusted to be of the simple shape the program itself writes.
#pragma once
#include "util/textbuf.h"

// Appends s as a JSON string literal, quotes included; a null s is written as "".
void json_str(TextBuf *b, const char *s);

// Receives the pieces of an escaped JSON string literal.
typedef void (*JsonSink)(void *ctx, const char *p, size_t n);

// Hands the n bytes at s, escaped as a JSON string literal with its quotes, to sink in pieces:
// runs of plain bytes whole, each escape on its own. No failure of its own.
void json_escape(const char *s, size_t n, JsonSink sink, void *ctx);

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
