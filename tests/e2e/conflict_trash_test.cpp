// Saves with a base fingerprint (no edit lost between two clients) and the trash: listing,
// restoring, and deletes of one identifier that keep every earlier body.
#include <sys/stat.h>

#include <algorithm>
#include <thread>
#include <vector>

#include "e2e_support.h"

static const std::string k_conflict = "Status: 409 Conflict\r\n";

// The list item of one note, as list shows it (so a restored note can be compared whole).
static std::string list_item(const std::string &list, const std::string &id)
{
    size_t at = list.find("{\"id\":\"" + id + "\"");
    return at == std::string::npos ? "" : list.substr(at, list.find('}', at) + 1 - at);
}

TEST_F(Api, SaveWithBaseWritesOnlyOverTheTextItNames)
{
    EXPECT_EQ(fnv_hex(""), "cbf29ce484222325"); // the published FNV-1a offset basis
    std::string id = save("{\"title\":\"T\",\"body\":\"v1\"}");
    std::string stale = fnv_hex("v1");
    EXPECT_NE(ok_body("action=save", "{\"id\":\"" + id + "\",\"title\":\"T\",\"body\":\"v2\",\"base\":\"" + stale + "\"}")
                  .find("\"id\":\"" + id + "\""),
              std::string::npos);
    EXPECT_EQ(read_file(dir + "/" + id + ".md"), "v2");
    std::string index = index_text();
    struct {
        std::string extra;
        std::string expect;
    } rows[] = {
        {",\"base\":\"" + stale + "\"", err_response(k_conflict, "note changed elsewhere")},
        {",\"id\":\"zzzzzzzzzzzz\",\"base\":\"" + fnv_hex("v2") + "\"", err_response(k_conflict, "note changed elsewhere")},
        {",\"base\":\"" + fnv_hex("v2").substr(1) + "\"", err_response("Status: 400 Bad Request\r\n", "invalid base")},
        {",\"base\":\"" + fnv_hex("v2") + "0\"", err_response("Status: 400 Bad Request\r\n", "invalid base")},
        {",\"base\":\"CBF29CE484222325\"", err_response("Status: 400 Bad Request\r\n", "invalid base")},
        {",\"base\":\"\"", err_response("Status: 400 Bad Request\r\n", "invalid base")},
        {",\"base\":5", err_response("Status: 400 Bad Request\r\n", "invalid base")},
    };
    for (auto &r : rows) {
        // The id member comes first, so a row's own "id" is passed over for the note's.
        std::string id_member = r.extra.find("\"id\"") == std::string::npos ? "\"id\":\"" + id + "\"," : "";
        EXPECT_EQ(call("action=save", "{" + id_member + "\"body\":\"lost?\"" + r.extra + "}"), r.expect) << r.extra;
        EXPECT_EQ(read_file(dir + "/" + id + ".md"), "v2");
        EXPECT_EQ(index_text(), index);
    }
    EXPECT_FALSE(fs::exists(dir + "/zzzzzzzzzzzz.md"));

    // With copy_title a stale save keeps its text as a new note and leaves the other untouched.
    std::string b = ok_body("action=save", "{\"id\":\"" + id + "\",\"title\":\"T\",\"body\":\"mine\",\"base\":\"" + stale +
                                               "\",\"copy_title\":\"T (conflicting copy)\"}");
    std::smatch m;
    ASSERT_TRUE(std::regex_search(b, m, std::regex("\"id\":\"([a-z0-9]{12})\",\"title\":\"T \\(conflicting copy\\)\"")))
        << b;
    EXPECT_NE(m[1].str(), id);
    EXPECT_EQ(read_file(dir + "/" + m[1].str() + ".md"), "mine");
    EXPECT_EQ(read_file(dir + "/" + id + ".md"), "v2");
    EXPECT_NE(ok_body("action=list").find("\"count\":2"), std::string::npos);

    // A body that is not UTF-8 reaches a page with each broken sequence replaced: the base the
    // page computes from that text names it too.
    write_file(dir + "/" + id + ".md", "caf\xe9");
    EXPECT_EQ(call("action=save", "{\"id\":\"" + id + "\",\"body\":\"x\",\"base\":\"" + fnv_hex("caf\xef\xbf\xbe") + "\"}"),
              err_response(k_conflict, "note changed elsewhere"));
    EXPECT_NE(call("action=save", "{\"id\":\"" + id + "\",\"body\":\"x\",\"base\":\"" + fnv_hex("caf\xef\xbf\xbd") + "\"}")
                  .find("\"ok\":true"),
              std::string::npos);
}

TEST_F(Api, ConcurrentSavesWithOneBaseLetExactlyOneWin)
{
    std::string id = save("{\"body\":\"start\"}");
    const int n = 16;
    std::vector<std::thread> threads;
    std::vector<std::string> outs(n);
    for (int i = 0; i < n; i++) {
        threads.emplace_back([&, i] {
            std::string body = "{\"id\":\"" + id + "\",\"body\":\"b" + std::to_string(i) + "\",\"base\":\"" + fnv_hex("start") + "\"}";
            Env env = env_for("action=save", "POST");
            env["CONTENT_LENGTH"] = std::to_string(body.size());
            outs[static_cast<size_t>(i)] = cgi_run(NOTES_EXE, env, body).out;
        });
    }
    for (auto &t : threads)
        t.join();
    int won = -1, refused = 0;
    for (int i = 0; i < n; i++) {
        if (outs[static_cast<size_t>(i)].find("\"ok\":true") != std::string::npos)
            won = won < 0 ? i : -2;
        refused += outs[static_cast<size_t>(i)] == err_response(k_conflict, "note changed elsewhere");
    }
    ASSERT_GE(won, 0) << "exactly one save succeeds";
    EXPECT_EQ(refused, n - 1);
    EXPECT_EQ(read_file(dir + "/" + id + ".md"), "b" + std::to_string(won));
}

TEST_F(Api, TrashListsAndRestoresNotesWhole)
{
    std::string id = save("{\"title\":\"Plans \\\"q\\\"\",\"body\":\"kept text\",\"pinned\":1}");
    save("{\"title\":\"other\",\"body\":\"x\"}");
    std::string before = list_item(ok_body("action=list"), id);
    EXPECT_EQ(ok_body("action=trash"), "{\"ok\":true,\"count\":0,\"notes\":[]}\n");
    call("action=delete&id=" + id);
    std::string trash = ok_body("action=trash");
    EXPECT_EQ(mask_times(trash), "{\"ok\":true,\"count\":1,\"notes\":[\n  " + mask_times(before.substr(0, before.size() - 1)) +
                                     ",\"deleted\":\"T\",\"copy\":0}\n]}\n");
    EXPECT_EQ(mask_times(ok_body("action=restore&id=" + id)),
              "{\"ok\":true,\"note\":" + mask_times(before) + "}\n");
    EXPECT_EQ(list_item(ok_body("action=list"), id), before) << "title, pin and dates come back unchanged";
    EXPECT_EQ(read_file(dir + "/" + id + ".md"), "kept text");
    EXPECT_EQ(std::distance(fs::directory_iterator(dir + "/.trash"), {}), 0) << "body and record left the trash";

    // Restore errors change nothing.
    call("action=delete&id=" + id);
    std::string index = index_text();
    struct {
        std::string query;
        std::string expect;
    } rows[] = {
        {"action=restore&id=ABCDEFGHIJKL", err_response("Status: 400 Bad Request\r\n", "invalid id")},
        {"action=restore&id=zzzzzzzzzzzz", err_response("Status: 404 Not Found\r\n", "note not found")},
        {"action=restore&id=" + id + "&copy=1", err_response("Status: 404 Not Found\r\n", "note not found")},
        {"action=restore&id=" + id + "&copy=x", err_response("Status: 404 Not Found\r\n", "note not found")},
        {"action=restore&id=" + id + "&copy=-0", err_response("Status: 404 Not Found\r\n", "note not found")},
    };
    for (auto &r : rows)
        EXPECT_EQ(call(r.query), r.expect) << r.query;
    EXPECT_EQ(index_text(), index);
    EXPECT_EQ(read_file(dir + "/.trash/" + id + ".md"), "kept text");
}

TEST_F(Api, NoteTrashedWithoutRecordRestoresFromItsFirstLine)
{
    std::string index = "{\"version\":1,\"notes\":[\n\n]}\n";
    fs::create_directories(dir + "/.trash");
    struct {
        std::string body;
        std::string title;
    } rows[] = {
        {"# Trip to the coast\n- tent\n", "Trip to the coast"},
        {"  plain first line  \r\nmore", "plain first line"},
        {"", ""},
        {std::string(298, 'a') + "\xc3\xa9\xc3\xa9", std::string(298, 'a')},
    };
    for (auto &r : rows) {
        std::string id = "old" + std::to_string(&r - rows) + "aaaaaaaa";
        write_file(dir + "/.trash/" + id + ".md", r.body);
        EXPECT_NE(ok_body("action=trash").find("\"id\":\"" + id + "\",\"title\":\"" + r.title + "\",\"pinned\":0"), std::string::npos)
            << r.title;
        std::string out = ok_body("action=restore&id=" + id);
        EXPECT_NE(out.find("\"title\":\"" + r.title + "\""), std::string::npos) << out;
        EXPECT_EQ(read_file(dir + "/" + id + ".md"), r.body);
        EXPECT_NE(index_text().find("\"id\":\"" + id + "\""), std::string::npos);
    }
    EXPECT_NE(index_text(), index);
}

TEST_F(Api, RestoreNeverOverwritesALiveNote)
{
    std::string id = save("{\"title\":\"first\",\"body\":\"first text\"}");
    call("action=delete&id=" + id);
    save("{\"id\":\"" + id + "\",\"title\":\"second\",\"body\":\"second text\"}");
    std::string index = index_text();
    EXPECT_EQ(call("action=restore&id=" + id), err_response(k_conflict, "note already exists"));
    // A body file that the index does not list (left by a crash) is not overwritten either.
    write_file(dir + "/orphanaaaaaa.md", "orphan text");
    write_file(dir + "/.trash/orphanaaaaaa.md", "trashed text");
    EXPECT_EQ(call("action=restore&id=orphanaaaaaa&copy=0"), err_response(k_conflict, "note already exists"));
    EXPECT_EQ(index_text(), index);
    EXPECT_EQ(read_file(dir + "/" + id + ".md"), "second text");
    EXPECT_EQ(read_file(dir + "/.trash/" + id + ".md"), "first text");
    EXPECT_EQ(read_file(dir + "/orphanaaaaaa.md"), "orphan text");
}

TEST_F(Api, DeletingOneIdTwiceKeepsBothBodies)
{
    std::string id = save("{\"title\":\"one\",\"body\":\"first text\"}");
    call("action=delete&id=" + id);
    save("{\"id\":\"" + id + "\",\"title\":\"two\",\"body\":\"second text\"}");
    call("action=delete&id=" + id);
    save("{\"id\":\"" + id + "\",\"title\":\"three\",\"body\":\"third text\"}");
    call("action=delete&id=" + id);
    EXPECT_EQ(read_file(dir + "/.trash/" + id + ".md"), "first text") << "a trashed copy keeps its name";
    EXPECT_EQ(read_file(dir + "/.trash/" + id + ".2.md"), "third text") << "a new delete takes the lowest free number";
    std::string trash = ok_body("action=trash");
    EXPECT_NE(trash.find("\"count\":3"), std::string::npos) << trash;
    EXPECT_NE(trash.find("\"title\":\"one\""), std::string::npos);
    std::smatch m;
    ASSERT_TRUE(std::regex_search(trash, m, std::regex("\"title\":\"one\"[^}]*\"copy\":([0-9]+)")));
    EXPECT_NE(ok_body("action=restore&id=" + id + "&copy=" + m[1].str()).find("\"title\":\"one\""), std::string::npos);
    EXPECT_EQ(read_file(dir + "/" + id + ".md"), "first text");
    EXPECT_NE(ok_body("action=trash").find("\"count\":2"), std::string::npos);
}

TEST_F(Api, RestoreAtTheNoteLimitIsRefused)
{
    fs::create_directories(dir + "/.trash");
    write_full_index();
    std::string before = index_text();
    write_file(dir + "/.trash/trashedaaaaa.md", "waits");
    EXPECT_EQ(call("action=restore&id=trashedaaaaa"), err_response("Status: 500 Internal Server Error\r\n", "note limit reached"));
    EXPECT_EQ(index_text(), before);
    EXPECT_EQ(read_file(dir + "/.trash/trashedaaaaa.md"), "waits");
    EXPECT_FALSE(fs::exists(dir + "/trashedaaaaa.md"));
}

TEST_F(Api, TrashOrTrashedBodyThroughALinkIsNeitherListedNorRestored)
{
    if (NOTES_UNDER_WINE)
        GTEST_SKIP() << k_wine_hides_links;
    std::string elsewhere = dir + "-elsewhere";
    fs::create_directories(elsewhere);
    write_file(elsewhere + "/linkedaaaaaa.md", "not from this trash");
    fs::remove_all(dir + "/.trash");
    fs::create_directory_symlink(elsewhere, dir + "/.trash");
    EXPECT_EQ(ok_body("action=trash"), "{\"ok\":true,\"count\":0,\"notes\":[]}\n");
    EXPECT_EQ(call("action=restore&id=linkedaaaaaa"), err_response("Status: 404 Not Found\r\n", "note not found"));
    EXPECT_FALSE(fs::exists(dir + "/linkedaaaaaa.md"));
    EXPECT_EQ(read_file(elsewhere + "/linkedaaaaaa.md"), "not from this trash");
    // Nor is a trashed body that is itself a link.
    fs::remove(dir + "/.trash");
    fs::create_directory(dir + "/.trash");
    fs::create_symlink(elsewhere + "/linkedaaaaaa.md", dir + "/.trash/linkedaaaaaa.md");
    EXPECT_EQ(ok_body("action=trash"), "{\"ok\":true,\"count\":0,\"notes\":[]}\n");
    EXPECT_EQ(call("action=restore&id=linkedaaaaaa"), err_response("Status: 404 Not Found\r\n", "note not found"));
    EXPECT_FALSE(fs::exists(dir + "/linkedaaaaaa.md"));
    fs::remove_all(elsewhere);
}

TEST_F(Api, TrashListsTrashedNamesOnlyAndTheLatest2000)
{
    // Only "<id>.md" and "<id>.<k>.md" are trashed notes, and a record counts only for the id it
    // names, in a notes folder of any path length (Windows paths stop at 260 characters).
    struct {
        std::string name, text;
    } files[] = {
        {"ABCDEFGHIJKL.md", "upper"},
        {"abcdefghijkl.md", "# first line"},
        {"abcdefghijkl.x.md", "not a copy"},
        {"aaaaaaaaaaaa.md", "a"},
        {"aaaaaaaaaaaa.json", "{\"id\":\"aaaaaaaaaaaa\",\"title\":\"kept\",\"pinned\":1,\"created\":\"2024-01-01T00:00:00Z\","
                              "\"updated\":\"2024-01-01T00:00:00Z\",\"deleted\":\"2024-01-02T00:00:00Z\"}\n"},
        {"bbbbbbbbbbbb.md", "own text"},
        {"bbbbbbbbbbbb.json", "{\"id\":\"cccccccccccc\",\"title\":\"another note's\",\"pinned\":1}\n"},
    };
    for (size_t len : {dir.size(), size_t(600), size_t(990)}) {
        if (NOTES_UNDER_WINE && len > 200)
            continue;
        std::string d = dir;
        while (d.size() + 1 < len)
            d += "/" + std::string(std::min(size_t(200), len - d.size() - 1), 'p');
        fs::create_directories(d + "/.trash");
        for (auto &f : files)
            write_file(d + "/.trash/" + f.name, f.text);
        std::string out = call("action=trash", "", {{"NOTES_DIR", d}});
        EXPECT_NE(out.find("\"count\":3,"), std::string::npos) << len << out;
        for (const char *item : {"\"id\":\"abcdefghijkl\",\"title\":\"first line\"", "\"id\":\"aaaaaaaaaaaa\",\"title\":\"kept\",\"pinned\":1",
                                 "\"id\":\"bbbbbbbbbbbb\",\"title\":\"own text\",\"pinned\":0"})
            EXPECT_NE(out.find(item), std::string::npos) << len << " " << item;
    }

    // 2001 entries keep the 2000 most recent (by the body's time, there being no records); the
    // oldest is the second the folder lists, so neither the first nor the last read is the one left out.
    fs::remove_all(dir + "/.trash");
    fs::create_directories(dir + "/.trash");
    char id[16];
    for (int i = 0; i < 2001; i++) {
        snprintf(id, sizeof id, "t%011d", i);
        write_file(dir + "/.trash/" + id + ".md", "x");
    }
    auto it = fs::directory_iterator(dir + "/.trash");
    std::string oldest = (++it)->path().stem().string(), newest;
    timespec times[2] = {{1700000000, 0}, {1700000000, 0}};
    for (int i = 0; i < 2001; i++) {
        snprintf(id, sizeof id, "t%011d", i);
        std::string path = dir + "/.trash/" + id + ".md";
        times[0].tv_sec = times[1].tv_sec = id == oldest ? 1600000000 : 1700000000 + i * 60;
        ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
        if (id != oldest)
            newest = id;
    }
    std::string out = ok_body("action=trash");
    EXPECT_EQ(out.rfind("{\"ok\":true,\"count\":2000,\"notes\":[\n  {\"id\":\"" + newest + "\"", 0), 0u) << out.substr(0, 100);
    EXPECT_EQ(out.find(oldest), std::string::npos);
    fs::remove(dir + "/.trash/" + newest + ".md");
    out = ok_body("action=trash");
    EXPECT_NE(out.find("\"count\":2000,"), std::string::npos);
    EXPECT_NE(out.find(oldest), std::string::npos);
}
