// Fuzz entry for query-string decoding: any bytes as a query string, looked up under several
// names and buffer sizes; the value must always fit its buffer and be terminated.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "util/query.h"

// Returns 0; a value that overruns or is not terminated aborts.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    // The first byte picks the buffer size, the rest is the query string.
    size_t cap = 2 + static_cast<size_t>(data[0]) % 300;
    char *query = static_cast<char *>(malloc(size));
    if (!query)
        return 0;
    memcpy(query, data + 1, size - 1);
    query[size - 1] = '\0';
    static const char *const names[] = {"action", "id", "q", "pwd", "pin", "text", "a"};
    for (const char *name : names) {
        char *out = static_cast<char *>(malloc(cap));
        if (!out)
            break;
        int found = get_query_val(query, name, out, cap);
        size_t n = strnlen(out, cap);
        if (n >= cap || (!found && n != 0))
            abort();
        free(out);
    }
    free(query);
    return 0;
}
