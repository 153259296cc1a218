// Hostile and concurrent input: every request gets one well-formed answer and exit status 0,
// nothing reaches standard error, refused requests change nothing, and parallel saves all land.
#include <random>
#include <thread>

#include "e2e_support.h"

// Returns "" when out is one well-formed JSON API response, else what is wrong with it.
static std::string response_problem(const std::string &out)
{
    size_t head_end = out.find("\r\n\r\n");
    if (head_end == std::string::npos)
        return "no end of headers";
    std::string head = out.substr(0, head_end + 4);
    static const char *statuses[] = {"", "Status: 400 Bad Request\r\n", "Status: 404 Not Found\r\n",
                                     "Status: 413 Payload Too Large\r\n", "Status: 500 Internal Server Error\r\n",
                                     "Status: 401 Unauthorized\r\n"};
    bool head_ok = false;
    for (const char *s : statuses)
        head_ok |= head == std::string(s) + k_json_head;
    if (!head_ok)
        return "bad header block";
    std::string body = out.substr(head_end + 4);
    if (body.empty() || body.back() != '\n')
        return "body does not end with a line feed";
    if (body.rfind("{\"ok\":", 0) != 0)
        return "body does not open with ok";
    bool ok_true = body.rfind("{\"ok\":true", 0) == 0;
    bool has_status = head.rfind("Status:", 0) == 0;
    if (ok_true == has_status)
        return "status line and ok disagree";
    return "";
}

TEST_F(Api, RandomBodiesAndQueriesNeverCrashOrChangeStoredNotes)
{
    std::string id = save("{\"id\":\"keepkeepkeep\",\"title\":\"keep\",\"body\":\"kept\"}");
    std::string before = index_text();
    std::mt19937 rng(20261209);
    const char *actions[] = {"list", "search", "get", "save", "delete", "pin", "render", "LIST", "", "x"};
    const char *pieces[] = {"{", "}", "\"", "\\", "\\u", "\\ud800", ":", ",", "\"body\"", "\"id\"", "\"pin\"",
                            "\"title\"", "\"pinned\"", "true", "null", "-", "9999999999999", "%", "&", "=",
                            "\x01", "\xff", "\xc3", "\n", " "};
    int requests = 0;
    for (int i = 0; i < 150; i++) {
        std::string body;
        int parts = static_cast<int>(rng() % 40);
        for (int k = 0; k < parts; k++) {
            if (rng() % 3 == 0)
                body += static_cast<char>(rng() % 256);
            else
                body += pieces[rng() % (sizeof pieces / sizeof *pieces)];
        }
        // Saves and pins and deletes of the kept note are the only changes allowed; keep them away.
        const char *action = actions[rng() % (sizeof actions / sizeof *actions)];
        std::string query = std::string("action=") + action + "&id=" + (rng() % 2 ? "zzzzzzzzzzzz" : "%2e%2e%2f" + body.substr(0, 5)) +
                            "&q=" + body.substr(0, 20) + "&pin=" + std::to_string(static_cast<int>(rng() % 5) - 2);
        if (std::string(action) == "save" && body.find("\"body\"") != std::string::npos)
            continue; // a valid save would legitimately add a note
        std::string out = call(query, body);
        requests++;
        EXPECT_EQ(response_problem(out), "") << query << "\n" << out;
    }
    EXPECT_GT(requests, 100);
    EXPECT_EQ(index_text(), before);
    EXPECT_EQ(read_file(dir + "/" + id + ".md"), "kept");
    for (auto &e : fs::directory_iterator(dir))
        EXPECT_NE(e.path().extension(), ".tmp");
}

TEST_F(Api, OversizedQueriesAreCutNotFatal)
{
    std::string huge(60000, 'a'); // the kernel caps one environment string at 128 KiB
    for (const std::string &q : {"action=" + huge, "action=get&id=" + huge, "action=search&q=" + huge,
                                 "action=pin&id=" + huge + "&pin=" + huge, huge, "format=json&" + huge}) {
        std::string out = call(q);
        EXPECT_EQ(response_problem(out), "") << out.substr(0, 200);
    }
}

TEST_F(Api, ConcurrentSavesAllLand)
{
    save("{\"id\":\"existingnote\",\"body\":\"x\"}");
    const int n = 16;
    std::vector<std::thread> threads;
    std::vector<std::string> outs(n);
    for (int i = 0; i < n; i++) {
        threads.emplace_back([&, i] {
            std::string body = "{\"title\":\"t" + std::to_string(i) + "\",\"body\":\"b" + std::to_string(i) + "\"}";
            Env env = env_for("action=save", "POST");
            env["CONTENT_LENGTH"] = std::to_string(body.size());
            outs[static_cast<size_t>(i)] = cgi_run(NOTES_EXE, env, body).out;
        });
    }
    for (auto &t : threads)
        t.join();
    for (auto &o : outs)
        EXPECT_NE(o.find("\"ok\":true"), std::string::npos) << o;
    std::string list = ok_body("action=list");
    EXPECT_NE(list.find("\"count\":17"), std::string::npos) << list;
    for (int i = 0; i < n; i++)
        EXPECT_NE(list.find("\"title\":\"t" + std::to_string(i) + "\""), std::string::npos) << i;
    for (auto &e : fs::directory_iterator(dir))
        EXPECT_NE(e.path().extension(), ".tmp") << e.path();
}
