// Fuzz entry for the JSON string readers: the bounded and the heap reader must agree on where a
// string ends and on its bytes, stay inside their buffers, and the key finders must terminate.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "util/json.h"

// Returns 0 when every check holds; a broken invariant aborts.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    size_t small = 1 + data[0] % 40u; // the bounded reader's buffer size
    size_t len = size - 1;
    char *text = static_cast<char *>(malloc(len + 1));
    if (!text)
        return 0;
    memcpy(text, data + 1, len);
    text[len] = '\0';
    const char *end = text + strlen(text);
    const char *start = strchr(text, '"');
    if (!start)
        start = text; // not on a quote: both readers must refuse

    const char *c_dup = start;
    char *dup = json_dup_string(&c_dup);
    const char *c_small = start;
    char *out_small = static_cast<char *>(malloc(small));
    int r_small = out_small ? json_read_string(&c_small, out_small, small) : 0;
    const char *c_full = start;
    char *out_full = static_cast<char *>(malloc(len + 1)); // decoding never lengthens the text
    int r_full = out_full ? json_read_string(&c_full, out_full, len + 1) : 0;

    if (*start != '"') {
        if (dup || r_small || r_full || c_dup != start || c_small != start || c_full != start)
            abort();
    } else if (dup && out_small && out_full) {
        if (!r_small || !r_full || c_dup != c_small || c_dup != c_full || c_dup <= start || c_dup > end)
            abort();
        if (strcmp(dup, out_full) != 0 || strlen(out_small) > small - 1)
            abort();
        if (strlen(dup) <= small - 1 && strcmp(dup, out_small) != 0)
            abort();
    }
    free(dup);
    free(out_small);
    free(out_full);

    // The key finders scan the same text; they must stop inside it.
    const char *v = json_find_value(text, "body");
    if (v && (v < text || v > end))
        abort();
    char field[32];
    int n = 0;
    json_find_str(text, "id", field, sizeof field);
    json_find_int(text, "pin", &n);
    free(text);
    return 0;
}
