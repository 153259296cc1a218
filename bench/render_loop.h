// The timing loop shared by the renderer benchmarks: renders a document once per iteration and
// reports the bytes read, so Google Benchmark prints throughput.
#pragma once
#include <benchmark/benchmark.h>

#include <string>

#include "markdown/markdown.h"

// Renders doc with blocks_into on every iteration. No result.
inline void render_loop(benchmark::State &state, const std::string &doc)
{
    for (auto _ : state) {
        TextBuf b = {};
        blocks_into(&b, doc.c_str());
        benchmark::DoNotOptimize(b.data);
        buf_free(&b);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(doc.size()));
}
