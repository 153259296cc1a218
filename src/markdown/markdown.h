// Markdown preview: the HTML escaper, the inline renderer for one line and the block renderer
// for a whole note. Every byte of user text reaches the output through the escaper.
#pragma once
#include <cstddef>

#include "util/textbuf.h"

// Longest line the block renderer looks at; bytes after it on the same line are ignored.
constexpr size_t MD_LINE_MAX = 4095;
// Longest link target that is still made into a link.
constexpr size_t MD_TARGET_MAX = 511;

// Appends n bytes with " & ' < > written as entities. Nothing to report on failure: bytes the
// buffer cannot hold are dropped.
void esc_html_into(TextBuf *b, const char *s, size_t n);

// Second name of esc_html_into, kept for callers that use the short form. No result.
inline void esc_into(TextBuf *b, const char *s, size_t n)
{
    esc_html_into(b, s, n);
}

// Renders one NUL-terminated line (code spans, strong, emphasis, links) as HTML. No result;
// bytes the buffer cannot hold are dropped.
void inline_into(TextBuf *b, const char *line);

// Renders the n bytes at s like inline_into, stopping early at a NUL byte. No result.
void inline_line(TextBuf *b, const char *s, size_t n);

// Renders a whole NUL-terminated Markdown text as HTML blocks; an empty text appends nothing.
// No result; bytes the buffer cannot hold are dropped.
void blocks_into(TextBuf *b, const char *text);

// How much HTML blocks_stream gathers before it hands it on.
constexpr size_t MD_STREAM_CHUNK = 65536;

// Renders like blocks_into, but hands b to flush (which must empty it) whenever it holds
// MD_STREAM_CHUNK bytes or more after a line, so a long text never has its whole HTML in memory
// at once; what is left at the end stays in b. A null flush never hands anything on. No result.
void blocks_stream(TextBuf *b, const char *text, void (*flush)(TextBuf *b));

struct MatchQuery;

// Appends html[0, n) to out with the matches of q's terms in its text (outside tags, entities
// read as the bytes they stand for) wrapped in <mark> and </mark>. No failure: a run that cannot
// be searched for want of memory is appended unmarked.
void mark_html(const MatchQuery *q, const char *html, size_t n, TextBuf *out);
