// Smart search matching: folding across scripts, query parsing, and the byte ranges of matches.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "util/match.h"
#include "util/unifold.h"

// The text each range of term's matches in text covers, joined by "|" ("" when none).
static std::string marked(const std::string &term, const std::string &text)
{
    static MatchQuery q;
    match_parse(&q, term.c_str());
    MatchRange r[16];
    size_t n = match_ranges(&q, text.data(), text.size(), r, 16);
    std::string out;
    for (size_t k = 0; k < n; k++) {
        if (k)
            out += '|';
        out.append(text, r[k].start, r[k].end - r[k].start);
    }
    return out;
}

TEST(SmartMatch, FoldsCaseAndDiacriticsAcrossScripts)
{
    struct {
        const char *term, *text, *marks;
    } rows[] = {
        {"muller", "Herr M\xc3\x9cLLER kam", "M\xc3\x9cLLER"},                    // Ü
        {"M\xc3\xbcller", "mueller muller", "muller"},                           // ü in the term
        {"cafe", "ein caf\xc3\xa9!", "caf\xc3\xa9"},                              // precomposed é
        {"caf\xc3\xa9", "CAFE\xcc\x81 noir", "CAFE\xcc\x81"},                      // e + combining acute
        {"strasse", "Stra\xc3\x9f" "e", "Stra\xc3\x9f" "e"},                     // ß folds to ss
        {"stra\xc3\x9f" "e", "STRA\xe1\xba\x9e" "E und STRASSE", "STRA\xe1\xba\x9e" "E|STRASSE"}, // capital ẞ
        {"s", "\xc3\x9f", "\xc3\x9f"},                                           // half of "ss" marks all of ß
        {"\xef\xac\x83", "o" "ffi" "ce", "ffi"},                                 // ligature ﬃ
        {"k", "5 \xe2\x84\xaa", "\xe2\x84\xaa"},                                 // Kelvin sign
        {"\xcf\x83\xce\xbf\xcf\x86\xce\xbf\xcf\x82", "\xce\xa3\xce\x9f\xce\xa6\xce\x8c\xce\xa3",
         "\xce\xa3\xce\x9f\xce\xa6\xce\x8c\xce\xa3"},                           // σοφος / ΣΟΦΌΣ, final sigma
        {"\xce\xbb\xcf\x8c\xce\xb3\xce\xbf\xcf\x83", "o \xce\xbb\xce\xbf\xce\xb3\xce\xbf\xcf\x82",
         "\xce\xbb\xce\xbf\xce\xb3\xce\xbf\xcf\x82"},                           // λόγοσ / λογος
        {"\xd0\xb1\xd0\xbb\xd0\xb8\xd0\xbd\xd1\x8b", "\xd0\x91\xd0\x9b\xd0\x98\xd0\x9d\xd0\xab!",
         "\xd0\x91\xd0\x9b\xd0\x98\xd0\x9d\xd0\xab"},                           // блины / БЛИНЫ
        {"\xd0\xb5\xd0\xbb\xd0\xba\xd0\xb0", "\xd0\x81\xd0\xbb\xd0\xba\xd0\xb0",
         "\xd0\x81\xd0\xbb\xd0\xba\xd0\xb0"},                                   // елка / Ёлка
        {"istanbul", "\xc4\xb0STANBUL", "\xc4\xb0STANBUL"},                      // İ: i with a dot above
        {"\xc4\xb1rmak", "IRMAK", ""},                                           // dotless ı is its own letter
        {"\xc4\xb1rmak", "Irmak \xc4\xb1rmak", "\xc4\xb1rmak"},
        {"irmak", "IRMAK", "IRMAK"},
        {"\xe6\x9d\xb1\xe4\xba\xac", "\xe6\x9d\xb1\xe4\xba\xac\xe3\x82\xbf\xe3\x83\xaf\xe3\x83\xbc",
         "\xe6\x9d\xb1\xe4\xba\xac"},                                           // 東京 in 東京タワー
        {"\xe3\x81\x8c", "\xe3\x81\x8b", ""},                                    // が is not か: voicing kept
        {"\xff", "a\xff" "b", "\xff"},                                           // invalid bytes, byte for byte
        {"\xc3", "\xc3\xa9", ""},                                                // a lead byte is not é
        {"abc", "ab\x80" "c ABC", "ABC"},
        {"ab", "\xc3" "AB", "AB"},                                               // after a stray lead byte
        {"\"new york\"", "New\nYork, NEW\r\nYORK, new\tyork", "New\nYork|NEW\r\nYORK|new\tyork"}, // line breaks
        {"ab", "a\rb", "a\rb"},                                                // a lone CR is dropped
    };
    for (auto &r : rows)
        EXPECT_EQ(marked(r.term, r.text), r.marks) << r.term << " in " << r.text;
}

TEST(SmartMatch, ParsesWordsAndPhrases)
{
    struct {
        const char *query;
        int count;
        const char *whole;
    } rows[] = {
        {"  New   York ", 2, "new york"},
        {"\"New \t York\" city", 2, "new york city"}, // a run of white space in a phrase is one space
        {"\" spaced \"", 1, "spaced"},
        {"\"open phrase", 1, "open phrase"},
        {"\xcc\x81 \"\"", 0, ""}, // a lone combining mark folds to nothing
        {"", 0, ""},
    };
    static MatchQuery q;
    for (auto &r : rows) {
        EXPECT_EQ(match_parse(&q, r.query), r.count) << r.query;
        EXPECT_EQ(std::string(q.whole, q.whole_len), r.whole) << r.query;
    }
    EXPECT_EQ(marked("york new", "new york, york"), "new|york|york");
    EXPECT_EQ(marked("\"york new\"", "new york"), "");
}

TEST(SmartMatch, FoldingAFoldedTextChangesNothingAndChunksCutBetweenCharacters)
{
    const std::string text = "M\xc3\x9cLLER \xe1\xba\x9e \xc4\xb0 \xce\xa3\xce\x8c \xef\xac\x83 \xe6\x9d\xb1 \xff\xc3";
    char once[256], twice[256];
    size_t n1 = unifold(text.data(), text.size(), once, nullptr);
    size_t n2 = unifold(once, n1, twice, nullptr);
    EXPECT_EQ(std::string(once, n1), std::string(twice, n2));
    EXPECT_EQ(std::string(once, n1), "muller ss i \xcf\x83\xce\xbf ffi \xe6\x9d\xb1 \xff\xc3");
    // Long ASCII runs take a faster road when no map is asked for: both give the same bytes.
    const std::string mixed = "THE QUICK BROWN FOX JUMPS OVER THE LAZY DOG @[`{ \xc3\x84 0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ!";
    std::string fast(mixed.size() * UNIFOLD_GROWTH, '\0'), mapped(fast);
    std::vector<uint32_t> map(fast.size() + 1);
    fast.resize(unifold(mixed.data(), mixed.size(), fast.data(), nullptr));
    mapped.resize(unifold(mixed.data(), mixed.size(), mapped.data(), map.data()));
    EXPECT_EQ(fast, mapped);
    EXPECT_EQ(fast, "the quick brown fox jumps over the lazy dog @[`{ a 0123456789abcdefghijklmnopqrstuvwxyz!");
    // A cut never splits a character that may go on, and keeps a whole one.
    EXPECT_EQ(unifold_cut("ab\xe6\x9d", 4), 2u);
    EXPECT_EQ(unifold_cut("ab\xe6\x9d\xb1", 5), 5u);
    EXPECT_EQ(unifold_cut("ab\xc3", 3), 2u);
    EXPECT_EQ(unifold_cut("ab\x80", 3), 3u);
}
