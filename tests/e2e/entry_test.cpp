// Request entry through the real executable: probes, password gate, page-or-API choice, body
// length handling and the notes directory location chain.
#include <sys/stat.h>

#include <algorithm>

#include "e2e_support.h"

static const std::string k_meta_line = "{\"name\":\"notes\",\"desc\":\"Markdown notes\"}\n";
static const std::string k_version_line = "plugin_notes 1.0.0\n";
static const std::string k_401 =
    "Status: 401 Unauthorized\r\nContent-Type: application/json; charset=utf-8\r\n"
    "Cache-Control: no-store\r\nX-Content-Type-Options: nosniff\r\n\r\n"
    "{\"ok\":false,\"error\":\"invalid node password\"}\n";

TEST_F(Api, CommandLineProbes)
{
    struct {
        std::vector<std::string> args;
        bool meta_env;
        std::string out;
    } rows[] = {
        {{"--meta"}, false, k_meta_line},
        {{"--meta", "--version", "x"}, false, k_meta_line},
        {{"--version"}, false, k_version_line},
        {{"--version"}, true, k_meta_line},
        {{}, true, k_meta_line},
        {{"--meta=1"}, false, ""},
        {{"--META"}, false, ""},
    };
    for (auto &r : rows) {
        Env env = env_for("action=list");
        if (r.meta_env)
            env["ZQ_PLUGIN_META"] = "";
        env["ORVIK_PASSWORD"] = "secret"; // probes need no password
        CgiResult res = cgi_run(NOTES_EXE, env, "", r.args);
        EXPECT_EQ(res.status, 0);
        EXPECT_EQ(res.err, "");
        if (r.out.empty())
            EXPECT_EQ(res.out, k_401) << "not a probe: goes on as a request";
        else
            EXPECT_EQ(res.out, r.out);
    }
}

TEST_F(Api, PasswordGate)
{
    struct {
        Env extra;
        std::string query;
        bool admitted;
    } rows[] = {
        {{}, "action=list", false},
        {{{"HTTP_X_ORVIK_PASSWORD", "p w"}}, "action=list", true},
        {{{"HTTP_X_ORVIK_PASSWORD", "P W"}}, "action=list", false},
        {{{"HTTP_X_ORVIK_PASSWORD", "p w "}}, "action=list", false},
        {{{"HTTP_AUTHORIZATION", "Bearer p w"}}, "action=list", true},
        {{{"HTTP_AUTHORIZATION", "   Bearer    p w"}}, "action=list", true},
        {{{"HTTP_AUTHORIZATION", "bearer p w"}}, "action=list", false},
        {{{"HTTP_AUTHORIZATION", "\tBearer p w"}}, "action=list", false},
        {{{"HTTP_AUTHORIZATION", "Bearer p w "}}, "action=list", false},
        {{{"HTTP_AUTHORIZATION", "Basic p w"}}, "action=list", false},
        {{}, "action=list&pwd=p+w", true},
        {{}, "action=list&pwd=p%20w", true},
        {{}, "action=list&pwd=p", false},
        {{}, "xpwd=p+w&action=list", false},
        {{{"HTTP_X_ORVIK_PASSWORD", "wrong"}}, "pwd=p+w&action=list", true},
        {{}, "", false}, // page requests are gated too
    };
    for (auto &r : rows) {
        Env extra = r.extra;
        extra["ORVIK_PASSWORD"] = "p w";
        std::string out = call(r.query, "", extra, "GET");
        if (r.admitted)
            EXPECT_EQ(out, k_json_head + "{\"ok\":true,\"count\":0,\"notes\":[]}\n") << r.query;
        else
            EXPECT_EQ(out, k_401) << r.query;
    }
    // An empty node password admits everyone.
    EXPECT_EQ(call("action=list", "", {{"ORVIK_PASSWORD", ""}}, "GET"),
              k_json_head + "{\"ok\":true,\"count\":0,\"notes\":[]}\n");
    fs::remove_all(dir);
    EXPECT_EQ(call("action=list", "", {{"ORVIK_PASSWORD", "p w"}}), k_401);
    EXPECT_FALSE(fs::exists(dir)) << "a refused request must not set up storage";
}

TEST_F(Api, PageOrApiChoice)
{
    const std::string list0 = k_json_head + "{\"ok\":true,\"count\":0,\"notes\":[]}\n";
    struct {
        std::string query;
        std::string method;
        bool page;
    } rows[] = {
        {"", "GET", true},
        {"", "post", true},
        {"theme=dark&embed=1", "GET", true},
        {"action=", "GET", true},
        {"", "POST", false},
        {"q=x&format=json", "GET", false},
        {"a=format=jsonp", "GET", false},
        {"action=list", "GET", false},
    };
    for (auto &r : rows) {
        std::string out = call(r.query, "", {}, r.method);
        if (r.page) {
            EXPECT_EQ(out.rfind("Content-Type: text/html; charset=utf-8\r\n", 0), 0u) << r.query;
        } else {
            EXPECT_EQ(out, list0) << r.query;
        }
    }
    fs::remove_all(dir);
    call("", "", {}, "GET");
    EXPECT_FALSE(fs::exists(dir)) << "a page request must not touch storage";
}

TEST_F(Api, PageIsIdenticalForEveryQueryAndCarriesItsHeaders)
{
    std::string a = call("", "", {}, "GET");
    std::string b = call("theme=light&embed=1&node=n&pwd=x", "", {{"CONTENT_LENGTH", "5"}}, "GET");
    EXPECT_EQ(a, b);
    EXPECT_EQ(a.rfind("Content-Type: text/html; charset=utf-8\r\nCache-Control: no-store\r\n"
                      "X-Content-Type-Options: nosniff\r\nX-Frame-Options: SAMEORIGIN\r\n"
                      "Content-Security-Policy: default-src 'none'; script-src 'unsafe-inline'; "
                      "style-src 'unsafe-inline'; img-src data:; connect-src 'self'; form-action 'none'; "
                      "base-uri 'none'\r\n\r\n<!",
                      0),
              0u);
    EXPECT_EQ(a.find('\1'), std::string::npos);
    EXPECT_EQ(a.find('\2'), std::string::npos);
    EXPECT_EQ(a.substr(a.size() - 15), "</body></html>\n");
    // The theme head block stands whole between the title and the page's style sheet, the theme
    // bridge between the page script and the closing tags, each once, and nothing else is added.
    std::string head = read_file(NOTES_ASSETS "/theme_head.html"), bridge = read_file(NOTES_ASSETS "/theme_bridge.html");
    std::string tail = "</script>\n" + bridge + "</body></html>\n";
    EXPECT_NE(a.find("<title>notes</title>\n" + head + "\n<style>"), std::string::npos);
    EXPECT_EQ(a.substr(a.size() - std::min(a.size(), tail.size())), tail);
    EXPECT_EQ(a.size() - a.find("\r\n\r\n") - 4, read_file(NOTES_ASSETS "/page.html").size() - 2 + head.size() + bridge.size());
}

TEST_F(Api, ActionNamesAreExact)
{
    EXPECT_EQ(call("action=LIST"), err_response("Status: 400 Bad Request\r\n", "unknown action"));
    EXPECT_EQ(call("action=" + std::string(300, 'x')), err_response("Status: 400 Bad Request\r\n", "unknown action"));
    EXPECT_EQ(call("action=li%73t"), k_json_head + "{\"ok\":true,\"count\":0,\"notes\":[]}\n");
    EXPECT_EQ(call("action=search&q=zzz&x=1"), k_json_head + "{\"ok\":true,\"count\":0,\"notes\":[]}\n");
}

TEST_F(Api, ContentLengthRules)
{
    const std::string too_large = err_response("Status: 413 Payload Too Large\r\n", "request body too large");
    std::string big(532479, 'a');
    std::string json = "{\"body\":\"" + std::string(532479 - 11, 'a') + "\"}";
    ASSERT_EQ(json.size(), 532479u);
    // 532479 bytes are read (the note itself is then over its own limit).
    EXPECT_EQ(call("action=save", json),
              err_response("Status: 413 Payload Too Large\r\n", "note body exceeds 512 KiB"));
    EXPECT_EQ(call("action=save", json + " "), too_large);
    struct {
        std::string length;
        std::string sent;
        std::string answer_has;
    } rows[] = {
        {"12abc", "{\"body\":\"ab\"}tail", "\"ok\":true"},
        {"0", "{\"body\":\"x\"}", "empty body"},
        {"-1", "{\"body\":\"x\"}", "empty body"},
        {"abc", "{\"body\":\"x\"}", "empty body"},
        {"", "{\"body\":\"x\"}", "empty body"},
        {"99999999999999999999", "{\"body\":\"x\"}", "request body too large"},
        {"5000", "{\"body\":\"short\"}", "\"ok\":true"}, // fewer bytes arrive than announced
    };
    for (auto &r : rows) {
        Env env = env_for("action=save", "POST");
        env["CONTENT_LENGTH"] = r.length;
        CgiResult res = cgi_run(NOTES_EXE, env, r.sent);
        EXPECT_NE(res.out.find(r.answer_has), std::string::npos) << r.length << ": " << res.out;
        EXPECT_EQ(res.status, 0);
    }
}

// The permission bits the process umask takes away.
static fs::perms umask_perms()
{
    mode_t m = umask(0);
    umask(m);
    return static_cast<fs::perms>(m);
}

TEST_F(Api, NotesDirectoryLocationChain)
{
    struct {
        Env env;
        std::string notes;
    } rows[] = {
        {{{"NOTES_DIR", dir + "/direct"}}, "/direct"},
        {{{"NOTES_DIR", ""}, {"ORVIK_PLUGIN_DIR", dir + "/plug"}}, "/plug/.notes"},
        {{{"LOCALAPPDATA", dir + "/local"}}, "/local/velmora/plugins/.notes"},
        {{{"LOCALAPPDATA", ""}, {"USERPROFILE", dir + "/home"}}, "/home/.velmora/plugins/.notes"},
    };
    fs::create_directories(dir + "/local");
    fs::create_directories(dir + "/home");
    for (auto &r : rows) {
        Env env = {{"QUERY_STRING", "action=save"}, {"REQUEST_METHOD", "POST"}, {"CONTENT_LENGTH", "12"}};
        for (auto &e : r.env)
            env[e.first] = e.second;
        CgiResult res = cgi_run(NOTES_EXE, env, "{\"body\":\"x\"}");
        EXPECT_NE(res.out.find("\"ok\":true"), std::string::npos) << r.notes << res.out;
        EXPECT_TRUE(fs::is_directory(dir + r.notes + "/.trash")) << r.notes;
        EXPECT_TRUE(fs::exists(dir + r.notes + "/index.json")) << r.notes;
        // Both directories are created for their owner alone (0700 before the umask); Windows
        // folders have no such modes.
        for (const std::string &d : {dir + r.notes, dir + r.notes + "/.trash"}) {
            if (!NOTES_UNDER_WINE) {
                EXPECT_EQ(fs::status(d).permissions() & fs::perms::all, fs::perms::owner_all & ~umask_perms()) << d;
            }
        }
    }
    // With no variable at all the working directory holds plugins/.notes.
    pid_t pid = fork();
    if (pid == 0) {
        if (chdir(dir.c_str()) != 0)
            _exit(2);
        CgiResult res = cgi_run(NOTES_EXE, {{"QUERY_STRING", "action=list"}}, "");
        _exit(res.out.find("\"count\":0") != std::string::npos ? 0 : 1);
    }
    int st = 0;
    waitpid(pid, &st, 0);
    EXPECT_EQ(WEXITSTATUS(st), 0);
    EXPECT_TRUE(fs::is_directory(dir + "/plugins/.notes/.trash"));
}

TEST_F(Api, UnavailableNotesDirectory)
{
    const std::string unavailable = err_response("Status: 500 Internal Server Error\r\n", "notes dir unavailable");
    write_file(dir + "/file", "x");
    EXPECT_EQ(call("action=get&id=BAD", "", {{"NOTES_DIR", dir + "/missing/parent"}}), unavailable);
    EXPECT_EQ(call("action=list", "", {{"NOTES_DIR", dir + "/file"}}), unavailable);
    EXPECT_EQ(call("action=nope", "", {{"NOTES_DIR", dir + "/file"}}), unavailable);
}
