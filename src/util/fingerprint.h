// Body fingerprints: the version tag a client sends with a save to say which text it last saw.
#pragma once
#include <cstddef>

constexpr size_t FINGERPRINT_HEX = 16;

// Writes the 64-bit FNV-1a hash of the n bytes at s as 16 lowercase hex digits and a NUL into
// out (17 bytes). No failure.
void fingerprint_text(const char *s, size_t n, char *out);

// Writes the fingerprint of the text a browser shows for the n bytes at s: each broken UTF-8
// sequence read as one U+FFFD, as a page decoding the note finds it. No failure.
void fingerprint_shown(const char *s, size_t n, char *out);

// Returns 1 when text is exactly 16 lowercase hex digits, else 0.
int fingerprint_valid(const char *text);

// Returns 1 when sent is the text stored, as stored or in the form a browser shows it (see
// fingerprint_shown), else 0. Titles are compared this way: a page can only send back what it got.
int fingerprint_same_shown(const char *stored, const char *sent);
