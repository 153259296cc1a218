// Fuzz entry for the block renderer: any bytes become a note text, and the HTML must hold only
// the renderer's own markup (checked by the shared safety checker).
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "fuzz_text.h"

#include "../support/html_safety.h"
#include "markdown/markdown.h"

// Returns 0 after a clean render; a render that breaks the safety property aborts.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    char *text = fuzz_text(data, size);
    if (!text)
        return 0;
    TextBuf html = {};
    blocks_into(&html, text);
    const char *why = "";
    if (!html_safety_check(html.data ? html.data : "", html.length, &why))
        abort();
    buf_free(&html);
    free(text);
    return 0;
}
