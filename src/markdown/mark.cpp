// Search matches marked in rendered HTML: the text between tags is unescaped, searched for the
// terms, and each match wrapped in <mark>; tags and attributes are never touched.
#include <cstdlib>
#include <cstring>

#include "markdown/markdown.h"
#include "util/match.h"

constexpr size_t MARK_SEGMENT_MAX = 512; // matches marked in one run of text between tags

struct EntityText {
    const char *entity;
    size_t len;
    char byte;
};

// The entities the escaper writes, and the bytes they stand for.
static const EntityText k_mark_entities[] = {
    {"&quot;", 6, '"'}, {"&amp;", 5, '&'}, {"&#39;", 5, '\''}, {"&lt;", 4, '<'}, {"&gt;", 4, '>'},
};

// Appends the text run s[0, n) to out with its matches wrapped in <mark>. Returns 1, or 0 when
// no memory was left for the unescaped copy (the run is then appended unmarked).
static int mark_run(const MatchQuery *q, const char *s, size_t n, TextBuf *out)
{
    char *text = static_cast<char *>(malloc(n + 1));
    uint32_t *pos = static_cast<uint32_t *>(malloc((n + 1) * sizeof(uint32_t)));
    if (!text || !pos) {
        free(text);
        free(pos);
        buf_add(out, s, n);
        return 0;
    }
    // pos[k] is where unescaped byte k starts in the run; pos[len] is the run's end.
    size_t len = 0;
    for (size_t i = 0; i < n;) {
        pos[len] = static_cast<uint32_t>(i);
        size_t step = 1;
        char c = s[i];
        if (c == '&')
            for (const EntityText &e : k_mark_entities)
                if (n - i >= e.len && memcmp(s + i, e.entity, e.len) == 0) {
                    c = e.byte, step = e.len;
                    break;
                }
        text[len++] = c;
        i += step;
    }
    pos[len] = static_cast<uint32_t>(n);
    static MatchRange r[MARK_SEGMENT_MAX];
    size_t count = match_ranges(q, text, len, r, MARK_SEGMENT_MAX);
    size_t done = 0;
    for (size_t k = 0; k < count; k++) {
        size_t a = pos[r[k].start], b = pos[r[k].end];
        buf_add(out, s + done, a - done);
        buf_puts(out, "<mark>");
        buf_add(out, s + a, b - a);
        buf_puts(out, "</mark>");
        done = b;
    }
    buf_add(out, s + done, n - done);
    free(text);
    free(pos);
    return 1;
}

void mark_html(const MatchQuery *q, const char *html, size_t n, TextBuf *out)
{
    for (size_t i = 0; i < n;) {
        const char *lt = static_cast<const char *>(memchr(html + i, '<', n - i));
        size_t to = lt ? static_cast<size_t>(lt - html) : n;
        if (to > i)
            mark_run(q, html + i, to - i, out);
        if (!lt)
            break;
        const char *gt = static_cast<const char *>(memchr(lt, '>', n - to));
        size_t end = gt ? static_cast<size_t>(gt - html) + 1 : n;
        buf_add(out, html + to, end - to);
        i = end;
    }
}
