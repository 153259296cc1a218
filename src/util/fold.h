// ASCII case folding for search.
#pragma once
#include <cstddef>

// Folds s to lower case in place, up to its NUL ('A'-'Z' only); returns its length. No failure.
size_t fold_lower(char *s);

// Returns 1 when needle (n >= 1 bytes, already folded) occurs in s[0, len) with the case of
// ASCII letters ignored, else 0. s is not changed.
int fold_contains(const char *s, size_t len, const char *needle, size_t n);

// As fold_contains, but returns the offset of the first occurrence, or -1.
long fold_find(const char *s, size_t len, const char *needle, size_t n);
