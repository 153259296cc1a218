// Query-parameter decoding and path joining.
#include <gtest/gtest.h>

#include <string>

#include "store/files.h"
#include "util/query.h"
#include "util/fold.h"
#include "util/secret.h"

TEST(Query, LookupAndDecoding)
{
    struct {
        const char *query;
        const char *name;
        size_t size;
        int found;
        std::string value;
    } rows[] = {
        {"a=1&action=get", "action", 64, 1, "get"},
        {"xaction=get", "action", 64, 0, ""},
        {"action&x=1", "action", 64, 0, ""},
        {"q=a%2Bb+c", "q", 256, 1, "a+b c"},
        {"q=%zz", "q", 256, 1, "%zz"},
        {"q=%4", "q", 256, 1, "%4"},
        {"q=100%", "q", 256, 1, "100%"},
        {"q=a%00b", "q", 256, 1, "a"},
        {"a=1&&q=2", "q", 256, 1, "2"},
        {"q=1&q=2", "q", 256, 1, "1"},
        {"a=1&", "q", 256, 0, ""},
        {"q=", "q", 256, 1, ""},
        {"idx=1", "id", 64, 0, ""},
        {"%61ction=list", "action", 64, 0, ""},
        {"action=li%73t", "action", 64, 1, "list"},
        {"q=abcdef", "q", 4, 1, "abc"},
        {"q=ab%41", "q", 5, 1, "ab%4"}, // the cut splits the escape, which then stays literal
        {"", "q", 16, 0, ""},
        {"q=%C3%A9", "q", 16, 1, "\xc3\xa9"},
        {"q=%c3%a9%fF", "q", 16, 1, "\xc3\xa9\xff"},
        {"q=%@4%4@", "q", 16, 1, "%@4%4@"},
        {"q=%/0%0/%:0%0:%`a%a`%Ga%aG%g0", "q", 64, 1, "%/0%0/%:0%0:%`a%a`%Ga%aG%g0"},
    };
    for (auto &r : rows) {
        char out[512];
        memset(out, 'Z', sizeof out);
        EXPECT_EQ(get_query_val(r.query, r.name, out, r.size), r.found) << r.query;
        EXPECT_EQ(std::string(out), r.value) << r.query;
    }
    char out[16] = "x";
    EXPECT_EQ(get_query_val(nullptr, "q", out, sizeof out), 0);
    EXPECT_STREQ(out, "");
}

TEST(Query, LongValueIsCutBeforeDecoding)
{
    std::string q = "action=" + std::string(300, 'a');
    char out[64];
    EXPECT_EQ(get_query_val(q.c_str(), "action", out, sizeof out), 1);
    EXPECT_EQ(strlen(out), 63u);
}

TEST(PathJoin, SeparatorsAndLimits)
{
    struct {
        const char *base;
        std::string name;
        std::string out;
    } rows[] = {
        {"E:\\data\\", "x", "E:\\data\\x"},
        {"E:\\data", "x", "E:\\data/x"},
        {"/n/", "x", "/n/x"},
        {"", "name", "name"},
        {nullptr, "name", "name"},
        {"/a", std::string(1021, 'n'), "/a/"}, // a name that does not fit whole is left out
    };
    for (auto &r : rows) {
        char out[PATH_CAP];
        path_join(out, r.base, r.name.c_str());
        EXPECT_EQ(std::string(out), r.out) << (r.base ? r.base : "(null)");
    }
    char out[PATH_CAP];
    std::string fits(1020, 'n');
    path_join(out, "/a", fits.c_str());
    EXPECT_EQ(strlen(out), 1023u);
    std::string huge(1024, 'h');
    path_join(out, "", huge.c_str());
    EXPECT_STREQ(out, "");
    std::string longbase(1100, 'b');
    path_join(out, longbase.c_str(), "x");
    EXPECT_EQ(std::string(out), std::string(1023, 'b'));
}

TEST(Secret, EqualOnlyForIdenticalBytes)
{
    struct {
        const char *given;
        const char *secret;
    } rows[] = {
        {"p w", "p w"}, {"p w ", "p w"}, {"p", "p w"}, {"", "p"}, {"P W", "p w"},
        {"abcabc", "abc"}, {"\xff", "\xff"}, {"\xfe", "\xff"}, {"x", "x"}, {"secret!", "secret?"},
    };
    for (auto &r : rows)
        EXPECT_EQ(secret_equal(r.given, r.secret), strcmp(r.given, r.secret) == 0) << r.given << " vs " << r.secret;
}

TEST(Fold, ContainsFindsTheNeedleAtEveryPlaceInEitherCase)
{
    // Needles of one to three bytes at every position of texts of 1 to 40 bytes, written in
    // either case; a text that holds only a near miss does not match.
    for (const char *needle : {"q", "qz", "q-z"}) {
        size_t n = strlen(needle);
        for (size_t len = n; len <= 40; len++)
            for (size_t pos = 0; pos + n <= len; pos++)
                for (int upper = 0; upper < 2; upper++) {
                    std::string s(len, 'x');
                    for (size_t j = 0; j < n; j++)
                        s[pos + j] = static_cast<char>(upper && needle[j] >= 'a' ? needle[j] - 32 : needle[j]);
                    ASSERT_EQ(fold_contains(s.data(), len, needle, n), 1) << needle << " " << len << " " << pos;
                    s[pos + n - 1] = '@'; // its last byte spoilt
                    ASSERT_EQ(fold_contains(s.data(), len, needle, n), 0) << needle << " " << len << " " << pos;
                }
    }
    // Only ASCII letters fold; the length given bounds the search.
    EXPECT_EQ(fold_contains("\xc3\x89", 2, "\xc3\xa9", 2), 0);
    EXPECT_EQ(fold_contains("[", 1, "{", 1), 0);
    EXPECT_EQ(fold_contains("abq", 2, "q", 1), 0);
}

TEST(Fold, OnlyAsciiCapitalsChangeAtEveryOffset)
{
    // Every non-NUL byte value at every position of an eight-byte word, against the plain rule.
    std::string all;
    for (int rep = 0; rep < 9; rep++)
        for (int c = 1; c < 256; c++)
            all += static_cast<char>(c);
    for (size_t skip = 0; skip < 9; skip++) {
        std::string s = all.substr(skip);
        std::string want = s;
        for (char &c : want)
            if (c >= 'A' && c <= 'Z')
                c = static_cast<char>(c + 32);
        EXPECT_EQ(fold_lower(s.data()), s.size());
        EXPECT_EQ(s, want) << skip;
    }
}
