// What the program refuses by itself: requests from other sites, changes by OPTIONS and HEAD,
// files reached through planted links, a lock nobody lets go of, and early answers that would
// leave a body unread for the host.
#include <sys/file.h>

#include <chrono>
#include <future>

#include "e2e_support.h"

static const std::string k_403 =
    err_response("Status: 403 Forbidden\r\n", "cross-site request refused");
static const std::string k_405 =
    "Status: 405 Method Not Allowed\r\nAllow: GET, POST\r\n" + k_json_head +
    "{\"ok\":false,\"error\":\"method not allowed\"}\n";
static const std::string k_503 =
    "Status: 503 Service Unavailable\r\nRetry-After: 1\r\n" + k_json_head +
    "{\"ok\":false,\"error\":\"notes are busy, try again\"}\n";

// Every file below dir with its content, so a test can show that nothing changed.
static std::map<std::string, std::string> snapshot(const std::string &dir)
{
    std::map<std::string, std::string> files;
    for (auto &e : fs::recursive_directory_iterator(dir))
        files[e.path().string()] = e.is_regular_file() ? read_file(e.path().string()) : "<dir>";
    return files;
}

TEST_F(Api, CrossSiteRequestsNeverReachAnAction)
{
    for (const char *site : {"cross-site", "same-site", "same-origin", "none", ""}) {
        bool refused = std::string(site) == "cross-site" || std::string(site) == "same-site";
        std::string id = save("{\"title\":\"t\",\"body\":\"b\"}");
        struct {
            std::string query, body;
        } actions[] = {
            {"action=list", ""},
            {"format=json", ""},
            {"action=search&q=b", ""},
            {"action=get&id=" + id, ""},
            {"action=save", "{\"title\":\"x\",\"body\":\"y\"}"},
            {"action=pin&id=" + id, ""},
            {"action=render&text=x", ""},
            {"action=nope", ""},
            {"action=delete&id=" + id, ""},
        };
        for (auto &a : actions) {
            auto before = snapshot(dir);
            Env extra;
            if (*site)
                extra["HTTP_SEC_FETCH_SITE"] = site;
            std::string out = call(a.query, a.body, extra);
            if (refused) {
                EXPECT_EQ(out, k_403) << site << " " << a.query;
                EXPECT_EQ(snapshot(dir), before) << site << " " << a.query;
            } else {
                EXPECT_NE(out.find("\"ok\":"), std::string::npos) << site << " " << a.query;
                EXPECT_EQ(out.find("Status: 403"), std::string::npos) << site << " " << a.query;
            }
        }
        // The page itself is still served to a navigation from anywhere.
        std::string page = call("", "", {{"HTTP_SEC_FETCH_SITE", site}}, "GET");
        EXPECT_EQ(page.rfind("Content-Type: text/html", 0), 0u) << site;
    }
}

TEST_F(Api, OptionsAndHeadNeverChangeNotes)
{
    std::string id = save("{\"title\":\"t\",\"body\":\"b\"}");
    auto before = snapshot(dir);
    for (const char *method : {"OPTIONS", "HEAD"}) {
        for (std::string q : {std::string("action=save"), "action=delete&id=" + id, "action=pin&id=" + id}) {
            EXPECT_EQ(call(q, "{\"body\":\"z\",\"pin\":1}", {}, method), k_405) << method << " " << q;
            EXPECT_EQ(snapshot(dir), before) << method << " " << q;
        }
        // Reading actions answer as usual.
        EXPECT_EQ(call("action=get&id=" + id, "", {}, method).rfind(k_json_head, 0), 0u) << method;
    }
}

TEST_F(Api, PlantedLinksAreNeverFollowed)
{
    if (NOTES_UNDER_WINE)
        GTEST_SKIP() << k_wine_hides_links;
    std::string outside = dir + "-outside";
    fs::create_directories(outside);
    std::string victim = outside + "/victim";
    write_file(victim, "precious");
    std::string id = save("{\"id\":\"aaaaaaaaaaaa\",\"title\":\"t\",\"body\":\"old\"}");

    // A link at a temporary name: the save writes a fresh file, the link's target stays.
    fs::create_symlink(victim, dir + "/" + id + ".md.tmp");
    fs::create_symlink(victim, dir + "/index.json.tmp");
    save("{\"id\":\"" + id + "\",\"title\":\"t\",\"body\":\"new\"}");
    EXPECT_EQ(read_file(victim), "precious");
    EXPECT_EQ(read_file(dir + "/" + id + ".md"), "new");
    EXPECT_FALSE(fs::is_symlink(dir + "/" + id + ".md"));
    EXPECT_FALSE(fs::is_symlink(dir + "/index.json"));

    // A body file that is a link: get does not read through it, a save replaces the link itself.
    fs::remove(dir + "/" + id + ".md");
    fs::create_symlink(victim, dir + "/" + id + ".md");
    EXPECT_EQ(ok_body("action=get&id=" + id).find("precious"), std::string::npos);
    EXPECT_EQ(ok_body("action=search&q=precious"), "{\"ok\":true,\"count\":0,\"notes\":[]}\n");
    save("{\"id\":\"" + id + "\",\"title\":\"t\",\"body\":\"mine\"}");
    EXPECT_EQ(read_file(victim), "precious");
    EXPECT_EQ(read_file(dir + "/" + id + ".md"), "mine");

    // A trash that is a link elsewhere: the delete is refused and nothing moves.
    fs::remove_all(dir + "/.trash");
    fs::create_directory_symlink(outside, dir + "/.trash");
    auto before = snapshot(dir);
    EXPECT_EQ(call("action=delete&id=" + id),
              err_response("Status: 500 Internal Server Error\r\n", "could not move note to trash"));
    EXPECT_EQ(snapshot(dir), before);
    EXPECT_FALSE(fs::exists(outside + "/" + id + ".md"));
    fs::remove_all(outside);
}

TEST_F(Api, HeldLockIsWaitedForBoundedly)
{
    if (NOTES_UNDER_WINE)
        GTEST_SKIP() << "the Windows build locks with a named mutex that a Linux flock cannot hold; "
                        "the Windows-only lock test holds it instead";
    std::string id = save("{\"title\":\"t\",\"body\":\"b\"}");
    auto before = snapshot(dir);
    int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_EQ(flock(fd, LOCK_EX), 0);
    EXPECT_EQ(call("action=save", "{\"id\":\"" + id + "\",\"body\":\"z\"}"), k_503);
    EXPECT_EQ(snapshot(dir), before);
    EXPECT_NE(ok_body("action=get&id=" + id).find("\"body\":\"b\""), std::string::npos)
        << "readers never wait for the lock";
    close(fd);
}

TEST_F(Api, SlowBodyDoesNotHoldOtherWriters)
{
    // A save whose body is still arriving must not keep another save from finishing.
    std::string body = "{\"title\":\"slow\",\"body\":\"s\"}";
    int in[2];
    ASSERT_EQ(pipe(in), 0);
    Env env = env_for("action=save");
    env["CONTENT_LENGTH"] = std::to_string(body.size());
    pid_t pid = fork();
    if (pid == 0) {
        close(in[1]);
        cgi_exec_input(NOTES_EXE, env, in[0]);
    }
    close(in[0]);
    ASSERT_EQ(write(in[1], body.data(), 10), 10);
    auto other = std::async(std::launch::async, [&] {
        return cgi_run(NOTES_EXE, env, "{\"title\":\"fast\",\"body\":\"f\"}").out;
    });
    bool finished = other.wait_for(std::chrono::seconds(20)) == std::future_status::ready;
    ASSERT_EQ(write(in[1], body.data() + 10, body.size() - 10), static_cast<ssize_t>(body.size() - 10));
    close(in[1]);
    int st = 0;
    waitpid(pid, &st, 0);
    EXPECT_TRUE(finished) << "the second save waited for the first one's body";
    EXPECT_NE(other.get().find("\"title\":\"fast\""), std::string::npos);
    std::string list = ok_body("action=list");
    EXPECT_NE(list.find("\"title\":\"slow\""), std::string::npos);
}

TEST_F(Api, EarlyAnswersTakeTheWholeBody)
{
    // A host that writes the body while the program answers (fcgiwrap) needs all of it read,
    // or it reports a broken pipe instead of the answer. 300 KiB is far beyond a pipe buffer.
    // A host may also keep standard input open after the body: no read may wait for more.
    std::string big(300 * 1024, 'x');
    struct {
        std::string query, method, length;
        Env extra;
        std::string answer_start;
    } rows[] = {
        {"action=list", "POST", "", {{"ORVIK_PASSWORD", "pw"}}, "Status: 401 Unauthorized\r\n"},
        {"action=save", "POST", "600000", {}, "Status: 413 Payload Too Large\r\n"},
        {"action=save", "POST", "", {{"NOTES_DIR", "/nonexistent/x"}}, "Status: 500 Internal"},
        {"action=save", "POST", "", {{"HTTP_SEC_FETCH_SITE", "cross-site"}}, "Status: 403 Forbidden\r\n"},
        {"action=pin&id=aaaaaaaaaaaa", "OPTIONS", "", {}, "Status: 405 Method Not Allowed\r\n"},
        {"", "PUT", "", {}, "Content-Type: text/html"},
        {"action=save", "POST", "", {}, "Status: 400 Bad Request\r\n"}, // read whole, then refused
    };
    for (int hold_s : {0, 5})
    for (auto &r : rows) {
        Env env = env_for(r.query, r.method);
        env["CONTENT_LENGTH"] = r.length.empty() ? std::to_string(big.size()) : r.length;
        for (auto &e : r.extra)
            env[e.first] = e.second;
        std::string sent = r.length.empty() ? big : std::string(std::stoul(r.length), 'x'); // all announced
        CgiResult res = cgi_run(NOTES_EXE, env, sent, {}, -1, hold_s);
        EXPECT_EQ(res.status, 0) << r.query << (hold_s ? " with standard input held open" : "");
        EXPECT_EQ(res.out.rfind(r.answer_start, 0), 0u) << r.query << "\n" << res.out.substr(0, 80);
        EXPECT_EQ(res.taken, sent.size()) << r.query;
    }
}
