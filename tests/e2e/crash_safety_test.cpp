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
static const std::string k_conflict = "Status: 409 Conflict\r\n";

// The base a client sends: 64-bit FNV-1a of the body bytes as 16 lowercase hex digits.
static std::string fnv(const std::string &s)
{
    uint64_t h = 0xcbf29ce484222325u;
    for (unsigned char c : s)
        h = (h ^ c) * 0x100000001b3u;
    char out[17];
    snprintf(out, sizeof out, "%016llx", static_cast<unsigned long long>(h));
    return out;
}

// One item of a list or trash answer (titles in these tests hold no escapes).
struct Item {
    std::string id, title, created, updated, deleted;
    int pinned = 0, copy = -1;
};

static std::vector<Item> items_of(const std::string &answer)
{
    static const std::regex re("\\{\"id\":\"([a-z0-9]{12})\",\"title\":\"([^\"]*)\",\"pinned\":([01]),\"created\":\"([^\"]*)\","
                               "\"updated\":\"([^\"]*)\"(?:,\"deleted\":\"([^\"]*)\",\"copy\":([0-9]+))?\\}");
    std::vector<Item> out;
    for (auto it = std::sregex_iterator(answer.begin(), answer.end(), re); it != std::sregex_iterator(); ++it) {
        const std::smatch &m = *it;
        out.push_back({m[1], m[2], m[4], m[5], m[6], m[3] == "1", m[7].matched ? std::stoi(m[7]) : -1});
    }
    return out;
}

// A note as it must stay reachable: one of its texts, titles and pins, its created time when
// known, and whether a crash may leave it without its metadata (a new note's body before its index).
struct Expect {
    std::string id; // "" for a note whose identifier is generated
    std::set<std::string> bodies, titles;
    std::set<int> pins;
    std::string created; // "" when any
    bool optional = false, bare_ok = false;
};

class Crash : public Api {
protected:
    std::string body_of(const std::string &id)
    {
        std::string b = ok_body("action=get&id=" + id);
        std::smatch m;
        return std::regex_search(b, m, std::regex("\"body\":\"([^\"]*)\"\\}\\}")) ? m[1].str() : "<" + b + ">";
    }

    // Returns "" when every expected note is listed and readable, or in the trash and restorable
    // with its text and metadata, and no listed note is unaccounted for; else what is wrong.
    std::string unreachable(const std::vector<Expect> &want)
    {
        std::vector<bool> found(want.size());
        auto fits = [&](const Expect &e, const Item &it, const std::string &text, bool bare) {
            if ((!e.id.empty() && it.id != e.id) || !e.bodies.count(text))
                return false;
            if (bare)
                return e.bare_ok;
            return e.titles.count(it.title) && e.pins.count(it.pinned) && (e.created.empty() || it.created == e.created);
        };
        std::string wrong;
        std::vector<Item> listed = items_of(ok_body("action=list")), trash = items_of(ok_body("action=trash"));
        for (const Item &it : listed) {
            std::string text = body_of(it.id);
            bool matched = false;
            for (size_t i = 0; i < want.size() && !matched; i++)
                if (!found[i] && fits(want[i], it, text, false))
                    found[i] = matched = true;
            if (!matched)
                wrong += " listed " + it.id + " '" + it.title + "' '" + text + "' pinned " + std::to_string(it.pinned) + ";";
        }
        // Nothing on disk is invisible: every body is listed, or shown by the trash under its number.
        std::set<std::string> shown;
        for (const Item &it : listed)
            shown.insert(it.id);
        for (const Item &it : trash)
            shown.insert(it.id), shown.insert(it.id + "." + std::to_string(it.copy));
        static const std::regex body_re("([a-z0-9]{12})(\\.([1-9][0-9]*))?\\.md");
        for (const std::string &folder : {dir, dir + "/.trash"})
            for (auto &f : fs::directory_iterator(folder)) {
                std::smatch m;
                std::string name = f.path().filename().string();
                if (!f.is_regular_file() || !std::regex_match(name, m, body_re))
                    continue;
                std::string key = folder == dir ? m[1].str() : m[1].str() + "." + (m[3].matched ? m[3].str() : "0");
                if (!shown.count(key))
                    wrong += " unseen " + folder.substr(dir.size()) + "/" + name + ";";
            }
        // Each trash entry is restored by its row (copy and deleted time), read and deleted again,
        // with the listed notes out of the way; a row refused while another entry of its identifier
        // holds the name is tried again after the others.
        for (const Item &it : listed)
            call("action=delete&id=" + it.id);
        for (size_t pass = 0; pass <= trash.size() && !trash.empty(); pass++) {
            std::vector<Item> later;
            for (const Item &it : trash) {
                std::string r = call("action=restore&id=" + it.id + "&copy=" + std::to_string(it.copy) + "&deleted=" + it.deleted);
                if (r.find("note already exists") != std::string::npos && pass < trash.size()) {
                    later.push_back(it);
                    continue;
                }
                if (r.find("\"ok\":true") == std::string::npos) {
                    wrong += " restore " + it.id + ": " + r.substr(r.rfind('{')) + ";";
                    continue;
                }
                std::string text = body_of(it.id);
                for (size_t i = 0; i < want.size(); i++)
                    if (!found[i] && fits(want[i], it, text, it.deleted.empty())) {
                        found[i] = true;
                        break;
                    }
                call("action=delete&id=" + it.id);
            }
            trash.swap(later);
        }
        for (size_t i = 0; i < want.size(); i++)
            if (!found[i] && !want[i].optional)
                wrong += " lost " + (want[i].id.empty() ? "new note" : want[i].id) + " '" + *want[i].bodies.begin() + "';";
        return wrong;
    }
};

// Every file under the folder with its content, in name order: what a check of the folder depends on.
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

// One changing request and the state it starts from.
struct Situation {
    const char *name;
    std::function<void()> setup;
    std::string query, body;
    std::vector<Expect> expect;
};

TEST_F(Crash, EveryChangeKilledAtEachSystemCallLeavesEveryNoteReachable)
{
    if (NOTES_UNDER_WINE)
        GTEST_SKIP() << "strace follows the wine loader there, not the program's own system calls";
    if (access("/usr/bin/strace", X_OK) != 0 || cgi_run("/usr/bin/strace", {}, "", {"-o", "/dev/null", "/bin/true"}).status != 0)
        GTEST_SKIP() << "strace is missing or may not trace here";
    const std::string E = "eeeeeeeeeeee", O = "oooooooooooo", T0 = "2024-01-01T00:00:00Z";
    // The starting notes are planted, so their dates are known.
    auto plant = [&](std::vector<std::pair<std::string, std::string>> notes) {
        std::string text = "{\"version\":1,\"notes\":[\n";
        for (size_t i = 0; i < notes.size(); i++) {
            text += std::string(i ? ",\n" : "") + "  {\"id\":\"" + notes[i].first + "\",\"title\":\"" + notes[i].first.substr(0, 1) +
                    "\",\"pinned\":0,\"created\":\"2024-01-01T00:00:00Z\",\"updated\":\"2024-01-01T00:00:00Z\"}";
            write_file(dir + "/" + notes[i].first + ".md", notes[i].second);
        }
        write_file(dir + "/index.json", text + "\n]}\n");
    };
    auto other = [&] { return Expect{O, {"other"}, {"o"}, {0}, T0}; };
    std::vector<Situation> rows = {
        {"new note", [&] { plant({{O, "other"}}); }, "action=save", "{\"title\":\"N\",\"body\":\"new text\"}",
         {other(), {"", {"new text"}, {"N"}, {0}, "", true, true}}},
        {"existing note", [&] { plant({{E, "old"}, {O, "other"}}); }, "action=save",
         "{\"id\":\"" + E + "\",\"title\":\"E2\",\"body\":\"new\",\"pinned\":1}", {{E, {"old", "new"}, {"e", "E2"}, {0, 1}, T0}, other()}},
        {"conflicting copy", [&] { plant({{E, "old"}}); }, "action=save",
         "{\"id\":\"" + E + "\",\"body\":\"mine\",\"base\":\"" + fnv("stale") + "\",\"copy_title\":\"C\"}",
         {{E, {"old"}, {"e"}, {0}, T0}, {"", {"mine"}, {"C"}, {0}, "", true, true}}},
        {"delete", [&] { plant({{E, "old"}, {O, "other"}}); }, "action=delete&id=" + E, "",
         {{E, {"old"}, {"e"}, {0}, T0}, other()}},
        {"delete with an earlier trashed copy",
         [&] {
             plant({{E, "first"}});
             call("action=delete&id=" + E);
             plant({{E, "second"}});
         },
         "action=delete&id=" + E, "", {{E, {"first"}, {"e"}, {0}, T0}, {E, {"second"}, {"e"}, {0}, T0}}},
        {"restore",
         [&] {
             plant({{E, "old"}, {O, "other"}});
             call("action=delete&id=" + E);
         },
         "action=restore&id=" + E, "", {{E, {"old"}, {"e"}, {0}, T0}, other()}},
        {"pin", [&] { plant({{E, "old"}}); }, "action=pin&id=" + E, "{\"pin\":1}", {{E, {"old"}, {"e"}, {0, 1}, T0}}},
    };
    // On a memory filesystem when one can be mounted: flushes there cost nothing, and what is
    // swept is the order of the steps, not their durability.
    struct Folder {
        std::string *dir;
        std::string root, mnt;
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
    dir = folder.mnt + "/notes";
    std::string trace = folder.mnt + "/trace.txt", start = folder.mnt + "/start";
    for (const Situation &s : rows) {
        std::string work = dir;
        fs::remove_all(work);
        fs::create_directories(work);
        s.setup();
        fs::remove_all(start);
        fs::copy(work, start, fs::copy_options::recursive);
        Env env = env_for(s.query, "POST");
        if (!s.body.empty())
            env["CONTENT_LENGTH"] = std::to_string(s.body.size());
        env["ASAN_OPTIONS"] = "detect_leaks=0"; // the leak checker of a sanitizer build refuses to run traced
        // One traced run gives the request's system calls; the sweep starts at the first that
        // names the notes folder, since nothing before it can change a file.
        ASSERT_EQ(cgi_run("/usr/bin/strace", env, s.body, {"-o", trace, NOTES_EXE}).status, 0) << s.name;
        std::vector<std::string> calls;
        size_t first = 0;
        std::ifstream in(trace);
        static const std::regex call_re("^([a-z0-9_]+)\\(");
        for (std::string line; std::getline(in, line);) {
            std::smatch m;
            if (!std::regex_search(line, m, call_re))
                continue;
            if (!first && line.find(work) != std::string::npos)
                first = calls.size() + 1;
            calls.push_back(m[1]);
        }
        ASSERT_GT(first, 0u) << s.name;
        int kills = 0;
        std::set<std::string> seen;
        for (size_t n = first; n <= calls.size(); n++) {
            int m = 0;
            for (size_t k = 0; k < n; k++)
                m += calls[k] == calls[n - 1];
            std::string inject = "inject=" + calls[n - 1] + ":signal=KILL:when=" + std::to_string(m);
            CgiResult r = cgi_run("/usr/bin/strace", env, s.body, {"-o", "/dev/null", "-e", inject, NOTES_EXE});
            kills += r.out.find("{\"ok\"") == std::string::npos;
            // A state already checked (most kills leave the files as an earlier kill did) is not checked again.
            if (seen.insert(folder_state(work)).second) {
                EXPECT_EQ(unreachable(s.expect), "") << s.name << ": killed at call " << n << " (" << calls[n - 1] << " #" << m << ")";
            }
            fs::remove_all(work);
            fs::copy(start, work, fs::copy_options::recursive);
        }
        EXPECT_GT(kills, 3) << s.name << ": the sweep killed the request part-way";
        // Uninterrupted, the request does what it says and leaves every note reachable as well.
        EXPECT_NE(call(s.query, s.body).find("\"ok\":true"), std::string::npos) << s.name;
        EXPECT_EQ(unreachable(s.expect), "") << s.name << ": completed";
    }
}

// Runs a request as the unprivileged account 65534 through setpriv.
static CgiResult as_nobody(const Env &env)
{
    return cgi_run("/usr/bin/setpriv", env, "", {"--reuid=65534", "--regid=65534", "--clear-groups", NOTES_EXE});
}

TEST_F(Crash, DeleteThatCannotReachTheTrashIsRefusedAndChangesNothing)
{
    if (NOTES_UNDER_WINE)
        GTEST_SKIP() << "other accounts and small Linux filesystems are not seen by a Windows program under wine";
    std::string id = save("{\"title\":\"kept\",\"body\":\"kept text\"}");
    std::string index = index_text();
    const std::string refused = err_response(k_server, "could not move note to trash");
    // Every copy number of the identifier taken by files planted in the trash.
    fs::create_directories(dir + "/.trash");
    write_file(dir + "/.trash/" + id + ".md", "");
    for (int k = 1; k <= 9999; k++)
        write_file(dir + "/.trash/" + id + "." + std::to_string(k) + ".md", "");
    EXPECT_EQ(call("action=delete&id=" + id), refused) << "copy numbers exhausted";
    EXPECT_EQ(index_text(), index);
    EXPECT_EQ(read_file(dir + "/" + id + ".md"), "kept text");
    fs::remove_all(dir + "/.trash");
    fs::create_directories(dir + "/.trash");

    // A trash the server's account cannot write (it belongs to another user).
    if (getuid() != 0 || access("/usr/bin/setpriv", X_OK) != 0) {
        GTEST_SKIP() << "running a request as another account needs root and setpriv";
    }
    for (auto &e : fs::recursive_directory_iterator(dir))
        (void)!chown(e.path().c_str(), 65534, 65534);
    (void)!chown(dir.c_str(), 65534, 65534);
    (void)!chown((dir + "/.trash").c_str(), 0, 0);
    chmod((dir + "/.trash").c_str(), 0755);
    CgiResult r = as_nobody(env_for("action=delete&id=" + id));
    EXPECT_EQ(r.out, refused) << "trash not writable";
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(index_text(), index);
    EXPECT_EQ(read_file(dir + "/" + id + ".md"), "kept text");

    // A filesystem with one free page left: the record fits, the index does not.
    std::string mnt = dir + "/small";
    fs::create_directories(mnt);
    if (mount("tmpfs", mnt.c_str(), "tmpfs", 0, "size=64k") != 0)
        GTEST_SKIP() << "this machine does not allow mounting a small filesystem";
    std::string saved = dir;
    dir = mnt;
    id = save("{\"title\":\"small\",\"body\":\"small text\",\"pinned\":1}");
    index = index_text();
    struct statvfs sv;
    statvfs(mnt.c_str(), &sv);
    write_file(mnt + "/filler", std::string(sv.f_bavail * sv.f_bsize - 4096, 'f'));
    std::string out = call("action=delete&id=" + id);
    std::string index_after = index_text(), body_after = read_file(mnt + "/" + id + ".md");
    std::string list = ok_body("action=list");
    umount(mnt.c_str());
    dir = saved;
    EXPECT_TRUE(out == refused || out == err_response(k_server, "could not write index")) << out;
    EXPECT_EQ(index_after, index);
    EXPECT_EQ(body_after, "small text");
    EXPECT_NE(list.find("\"title\":\"small\",\"pinned\":1"), std::string::npos) << list;
}

TEST_F(Crash, NoRequestWaitsOnASpecialFile)
{
    if (NOTES_UNDER_WINE)
        GTEST_SKIP() << "Linux FIFOs planted under a Windows program's names were not tried under wine";
    const std::string id = "ffffffffffff", gone = "gggggggggggg";
    struct {
        std::string planted; // relative to the notes folder
        std::vector<std::pair<std::string, std::string>> requests; // query, text the answer holds
    } rows[] = {
        {"index.json",
         {{"action=list", "{\"ok\":true,\"count\":0"}, {"action=trash", "\"ok\":true"}, {"action=get&id=" + id, "note not found"},
          {"action=save", "could not write index"}, {"action=delete&id=" + id, "could not write index"}}},
        {".trash/" + gone + ".json",
         {{"action=trash", "\"id\":\"" + gone + "\",\"title\":\"gone text\""}, {"action=restore&id=" + gone, "\"ok\":true"}}},
        {id + ".md",
         {{"action=get&id=" + id, "\"body\":\"\""}, {"action=search&q=x", "\"ok\":true"}, {"action=trash", "\"ok\":true"},
          {"action=save", "\"ok\":true"}, {"action=delete&id=" + id, "\"ok\":true"}}},
    };
    for (auto &r : rows) {
        fs::remove_all(dir);
        fs::create_directories(dir + "/.trash");
        save("{\"id\":\"" + id + "\",\"title\":\"f\",\"body\":\"f text\"}");
        save("{\"id\":\"" + gone + "\",\"title\":\"g\",\"body\":\"gone text\"}");
        call("action=delete&id=" + gone);
        fs::remove(dir + "/" + r.planted);
        ASSERT_EQ(mkfifo((dir + "/" + r.planted).c_str(), 0600), 0);
        for (auto &q : r.requests) {
            // A request that waited on the FIFO would be stopped by timeout (status 124).
            Env env = env_for(q.first, "POST");
            std::string body = q.first == "action=save" ? "{\"body\":\"x\"}" : "";
            env["CONTENT_LENGTH"] = std::to_string(body.size());
            CgiResult c = cgi_run("/usr/bin/timeout", env, body, {"10", NOTES_EXE});
            EXPECT_EQ(c.status, 0) << r.planted << " " << q.first;
            EXPECT_NE(c.out.find(q.second), std::string::npos) << r.planted << " " << q.first << ": " << c.out;
        }
    }
}

TEST_F(Crash, TrashEntriesKeepTheirIdentity)
{
    const std::string id = "ssssssssssss";
    auto put = [&](const std::string &text) { save("{\"id\":\"" + id + "\",\"title\":\"" + text + "\",\"body\":\"" + text + "\"}"); };
    auto restore = [&](const std::string &extra) { return call("action=restore&id=" + id + extra); };
    // A stale view: the row showed copy 0 deleted at an earlier time; another delete took copy 0 since.
    put("first");
    call("action=delete&id=" + id);
    std::string record = read_file(dir + "/.trash/" + id + ".json");
    std::string shown = std::regex_replace(record, std::regex("\"deleted\":\"[^\"]*\""), "\"deleted\":\"2020-01-01T00:00:00Z\"");
    write_file(dir + "/.trash/" + id + ".json", shown);
    EXPECT_NE(restore("&copy=0&deleted=2020-01-01T00:00:00Z").find("\"title\":\"first\""), std::string::npos);
    put("second");
    call("action=delete&id=" + id);
    std::string index = index_text();
    EXPECT_EQ(restore("&copy=0&deleted=2020-01-01T00:00:00Z"), err_response(k_conflict, "trash entry changed"));
    EXPECT_EQ(index_text(), index);
    EXPECT_EQ(read_file(dir + "/.trash/" + id + ".md"), "second");
    std::vector<Item> rows = items_of(ok_body("action=trash"));
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_NE(restore("&copy=0&deleted=" + rows[0].deleted).find("\"title\":\"second\""), std::string::npos);

    // Copies 0, 1, 2; with copy 0 restored and its note gone again (no body), restore without a
    // copy number takes the latest delete left.
    call("action=delete&id=" + id);
    for (const char *t : {"third", "fourth"}) {
        put(t);
        call("action=delete&id=" + id);
    }
    EXPECT_NE(restore("&copy=0").find("\"title\":\"second\""), std::string::npos);
    fs::remove(dir + "/" + id + ".md");
    call("action=delete&id=" + id);
    EXPECT_NE(restore("").find("\"title\":\"fourth\""), std::string::npos) << "the latest entry, by its own number";
    EXPECT_EQ(read_file(dir + "/" + id + ".md"), "fourth");
    EXPECT_EQ(read_file(dir + "/.trash/" + id + ".1.md"), "third") << "entries are never renamed";
}

TEST_F(Crash, TrashRecordOutOfItsStoredFormsFallsBackToTheBody)
{
    const std::string id = "rrrrrrrrrrrr";
    const std::string good = "{\"id\":\"" + id + "\",\"title\":\"Kept\",\"pinned\":1,\"created\":\"2024-02-29T23:59:59Z\"," +
                             "\"updated\":\"2024-03-01T00:00:00Z\",\"deleted\":\"2024-03-02T00:00:00Z\"}\n";
    struct {
        std::string from, to;
    } rows[] = {
        {"", ""}, // as written: trusted
        {"2024-03-01T00:00:00Z", "2099-99-99"},
        {"2024-03-01T00:00:00Z", "2023-02-29T00:00:00Z"},
        {"2024-02-29T23:59:59Z", "2024-02-29T24:00:00Z"},
        {"\"pinned\":1", "\"pinned\":7"},
        {"\"deleted\":\"2024-03-02T00:00:00Z\"", "\"gone\":1"},
        {"\"id\":\"" + id, "\"id\":\"aaaaaaaaaaaa"},
    };
    fs::create_directories(dir + "/.trash");
    write_file(dir + "/.trash/" + id + ".md", "# First line\nrest");
    for (auto &r : rows) {
        std::string rec = good;
        if (!r.from.empty())
            rec.replace(rec.find(r.from), r.from.size(), r.to);
        write_file(dir + "/.trash/" + id + ".json", rec);
        std::vector<Item> items = items_of(ok_body("action=trash"));
        ASSERT_EQ(items.size(), 1u) << r.to;
        bool trusted = r.from.empty();
        EXPECT_EQ(items[0].title, trusted ? "Kept" : "First line") << r.to;
        EXPECT_EQ(items[0].pinned, trusted ? 1 : 0) << r.to;
        EXPECT_EQ(items[0].deleted, trusted ? "2024-03-02T00:00:00Z" : "") << r.to;
    }
}

TEST_F(Crash, BodiesTheIndexDoesNotListAreShownAndNeverReplacedUnseen)
{
    const std::string bare = "bbbbbbbbbbbb", pending = "pppppppppppp";
    save("{\"title\":\"listed\",\"body\":\"listed text\"}");
    fs::create_directories(dir + "/.trash");
    // An orphan alone, and one beside the record a crashed delete wrote first (copy 3: 0..2 taken).
    write_file(dir + "/" + bare + ".md", "Bare title\nbare text");
    write_file(dir + "/" + pending + ".md", "pending text");
    for (int k = 0; k < 3; k++)
        write_file(dir + "/.trash/" + pending + (k ? "." + std::to_string(k) : std::string()) + ".md", "older " + std::to_string(k));
    write_file(dir + "/.trash/" + pending + ".3.json", "{\"id\":\"" + pending + "\",\"title\":\"Pending\",\"pinned\":1,\"created\":\"2024-01-01T00:00:00Z\","
                                                       "\"updated\":\"2024-01-02T00:00:00Z\",\"deleted\":\"2024-01-03T00:00:00Z\"}\n");
    write_file(dir + "/.trash/" + pending + ".json.tmp", "{\"id\":\"" + pending + "\",\"title\":\"half");
    std::string trash = ok_body("action=trash");
    EXPECT_NE(trash.find("{\"id\":\"" + bare + "\",\"title\":\"Bare title\",\"pinned\":0"), std::string::npos) << trash;
    EXPECT_NE(trash.find("\"title\":\"Pending\",\"pinned\":1,\"created\":\"2024-01-01T00:00:00Z\",\"updated\":\"2024-01-02T00:00:00Z\","
                         "\"deleted\":\"2024-01-03T00:00:00Z\",\"copy\":3}"),
              std::string::npos)
        << trash;
    EXPECT_EQ(items_of(trash).size(), 5u) << "two orphans and three trashed copies; no listed note, no temporary";
    // A save naming an orphan's id moves it into the trash as the entry it was listed as.
    save("{\"id\":\"" + bare + "\",\"title\":\"new\",\"body\":\"new text\"}");
    save("{\"id\":\"" + pending + "\",\"title\":\"new\",\"body\":\"new text\"}");
    EXPECT_EQ(read_file(dir + "/.trash/" + bare + ".md"), "Bare title\nbare text");
    EXPECT_EQ(read_file(dir + "/.trash/" + pending + ".3.md"), "pending text");
    std::string after = ok_body("action=trash");
    EXPECT_NE(after.find("\"title\":\"Pending\",\"pinned\":1,\"created\":\"2024-01-01T00:00:00Z\""), std::string::npos) << after;
    EXPECT_EQ(items_of(after).size(), 5u);
    // Restoring the orphan by its row lists it with its record's metadata.
    call("action=delete&id=" + pending);
    fs::rename(dir + "/.trash/" + pending + ".3.md", dir + "/" + pending + ".md");
    EXPECT_NE(call("action=restore&id=" + pending + "&copy=3&deleted=2024-01-03T00:00:00Z").find("\"title\":\"Pending\",\"pinned\":1"),
              std::string::npos);
    EXPECT_FALSE(fs::exists(dir + "/.trash/" + pending + ".3.json"));
}

TEST_F(Crash, ConflictingCopyAtTheNoteLimitIsKeptInTheTrash)
{
    write_full_index();
    std::string index = index_text();
    std::string copy = "{\"id\":\"n00000000001\",\"body\":\"mine\",\"base\":\"" + fnv("seen") + "\",\"copy_title\":\"Mine (conflicting copy)\"}";
    EXPECT_EQ(call("action=save", copy), err_response(k_server, "note limit reached; copy kept in trash"));
    EXPECT_EQ(call("action=save", "{\"body\":\"plain new\"}"), err_response(k_server, "note limit reached")) << "a new note is still refused";
    EXPECT_EQ(index_text(), index);
    std::vector<Item> items = items_of(ok_body("action=trash"));
    ASSERT_EQ(items.size(), 1u);
    EXPECT_EQ(items[0].title, "Mine (conflicting copy)");
    EXPECT_EQ(call("action=restore&id=" + items[0].id), err_response(k_server, "note limit reached"));
    call("action=delete&id=n00000000002");
    EXPECT_NE(call("action=restore&id=" + items[0].id).find("\"title\":\"Mine (conflicting copy)\""), std::string::npos);
    EXPECT_NE(ok_body("action=get&id=" + items[0].id).find("\"body\":\"mine\""), std::string::npos);
}
