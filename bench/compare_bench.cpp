// In-process rendering throughput of our renderer against cmark and md4c on the same document
// (the file named by BENCH_DOC). Prints one JSON line of MB/s when given --summary.
#include <benchmark/benchmark.h>
#include <cmark.h>
#include <md4c-html.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

#include "markdown/markdown.h"
#include "render_loop.h"

static std::string g_doc;

static void BM_Ours(benchmark::State &state)
{
    render_loop(state, g_doc);
}

static void BM_Cmark(benchmark::State &state)
{
    for (auto _ : state) {
        char *html = cmark_markdown_to_html(g_doc.data(), g_doc.size(), CMARK_OPT_DEFAULT);
        benchmark::DoNotOptimize(html);
        free(html);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(g_doc.size()));
}

// Collects md4c's output pieces the way a caller building a page would.
static void md4c_emit(const MD_CHAR *text, MD_SIZE size, void *userdata)
{
    buf_add(static_cast<TextBuf *>(userdata), text, size);
}

static void BM_Md4c(benchmark::State &state)
{
    for (auto _ : state) {
        TextBuf b = {};
        md_html(g_doc.data(), static_cast<MD_SIZE>(g_doc.size()), md4c_emit, &b, 0, 0);
        benchmark::DoNotOptimize(b.data);
        buf_free(&b);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(g_doc.size()));
}

BENCHMARK(BM_Ours);
BENCHMARK(BM_Cmark);
BENCHMARK(BM_Md4c);

int main(int argc, char **argv)
{
    const char *path = getenv("BENCH_DOC");
    if (!path)
        return 2;
    std::ifstream f(path, std::ios::binary);
    g_doc.assign(std::istreambuf_iterator<char>(f), {});
    if (g_doc.empty())
        return 2;
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
