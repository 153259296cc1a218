// Text buffer growth, bounded copy, JSON string output and the JSON field scanner.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "util/json.h"
#include "util/textbuf.h"

TEST(TextBuf, AppendsKeepEveryByteAcrossGrowth)
{
    TextBuf b = {};
    buf_puts(&b, "");
    EXPECT_EQ(b.data, nullptr); // the empty string obtains no storage
    std::string want;
    for (int i = 0; i < 3000; i++) {
        char c = static_cast<char>('a' + i % 26);
        if (i % 3 == 0) {
            buf_putc(&b, c);
            want += c;
        } else {
            std::string piece(static_cast<size_t>(i % 7 + 1), c);
            buf_add(&b, piece.data(), piece.size());
            want += piece;
        }
    }
    ASSERT_EQ(b.length, want.size());
    EXPECT_EQ(std::string(b.data), want); // terminated right after the last byte
    buf_clear(&b);
    EXPECT_STREQ(b.data, "");
    buf_free(&b);
}

TEST(TextBuf, AppendsPastTheCeilingAreDroppedWhole)
{
    TextBuf b = {};
    buf_puts(&b, "abc");
    char *before = b.data;
    EXPECT_EQ(buf_need(&b, TEXTBUF_MAX - 3), 0); // length + extra + 1 would exceed the ceiling
    EXPECT_EQ(b.data, before);
    EXPECT_EQ(b.length, 3u);
    ASSERT_EQ(buf_need(&b, TEXTBUF_MAX - 4), 1); // exactly the ceiling fits
    // Fill to the last byte before the terminator: every append function must now drop its
    // bytes whole and keep the text terminated.
    b.length = TEXTBUF_MAX - 1;
    b.data[b.length] = '\0';
    b.data[b.length - 1] = 'z';
    struct {
        const char *name;
        void (*append)(TextBuf *);
    } rows[] = {
        {"buf_putc", [](TextBuf *t) { buf_putc(t, 'x'); }},
        {"buf_add", [](TextBuf *t) { buf_add(t, "xy", 2); }},
        {"buf_puts", [](TextBuf *t) { buf_puts(t, "x"); }},
        {"json_str", [](TextBuf *t) { json_str(t, "x"); }},
    };
    for (auto &r : rows) {
        r.append(&b);
        EXPECT_EQ(b.length, TEXTBUF_MAX - 1) << r.name;
        EXPECT_EQ(b.data[b.length - 1], 'z') << r.name;
        EXPECT_EQ(b.data[b.length], '\0') << r.name;
    }
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

// The escaping rule written out byte by byte, to check the word-at-a-time writer against.
static std::string json_reference(const std::string &s)
{
    std::string r = "\"";
    for (unsigned char c : s) {
        if (c == '"' || c == '\\')
            r += std::string("\\") + static_cast<char>(c);
        else if (c == '\t')
            r += "\\t";
        else if (c == '\n')
            r += "\\n";
        else if (c == '\r')
            r += "\\r";
        else if (c < 0x20) {
            char u[8];
            snprintf(u, sizeof u, "\\u%04x", c);
            r += u;
        } else
            r += static_cast<char>(c);
    }
    return r + "\"";
}

TEST(JsonStr, EscapesEverySpecialByteAtEveryPosition)
{
    // Each byte that needs an escape at the start, in the middle and at the end of plain
    // stretches of 8 to 40 bytes, where the writer looks at eight bytes at a time.
    std::string specials = "\n\"\\\x1f\t\r";
    for (int c = 1; c < 0x20; c++)
        specials += static_cast<char>(c);
    for (size_t len = 8; len <= 40; len++)
        for (size_t pos = 0; pos < len; pos++)
            for (char special : specials) {
                std::string s(len, 'a');
                s[pos] = special;
                std::string want = json_reference(s);
                ASSERT_EQ(json_of(s.c_str()), want) << len << " " << pos << " " << int(special);
                // Escaped into a small room piece by piece, the pieces join to the same text.
                std::string pieces = "\"";
                char room[9];
                for (size_t at = 0, cap = 6 + pos % 4; at < len;)
                    pieces.append(room, json_escape_some(s.data(), len, &at, room, cap));
                ASSERT_EQ(pieces + "\"", want) << len << " " << pos << " " << int(special);
            }
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
        {"{\"body!:\"x\"}", "body", 0, ""},
        {"{\"bod\":\"x\",\"body\":\"y\"}", "body", 1, "y"},
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
        {"{\"pin\":00000000000000000000000000000001}", 1, 0}, // the 32nd digit is not read
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
        {"\"\\u00E9\\u00e9\"", 64, "\xc3\xa9\xc3\xa9", 14},
        {"\"\\u004F\\u004f\\u001F\"", 64, "OO\x1f", 20},
        {"\"\\uFFFF\\uffff\"", 64, "\xef\xbf\xbf\xef\xbf\xbf", 14},
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
