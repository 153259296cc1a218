// Fuzz entry for the whole request entry: the input is split at NUL bytes into the query
// string, the method, CONTENT_LENGTH, a password header, an Authorization value and the body.
// Every run must write exactly one well-formed response.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "request.h"

static char g_notes[64];
static int g_runs;

// Removes the scratch notes directory when the run ends.
static void fuzz_cleanup(void)
{
    std::filesystem::remove_all(g_notes);
}

// Sets or removes one environment variable from the next piece of the input.
static void fuzz_env(const char *name, const char *value, int present)
{
    if (present)
        setenv(name, value, 1);
    else
        unsetenv(name);
}

// Returns 1 when out holds one response: a known header block, then a body ending in a line feed.
static int fuzz_response_ok(const char *out, size_t len)
{
    static const char *const heads[] = {
        "Content-Type: application/json; charset=utf-8\r\n",
        "Content-Type: text/html; charset=utf-8\r\n",
        "Status: 400 Bad Request\r\nContent-Type: application/json",
        "Status: 404 Not Found\r\nContent-Type: application/json",
        "Status: 413 Payload Too Large\r\nContent-Type: application/json",
        "Status: 500 Internal Server Error\r\nContent-Type: application/json",
        "Status: 401 Unauthorized\r\nContent-Type: application/json",
        "{\"name\":\"notes\"",
    };
    int head_ok = 0;
    for (const char *h : heads)
        head_ok |= len >= strlen(h) && memcmp(out, h, strlen(h)) == 0;
    return head_ok && len > 0 && out[len - 1] == '\n';
}

// Returns 0; a run without exactly one well-formed response aborts.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (!g_notes[0]) {
        snprintf(g_notes, sizeof g_notes, "/tmp/notes-fuzz-request-%d", static_cast<int>(getpid()));
        setenv("NOTES_DIR", g_notes, 1);
        unsetenv("ZQ_PLUGIN_META");
        atexit(fuzz_cleanup);
    }
    // Start from an empty collection now and then, so the table never fills up for good.
    if (g_runs++ % 256 == 0)
        std::filesystem::remove_all(g_notes);

    const char *names[] = {"QUERY_STRING", "REQUEST_METHOD", "CONTENT_LENGTH", "HTTP_X_ORVIK_PASSWORD",
                           "HTTP_AUTHORIZATION"};
    size_t pos = 0;
    char piece[4096];
    for (const char *name : names) {
        size_t start = pos;
        while (pos < size && data[pos] != 0)
            pos++;
        size_t n = pos - start < sizeof piece - 1 ? pos - start : sizeof piece - 1;
        memcpy(piece, data + start, n);
        piece[n] = '\0';
        fuzz_env(name, piece, pos < size || n > 0);
        if (pos < size)
            pos++;
    }
    setenv("ORVIK_PASSWORD", size > 0 && data[0] == 'P' ? "pw" : "", 1);

    static char body[8192];
    size_t blen = size - pos < sizeof body ? size - pos : sizeof body;
    memcpy(body, data + pos, blen);
    FILE *in = blen ? fmemopen(body, blen, "rb") : fopen("/dev/null", "rb");
    char *out = nullptr;
    size_t out_len = 0;
    FILE *mem = open_memstream(&out, &out_len);
    if (!in || !mem)
        abort();
    FILE *saved_in = stdin, *saved_out = stdout;
    stdin = in;
    stdout = mem;
    char arg0[] = "plugin_notes";
    char *argv[] = {arg0, nullptr};
    request_reset();
    request_main(1, argv);
    stdin = saved_in;
    stdout = saved_out;
    fclose(in);
    fclose(mem);
    if (!fuzz_response_ok(out, out_len))
        abort();
    free(out);
    return 0;
}
