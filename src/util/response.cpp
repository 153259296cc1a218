// JSON header block, error envelopes and the fixed 401 response, all written to standard output.
#include "util/response.h"

#include <cstdio>
#include <cstring>

#include "util/json.h"

static const char k_json_header[] =
    "Content-Type: application/json; charset=utf-8\r\n"
    "Cache-Control: no-store\r\n"
    "X-Content-Type-Options: nosniff\r\n"
    "\r\n";

void out_write(const char *data, size_t n)
{
    if (n)
        (void)fwrite(data, 1, n, stdout);
}

void out_puts(const char *s)
{
    out_write(s, strlen(s));
}

void out_init(void)
{
    static char buffer[65536];
    setvbuf(stdout, buffer, _IOFBF, sizeof buffer);
}

void out_json_part(const char *s, size_t n)
{
    // Escaped a chunk at a time: one write per chunk instead of one per plain run and escape.
    char chunk[16384];
    size_t pos = 0;
    while (pos < n)
        out_write(chunk, json_escape_some(s, n, &pos, chunk, sizeof chunk));
}

void json_header(void)
{
    out_write(k_json_header, sizeof k_json_header - 1);
}

struct StatusLine {
    int code;
    const char *line;
};

static const StatusLine k_status_lines[] = {
    {400, "Status: 400 Bad Request\r\n"},
    {403, "Status: 403 Forbidden\r\n"},
    {404, "Status: 404 Not Found\r\n"},
    {405, "Status: 405 Method Not Allowed\r\n"},
    {409, "Status: 409 Conflict\r\n"},
    {413, "Status: 413 Payload Too Large\r\n"},
    {500, "Status: 500 Internal Server Error\r\n"},
    {503, "Status: 503 Service Unavailable\r\n"},
};

void json_err(int status, const char *reason, const char *message)
{
    json_err_headers(status, reason, nullptr, message);
}

void json_err_headers(int status, const char *reason, const char *headers, const char *message)
{
    (void)reason; // the status line comes from the table alone
    for (const StatusLine &s : k_status_lines)
        if (s.code == status)
            out_puts(s.line);
    if (headers)
        out_puts(headers);
    json_header();
    out_puts("{\"ok\":false,\"error\":");
    TextBuf b = {};
    json_str(&b, message);
    out_write(b.data, b.length);
    buf_free(&b);
    out_puts("}\n");
}

void json_unauthorized(void)
{
    static const char k_401[] =
        "Status: 401 Unauthorized\r\n"
        "Content-Type: application/json; charset=utf-8\r\n"
        "Cache-Control: no-store\r\n"
        "X-Content-Type-Options: nosniff\r\n"
        "\r\n"
        "{\"ok\":false,\"error\":\"invalid node password\"}\n";
    out_write(k_401, sizeof k_401 - 1);
}
