// File names that Windows, macOS and Linux all accept, made from note titles.
#pragma once
#include <cstddef>

constexpr size_t SAFE_NAME_CAP = 256;     // a name with its extension and NUL
constexpr size_t SAFE_STEM_MAX = 200;     // bytes of the title kept, leaving room for " (9999)"

// Writes the stem of a file name for title into out (SAFE_NAME_CAP bytes): bytes that some system
// refuses (control bytes, <>:"/\|?*, broken UTF-8) become '_', a leading dot or space goes, no
// trailing dot or space stays, reserved device names (CON, LPT1, ...) get a '_' in front, at most
// SAFE_STEM_MAX bytes cut at a character boundary, "Untitled" when nothing is left. No failure.
void safe_stem(const char *title, char *out);

// The names handed out so far, compared with ASCII case ignored (Windows and macOS do).
struct SafeNames {
    char (*names)[SAFE_NAME_CAP]; // count entries
    unsigned *slots;              // open-addressing table of name index + 1, 0 free
    size_t count, cap, nslots;
};

// Makes room for cap names. Returns 1, or 0 when memory ran out (the set stays empty).
int safe_names_init(SafeNames *s, size_t cap);
void safe_names_free(SafeNames *s);

// Adds stem + ext (such as ".md") as a name not yet handed out, with " (2)", " (3)" ... before
// the extension when it is taken. Returns the stored name, or null when the set is full.
const char *safe_names_add(SafeNames *s, const char *stem, const char *ext);
