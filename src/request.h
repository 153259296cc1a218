// One CGI request: the values decoded at entry, the request body, and the entry that runs it.
#pragma once
#include <cstddef>

constexpr size_t BODY_CAP = 532480; // holds at most 532479 bytes and the NUL

struct Request {
    const char *query;  // raw QUERY_STRING, "" when absent
    const char *method; // REQUEST_METHOD, "GET" when absent or empty
    char action[64];
    char id[64];
};

extern char g_body[BODY_CAP];
extern size_t g_body_len;

// Runs the whole request (probes, gate, page or API) and writes exactly one response.
// Always returns 0, the process exit status.
int request_main(int argc, char **argv);

// Returns every process global to its start state so the entry can run again in one process.
void request_reset(void);
