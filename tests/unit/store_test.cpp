// Metadata table (lookup, validation, listing order, identifiers, timestamps) and the index file.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "platform/platform.h"
#include "store/files.h"
#include "store/index.h"
#include "store/meta.h"
#include "util/textbuf.h"

namespace fs = std::filesystem;

static NoteMeta make(const char *id, int pinned, const char *updated, const char *title = "")
{
    NoteMeta m;
    memset(&m, 0, sizeof m);
    str_copy(m.id, sizeof m.id, id);
    str_copy(m.title, sizeof m.title, title);
    m.pinned = pinned;
    str_copy(m.created, sizeof m.created, "2024-01-01T00:00:00Z");
    str_copy(m.updated, sizeof m.updated, updated);
    return m;
}

// Gives each test a fresh notes directory and an empty table.
class Store : public ::testing::Test {
protected:
    std::string dir;
    void SetUp() override
    {
        char tmpl[] = "/tmp/notes-unit-XXXXXX";
        dir = mkdtemp(tmpl);
        str_copy(g_dir, sizeof g_dir, dir.c_str());
        path_join(g_trash, g_dir, ".trash");
        fs::create_directory(g_trash);
        g_count = 0;
        g_index_unreadable = 0;
    }
    void TearDown() override
    {
        fs::remove_all(dir);
        g_dir[0] = '\0';
    }
    void write_index(const std::string &text)
    {
        std::ofstream(dir + "/index.json", std::ios::binary) << text;
    }
    std::string read_index()
    {
        std::ifstream f(dir + "/index.json", std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(f), {});
    }
};

TEST(Meta, ValidId)
{
    struct {
        const char *text;
        int ok;
    } rows[] = {
        {"abcdefghijkl", 1}, {"0123456789az", 1}, {"abcdefghijk", 0},  {"abcdefghijklm", 0},
        {"Abcdefghijkl", 0}, {"", 0},             {"abcdefghij-l", 0}, {"abcdefghij\xc3\xa9", 0},
        {"../../etc/pa", 0}, {"abcdefghijk ", 0},
    };
    for (auto &r : rows)
        EXPECT_EQ(valid_id(r.text), r.ok) << r.text;
}

TEST(Meta, IdentifierFromWorkedSeeds)
{
    char id[13];
    id_from_seed(0, id);
    EXPECT_STREQ(id, "uyvgpzv8w3qp");
    id_from_seed(1, id);
    EXPECT_STREQ(id, "g711tolusnxm");
    for (uint32_t seed = 2; seed < 2000; seed += 97) {
        id_from_seed(seed, id);
        EXPECT_EQ(valid_id(id), 1) << seed;
    }
}

TEST(Meta, TimestampsAreUtcAndPadded)
{
    struct {
        int64_t seconds;
        const char *text;
    } rows[] = {
        {0, "1970-01-01T00:00:00Z"},           {1700000000, "2023-11-14T22:13:20Z"},
        {1709629623, "2024-03-05T09:07:03Z"},  {1709164800, "2024-02-29T00:00:00Z"},
        {951782399, "2000-02-28T23:59:59Z"},   {951782400, "2000-02-29T00:00:00Z"},
        {946684799, "1999-12-31T23:59:59Z"},   {4107542400, "2100-03-01T00:00:00Z"},
        {253402300799, "9999-12-31T23:59:59Z"}, {-1, "1969-12-31T23:59:59Z"},
    };
    char ts[24];
    for (auto &r : rows) {
        iso_format(ts, r.seconds);
        EXPECT_STREQ(ts, r.text) << r.seconds;
    }
    iso_now(ts);
    EXPECT_EQ(strlen(ts), 20u);
}

TEST_F(Store, FindGivesFirstOfDuplicates)
{
    EXPECT_EQ(meta_find("abcdefghijkl"), -1);
    NoteMeta a = make("abcdefghijkl", 0, "1"), b = make("bbbbbbbbbbbb", 0, "2");
    meta_append(&a);
    meta_append(&b);
    meta_append(&a);
    EXPECT_EQ(meta_find("abcdefghijkl"), 0);
    EXPECT_EQ(meta_find("bbbbbbbbbbbb"), 1);
}

TEST_F(Store, SortIsPinnedFirstNewestFirstAndStable)
{
    NoteMeta rows[] = {
        make("aaaaaaaaaaa1", 0, "2024-01-01T00:00:00Z", "old"),
        make("aaaaaaaaaaa2", 1, "2023-01-01T00:00:00Z", "pinned old"),
        make("aaaaaaaaaaa3", 0, "2024-06-01T00:00:00Z", "new"),
        make("aaaaaaaaaaa4", 0, "", "no time"),
        make("aaaaaaaaaaa5", 0, "2024-06-01T00:00:00Z", "new twin"),
        make("aaaaaaaaaaa6", 7, "2022-01-01T00:00:00Z", "pinned seven"),
        make("aaaaaaaaaaa7", 1, "2024-02-01T00:00:00Z", "pinned new"),
    };
    for (auto &r : rows)
        meta_append(&r);
    sort_meta();
    const char *want[] = {"aaaaaaaaaaa6", "aaaaaaaaaaa7", "aaaaaaaaaaa2", "aaaaaaaaaaa3",
                          "aaaaaaaaaaa5", "aaaaaaaaaaa1", "aaaaaaaaaaa4"};
    ASSERT_EQ(g_count, 7);
    for (int i = 0; i < 7; i++)
        EXPECT_STREQ(g_meta[i].id, want[i]) << i;
}

TEST_F(Store, GeneratedIdAvoidsTableAndFiles)
{
    char first[13];
    id_generate(first);
    EXPECT_EQ(valid_id(first), 1);
    // Occupy many identifiers at once: the generator must step around every one of them.
    for (int i = 0; i < 50; i++) {
        NoteMeta m = make("", 0, "");
        id_generate(m.id);
        EXPECT_EQ(meta_find(m.id), -1);
        char path[PATH_CAP];
        note_path(path, m.id);
        EXPECT_FALSE(fs::exists(path));
        std::ofstream(path) << "x";
        meta_append(&m);
    }
}

TEST_F(Store, IndexRoundTripKeepsEveryField)
{
    NoteMeta a = make("k3v9q2m7x1ab", 1, "2024-03-05T09:10:44Z", "Shopping");
    str_copy(a.created, sizeof a.created, "2024-03-05T09:07:03Z");
    NoteMeta b = make("p0w8e5r2t6yz", 0, "2024-03-01T08:00:00Z", "");
    str_copy(b.created, sizeof b.created, "2024-03-01T08:00:00Z");
    meta_append(&a);
    meta_append(&b);
    ASSERT_EQ(save_index(), 1);
    EXPECT_EQ(read_index(),
              "{\"version\":1,\"notes\":[\n"
              "  {\"id\":\"k3v9q2m7x1ab\",\"title\":\"Shopping\",\"pinned\":1,\"created\":\"2024-03-05T09:07:03Z\","
              "\"updated\":\"2024-03-05T09:10:44Z\"},\n"
              "  {\"id\":\"p0w8e5r2t6yz\",\"title\":\"\",\"pinned\":0,\"created\":\"2024-03-01T08:00:00Z\","
              "\"updated\":\"2024-03-01T08:00:00Z\"}\n"
              "]}\n");
    EXPECT_FALSE(fs::exists(dir + "/index.json.tmp"));
    g_count = 0;
    load_index();
    ASSERT_EQ(g_count, 2);
    EXPECT_EQ(memcmp(&g_meta[0], &a, sizeof a), 0);
    EXPECT_EQ(memcmp(&g_meta[1], &b, sizeof b), 0);
}

TEST_F(Store, EmptyIndexLayoutAndMissingFile)
{
    load_index();
    EXPECT_EQ(g_count, 0);
    EXPECT_EQ(g_index_unreadable, 0);
    ASSERT_EQ(save_index(), 1);
    EXPECT_EQ(read_index(), "{\"version\":1,\"notes\":[\n\n]}\n");
    load_index();
    EXPECT_EQ(g_count, 0);
}

TEST_F(Store, HostileTitlesSurviveRoundTrip)
{
    std::string title = "a{b}c\"d\\e\tf\ng\x01h}\"{";
    NoteMeta m = make("abcdefghijkl", 0, "2024-01-01T00:00:00Z", title.c_str());
    NoteMeta n = make("bcdefghijklm", 1, "2024-01-02T00:00:00Z", "after");
    std::string max_title(299, '\x01');
    NoteMeta o = make("cdefghijklmn", 0, "2024-01-03T00:00:00Z", max_title.c_str());
    meta_append(&m);
    meta_append(&n);
    meta_append(&o);
    ASSERT_EQ(save_index(), 1);
    load_index();
    ASSERT_EQ(g_count, 3);
    EXPECT_EQ(std::string(g_meta[0].title), title);
    EXPECT_STREQ(g_meta[0].updated, "2024-01-01T00:00:00Z");
    EXPECT_STREQ(g_meta[1].title, "after");
    EXPECT_EQ(g_meta[1].pinned, 1);
    EXPECT_EQ(std::string(g_meta[2].title), max_title);
}

TEST_F(Store, HandEditedIndexLoadsTolerantly)
{
    write_index("[ {\"id\":\"short\",\"title\":\"skipped\"},\n"
                "{\"title\":\"no id\"},\n"
                "{\"id\":\"ABCDEFGHIJKL\"},\n"
                "{ \"updated\" : \"2024-01-01T00:00:00Z\", \"pinned\" : true,\r\n \"id\" : \"aaaaaaaaaaaa\", \"x\":[1,2] },\n"
                "{\"id\":\"bbbbbbbbbbbbEXTRA\",\"pinned\":\"7\"},\n"
                "{\"id\":\"cccccccccccc\"}, {\"id\":\"cccccccccccc\",\"title\":\"dup\"} ]");
    load_index();
    ASSERT_EQ(g_count, 4);
    EXPECT_STREQ(g_meta[0].id, "aaaaaaaaaaaa");
    EXPECT_EQ(g_meta[0].pinned, 1);
    EXPECT_STREQ(g_meta[0].updated, "2024-01-01T00:00:00Z");
    EXPECT_STREQ(g_meta[0].created, "");
    EXPECT_STREQ(g_meta[1].id, "bbbbbbbbbbbb");
    EXPECT_EQ(g_meta[1].pinned, 7);
    EXPECT_STREQ(g_meta[2].title, "");
    EXPECT_STREQ(g_meta[3].title, "dup");
    ASSERT_EQ(save_index(), 1);
    EXPECT_NE(read_index().find("\"id\":\"bbbbbbbbbbbb\",\"title\":\"\",\"pinned\":1,"), std::string::npos);
}

TEST_F(Store, IndexLoadStopsAt2000Records)
{
    std::string text = "{\"version\":1,\"notes\":[\n";
    char id[13];
    for (int i = 0; i < 2001; i++) {
        snprintf(id, sizeof id, "n%011d", i);
        text += std::string("{\"id\":\"") + id + "\"},";
    }
    write_index(text + "]}");
    load_index();
    ASSERT_EQ(g_count, 2000);
    EXPECT_STREQ(g_meta[1999].id, "n00000001999");
    ASSERT_EQ(save_index(), 1);
    EXPECT_EQ(read_index().find("n00000002000"), std::string::npos);
}

TEST_F(Store, UnreadableIndexIsNeverReplaced)
{
    fs::create_directory(dir + "/index.json"); // exists, but cannot be read as a file
    load_index();
    EXPECT_EQ(g_count, 0);
    EXPECT_EQ(g_index_unreadable, 1);
    EXPECT_EQ(save_index(), 0);
    EXPECT_TRUE(fs::is_directory(dir + "/index.json"));
}

TEST_F(Store, AtomicWriteReplacesWholeAndCleansUp)
{
    std::string path = dir + "/f.md";
    ASSERT_EQ(atomic_write(path.c_str(), "hello", 5), 1);
    ASSERT_EQ(atomic_write(path.c_str(), "", 0), 1);
    char *text = read_whole_file(path.c_str());
    ASSERT_NE(text, nullptr);
    EXPECT_STREQ(text, "");
    free(text);
    EXPECT_FALSE(fs::exists(path + ".tmp"));
    // A destination that cannot be replaced (a non-empty directory) stays, and no temporary remains.
    std::string blocked = dir + "/blocked";
    fs::create_directories(blocked + "/inner");
    EXPECT_EQ(atomic_write(blocked.c_str(), "x", 1), 0);
    EXPECT_TRUE(fs::is_directory(blocked));
    EXPECT_FALSE(fs::exists(blocked + ".tmp"));
    EXPECT_EQ(read_whole_file((dir + "/missing").c_str()), nullptr);
}

TEST_F(Store, AppendAddsOnlyToAPlainFileThatExists)
{
    std::string file = dir + "/rec.json", target = dir + "/target", link = dir + "/link", sub = dir + "/sub";
    std::ofstream(file, std::ios::binary) << "a\n";
    std::ofstream(target) << "t";
    std::error_code no_links; // the Windows build under wine cannot make one: its row is left out
    fs::create_symlink(target, link, no_links);
    fs::create_directories(sub);
    struct {
        std::string path, read; // the file appended to, and the file read afterwards
        int result;
        std::string after; // its text afterwards ("-": no such file)
    } rows[] = {
        {file, file, 1, "a\nb\n"},
        {dir + "/missing", dir + "/missing", 0, "-"},
        {link, target, 0, "t"}, // never written through: the target keeps its text
        {sub, target, 0, "t"},
    };
    for (const auto &r : rows) {
        if (r.path == link && no_links)
            continue;
        EXPECT_EQ(plat_append(r.path.c_str(), "b\n", 2), r.result) << r.path;
        char *text = read_whole_file(r.read.c_str());
        EXPECT_EQ(text ? std::string(text) : "-", r.after) << r.path;
        free(text);
    }
}
