// Text buffer growth, bounded copy, JSON string output and the JSON field scanner.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "util/json.h"
#include "util/textbuf.h"

TEST(TextBuf, GrowsFrom1024ByDoubling)
{
    TextBuf b = {};
    buf_puts(&b, "");
    EXPECT_EQ(b.data, nullptr);
    EXPECT_EQ(b.capacity, 0u);
    std::string s(1023, 'x');
    buf_add(&b, s.data(), s.size());
    EXPECT_EQ(b.capacity, 1024u);
    EXPECT_EQ(b.length, 1023u);
    buf_putc(&b, 'y');
    EXPECT_EQ(b.capacity, 2048u);
    EXPECT_EQ(b.data[b.length], '\0');
    buf_free(&b);

    std::string big(5000, 'z');
    buf_add(&b, big.data(), big.size());
    EXPECT_EQ(b.capacity, 8192u);
    buf_free(&b);
}

TEST(TextBuf, RefusesGrowthPastCeilingAndStaysUsable)
{
    TextBuf b = {};
    buf_puts(&b, "abc");
    char *before = b.data;
    EXPECT_EQ(buf_need(&b, TEXTBUF_MAX - 3), 0); // length + extra + 1 would exceed the ceiling
    EXPECT_EQ(b.data, before);
    EXPECT_EQ(b.length, 3u);
    EXPECT_EQ(b.capacity, 1024u);
    EXPECT_EQ(buf_need(&b, TEXTBUF_MAX - 4), 1); // exactly the ceiling fits
    EXPECT_EQ(b.capacity, TEXTBUF_MAX);
    buf_puts(&b, "def");
    EXPECT_STREQ(b.data, "abcdef");
    buf_free(&b);
}

TEST(StrCopy, CutsToCapacity)
{
    char out[8];
    str_copy(out, 4, "abcdef");
    EXPECT_STREQ(out, "abc");
    str_copy(out, 1, "abcdef");
    EXPECT_STREQ(out, "");
}

static std::string json_of(const char *s)
{
    TextBuf b = {};
    json_str(&b, s);
    std::string r(b.data ? b.data : "", b.length);
    buf_free(&b);
    return r;
}

TEST(JsonStr, EscapesExactly)
{
    struct {
        const char *in;
        const char *out;
    } rows[] = {
        {"\t\"\\\x01\x7f", "\"\\t\\\"\\\\\\u0001\x7f\""},
        {"a/b", "\"a/b\""},
        {"\b\f\n\r\x1b", "\"\\u0008\\u000c\\n\\r\\u001b\""},
        {"\xc3\xa9\xff", "\"\xc3\xa9\xff\""},
        {"", "\"\""},
    };
    for (auto &r : rows)
        EXPECT_EQ(json_of(r.in), r.out) << r.in;
    EXPECT_EQ(json_of(nullptr), "\"\"");
}

TEST(JsonFind, StrFindsFirstKeyFollowedByColon)
{
    struct {
        const char *text;
        const char *key;
        int found;
        const char *value;
    } rows[] = {
        {"{\"title\":\"id\",\"id\":\"abc\"}", "id", 1, "abc"},
        {"{\"id\" : \"abc\"}", "id", 1, "abc"},
        {"{\"id\"\f:\"abc\"}", "id", 0, ""},
        {"{\"id\":5,\"id\":\"abc\"}", "id", 0, ""},
        {"{\"x\":{\"id\":\"inner\"},\"id\":\"outer\"}", "id", 1, "inner"},
        {"{\"id\"\t\r\n:\n\"v\"}", "id", 1, "v"},
        {"{}", "id", 0, ""},
        {"{\"i\\u0064\":\"x\"}", "id", 0, ""},
    };
    for (auto &r : rows) {
        char out[64] = "";
        EXPECT_EQ(json_find_str(r.text, r.key, out, sizeof out), r.found) << r.text;
        EXPECT_STREQ(out, r.value) << r.text;
    }
}

TEST(JsonFind, IntConversions)
{
    struct {
        const char *text;
        int found;
        int value;
    } rows[] = {
        {"{\"pin\":true}", 1, 1},      {"{\"pin\":false}", 1, 0},   {"{\"pin\":\"1\"}", 1, 1},
        {"{\"pin\":-1}", 1, -1},       {"{\"pin\":null}", 1, 0},    {"{}", 0, 42},
        {"{\"pin\":1.5}", 1, 1},       {"{\"pin\":1e3}", 1, 1},     {"{\"pin\":\"7\"}", 1, 7},
        {"{\"pin\":trueish}", 1, 1},   {"{\"pin\": 5}", 1, 5},      {"{\"pin\":\" -3x\"}", 1, -3},
        {"{\"pin\":1234567890123456789012345678901234567890}", 1, atoi("1234567890123456789012345678901")},
    };
    for (auto &r : rows) {
        int v = 42;
        EXPECT_EQ(json_find_int(r.text, "pin", &v), r.found) << r.text;
        EXPECT_EQ(v, r.value) << r.text;
    }
}

TEST(JsonRead, StringDecodingAndCuts)
{
    struct {
        const char *text;
        size_t size;
        std::string value;
        size_t cursor_after; // offset of the cursor after reading
    } rows[] = {
        {"\"abcdef\"x", 4, "abc", 8},
        {"\"a\\u00e9b\"", 64, "a\xc3\xa9" "b", 10},
        {"\"\\u20ac\"", 64, "\xe2\x82\xac", 8},
        {"\"\\u0041\"", 64, "A", 8},
        {"\"x\\u0000y\"", 64, "xy", 10},
        {"\"\\ud83d\\ude00\"", 64, "\xed\xa0\xbd\xed\xb8\x80", 14},
        {"\"a\\u00e9\"", 3, "a\xc3", 9},
        {"\"a\\u20ac\"", 3, "a", 9},
        {"\"abc", 64, "abc", 4},
        {"\"ab\\", 64, "ab", 4},
        {"\"\\u12", 64, "", 5},
        {"\"\\u12\"z\"", 64, "\xe1\x88\x80", 8}, // the quote and z count as zero digits
        {"\"\\b\\f\\n\\r\\t\\/\\x\\'\"", 64, "\b\f\n\r\t/x'", 18},
        {"\"q\\\"q\"", 64, "q\"q", 6},
    };
    for (auto &r : rows) {
        char out[64];
        const char *cur = r.text;
        EXPECT_EQ(json_read_string(&cur, out, r.size), 1) << r.text;
        EXPECT_EQ(std::string(out), r.value) << r.text;
        EXPECT_EQ(static_cast<size_t>(cur - r.text), r.cursor_after) << r.text;

        if (r.size == 64) {
            const char *c2 = r.text;
            char *dup = json_dup_string(&c2);
            ASSERT_NE(dup, nullptr);
            EXPECT_EQ(std::string(dup), r.value) << r.text;
            EXPECT_EQ(c2, cur) << r.text;
            free(dup);
        }
    }
}

TEST(JsonRead, RefusesCursorOffQuote)
{
    char out[8] = "keep";
    const char *cur = "abc";
    EXPECT_EQ(json_read_string(&cur, out, sizeof out), 0);
    EXPECT_STREQ(out, "keep");
    EXPECT_EQ(json_dup_string(&cur), nullptr);
    const char *none = nullptr;
    EXPECT_EQ(json_read_string(&none, out, sizeof out), 0);
    EXPECT_EQ(json_read_string(nullptr, out, sizeof out), 0);
}

TEST(JsonRead, DupHasNoLengthLimit)
{
    std::string text = "\"" + std::string(300000, 'a') + "\"";
    const char *cur = text.c_str();
    char *dup = json_dup_string(&cur);
    ASSERT_NE(dup, nullptr);
    EXPECT_EQ(strlen(dup), 300000u);
    EXPECT_EQ(*cur, '\0');
    free(dup);
    const char *empty = "\"\"";
    dup = json_dup_string(&empty);
    ASSERT_NE(dup, nullptr);
    EXPECT_STREQ(dup, "");
    free(dup);
}

TEST(JsonRead, DecodesInPlaceLikeACopy)
{
    const char *rows[] = {"\"plain text\"", "\"a\\u00e9\\n\\\"q\\\"\\\\ \\u20ac end\"", "\"\\u0000x\\t\"", "\"unterminated \\u12"};
    for (const char *row : rows) {
        const char *c1 = row;
        char *copy = json_dup_string(&c1);
        ASSERT_NE(copy, nullptr);
        std::string text = row;
        char *start = text.data();
        const char *c2 = start;
        ASSERT_EQ(json_read_string(&c2, start, text.size() + 1), 1);
        EXPECT_STREQ(start, copy) << row;
        EXPECT_EQ(c2 - start, c1 - row) << row;
        free(copy);
    }
}
