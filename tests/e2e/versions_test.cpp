// Versions: when a save keeps the text it replaces, thinning by age, count and size, history and
// get of a version, the title precondition, and purge leaving no trace of a text.
#include <ctime>
#include <set>
#include <vector>

#include "e2e_support.h"

static const int64_t k_day = 86400;

// The version key of a time: "YYYY-MM-DDTHH-MM-SSZ".
static std::string key_at(int64_t t)
{
    time_t tt = static_cast<time_t>(t);
    struct tm tm;
    gmtime_r(&tt, &tm);
    char out[32];
    strftime(out, sizeof out, "%Y-%m-%dT%H-%M-%SZ", &tm);
    return out;
}

static int64_t now_s()
{
    return static_cast<int64_t>(time(nullptr));
}

class Versions : public Api {
protected:
    std::string vdir(const std::string &id)
    {
        return dir + "/.versions/" + id;
    }
    // The version keys on disk, newest first.
    std::vector<std::string> keys(const std::string &id)
    {
        std::set<std::string, std::greater<>> found;
        std::error_code ec;
        for (auto &e : fs::directory_iterator(vdir(id), ec))
            if (e.path().extension() == ".md")
                found.insert(e.path().stem().string());
        return {found.begin(), found.end()};
    }
    void plant(const std::string &id, int64_t t, const std::string &text = "old")
    {
        fs::create_directories(vdir(id));
        write_file(vdir(id) + "/" + key_at(t) + ".md", text);
    }
    std::string save_body(const std::string &id, const std::string &body, const std::string &extra = "")
    {
        return call("action=save", "{\"id\":\"" + id + "\",\"title\":\"T\",\"body\":\"" + body + "\"" + extra + "}");
    }
    // Every file under the notes folder whose bytes hold text.
    std::vector<std::string> files_holding(const std::string &text)
    {
        std::vector<std::string> hits;
        for (auto &e : fs::recursive_directory_iterator(dir))
            if (e.is_regular_file() && read_file(e.path().string()).find(text) != std::string::npos)
                hits.push_back(e.path().string());
        return hits;
    }
};

TEST_F(Versions, SaveKeepsTheReplacedTextByTheThreeRules)
{
    const int64_t now = now_s();
    struct {
        const char *name;
        int64_t newest_age; // age of a planted version, -1 for none
        std::string old_text, new_text, extra;
        bool kept;
    } rows[] = {
        {"first replace of a note", -1, "one two", "one three", "", true},
        {"a version 5 min ago", 300, "one two", "one three", "", false},
        {"a version 11 min ago", 660, "one two", "one three", "", true},
        {"more than half dropped", 300, "0123456789", "0123", "", true},
        {"exactly half dropped", 300, "0123456789", "01234", "", false},
        {"asked with keep", 300, "one two", "one three", ",\"keep\":1", true},
        {"keep 0 is not asked", 300, "one two", "one three", ",\"keep\":0", false},
        {"the same text asked", 300, "same", "same", ",\"keep\":1", false},
        {"an empty text replaced", -1, "", "new", ",\"keep\":1", false},
    };
    for (auto &r : rows) {
        std::string id = save("{\"title\":\"first\",\"body\":\"" + r.old_text + "\"}");
        if (r.newest_age >= 0)
            plant(id, now - r.newest_age);
        size_t before = keys(id).size();
        save_body(id, r.new_text, r.extra);
        std::vector<std::string> after = keys(id);
        ASSERT_EQ(after.size(), before + (r.kept ? 1 : 0)) << r.name;
        if (r.kept) {
            EXPECT_EQ(read_file(vdir(id) + "/" + after[0] + ".md"), r.old_text) << r.name;
            EXPECT_EQ(fs::hard_link_count(vdir(id) + "/" + after[0] + ".md"), 1u) << "the old body itself, by link";
        }
        EXPECT_EQ(read_file(dir + "/" + id + ".md"), r.new_text) << r.name;
    }
}

TEST_F(Versions, ThinningKeepsADayThenOnePerDayThenOnePerWeekAndAtMost100)
{
    const int64_t now = now_s();
    // Two times 60 s apart, the older at `age`, moved older until both lie in one calendar day
    // (or one week; bucket 0: anywhere) so the row tests the zone, not the bucket edge.
    auto pair_in = [&](int64_t age, int64_t bucket) {
        int64_t newer = now - age + 60;
        while (bucket && (newer - 60) / bucket != newer / bucket)
            newer -= 120;
        return std::vector<int64_t>{newer, newer - 60};
    };
    auto days_apart = [&](int64_t age) {
        int64_t t = now - age;
        t -= t % (7 * k_day) < 3 * k_day ? 0 : 3 * k_day; // two days apart in one week
        return std::vector<int64_t>{t + 2 * k_day, t};
    };
    // Two versions a day apart in one week, the newer just over 30 days old where the week allows.
    auto week_over_30 = [&]() {
        int64_t newer = now - 30 * k_day - 400;
        while ((newer - k_day) / (7 * k_day) != newer / (7 * k_day))
            newer -= 2 * k_day;
        return std::vector<int64_t>{newer, newer - k_day};
    };
    std::vector<int64_t> hundred_five;
    for (int i = 0; i < 105; i++)
        hundred_five.push_back(now - 60 - 600 * i);
    struct {
        const char *name;
        std::vector<int64_t> times; // newest first
        std::vector<int> stay;      // indexes into times
    } rows[] = {
        {"both under 24 h stay", pair_in(k_day - 200, 0), {0, 1}},
        {"one day: over 24 h, the newer stays", pair_in(k_day + 200, k_day), {0}},
        {"two days of the 30 stay", days_apart(5 * k_day), {0, 1}},
        {"just under 30 days: one per day", pair_in(30 * k_day - 400, k_day), {0}},
        {"over 30 days: one per week", days_apart(40 * k_day), {0}},
        {"just over 30 days: one per week", week_over_30(), {0}},
        {"at most 100, the oldest go", hundred_five, {}},
    };
    for (auto &r : rows) {
        std::string id = save("{\"body\":\"current\"}");
        for (int64_t t : r.times)
            plant(id, t);
        save_body(id, "current"); // the same text: nothing kept, thinning runs
        std::vector<std::string> want;
        if (r.times.size() == 105)
            for (int i = 0; i < 100; i++)
                want.push_back(key_at(r.times[static_cast<size_t>(i)]));
        for (int i : r.stay)
            want.push_back(key_at(r.times[static_cast<size_t>(i)]));
        EXPECT_EQ(keys(id), want) << r.name;
    }
}

TEST_F(Versions, AllVersionsTogetherStayWithinTheLargerOf256MiBAndFourTimesTheNotes)
{
    const int64_t now = now_s();
    struct {
        const char *name;
        int64_t live_bytes; // the size of a planted big live note, 0 for none
        size_t left;        // of the three 100 MiB versions
    } rows[] = {
        {"over 256 MiB: the oldest goes", 0, 2},
        {"four times 100 MiB of notes allow all", 100 << 20, 3},
    };
    for (auto &r : rows) {
        TearDown();
        SetUp();
        std::string other = save("{\"body\":\"other\"}");
        for (int i = 0; i < 3; i++) {
            plant(other, now - 3 * 3600 + i * 60);
            fs::resize_file(vdir(other) + "/" + key_at(now - 3 * 3600 + i * 60) + ".md", 100u << 20); // sparse
        }
        if (r.live_bytes) {
            std::string big = save("{\"body\":\"big\"}");
            fs::resize_file(dir + "/" + big + ".md", static_cast<uintmax_t>(r.live_bytes));
        }
        std::string id = save("{\"body\":\"one\"}");
        save_body(id, "two"); // keeps "one": the total is checked
        std::vector<std::string> left = keys(other);
        EXPECT_EQ(left.size(), r.left) << r.name;
        if (r.left == 2) {
            EXPECT_EQ(left.back(), key_at(now - 3 * 3600 + 60)) << "the oldest went first";
        }
        EXPECT_EQ(keys(id).size(), 1u) << r.name;
    }
}

TEST_F(Versions, HistoryAndGetOfAVersionForALiveAndATrashedNote)
{
    std::string id = save("{\"title\":\"Plan \\\"a\\\"\",\"body\":\"first text\",\"pinned\":1}");
    save_body(id, "second text", ",\"keep\":1");
    std::vector<std::string> k = keys(id);
    ASSERT_EQ(k.size(), 1u);
    std::string row = "{\"version\":\"" + k[0] + "\",\"replaced\":\"T\",\"size\":10,\"title\":\"Plan \\\"a\\\"\"}";
    std::string history = "{\"ok\":true,\"id\":\"" + id + "\",\"count\":1,\"versions\":[\n  " + row + "\n]}\n";
    EXPECT_EQ(mask_times(ok_body("action=history&id=" + id)), history);
    EXPECT_EQ(mask_times(ok_body("action=get&id=" + id + "&version=" + k[0])),
              "{\"ok\":true,\"note\":{\"id\":\"" + id + "\",\"title\":\"Plan \\\"a\\\"\",\"pinned\":1,\"created\":\"T\"," +
                  "\"updated\":\"T\",\"body\":\"first text\"}}\n");
    // A damaged record costs only the title: the text's first line stands in.
    write_file(vdir(id) + "/versions.json", "{\"version\":\"" + k[0] + "\",\"tit");
    EXPECT_NE(ok_body("action=history&id=" + id).find("\"title\":\"first text\""), std::string::npos);

    call("action=delete&id=" + id);
    EXPECT_NE(ok_body("action=history&id=" + id).find("\"count\":1"), std::string::npos) << "versions outlive a delete";
    EXPECT_NE(ok_body("action=get&id=" + id + "&version=" + k[0]).find("\"pinned\":0,\"created\":\"\""), std::string::npos);

    const std::string not_found = "Status: 404 Not Found\r\n";
    struct {
        std::string query, expect;
    } errors[] = {
        {"action=history&id=zzzzzzzzzzzz", err_response(not_found, "note not found")},
        {"action=history&id=ZZZ", err_response("Status: 400 Bad Request\r\n", "invalid id")},
        {"action=get&id=" + id + "&version=2020-01-01T00-00-00Z", err_response(not_found, "version not found")},
        {"action=get&id=" + id + "&version=..%2F..%2Findex", err_response(not_found, "version not found")},
        {"action=get&id=" + id + "&version=versions", err_response(not_found, "version not found")},
        {"action=get&id=" + id + "&version=", err_response(not_found, "version not found")},
    };
    for (auto &e : errors)
        EXPECT_EQ(call(e.query, "", {}, "GET"), e.expect) << e.query;
}

TEST_F(Versions, RestoringAVersionWithKeepAndBaseIsItselfUndoable)
{
    std::string id = save("{\"title\":\"T\",\"body\":\"good text\"}");
    save_body(id, "bad");
    std::string kept = keys(id)[0];
    // The page's restore: the version's text with keep, naming the title it replaces.
    EXPECT_NE(call("action=save", "{\"id\":\"" + id + "\",\"title\":\"T\",\"body\":\"good text\",\"keep\":1,"
                                  "\"base_title\":\"T\"}")
                  .find("\"ok\":true"),
              std::string::npos);
    std::vector<std::string> k = keys(id);
    ASSERT_EQ(k.size(), 2u);
    EXPECT_EQ(read_file(vdir(id) + "/" + k[0] + ".md"), "bad") << "the text the restore replaced is a version";
    EXPECT_EQ(read_file(dir + "/" + id + ".md"), "good text");
    EXPECT_EQ(k[1], kept);
}

TEST_F(Versions, AStaleTitleIsRefusedLikeAStaleText)
{
    std::string id = save("{\"title\":\"mine\",\"body\":\"text\"}");
    save_body(id, "text"); // the title became "T" elsewhere; the text is unchanged
    struct {
        std::string extra;
        bool ok;
    } rows[] = {
        {",\"base_title\":\"mine\"", false},
        {",\"base_title\":\"T\"", true},
        {"", true}, // no precondition: as before
    };
    for (auto &r : rows) {
        std::string out = call("action=save", "{\"id\":\"" + id + "\",\"title\":\"new\",\"body\":\"text\"" + r.extra + "}");
        EXPECT_EQ(out.find("\"ok\":true") != std::string::npos, r.ok) << r.extra << out;
        if (!r.ok) {
            EXPECT_EQ(out, err_response("Status: 409 Conflict\r\n", "note changed elsewhere"));
        }
        save_body(id, "text");
    }
    // With copy_title the stale save becomes a new note and the other keeps its title.
    std::string out = ok_body("action=save", "{\"id\":\"" + id + "\",\"title\":\"new\",\"body\":\"text\",\"base_title\":\"mine\","
                                             "\"copy_title\":\"mine (conflicting copy)\"}");
    EXPECT_NE(out.find("\"title\":\"mine (conflicting copy)\""), std::string::npos) << out;
    EXPECT_NE(ok_body("action=get&id=" + id).find("\"title\":\"T\""), std::string::npos);
}

TEST_F(Versions, PurgeLeavesTheTextInNoFile)
{
    const std::string secret = "secret-words-7f3";
    std::string a = save("{\"title\":\"a\",\"body\":\"" + secret + "-a1\"}");
    save_body(a, secret + "-a2", ",\"keep\":1");
    std::string b = save("{\"title\":\"b\",\"body\":\"" + secret + "-b1\"}");
    save_body(b, secret + "-b2", ",\"keep\":1");
    std::string live = save("{\"title\":\"live\",\"body\":\"" + secret + "-live1\"}");
    save_body(live, secret + "-live2", ",\"keep\":1");
    call("action=delete&id=" + a);
    call("action=delete&id=" + b);
    // What a crashed write of these notes may leave behind.
    write_file(dir + "/" + a + ".md.tmp", secret + "-a-tmp");
    write_file(dir + "/.trash/" + b + ".json.tmp", secret + "-b-tmp");
    write_file(dir + "/orphan000001.md", secret + "-orphan"); // a body the index does not list

    EXPECT_EQ(ok_body("action=purge&id=" + a), "{\"ok\":true,\"purged\":1}\n");
    for (auto &f : files_holding(secret + "-a"))
        ADD_FAILURE() << "still holds a's text: " << f;
    EXPECT_FALSE(fs::exists(vdir(a)));
    EXPECT_EQ(call("action=purge&id=" + a), err_response("Status: 404 Not Found\r\n", "note not found"));
    EXPECT_EQ(keys(b).size(), 1u) << "another note's versions stay";

    EXPECT_EQ(ok_body("action=purge&all=1"), "{\"ok\":true,\"purged\":2}\n");
    for (auto &f : files_holding(secret))
        EXPECT_NE(f.find(live), std::string::npos) << "only the live note's text and versions stay: " << f;
    EXPECT_EQ(keys(live).size(), 1u);
    EXPECT_EQ(ok_body("action=trash"), "{\"ok\":true,\"count\":0,\"notes\":[]}\n");
}

TEST_F(Versions, PurgeIsRefusedForGetCrossSiteAndWithoutThePassword)
{
    std::string id = save("{\"body\":\"keep me\"}");
    call("action=delete&id=" + id);
    struct {
        const char *method;
        Env extra;
        std::string expect;
    } rows[] = {
        {"GET", {}, "Status: 405 Method Not Allowed\r\nAllow: POST\r\n" + k_json_head + "{\"ok\":false,\"error\":\"method not allowed\"}\n"},
        {"HEAD", {}, "Status: 405 Method Not Allowed\r\nAllow: POST\r\n" + k_json_head + "{\"ok\":false,\"error\":\"method not allowed\"}\n"},
        {"POST", {{"HTTP_SEC_FETCH_SITE", "cross-site"}}, err_response("Status: 403 Forbidden\r\n", "cross-site request refused")},
        {"POST", {{"ORVIK_PASSWORD", "pw"}}, ""},
    };
    for (auto &r : rows) {
        std::string out = call("action=purge&all=1", "{}", r.extra, r.method);
        if (r.expect.empty())
            EXPECT_EQ(out.rfind("Status: 401", 0), 0u) << out;
        else
            EXPECT_EQ(out, r.expect) << r.method;
        EXPECT_EQ(read_file(dir + "/.trash/" + id + ".md"), "keep me") << r.method;
    }
}

// Runs a changing request under strace, killed at the nth call of one system call (a set of
// names for one call). Returns 1 when the kill came, 0 when the request ran to its end.
static int run_killed_at(const Env &env, const std::string &body, const std::string &calls, int n)
{
    std::string inject = "inject=" + calls + ":signal=KILL:when=" + std::to_string(n);
    CgiResult r = cgi_run("/usr/bin/strace", env, body, {"-o", "/dev/null", "-e", inject, NOTES_EXE});
    return r.status == 128 + SIGKILL;
}

TEST_F(Versions, AKillAtAnyStepOfAKeepingSaveOrAPurgeLosesNoTextAndLeavesNoneBehind)
{
    if (NOTES_UNDER_WINE)
        GTEST_SKIP() << "strace's fault injection stops Linux processes only";
    if (!fs::exists("/usr/bin/strace"))
        GTEST_SKIP() << "strace is not installed (scripts/deps-extra.sh installs it)";
    const char *k_calls[] = {"openat", "write", "fsync", "link,linkat", "rename,renameat,renameat2", "unlink,unlinkat", "rmdir"};
    struct {
        const char *name, *query;
        bool purge;
    } rows[] = {
        {"a save that keeps the text it replaces", "action=save", false},
        {"purge of one trash entry", "action=purge&id=", true},
        {"empty trash", "action=purge&all=1", true},
    };
    for (auto &r : rows) {
        int runs = 0;
        for (const char *calls : k_calls) {
            for (int n = 1;; n++) {
                TearDown();
                SetUp();
                // A live note with a version, which nothing here may touch, and the one the request is about.
                std::string live = save("{\"title\":\"live\",\"body\":\"live one\"}");
                save_body(live, "live two");
                std::string id = save("{\"title\":\"x\",\"body\":\"old text\"}");
                std::string query = r.query, body;
                if (r.purge) {
                    save_body(id, "new text", ",\"keep\":1");
                    call("action=delete&id=" + id);
                    if (query.back() == '=')
                        query += id;
                } else {
                    body = "{\"id\":\"" + id + "\",\"title\":\"x\",\"body\":\"new text\",\"keep\":1}";
                }
                Env env = env_for(query, "POST");
                env["CONTENT_LENGTH"] = std::to_string(body.size());
                int killed = run_killed_at(env, body, calls, n);
                runs++;
                std::string at = std::string(r.name) + ", killed at " + calls + " #" + std::to_string(n);
                EXPECT_EQ(read_file(dir + "/" + live + ".md"), "live two") << at;
                EXPECT_EQ(keys(live).size(), 1u) << at;
                if (!r.purge) {
                    // The note keeps one of its texts, and the old one is still somewhere if it is
                    // no longer the note's.
                    std::string now = ok_body("action=get&id=" + id);
                    bool replaced = now.find("\"body\":\"new text\"") != std::string::npos;
                    EXPECT_TRUE(replaced || now.find("\"body\":\"old text\"") != std::string::npos) << at << now;
                    if (replaced) {
                        EXPECT_FALSE(files_holding("old text").empty()) << at;
                    }
                    for (auto &k : keys(id))
                        EXPECT_EQ(read_file(vdir(id) + "/" + k + ".md"), "old text") << at;
                } else {
                    // The entry is whole in the trash or gone; what a stopped purge leaves of it, the
                    // next purge of all takes away.
                    if (ok_body("action=trash").find(id) != std::string::npos) {
                        std::string back = ok_body("action=restore&id=" + id);
                        EXPECT_NE(back.find("\"ok\":true"), std::string::npos) << at << back;
                        EXPECT_EQ(read_file(dir + "/" + id + ".md"), "new text") << at;
                        call("action=delete&id=" + id);
                    }
                    ok_body("action=purge&all=1");
                    EXPECT_TRUE(files_holding("old text").empty() && files_holding("new text").empty()) << at;
                }
                if (!killed)
                    break;
                ASSERT_LT(n, 60) << at << ": the request never ran to its end";
            }
        }
        EXPECT_GT(runs, static_cast<int>(std::size(k_calls))) << r.name << ": some kill came";
    }
}

TEST_F(Versions, PurgeOfOneRowTakesExactlyTheEntryTheRowShows)
{
    std::string id = save("{\"title\":\"t\",\"body\":\"first delete\"}");
    call("action=delete&id=" + id);
    write_file(dir + "/" + id + ".md", "orphan text"); // the same id's body, unlisted
    std::string trash = ok_body("action=trash");
    std::smatch m;
    ASSERT_TRUE(std::regex_search(trash, m, std::regex("\"deleted\":\"([^\"]+)\",\"copy\":(\\d+)"))) << trash;
    std::string deleted = m[1].str(), copy = m[2].str();
    struct {
        std::string query, expect;
        std::vector<std::string> gone;
    } rows[] = {
        {"&copy=" + copy + "&deleted=2020-01-01T00:00:00Z", err_response("Status: 409 Conflict\r\n", "trash entry changed"), {}},
        {"&copy=x", err_response("Status: 404 Not Found\r\n", "note not found"), {}},
        {"&copy=" + copy + "&deleted=" + deleted, "{\"ok\":true,\"purged\":1}\n", {"first delete"}},
    };
    for (auto &r : rows) {
        std::string out = call("action=purge&id=" + id + r.query);
        EXPECT_EQ(out.size() > k_json_head.size() && out.compare(0, k_json_head.size(), k_json_head) == 0
                      ? out.substr(k_json_head.size()) : out, r.expect) << r.query;
        for (const char *text : {"first delete", "orphan text"}) {
            bool gone = std::find(r.gone.begin(), r.gone.end(), text) != r.gone.end();
            EXPECT_EQ(files_holding(text).empty(), gone) << r.query << ": " << text;
        }
    }
    // The orphan is an entry of its own, taken by a purge without a copy number.
    EXPECT_EQ(ok_body("action=purge&id=" + id), "{\"ok\":true,\"purged\":1}\n");
    EXPECT_TRUE(files_holding("orphan text").empty());
    EXPECT_EQ(ok_body("action=trash"), "{\"ok\":true,\"count\":0,\"notes\":[]}\n");
}
