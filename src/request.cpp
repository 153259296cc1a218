// Request entry: command-line probes, the password gate, page-or-API choice, storage and index
// set-up, the body read and the one dispatch table of actions.
#include "request.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "actions/actions.h"
#include "platform/platform.h"
#include "store/files.h"
#include "store/index.h"
#include "store/meta.h"
#include "util/query.h"
#include "util/response.h"
#include "util/secret.h"
#include "util/textbuf.h"

char g_body[BODY_CAP];
size_t g_body_len;

// How long a changing request waits for another writer before it answers 503.
constexpr unsigned LOCK_WAIT_MS = 10000;

struct ActionRow {
    const char *name;
    void (*handler)(const Request *r);
    int changes; // 1 when the action rewrites the index: it then runs under the directory lock;
                 // with CHANGES_POST_ONLY added it also answers nothing but POST
};

constexpr int CHANGES_POST_ONLY = 2;

static const ActionRow k_actions[] = {
    {"list", do_list, 0},
    {"get", do_get, 0},
    {"search", do_search, 0},
    {"save", do_save, 1},
    {"delete", do_delete, 1},
    {"pin", do_pin, 1},
    {"render", do_render, 0},
    {"trash", do_trash, 0},
    {"restore", do_restore, 1},
    {"history", do_history, 0},
    {"purge", do_purge, 1 | CHANGES_POST_ONLY},
    {"export", do_export, 0},
    {"import", do_import, 1 | CHANGES_POST_ONLY},
};

// Returns the table row for the action, or null for an unknown one.
static const ActionRow *action_find(const char *name)
{
    for (const ActionRow &row : k_actions)
        if (strcmp(row.name, name) == 0)
            return &row;
    return nullptr;
}

// Returns 1 when the request gives the node password by header, bearer token or query.
static int password_ok(const char *password)
{
    const char *h = getenv("HTTP_X_ORVIK_PASSWORD");
    if (h && secret_equal(h, password))
        return 1;
    const char *a = getenv("HTTP_AUTHORIZATION");
    if (a) {
        while (*a == ' ')
            a++;
        if (strncmp(a, "Bearer ", 7) == 0) {
            a += 7;
            while (*a == ' ')
                a++;
            if (secret_equal(a, password))
                return 1;
        }
    }
    const char *q = getenv("QUERY_STRING");
    char pwd[256];
    return q && get_query_val(q, "pwd", pwd, sizeof pwd) && secret_equal(pwd, password);
}

// Parses CONTENT_LENGTH as strtol does with base 10, clamped to the signed 32-bit range.
static long content_length(void)
{
    const char *cl = getenv("CONTENT_LENGTH");
    if (!cl || !*cl)
        return 0;
    long v = strtol(cl, nullptr, 10);
    if (v > INT_MAX)
        v = INT_MAX;
    if (v < INT_MIN)
        v = INT_MIN;
    return v;
}

// 1 once body_read has taken the body from standard input (or found none announced).
static int g_body_taken;

// Reads the announced body into g_body. Returns 1, or 0 after answering 413.
static int body_read(void)
{
    g_body[0] = '\0';
    g_body_len = 0;
    long n = content_length();
    if (n <= 0) {
        g_body_taken = 1;
        return 1;
    }
    if (n > static_cast<long>(BODY_CAP - 1)) {
        json_err(413, "Payload Too Large", "request body too large");
        return 0;
    }
    plat_prefault(g_body, static_cast<size_t>(n));
    g_body_len = fread(g_body, 1, static_cast<size_t>(n), stdin);
    g_body[g_body_len] = '\0';
    g_body_taken = 1;
    return 1;
}

// Reads and drops what is left of an announced body that the request never took (it was
// answered early), up to the announced length: a host that is still writing the body, such as
// fcgiwrap, then delivers the answer instead of reporting a broken pipe.
static void body_drain(void)
{
    if (g_body_taken)
        return;
    static char sink[65536];
    for (long left = content_length(); left > 0;) {
        size_t want = left < static_cast<long>(sizeof sink) ? static_cast<size_t>(left) : sizeof sink;
        size_t got = fread(sink, 1, want, stdin);
        if (got == 0)
            return;
        left -= static_cast<long>(got);
    }
}

// Returns 1 when the browser marks the request as sent by a page of another site.
static int request_cross_site(void)
{
    const char *site = getenv("HTTP_SEC_FETCH_SITE");
    return site && (strcmp(site, "cross-site") == 0 || strcmp(site, "same-site") == 0);
}

// Returns 1 for the methods that must never change anything (a preflight, a header probe).
static int method_read_only(const char *method)
{
    return strcmp(method, "OPTIONS") == 0 || strcmp(method, "HEAD") == 0;
}

// Answers a probe and returns 1, or returns 0 when the process is a CGI request.
static int probe_answered(int argc, char **argv)
{
    int meta = (argc > 1 && strcmp(argv[1], "--meta") == 0) || getenv("ZQ_PLUGIN_META") != nullptr;
    if (meta) {
        printf("{\"name\":\"%s\",\"desc\":\"%s\"}\n", "notes", "Markdown notes");
        return 1;
    }
    if (argc > 1 && strcmp(argv[1], "--version") == 0) {
        printf("%s %s\n", "plugin_notes", "1.0.0");
        return 1;
    }
    return 0;
}

// Runs one CGI request and writes its one response.
static void request_run(void)
{
    const char *password = getenv("ORVIK_PASSWORD");
    if (password && *password && !password_ok(password)) {
        json_unauthorized();
        return;
    }

    Request r;
    memset(&r, 0, sizeof r);
    r.query = getenv("QUERY_STRING");
    if (!r.query)
        r.query = "";
    r.method = getenv("REQUEST_METHOD");
    if (!r.method || !*r.method)
        r.method = "GET";
    get_query_val(r.query, "action", r.action, sizeof r.action);
    get_query_val(r.query, "id", r.id, sizeof r.id);

    if (!r.action[0]) {
        if (!strstr(r.query, "format=json") && strcmp(r.method, "POST") != 0) {
            page_write();
            return;
        }
        str_copy(r.action, sizeof r.action, "list");
    }

    const ActionRow *row = action_find(r.action);
    // Another site's page may send requests here with the user's browser (a form, an image, a
    // no-cors fetch); browsers say so, and such a request never reaches an action.
    if (request_cross_site()) {
        json_err(403, "Forbidden", "cross-site request refused");
        return;
    }
    // Removing for good is never left to a link or an image that a GET can be made by.
    if (row && (row->changes & CHANGES_POST_ONLY) && strcmp(r.method, "POST") != 0) {
        json_err_headers(405, "Method Not Allowed", "Allow: POST\r\n", "method not allowed");
        return;
    }
    if (row && row->changes && method_read_only(r.method)) {
        json_err_headers(405, "Method Not Allowed", "Allow: GET, POST\r\n", "method not allowed");
        return;
    }
    if (!g_dir[0] && !storage_setup())
        return;
    if (!body_read())
        return;
    // Changing requests are serialised so that no two rewrite the index from stale readings. The
    // lock is taken once the body is in, so a slow sender never holds up other writers, and its
    // wait is bounded, so a lock nobody lets go of gets an answer instead of a hung request.
    if (row && row->changes && !plat_lock_dir(g_dir, LOCK_WAIT_MS)) {
        json_err_headers(503, "Service Unavailable", "Retry-After: 1\r\n", "notes are busy, try again");
        return;
    }
    // The actions that change notes work on the table; the others fill it only when they need to.
    if (row && row->changes)
        load_index();
    else
        index_read();
    if (!row) {
        json_err(400, "Bad Request", "unknown action");
        return;
    }
    // An index that exists but could not be read must never be replaced by this request's table.
    if (row->changes && g_index_unreadable) {
        json_err(500, "Internal Server Error", "could not write index");
        return;
    }
    row->handler(&r);
}

int request_main(int argc, char **argv)
{
    plat_init();
    if (probe_answered(argc, argv)) {
        fflush(stdout);
        return 0;
    }
    request_run();
    fflush(stdout);
    body_drain();
    return 0;
}

void request_reset(void)
{
    plat_unlock_dir();
    g_dir[0] = '\0';
    g_trash[0] = '\0';
    g_count = 0;
    g_index_unreadable = 0;
    g_body[0] = '\0';
    g_body_len = 0;
    g_body_taken = 0;
}
