// Smart search (search with smart=1) through the executable: ranking, words and phrases, snippets
// and their ranges, long bodies; and the plain search answer it leaves as it was.
#include <algorithm>
#include <vector>

#include "e2e/e2e_support.h"
#include "support/json_check.h"

namespace {

struct Hit {
    std::string id, title, snippet;
    std::vector<std::pair<size_t, size_t>> title_marks, snippet_marks, body_mark;
};

std::vector<std::pair<size_t, size_t>> pairs_of(const std::string &line, const std::string &member)
{
    std::smatch m;
    std::vector<std::pair<size_t, size_t>> out;
    if (!std::regex_search(line, m, std::regex("\"" + member + "\":\\[((?:\\[?\\d+,\\d+\\]?,?)*)\\]")))
        return out;
    std::string list = m[1].str();
    for (std::smatch p; std::regex_search(list, p, std::regex("(\\d+),(\\d+)")); list = p.suffix())
        out.push_back({std::stoul(p[1].str()), std::stoul(p[2].str())});
    return out;
}

// The JSON string member's text, with the escapes the answers use undone.
std::string string_of(const std::string &line, const std::string &member)
{
    std::smatch m;
    if (!std::regex_search(line, m, std::regex("\"" + member + "\":\"((?:[^\"\\\\]|\\\\.)*)\"")))
        return "";
    std::string s = m[1].str(), out;
    for (size_t i = 0; i < s.size(); i++)
        out += s[i] == '\\' && i + 1 < s.size() ? (++i, s[i] == 't' ? '\t' : s[i]) : s[i];
    return out;
}

} // namespace

class SmartSearch : public Api {
protected:
    // The items of a smart search answer, in order; checks the answer is valid JSON.
    std::vector<Hit> search(const std::string &q)
    {
        std::string out = ok_body("action=search&smart=1&q=" + q);
        EXPECT_TRUE(json_valid(out)) << out;
        std::vector<Hit> hits;
        size_t from = 0;
        for (size_t nl; (nl = out.find("\n  {", from)) != std::string::npos; from = nl + 1) {
            std::string line = out.substr(nl + 3, out.find('\n', nl + 1) - nl - 3);
            hits.push_back({string_of(line, "id"), string_of(line, "title"), string_of(line, "snippet"),
                            pairs_of(line, "title_marks"), pairs_of(line, "snippet_marks"),
                            pairs_of(line, "body_mark")});
        }
        EXPECT_NE(out.find("],\"count\":" + std::to_string(hits.size()) + "}\n"), std::string::npos) << out;
        return hits;
    }
    // The given notes in listing order (notes saved in the same second tie on their dates).
    std::vector<std::string> listed(std::vector<std::string> some)
    {
        std::string list = ok_body("action=list");
        std::sort(some.begin(), some.end(), [&](auto &x, auto &y) { return list.find(x) < list.find(y); });
        return some;
    }
    std::vector<std::string> ids(const std::string &q)
    {
        std::vector<std::string> out;
        for (auto &h : search(q))
            out.push_back(h.id);
        return out;
    }
};

TEST_F(SmartSearch, RanksTitlesThenBodiesAndNeedsEveryWord)
{
    std::string body1 = save("{\"title\":\"Other\",\"body\":\"went to a CAF\xc3\x89 today\"}");
    std::string inside = save("{\"title\":\"The old caf\xc3\xa9\",\"body\":\"-\"}");
    std::string body2 = save("{\"title\":\"Later\",\"body\":\"cafe again\"}");
    std::string starts = save("{\"title\":\"Cafe society\",\"body\":\"-\"}");
    std::string exact = save("{\"title\":\" Caf\xc3\xa9 \",\"body\":\"-\"}");
    std::string split = save("{\"title\":\"New\",\"body\":\"the town of York\"}");
    std::string phrase = save("{\"title\":\"x\",\"body\":\"I love new york\"}");
    std::string crlf = save("{\"title\":\"y\",\"body\":\"went to NEW\\r\\nYORK\"}");
    save("{\"title\":\"nothing\",\"body\":\"coffee\"}");
    std::vector<std::string> bodies = listed({body1, body2});
    EXPECT_EQ(ids("cafe"), (std::vector<std::string>{exact, starts, inside, bodies[0], bodies[1]}));
    EXPECT_EQ(ids("york+new"), listed({phrase, split, crlf}));
    EXPECT_EQ(ids("%22new+york%22"), listed({phrase, crlf})) << "a phrase across a line break";
    EXPECT_EQ(ids("%22york+new%22"), (std::vector<std::string>{}));
    EXPECT_EQ(ids("new+york+zzz"), (std::vector<std::string>{}));
    // A title holding the query as its start ranks above one holding its words apart.
    std::string words = save("{\"title\":\"york and new\",\"body\":\"-\"}");
    std::string lead = save("{\"title\":\"New York notes\",\"body\":\"-\"}");
    std::vector<std::string> rest = listed({phrase, split, crlf});
    EXPECT_EQ(ids("new+york"), (std::vector<std::string>{lead, words, rest[0], rest[1], rest[2]}));
}

TEST_F(SmartSearch, SnippetsAreCutAtCharactersAndRangesLandOnTheMatches)
{
    const std::string euro = "\xe2\x82\xac", term = "Z\xc3\xbcrich";
    struct {
        std::string body, snippet_start, first_marked;
        size_t marks;
    } rows[] = {
        // Line breaks become spaces; a short body is the whole snippet.
        {"one\nZ\xc3\x9cRICH\r\ntwo", "one Z\xc3\x9cRICH  two", "Z\xc3\x9cRICH", 1},
        // Far into a text of three-byte characters the cut still falls between characters.
        {std::string(40, 'a') + euro + euro + euro + euro + euro + euro + euro + euro + euro + euro + " zurich",
         euro, "zurich", 1},
        {std::string(41, 'a') + euro + euro + euro + euro + euro + euro + euro + euro + euro + euro + " zurich",
         euro, "zurich", 1},
        // A later match that starts inside the snippet and would be cut by its end stretches it.
        {"zurich " + std::string(109, 'y') + " zurich tail " + std::string(200, 'z'), "zurich", "zurich", 2},
    };
    for (auto &r : rows) {
        fs::remove_all(dir);
        fs::create_directories(dir);
        std::string id = save("{\"title\":\"t\",\"body\":\"\"}");
        write_file(dir + "/" + id + ".md", r.body);
        std::vector<Hit> hits = search("Z%C3%BCrich");
        ASSERT_EQ(hits.size(), 1u) << r.body;
        const Hit &h = hits[0];
        EXPECT_EQ(h.snippet.compare(0, r.snippet_start.size(), r.snippet_start), 0) << h.snippet;
        EXPECT_NE(static_cast<unsigned char>(h.snippet[0]) & 0xC0, 0x80) << h.snippet;
        ASSERT_EQ(h.snippet_marks.size(), r.marks) << h.snippet;
        for (auto &m : h.snippet_marks)
            EXPECT_EQ(h.snippet.substr(m.first, m.second - m.first), r.first_marked) << h.snippet;
        ASSERT_EQ(h.body_mark.size(), 1u);
        EXPECT_EQ(r.body.substr(h.body_mark[0].first, h.body_mark[0].second - h.body_mark[0].first), r.first_marked);
        EXPECT_TRUE(h.title_marks.empty());
    }
}

TEST_F(SmartSearch, SnippetOfAMatchStretchedByDroppedMarksFitsItsBuffer)
{
    // "Zu" with 20000 combining accents before "rich" still matches; its snippet once ran past
    // the snippet buffer. Now the snippet stops between characters within 8 KiB.
    std::string accents;
    for (int k = 0; k < 20000; k++)
        accents += "\xcc\x81";
    std::string id = save("{\"title\":\"t\",\"body\":\"\"}");
    write_file(dir + "/" + id + ".md", "x Zu" + accents + "rich y");
    std::vector<Hit> hits = search("zurich");
    ASSERT_EQ(hits.size(), 1u);
    EXPECT_LE(hits[0].snippet.size(), 8400u);
    EXPECT_EQ(hits[0].snippet.compare(0, 4, "x Zu"), 0);
    EXPECT_NE(static_cast<unsigned char>(hits[0].snippet.back()) & 0xC0, 0xC0) << "ends between characters";
    for (auto &m : hits[0].snippet_marks)
        EXPECT_LE(m.second, hits[0].snippet.size());
    EXPECT_EQ(hits[0].body_mark[0], (std::pair<size_t, size_t>{2, 2 + 2 + accents.size() + 4}));
}

TEST_F(SmartSearch, FindsMatchesAcrossReadChunksAndStopsAtNul)
{
    // Bodies are read 64 KiB at a time: matches that straddle the first chunk's end are found
    // by both searches, and nothing after a NUL byte is.
    std::string straddle = save("{\"title\":\"a\",\"body\":\"\"}");
    std::string body = std::string(65533, 'a') + " Z\xc3\x9cRICH end";
    write_file(dir + "/" + straddle + ".md", body);
    std::string hidden = save("{\"title\":\"b\",\"body\":\"\"}");
    write_file(dir + "/" + hidden + ".md", std::string("x\0 zurich", 9));
    std::vector<Hit> hits = search("zurich");
    ASSERT_EQ(hits.size(), 1u);
    EXPECT_EQ(hits[0].id, straddle);
    ASSERT_EQ(hits[0].body_mark.size(), 1u);
    EXPECT_EQ(hits[0].body_mark[0], (std::pair<size_t, size_t>{65534, 65541}));
    EXPECT_EQ(hits[0].snippet.substr(hits[0].snippet_marks[0].first, 7), "Z\xc3\x9cRICH");
    // Within a chunk the fold is made 1 KiB at a time: a match across such a step is found too.
    write_file(dir + "/" + straddle + ".md", "\xc3\xa9" + std::string(1019, 'a') + " Z\xc3\x9cRICH");
    hits = search("zurich");
    ASSERT_EQ(hits.size(), 1u);
    EXPECT_EQ(hits[0].body_mark[0], (std::pair<size_t, size_t>{1022, 1029}));
    std::string plain = std::string(65533, 'a') + "ZURICH";
    write_file(dir + "/" + hidden + ".md", plain);
    std::string out = ok_body("action=search&q=zurich");
    EXPECT_NE(out.find(hidden), std::string::npos) << "plain search across the chunk end";
    write_file(dir + "/" + hidden + ".md", plain + std::string(65536, 'b') + std::string("\0zurich", 7));
    EXPECT_NE(ok_body("action=search&q=zurich").find(hidden), std::string::npos);
    write_file(dir + "/" + hidden + ".md", std::string(70000, 'b') + std::string("\0zurich", 7));
    EXPECT_EQ(ok_body("action=search&q=zurich").find(hidden), std::string::npos) << "after a NUL byte";
}

TEST_F(SmartSearch, PlainSearchAnswerIsUnchanged)
{
    std::string a = save("{\"title\":\"Caf\xc3\xa9\",\"body\":\"x\"}");
    std::string b = save("{\"title\":\"y\",\"body\":\"a CAFE\"}");
    std::string list = ok_body("action=list");
    std::string only_b = "{\"ok\":true,\"count\":1,\"notes\":[\n  " +
                         list.substr(list.find("{\"id\":\"" + b), list.find('}', list.find(b)) + 1 - list.find("{\"id\":\"" + b)) +
                         "\n]}\n";
    EXPECT_EQ(ok_body("action=search&q=cafe"), only_b) << "ASCII folding only, no extra members";
    EXPECT_EQ(ok_body("action=search&q=cafe&smart=0"), only_b);
    EXPECT_EQ(ok_body("action=search&q=cafe&smart=yes"), only_b);
    EXPECT_EQ(ok_body("action=search&smart=1"), list);
    EXPECT_EQ(ok_body("action=search&smart=1&q=+%22+%22"), list) << "a query without terms filters nothing";
    EXPECT_EQ(ok_body("action=search&smart=1&q=qqq"), "{\"ok\":true,\"notes\":[],\"count\":0}\n");
    EXPECT_EQ(search("cafe").size(), 2u);
    (void)a;
}

TEST_F(SmartSearch, RenderMarksTheTermsInTextButNeverInMarkup)
{
    std::string req = "{\"body\":\"# Caf\xc3\xa9 & <b>cafe</b>\\n\\n[CAFE](http://cafe.example/?a=1&b=cafe) \\\"cafe\\\"\"}";
    std::string plain = ok_body("action=render", req);
    std::string smart = ok_body("action=render&smart=1&q=cafe", req);
    EXPECT_EQ(smart,
              "{\"ok\":true,\"html\":\"<h1><mark>Caf\xc3\xa9</mark> &amp; &lt;b&gt;<mark>cafe</mark>&lt;/b&gt;</h1>\\n"
              "<p><a href=\\\"http://cafe.example/?a=1&amp;b=cafe\\\" rel=\\\"noopener noreferrer\\\" "
              "target=\\\"_blank\\\"><mark>CAFE</mark></a> &quot;<mark>cafe</mark>&quot;</p>\\n\","
              "\"marks\":[[2,7],[13,17],[24,28],[37,41],[57,61],[64,68]]}\n");
    // Without the marks the answer is the plain one, byte for byte.
    std::string stripped = std::regex_replace(smart, std::regex("</?mark>"), "");
    EXPECT_EQ(stripped.substr(0, stripped.find(",\"marks\"")) + "}\n", plain);
    EXPECT_EQ(ok_body("action=render&smart=1", req), plain);
    EXPECT_EQ(ok_body("action=render&q=cafe", req), plain);
}
