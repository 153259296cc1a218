// The render action: choice between the body member and the text parameter, the size limit and
// its errors, and the exact success body; once also through the whole request entry.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <unistd.h>

#include "actions/actions.h"
#include "markdown/markdown.h"
#include "util/json.h"
#include "request.h"

static const std::string k_header = "Content-Type: application/json; charset=utf-8\r\n"
                                    "Cache-Control: no-store\r\n"
                                    "X-Content-Type-Options: nosniff\r\n"
                                    "\r\n";

// Runs fn with standard output sent to a temporary file; returns what it wrote.
template <typename Fn> static std::string capture_stdout(Fn fn)
{
    fflush(stdout);
    int saved = dup(1);
    FILE *tmp = tmpfile();
    dup2(fileno(tmp), 1);
    fn();
    fflush(stdout);
    dup2(saved, 1);
    close(saved);
    std::string out;
    rewind(tmp);
    char chunk[65536];
    size_t n;
    while ((n = fread(chunk, 1, sizeof chunk, tmp)) > 0)
        out.append(chunk, n);
    fclose(tmp);
    return out;
}

static std::string render(const std::string &body, const char *query)
{
    memcpy(g_body, body.data(), body.size());
    g_body[body.size()] = '\0';
    g_body_len = body.size();
    Request r = {};
    r.query = query;
    return capture_stdout([&] { do_render(&r); });
}

static std::string ok_html(const std::string &json_html)
{
    return k_header + "{\"ok\":true,\"html\":\"" + json_html + "\"}\n";
}

static std::string error(const char *status, const char *message)
{
    return std::string("Status: ") + status + "\r\n" + k_header + "{\"ok\":false,\"error\":\"" + message +
           "\"}\n";
}

struct RenderCase {
    std::string body;
    const char *query;
    std::string answer;
};

TEST(Render, AnswersEveryDocumentedRequest)
{
    const std::string missing = error("400 Bad Request", "missing body field");
    const RenderCase cases[] = {
        {"{\"body\":\"# Hi\"}", "", ok_html("<h1>Hi</h1>\\n")},
        {"{\"body\":\"\"}", "", ok_html("")},
        {"{\"body\" : \"a\"}", "", ok_html("<p>a</p>\\n")},
        {"", "action=render&text=a", ok_html("<p>a</p>\\n")},
        {"", "action=render&text=", ok_html("")},
        {"", "action=render", missing},
        {"{\"body\":null}", "action=render", missing},
        {"{\"body\":null}", "action=render&text=a", ok_html("<p>a</p>\\n")},
        {"{\"title\":\"body\",\"body\":\"a\"}", "", ok_html("<p>a</p>\\n")},
        {"{\"body\":\"**b**\"}", "text=a", ok_html("<p><strong>b</strong></p>\\n")},
        // A key whose value is not a string stops the search: a later "body" is not looked at.
        {"{\"body\":1,\"body\":\"a\"}", "", missing},
        {"{\"bodyx\":\"a\"}", "text=%2A%2Ab%2A%2A", ok_html("<p><strong>b</strong></p>\\n")},
        {"{\"body\":\"<script>\\\"x\\\"\"}", "", ok_html("<p>&lt;script&gt;&quot;x&quot;</p>\\n")},
    };
    for (const RenderCase &c : cases)
        EXPECT_EQ(render(c.body, c.query), c.answer) << "body: " << c.body << " query: " << c.query;
}

TEST(Render, AcceptsExactly512KiBAndRefusesOneByteMore)
{
    std::string html = "<p>" + std::string(4095, 'a') + "</p>\\n";
    std::string at_limit = "{\"body\":\"" + std::string(524288, 'a') + "\"}";
    EXPECT_EQ(render(at_limit, ""), ok_html(html));
    std::string over = "{\"body\":\"" + std::string(524289, 'a') + "\"}";
    EXPECT_EQ(render(over, ""), error("413 Payload Too Large", "note body exceeds 512 KiB"));
    // The limit is on the decoded text: escapes that shrink it keep it inside.
    std::string escaped = "{\"body\":\"" + std::string(524288, 'a') + "\\u0000\"}";
    EXPECT_EQ(render(escaped, ""), ok_html(html));
}

TEST(Render, LongAnswerIsTheWholeRenderingEscaped)
{
    // Far more HTML than one streamed piece, with bytes that JSON escapes in every piece.
    std::string doc;
    for (int i = 0; i < 6000; i++)
        doc += "# \"q\" " + std::to_string(i) + "\n```\na\tb\\c\n```\n";
    TextBuf html = {}, escaped = {};
    blocks_into(&html, doc.c_str());
    json_str(&escaped, html.data);
    ASSERT_GT(html.length, 4 * MD_STREAM_CHUNK);
    TextBuf body = {};
    json_str(&body, doc.c_str());
    std::string answer = render(std::string("{\"body\":") + body.data + "}", "");
    EXPECT_EQ(answer, k_header + "{\"ok\":true,\"html\":" + escaped.data + "}\n");
    buf_free(&html);
    buf_free(&escaped);
    buf_free(&body);
}

// The whole request path: the action is found in the dispatch table and answers a GET.
TEST(Render, IsReachableThroughTheRequestEntry)
{
    char dir[] = "/tmp/notes_render_XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    setenv("NOTES_DIR", dir, 1);
    setenv("QUERY_STRING", "action=render&text=%5Bx%5D(javascript:y)+*e*", 1);
    setenv("REQUEST_METHOD", "GET", 1);
    unsetenv("CONTENT_LENGTH");
    unsetenv("ORVIK_PASSWORD");
    unsetenv("ZQ_PLUGIN_META");
    request_reset();
    char arg0[] = "plugin_notes";
    char *argv[] = {arg0, nullptr};
    std::string out = capture_stdout([&] { request_main(1, argv); });
    EXPECT_EQ(out, ok_html("<p>[x](javascript:y) <em>e</em></p>\\n"));
    request_reset();
    for (const char *name : {"NOTES_DIR", "QUERY_STRING", "REQUEST_METHOD"})
        unsetenv(name);
    std::error_code ec; // no shell: the Windows build runs this test too
    std::filesystem::remove_all(dir, ec);
    EXPECT_FALSE(ec) << ec.message();
}
