// Shared fixture for end-to-end tests: a fresh notes directory per test and short helpers that
// run one API request through the real executable.
#pragma once
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <string>

#include "support/cgi.h"

namespace fs = std::filesystem;

// Why a test that plants Linux symbolic links is skipped when the suite runs the Windows build
// under wine (NOTES_UNDER_WINE): no Windows call can tell such a link from its target there.
inline const char *const k_wine_hides_links =
    "wine shows a Linux symbolic link to Windows programs as the file it leads to (not as a "
    "reparse point), so no Windows call can tell it is a link there";

inline const std::string k_json_head =
    "Content-Type: application/json; charset=utf-8\r\nCache-Control: no-store\r\n"
    "X-Content-Type-Options: nosniff\r\n\r\n";

// The exact error response for a status line (empty for none) and message.
inline std::string err_response(const std::string &status_line, const std::string &msg)
{
    return status_line + k_json_head + "{\"ok\":false,\"error\":\"" + msg + "\"}\n";
}

inline std::string read_file(const std::string &path)
{
    std::ifstream f(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), {});
}

inline void write_file(const std::string &path, const std::string &text)
{
    std::ofstream(path, std::ios::binary) << text;
}

// Replaces every timestamp with T so answers can be compared byte for byte.
inline std::string mask_times(const std::string &s)
{
    static const std::regex ts("\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\dZ");
    return std::regex_replace(s, ts, "T");
}

// The base a client sends: 64-bit FNV-1a of the body bytes as 16 lowercase hex digits.
inline std::string fnv_hex(const std::string &s)
{
    uint64_t h = 0xcbf29ce484222325u;
    for (unsigned char c : s)
        h = (h ^ c) * 0x100000001b3u;
    char out[17];
    snprintf(out, sizeof out, "%016llx", static_cast<unsigned long long>(h));
    return out;
}

class Api : public ::testing::Test {
protected:
    std::string dir;

    void SetUp() override
    {
        char tmpl[] = "/tmp/notes-e2e-XXXXXX";
        dir = mkdtemp(tmpl);
    }
    void TearDown() override
    {
        std::error_code ec; // a failed test may leave a mount behind: report nothing, throw nothing
        fs::remove_all(dir, ec);
    }

    Env env_for(const std::string &query, const std::string &method = "GET")
    {
        return {{"QUERY_STRING", query}, {"REQUEST_METHOD", method}, {"NOTES_DIR", dir}};
    }

    // Runs one request; asserts the process exited 0 and wrote nothing to standard error.
    std::string call(const std::string &query, const std::string &body = "", Env extra = {},
                     const std::string &method = "POST")
    {
        Env env = env_for(query, method);
        if (!body.empty())
            env["CONTENT_LENGTH"] = std::to_string(body.size());
        for (auto &e : extra)
            env[e.first] = e.second;
        CgiResult r = cgi_run(NOTES_EXE, env, body);
        EXPECT_EQ(r.status, 0) << query;
        EXPECT_EQ(r.err, "") << query;
        return r.out;
    }

    // Body of a success answer (after the JSON header block); fails the test on any other answer.
    std::string ok_body(const std::string &query, const std::string &body = "")
    {
        std::string out = call(query, body);
        EXPECT_EQ(out.compare(0, k_json_head.size(), k_json_head), 0) << out;
        return out.size() >= k_json_head.size() ? out.substr(k_json_head.size()) : out;
    }

    // Saves a note and returns its identifier.
    std::string save(const std::string &json)
    {
        std::string b = ok_body("action=save", json);
        std::smatch m;
        EXPECT_TRUE(std::regex_search(b, m, std::regex("\"id\":\"([a-z0-9]{12})\""))) << b;
        return m.size() > 1 ? m[1].str() : "";
    }

    // Writes an index of 2000 notes (the table's limit), n00000000000 to n00000001999.
    void write_full_index()
    {
        std::string text = "{\"version\":1,\"notes\":[\n";
        char id[16];
        for (int i = 0; i < 2000; i++) {
            snprintf(id, sizeof id, "n%011d", i);
            text += std::string(i ? ",\n" : "") + "  {\"id\":\"" + id +
                    "\",\"title\":\"\",\"pinned\":0,\"created\":\"\",\"updated\":\"\"}";
        }
        write_file(dir + "/index.json", text + "\n]}\n");
    }

    std::string index_text()
    {
        return read_file(dir + "/index.json");
    }
};
