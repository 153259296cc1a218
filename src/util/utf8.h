// UTF-8 checks for text that must stay valid: file names in a zip, imported notes and titles.
#pragma once
#include <cstddef>

// Returns the length (1-4) of the valid UTF-8 sequence at s[0, n), or 0 when it is broken (a
// stray continuation, an overlong form, a surrogate, past U+10FFFF, cut short by n). No failure.
size_t utf8_len(const unsigned char *s, size_t n);

// Returns 1 when s[0, n) is valid UTF-8 without NUL bytes, else 0.
int utf8_valid(const char *s, size_t n);

// Returns the length of s[0, n) with a character cut short at its end left off. No failure.
size_t utf8_whole(const char *s, size_t n);

struct TextBuf;

// Appends s[0, n) to b as valid UTF-8: each byte of a broken sequence becomes U+FFFD, as a
// browser shows it. No failure of its own (the buffer drops what it cannot hold).
void utf8_repair(TextBuf *b, const char *s, size_t n);
