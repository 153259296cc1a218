// ASCII case folding for search.
#pragma once
#include <cstddef>

// Folds s to lower case in place, up to its NUL ('A'-'Z' only); returns its length. No failure.
size_t fold_lower(char *s);
