// Rendering throughput of the Markdown preview on 512 KiB documents: a note mixing every
// construct, and a worst case of lines full of openers that never close.
#include <benchmark/benchmark.h>

#include <cstring>
#include <string>

#include "markdown/markdown.h"
#include "render_loop.h"

constexpr size_t BENCH_DOC_SIZE = 524288;

// Lines of a realistic note, one of each block kind with inline constructs and escapable bytes.
static const char *const k_note_lines[] = {
    "# Weekly notes for the *release* of `v2`",
    "Plain paragraph text with **strong words**, _emphasis_ and a [link](https://example.org/a?b=1&c=2).",
    "It continues on a second line that mentions <tags> & \"quotes\" and 'apostrophes' in text.",
    "",
    "- first item with `code` and a [local link](/notes/abc)",
    "- second item with snake_case_names and 2*3*4 arithmetic",
    "1. numbered item that links to [mail](mailto:someone@example.org)",
    "2. numbered item with an [unsafe](javascript:alert(1)) target left as text",
    "> a quoted line with *emphasis* and > signs",
    "---",
    "```cpp",
    "int main() { return a < b && c > d ? 1 : 0; }",
    "",
    "```",
    "## Second heading ##",
    "Unicode text: caf\xc3\xa9, \xe2\x82\xac 5, and a trailing link [top](#top)",
    "",
};

// Builds a document of about size bytes by repeating the pattern lines.
static std::string bench_document(const char *const *lines, size_t count, size_t size)
{
    std::string doc;
    doc.reserve(size + 4096);
    for (size_t i = 0; doc.size() < size; i = (i + 1) % count) {
        doc += lines[i];
        doc += '\n';
    }
    doc.resize(size);
    return doc;
}

static void BM_RenderMixedNote(benchmark::State &state)
{
    std::string doc =
        bench_document(k_note_lines, sizeof k_note_lines / sizeof k_note_lines[0], BENCH_DOC_SIZE);
    render_loop(state, doc);
}
BENCHMARK(BM_RenderMixedNote)->Unit(benchmark::kMillisecond);

// Every line is 4095 bytes of openers with no closer after them.
static void BM_RenderUnmatchedOpeners(benchmark::State &state)
{
    std::string line;
    while (line.size() < MD_LINE_MAX)
        line += "[a](x`";
    line.resize(MD_LINE_MAX);
    const char *lines[] = {line.c_str()};
    std::string doc = bench_document(lines, 1, BENCH_DOC_SIZE);
    render_loop(state, doc);
}
BENCHMARK(BM_RenderUnmatchedOpeners)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
