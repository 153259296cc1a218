// No note ever becomes unreachable: every changing action killed at each of its system calls in
// turn, failures that must be answered as failures, special files planted under the store's
// names, and trash entries that keep their identity.
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <functional>
#include <set>
#include <vector>

#include "e2e_support.h"

static const std::string k_server = "Status: 500 Internal Server Error\r\n";

// One item of a list or trash answer (titles in these tests hold no escapes).
struct Item {
    std::string id, title, deleted;
    int pinned, copy;
};

static std::vector<Item> items_of(const std::string &answer)
{
    static const std::regex re("\\{\"id\":\"([a-z0-9]{12})\",\"title\":\"([^\"]*)\",\"pinned\":([01]),[^}]*?"
                               "(?:\"deleted\":\"([^\"]*)\",\"copy\":([0-9]+))?\\}");
    std::vector<Item> out;
    for (auto it = std::sregex_iterator(answer.begin(), answer.end(), re); it != std::sregex_iterator(); ++it) {
        const std::smatch &m = *it;
        out.push_back({m[1], m[2], m[4], m[3] == "1", m[5].matched ? std::stoi(m[5]) : -1});
    }
    return out;
}

// A note that must stay reachable with one of its texts, titles and pins. A fresh note (id
// generated, "" here) may be missing, or shown by the trash without its title (a crash between
// its body and the index).
struct Expect {
    std::string id;
    std::set<std::string> bodies, titles;
    std::set<int> pins;
    bool fresh;
};

class Crash : public Api
{
  protected:
    std::string body_of(const std::string &id)
    {
        std::string b = ok_body("action=get&id=" + id);
        std::smatch m;
        return std::regex_search(b, m, std::regex("\"body\":\"([^\"]*)\"\\}\\}")) ? m[1].str() : "<" + b + ">";
    }

    // Returns "" when every expected note is listed and readable, or in the trash and restorable
    // by its row with its text and metadata, no listed note is unaccounted for and no body file is
    // shown nowhere; else what is wrong.
    std::string unreachable(const std::vector<Expect> &want)
    {
        std::vector<bool> found(want.size());
        std::string wrong;
        auto take = [&](const Item &it, const std::string &text, bool bare) {
            for (size_t i = 0; i < want.size(); i++) {
                const Expect &e = want[i];
                if (!found[i] && (e.id.empty() || it.id == e.id) && e.bodies.count(text) &&
                    (bare ? e.fresh : e.titles.count(it.title) && e.pins.count(it.pinned)))
                    return (void)(found[i] = true);
            }
            wrong += " " + it.id + " '" + it.title + "' '" + text + "' pin " + std::to_string(it.pinned) + (bare ? " bare;" : ";");
        };
        std::vector<Item> listed = items_of(ok_body("action=list")), trash = items_of(ok_body("action=trash"));
        std::set<std::string> shown;
        for (const Item &it : listed)
            shown.insert(it.id), take(it, body_of(it.id), false);
        for (const Item &it : trash)
            shown.insert(it.id + "." + std::to_string(it.copy)), shown.insert(it.id);
        static const std::regex body_re("([a-z0-9]{12})(\\.([1-9][0-9]*))?\\.md");
        for (const std::string &folder : {dir, dir + "/.trash"})
            for (auto &f : fs::directory_iterator(folder)) {
                std::smatch m;
                std::string name = f.path().filename().string();
                if (f.is_regular_file() && std::regex_match(name, m, body_re) &&
                    !shown.count(folder == dir ? m[1].str() : m[1].str() + "." + (m[3].matched ? m[3].str() : "0")))
                    wrong += " unseen " + name + ";";
            }
        // With the listed notes out of the way, each trash row is restored, read and deleted again;
        // a row refused while another entry of its id holds the name is tried after the others.
        for (const Item &it : listed)
            call("action=delete&id=" + it.id);
        for (size_t pass = 0; !trash.empty(); pass++) {
            std::vector<Item> later;
            for (const Item &it : trash) {
                std::string r = call("action=restore&id=" + it.id + "&copy=" + std::to_string(it.copy) + "&deleted=" + it.deleted);
                if (r.find("note already exists") != std::string::npos && pass < 3)
                    later.push_back(it);
                else if (r.find("\"ok\":true") == std::string::npos)
                    wrong += " restore " + it.id + ": " + r.substr(r.rfind('{')) + ";";
                else
                    take(it, body_of(it.id), it.deleted.empty()), call("action=delete&id=" + it.id);
            }
            trash.swap(later);
        }
        for (size_t i = 0; i < want.size(); i++)
            if (!found[i] && !want[i].fresh)
                wrong += " lost '" + *want[i].bodies.begin() + "';";
        return wrong;
    }
};

// Every file under the folder with its content, in name order: what a check of the folder reads.
static std::string folder_state(const std::string &folder)
{
    std::set<std::string> files;
    for (auto &e : fs::recursive_directory_iterator(folder))
        files.insert(e.path().string() + (e.is_regular_file() ? "=" + read_file(e.path().string()) : "/") + "\n");
    std::string out;
    for (auto &f : files)
        out += f;
    return out;
}

TEST_F(Crash, EveryChangeKilledAtEachSystemCallLeavesEveryNoteReachable)
{
    if (NOTES_UNDER_WINE)
        GTEST_SKIP() << "strace follows the wine loader there, not the program's own system calls";
    if (cgi_run("/usr/bin/strace", {}, "", {"-o", "/dev/null", "/bin/true"}).status != 0)
        GTEST_SKIP() << "strace is missing or may not trace here";
    const std::string E = "eeeeeeeeeeee", O = "oooooooooooo";
    // Planted notes are titled by their id's letter.
    auto plant = [&](std::vector<std::pair<std::string, std::string>> notes) {
        std::string text = "{\"version\":1,\"notes\":[\n";
        for (auto &n : notes) {
            text += std::string(&n == &notes[0] ? "" : ",\n") + "  {\"id\":\"" + n.first + "\",\"title\":\"" + n.first[0] +
                    "\",\"pinned\":0,\"created\":\"2024-01-01T00:00:00Z\",\"updated\":\"2024-01-01T00:00:00Z\"}";
            write_file(dir + "/" + n.first + ".md", n.second);
        }
        write_file(dir + "/index.json", text + "\n]}\n");
    };
    const Expect other = {O, {"other"}, {"o"}, {0}, false}, e_old = {E, {"old"}, {"e"}, {0}, false};
    struct {
        const char *name;
        std::function<void()> setup;
        std::string query, body;
        std::vector<Expect> expect;
    } rows[] = {
        {"new note",
         [&] {
             plant({{O, "other"}});
         },
         "action=save",
         "{\"title\":\"N\",\"body\":\"new text\"}",
         {other, {"", {"new text"}, {"N"}, {0}, true}}},
        {"existing note",
         [&] {
             plant({{E, "old"}, {O, "other"}});
         },
         "action=save",
         "{\"id\":\"" + E + "\",\"title\":\"E2\",\"body\":\"new\",\"pinned\":1}",
         {{E, {"old", "new"}, {"e", "E2"}, {0, 1}, false}, other}},
        {"conflicting copy",
         [&] {
             plant({{E, "old"}});
         },
         "action=save",
         "{\"id\":\"" + E + "\",\"body\":\"mine\",\"base\":\"" + fnv_hex("stale") + "\",\"copy_title\":\"C\"}",
         {e_old, {"", {"mine"}, {"C"}, {0}, true}}},
        {"delete",
         [&] {
             plant({{E, "old"}, {O, "other"}});
         },
         "action=delete&id=" + E,
         "",
         {e_old, other}},
        {"delete with an earlier trashed copy",
         [&] {
             plant({{E, "first"}}), call("action=delete&id=" + E), plant({{E, "old"}});
         },
         "action=delete&id=" + E,
         "",
         {{E, {"first"}, {"e"}, {0}, false}, e_old}},
        {"restore",
         [&] {
             plant({{E, "old"}, {O, "other"}}), call("action=delete&id=" + E);
         },
         "action=restore&id=" + E,
         "",
         {e_old, other}},
        {"pin",
         [&] {
             plant({{E, "old"}});
         },
         "action=pin&id=" + E,
         "{\"pin\":1}",
         {{E, {"old"}, {"e"}, {0, 1}, false}}},
    };
    // On a memory filesystem when one can be mounted: what is swept is the order of the steps, and
    // flushes cost nothing there.
    struct Folder {
        std::string *dir, root, mnt;
        bool mounted;
        ~Folder()
        {
            if (mounted)
                umount(mnt.c_str());
            *dir = root;
        }
    } folder{&dir, dir, dir + "/m", false};
    fs::create_directories(folder.mnt);
    folder.mounted = mount("tmpfs", folder.mnt.c_str(), "tmpfs", 0, "size=16m") == 0;
    const std::string work = dir = folder.mnt + "/notes", trace = folder.mnt + "/trace.txt", start = folder.mnt + "/start";
    for (auto &s : rows) {
        fs::remove_all(work);
        fs::remove_all(start);
        fs::create_directories(work);
        s.setup();
        fs::copy(work, start, fs::copy_options::recursive);
        Env env = env_for(s.query, "POST");
        env["CONTENT_LENGTH"] = std::to_string(s.body.size());
        env["ASAN_OPTIONS"] = "detect_leaks=0"; // a sanitizer build's leak checker refuses to run traced
        // One traced run gives the request's system calls; the sweep starts at the first that names
        // the notes folder, since nothing before it can change a file.
        ASSERT_EQ(cgi_run("/usr/bin/strace", env, s.body, {"-o", trace, NOTES_EXE}).status, 0) << s.name;
        std::vector<std::string> calls;
        size_t first = 0;
        std::ifstream in(trace);
        std::smatch m;
        for (std::string line; std::getline(in, line);)
            if (std::regex_search(line, m, std::regex("^([a-z0-9_]+)\\("))) {
                calls.push_back(m[1]);
                first = first ? first : line.find(work) != std::string::npos ? calls.size() : 0;
            }
        ASSERT_GT(first, 0u) << s.name;
        int kills = 0;
        std::set<std::string> seen;
        for (size_t n = first; n <= calls.size(); n++) {
            int nth = static_cast<int>(std::count(calls.begin(), calls.begin() + static_cast<long>(n), calls[n - 1]));
            std::string inject = "inject=" + calls[n - 1] + ":signal=KILL:when=" + std::to_string(nth);
            kills += cgi_run("/usr/bin/strace", env, s.body, {"-o", "/dev/null", "-e", inject, NOTES_EXE}).out.find("\"ok\"") ==
                     std::string::npos;
            // Most kills leave the files as an earlier one did: each state is checked once.
            if (seen.insert(folder_state(work)).second) {
                EXPECT_EQ(unreachable(s.expect), "") << s.name << ": killed at call " << n << " (" << calls[n - 1] << " #" << nth << ")";
            }
            fs::remove_all(work);
            fs::copy(start, work, fs::copy_options::recursive);
        }
        EXPECT_GT(kills, 3) << s.name << ": the sweep killed the request part-way";
        EXPECT_NE(call(s.query, s.body).find("\"ok\":true"), std::string::npos) << s.name;
        EXPECT_EQ(unreachable(s.expect), "") << s.name << ": completed";
    }
}

TEST_F(Crash, DeleteThatCannotReachTheTrashIsRefusedAndChangesNothing)
{
    if (NOTES_UNDER_WINE)
        GTEST_SKIP() << "other accounts and small Linux filesystems are not seen by a Windows program under wine";
    std::string id = save("{\"title\":\"kept\",\"body\":\"kept text\",\"pinned\":1}"), index = index_text();
    const std::string refused = err_response(k_server, "could not move note to trash");
    auto unchanged = [&](const std::string &why) {
        EXPECT_EQ(index_text(), index) << why;
        EXPECT_EQ(read_file(dir + "/" + id + ".md"), "kept text") << why;
    };
    // Every copy number of the identifier taken by files planted in the trash.
    for (int k = 0; k <= 9999; k++)
        write_file(dir + "/.trash/" + (k ? id + "." + std::to_string(k) : id) + ".md", "");
    EXPECT_EQ(call("action=delete&id=" + id), refused) << "copy numbers exhausted";
    unchanged("copy numbers exhausted");
    fs::remove_all(dir + "/.trash");
    fs::create_directories(dir + "/.trash");
    // A trash the server's account cannot write (it belongs to another user).
    if (getuid() != 0 || access("/usr/bin/setpriv", X_OK) != 0)
        GTEST_SKIP() << "running a request as another account needs root and setpriv";
    for (auto &e : fs::recursive_directory_iterator(dir))
        (void)!chown(e.path().c_str(), 65534, 65534);
    (void)!chown(dir.c_str(), 65534, 65534);
    (void)!chown((dir + "/.trash").c_str(), 0, 0);
    chmod((dir + "/.trash").c_str(), 0755);
    EXPECT_EQ(
        cgi_run("/usr/bin/setpriv", env_for("action=delete&id=" + id), "", {"--reuid=65534", "--regid=65534", "--clear-groups", NOTES_EXE})
            .out,
        refused);
    unchanged("trash of another account");
    // One free page left: the record fits, the index does not.
    std::string mnt = dir + "/small", saved = dir;
    fs::create_directories(mnt);
    if (mount("tmpfs", mnt.c_str(), "tmpfs", 0, "size=64k") != 0)
        GTEST_SKIP() << "this machine does not allow mounting a small filesystem";
    dir = mnt;
    id = save("{\"title\":\"kept\",\"body\":\"kept text\",\"pinned\":1}");
    index = index_text();
    struct statvfs sv;
    statvfs(mnt.c_str(), &sv);
    write_file(mnt + "/filler", std::string(sv.f_bavail * sv.f_bsize - 4096, 'f'));
    std::string out = call("action=delete&id=" + id), list = ok_body("action=list");
    unchanged("one free page");
    umount(mnt.c_str());
    dir = saved;
    EXPECT_TRUE(out == refused || out == err_response(k_server, "could not write index")) << out;
    EXPECT_NE(list.find("\"title\":\"kept\",\"pinned\":1"), std::string::npos) << list;
}

TEST_F(Crash, FailedLookUpOrReadOfAStoreNameIsNeverTakenForAMissingOne)
{
    if (NOTES_UNDER_WINE)
        GTEST_SKIP() << "strace follows the wine loader there, not the program's own system calls";
    const std::string E = "eeeeeeeeeeee", X = "xxxxxxxxxxxx", lost = "could not write note", kept = "\"title\":\"kept\",\"pinned\":1";
    auto orphan = [&] {
        write_file(dir + "/" + X + ".md", "orphan text");
        write_file(dir + "/.trash/" + X + ".json", "{\"id\":\"" + X + "\"," + kept + ",\"created\":\"\",\"updated\":\"\",\"deleted\":\"2024-01-03T00:00:00Z\"}\n");
    };
    // The request runs with the named system calls on one name failing (EIO) from the when-th on;
    // afterwards the note titled "kept" is still shown by the check's answer.
    struct {
        const char *name;
        std::function<void()> setup;
        std::string file, calls, when, query, body, answer, check;
    } rows[] = {
        {"delete whose body cannot be looked up", [] {}, E + ".md", "%%stat", "1", "delete&id=" + E, "", "\"ok\":true", "trash"},
        {"delete beside a copy that cannot be looked up", [&] { call("action=delete&id=" + E), save("{\"id\":\"" + E + "\",\"body\":\"b\"}"); },
         ".trash/" + E + ".md", "%%stat", "1+", "delete&id=" + E, "", "could not move note to trash", "trash"},
        {"save naming an orphan that cannot be looked up", orphan, X + ".md", "%%stat", "1+", "save", "{\"id\":\"" + X + "\",\"body\":\"n\"}",
         lost, "restore&id=" + X},
        {"restore whose record cannot be read", [&] { call("action=delete&id=" + E); }, ".trash/" + E + ".json", "read", "1+",
         "restore&id=" + E, "", lost, "restore&id=" + E},
        {"save while the index cannot be opened or looked up", [] {}, "index.json", "%%stat,openat", "1+", "save", "{\"body\":\"n\"}",
         "could not write index", "list"},
        {"restore of an orphan while the trash cannot be listed", orphan, ".trash", "getdents64", "1+", "restore&id=" + X, "",
         "note not found", "restore&id=" + X},
    };
    for (auto &r : rows) {
        fs::remove_all(dir);
        save("{\"id\":\"" + E + "\",\"title\":\"kept\",\"body\":\"kept text\",\"pinned\":1}");
        r.setup();
        Env env = env_for("action=" + r.query, "POST");
        env["CONTENT_LENGTH"] = std::to_string(r.body.size());
        env["ASAN_OPTIONS"] = "detect_leaks=0"; // a sanitizer build's leak check cannot run traced
        std::string inject = "inject=" + r.calls + ":error=EIO:when=" + r.when;
        CgiResult c = cgi_run("/usr/bin/strace", env, r.body, {"-o", "/dev/null", "-P", dir + "/" + r.file, "-e", inject, NOTES_EXE});
        EXPECT_NE(c.out.find(r.answer), std::string::npos) << r.name << ": " << c.out;
        std::string after = call("action=" + r.check);
        EXPECT_NE(after.find(kept), std::string::npos) << r.name << ": " << after;
    }
}

TEST_F(Crash, NoRequestWaitsOnASpecialFile)
{
    if (NOTES_UNDER_WINE)
        GTEST_SKIP() << "Linux FIFOs planted under a Windows program's names were not tried under wine";
    const std::string f = "ffffffffffff", g = "gggggggggggg";
    struct {
        std::string planted;
        std::vector<std::pair<std::string, std::string>> requests; // query, text the answer holds
    } rows[] = {
        {"index.json",
         {{"list", "\"count\":0"},
          {"trash", "\"ok\":true"},
          {"save", "could not write index"},
          {"delete&id=" + f, "could not write index"}}},
        {".trash/" + g + ".json", {{"trash", "\"title\":\"gone text\""}, {"restore&id=" + g, "\"ok\":true"}}},
        {f + ".md",
         {{"get&id=" + f, "\"body\":\"\""}, {"search&q=x", "\"ok\":true"}, {"save", "\"ok\":true"}, {"delete&id=" + f, "\"ok\":true"}}},
    };
    for (auto &r : rows) {
        fs::remove_all(dir);
        save("{\"id\":\"" + f + "\",\"body\":\"f text\"}");
        save("{\"id\":\"" + g + "\",\"body\":\"gone text\"}");
        call("action=delete&id=" + g);
        fs::remove(dir + "/" + r.planted);
        ASSERT_EQ(mkfifo((dir + "/" + r.planted).c_str(), 0600), 0);
        for (auto &q : r.requests) {
            // A request that waited on the FIFO would be stopped by timeout (status 124).
            std::string body = q.first == "save" ? "{\"body\":\"x\"}" : "";
            Env env = env_for("action=" + q.first, "POST");
            env["CONTENT_LENGTH"] = std::to_string(body.size());
            CgiResult c = cgi_run("/usr/bin/timeout", env, body, {"10", NOTES_EXE});
            EXPECT_EQ(c.status, 0) << r.planted << " " << q.first;
            EXPECT_NE(c.out.find(q.second), std::string::npos) << r.planted << " " << q.first << ": " << c.out;
        }
    }
}

TEST_F(Crash, TrashEntriesKeepTheirIdentityAndNoBodyIsHidden)
{
    const std::string id = "ssssssssssss", orphan = "pppppppppppp";
    auto put = [&](const std::string &text) { save("{\"id\":\"" + id + "\",\"title\":\"" + text + "\",\"body\":\"" + text + "\"}"); };
    auto restore = [&](const std::string &extra) { return call("action=restore&id=" + id + extra); };
    // A stale view: its row showed copy 0 deleted earlier; another delete has taken copy 0 since.
    put("first");
    call("action=delete&id=" + id);
    std::string record = dir + "/.trash/" + id + ".json";
    write_file(record, std::regex_replace(read_file(record), std::regex("\"deleted\":\"[^\"]*\""), "\"deleted\":\"2020-01-01T00:00:00Z\""));
    EXPECT_NE(restore("&copy=0&deleted=2020-01-01T00:00:00Z").find("\"title\":\"first\""), std::string::npos);
    put("second");
    call("action=delete&id=" + id);
    std::string index = index_text();
    EXPECT_EQ(restore("&copy=0&deleted=2020-01-01T00:00:00Z"), err_response("Status: 409 Conflict\r\n", "trash entry changed"));
    EXPECT_EQ(index_text(), index);
    EXPECT_NE(restore("&copy=0&deleted=" + items_of(ok_body("action=trash"))[0].deleted).find("\"title\":\"second\""), std::string::npos);
    // Copies 0, 1, 2; copy 0 restored and its note gone again without a body: restore without a
    // number takes the latest delete left, and no entry was renamed.
    call("action=delete&id=" + id);
    for (const char *t : {"third", "fourth"})
        put(t), call("action=delete&id=" + id);
    EXPECT_NE(restore("&copy=0").find("\"title\":\"second\""), std::string::npos);
    fs::remove(dir + "/" + id + ".md");
    call("action=delete&id=" + id);
    EXPECT_NE(restore("").find("\"title\":\"fourth\""), std::string::npos);
    EXPECT_EQ(read_file(dir + "/.trash/" + id + ".1.md"), "third");
    // A body the index does not list, beside the record a crashed delete wrote for it (copy 1),
    // is listed with that record, and a save naming it moves it into the trash as that entry.
    write_file(dir + "/" + orphan + ".md", "orphan text");
    write_file(dir + "/.trash/" + orphan + ".md", "older");
    write_file(dir + "/.trash/" + orphan + ".1.json", "{\"id\":\"" + orphan +
                                                          "\",\"title\":\"Orphan\",\"pinned\":1,\"created\":\"\","
                                                          "\"updated\":\"\",\"deleted\":\"2024-01-03T00:00:00Z\"}\n");
    write_file(dir + "/.trash/" + orphan + ".json.tmp", "{\"id\":\"" + orphan + "\",\"title\":\"half");
    const std::string row = "{\"id\":\"" + orphan +
                            "\",\"title\":\"Orphan\",\"pinned\":1,\"created\":\"\",\"updated\":\"\","
                            "\"deleted\":\"2024-01-03T00:00:00Z\",\"copy\":1}";
    EXPECT_NE(ok_body("action=trash").find(row), std::string::npos);
    save("{\"id\":\"" + orphan + "\",\"body\":\"new text\"}");
    EXPECT_EQ(read_file(dir + "/.trash/" + orphan + ".1.md"), "orphan text");
    std::string trash = ok_body("action=trash");
    EXPECT_NE(trash.find(row), std::string::npos) << trash;
    EXPECT_EQ(items_of(trash).size(), 3u) << "third, the orphan and its older copy; no temporary";
}

TEST_F(Crash, TrashRecordOutOfItsStoredFormsFallsBackToTheBody)
{
    const std::string id = "rrrrrrrrrrrr";
    const std::string good = "{\"id\":\"" + id + "\",\"title\":\"Kept\",\"pinned\":1,\"created\":\"2024-02-29T23:59:59Z\"," +
                             "\"updated\":\"2024-03-01T00:00:00Z\",\"deleted\":\"2024-03-02T00:00:00Z\"}\n";
    const std::pair<std::string, std::string> rows[] = {
        {"", ""}, // as written: trusted
        {"2024-03-01T00:00:00Z", "2099-99-99"},
        {"2024-03-01T00:00:00Z", "2023-02-29T00:00:00Z"},
        {"23:59:59Z", "24:00:00Z"},
        {"\"pinned\":1", "\"pinned\":7"},
        {"\"deleted\"", "\"gone\""},
        {"\"id\":\"" + id, "\"id\":\"aaaaaaaaaaaa"},
    };
    fs::create_directories(dir + "/.trash");
    write_file(dir + "/.trash/" + id + ".md", "# First line\nrest");
    for (auto &r : rows) {
        std::string rec = good;
        if (!r.first.empty())
            rec.replace(rec.find(r.first), r.first.size(), r.second);
        write_file(dir + "/.trash/" + id + ".json", rec);
        std::vector<Item> items = items_of(ok_body("action=trash"));
        ASSERT_EQ(items.size(), 1u) << r.second;
        bool trusted = r.first.empty();
        EXPECT_EQ(items[0].title + " " + std::to_string(items[0].pinned) + " " + items[0].deleted,
                  trusted ? "Kept 1 2024-03-02T00:00:00Z" : "First line 0 ")
            << r.second;
    }
}

TEST_F(Crash, ConflictingCopyAtTheNoteLimitIsKeptInTheTrash)
{
    write_full_index();
    std::string index = index_text();
    std::string copy =
        "{\"id\":\"n00000000001\",\"body\":\"mine\",\"base\":\"" + fnv_hex("seen") + "\",\"copy_title\":\"Mine (conflicting copy)\"}";
    EXPECT_EQ(call("action=save", copy), err_response(k_server, "note limit reached; copy kept in trash"));
    EXPECT_EQ(call("action=save", "{\"body\":\"plain new\"}"), err_response(k_server, "note limit reached"));
    EXPECT_EQ(index_text(), index);
    std::vector<Item> items = items_of(ok_body("action=trash"));
    ASSERT_EQ(items.size(), 1u);
    EXPECT_EQ(items[0].title, "Mine (conflicting copy)");
    call("action=delete&id=n00000000002");
    EXPECT_NE(call("action=restore&id=" + items[0].id).find("\"title\":\"Mine (conflicting copy)\""), std::string::npos);
    EXPECT_NE(ok_body("action=get&id=" + items[0].id).find("\"body\":\"mine\""), std::string::npos);
}
