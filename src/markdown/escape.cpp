// HTML escaping of user text: the five bytes that could open, close or quote markup become
// entities; every other byte, control and non-ASCII bytes included, passes unchanged.
#include "markdown/markdown.h"

struct Entity {
    const char *text;
    size_t len;
};

// Row 0 means "copy unchanged"; the escape table below points into this list.
static const Entity k_entities[] = {
    {"", 0}, {"&quot;", 6}, {"&amp;", 5}, {"&#39;", 5}, {"&lt;", 4}, {"&gt;", 4},
};

// Entity row for every byte value.
struct EscapeTable {
    unsigned char row[256];
    constexpr EscapeTable() : row()
    {
        row[static_cast<unsigned char>('"')] = 1;
        row[static_cast<unsigned char>('&')] = 2;
        row[static_cast<unsigned char>('\'')] = 3;
        row[static_cast<unsigned char>('<')] = 4;
        row[static_cast<unsigned char>('>')] = 5;
    }
};
static constexpr EscapeTable k_escape;

// Returns nothing; bytes that do not fit are dropped by the buffer.
void esc_html_into(TextBuf *b, const char *s, size_t n)
{
    const unsigned char *u = reinterpret_cast<const unsigned char *>(s);
    size_t run = 0; // start of the bytes not yet appended, all of them safe
    for (size_t i = 0; i < n; i++) {
        unsigned char e = k_escape.row[u[i]];
        if (!e)
            continue;
        buf_add(b, s + run, i - run);
        buf_add(b, k_entities[e].text, k_entities[e].len);
        run = i + 1;
    }
    buf_add(b, s + run, n - run);
}
