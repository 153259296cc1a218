// Fuzz entry for the JSON field scanner: any bytes as a request body or index record, read the
// way save, pin and the index loader read them; every result must stay within its buffer.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "fuzz_text.h"

#include "util/json.h"

// Returns 0; a value that overruns its field or is not terminated aborts.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    char *text = fuzz_text(data, size);
    if (!text)
        return 0;
    struct Field {
        const char *key;
        size_t cap;
    };
    static const Field fields[] = {{"id", 13}, {"id", 64}, {"title", 300}, {"created", 24}, {"updated", 24}, {"x", 1}};
    for (const Field &f : fields) {
        char out[300];
        memset(out, 'Z', sizeof out);
        if (json_find_str(text, f.key, out, f.cap) && strnlen(out, f.cap) >= f.cap)
            abort();
    }
    int v = 0;
    json_find_int(text, "pinned", &v);
    json_find_int(text, "pin", &v);
    const char *body = json_find_value(text, "body");
    if (body && *body == '"') {
        char *dup = json_dup_string(&body);
        if (dup && strlen(dup) > size)
            abort();
        free(dup);
    }
    free(text);
    return 0;
}
