// Decoding of single query-string parameters.
#pragma once
#include <cstddef>

// Finds parameter name in query (may be null) and writes its percent-decoded value into out
// (size >= 2 bytes). Returns 1 when present (even empty), 0 otherwise with out set to "".
int get_query_val(const char *query, const char *name, char *out, size_t size);
