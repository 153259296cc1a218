// Body fingerprints: the exact form, and the form of a text a browser decodes from broken UTF-8.
#include <gtest/gtest.h>

#include <string>

#include "util/fingerprint.h"

static std::string exact(const std::string &s)
{
    char out[FINGERPRINT_HEX + 1];
    fingerprint_text(s.data(), s.size(), out);
    return out;
}

static std::string shown(const std::string &s)
{
    char out[FINGERPRINT_HEX + 1];
    fingerprint_shown(s.data(), s.size(), out);
    return out;
}

TEST(Fingerprint, ExactFormIsFnv1aInHex)
{
    EXPECT_EQ(exact(""), "cbf29ce484222325");
    EXPECT_EQ(exact("a"), "af63dc4c8601ec8c"); // published FNV-1a 64 test vector
    EXPECT_EQ(exact("foobar"), "85944171f73967e8");
    EXPECT_TRUE(fingerprint_valid("0123456789abcdef"));
    for (const char *bad : {"", "0123456789abcde", "0123456789abcdef0", "0123456789ABCDEF", "0123456789abcdeg"})
        EXPECT_FALSE(fingerprint_valid(bad)) << bad;
}

TEST(Fingerprint, ShownFormReplacesEachBrokenSequenceOnce)
{
    const std::string r = "\xef\xbf\xbd";
    struct {
        std::string stored;
        std::string browser_text;
    } rows[] = {
        {"plain", "plain"},
        {"caf\xe9 latin-1", "caf" + r + " latin-1"},
        {"\xed\xa0\xbd", r + r + r}, // an encoded lone surrogate
        {"\xe2\x82", r},
        {"\xe2\x82x", r + "x"},
        {"\xf0\x9f\x98\x80 ok", "\xf0\x9f\x98\x80 ok"},
        {"\xc0\xaf", r + r},
        {"\xf4\x90\x80\x80", r + r + r + r},
        {"\xe0\x80\x80", r + r + r},
        {"\x80\xbf", r + r},
        {"\xf0\x9f\x98", r},
        {"\xe9\x9c\x80", "\xe9\x9c\x80"},
    };
    for (auto &row : rows)
        EXPECT_EQ(shown(row.stored), exact(row.browser_text)) << row.browser_text;
}
