// The note actions through the real executable: byte-exact answers, every error they can give,
// and the files they leave on disk.
#include <algorithm>

#include "e2e_support.h"

static const std::string k_bad_request = "Status: 400 Bad Request\r\n";
static const std::string k_not_found = "Status: 404 Not Found\r\n";
static const std::string k_server = "Status: 500 Internal Server Error\r\n";

TEST_F(Api, SaveCreatesAndListShowsInOrder)
{
    std::string a = save("{\"title\":\"Shopping\",\"body\":\"milk\\neggs\"}");
    EXPECT_EQ(read_file(dir + "/" + a + ".md"), "milk\neggs");
    std::string b = save("{\"body\":\"\"}");
    EXPECT_EQ(read_file(dir + "/" + b + ".md"), "");
    // The list shows exactly the index's records, in the index's order.
    std::string idx = index_text();
    std::string list = ok_body("action=list");
    EXPECT_EQ(list, "{\"ok\":true,\"count\":2,\"notes\":[" + idx.substr(idx.find('\n')));
    EXPECT_NE(mask_times(list).find("  {\"id\":\"" + a + "\",\"title\":\"Shopping\",\"pinned\":0,\"created\":\"T\",\"updated\":\"T\"}"),
              std::string::npos);
    EXPECT_EQ(ok_body("action=search"), ok_body("action=list"));
    EXPECT_EQ(ok_body("action=search&q="), ok_body("action=list"));
    EXPECT_EQ(mask_times(index_text()).find("{\"version\":1,\"notes\":[\n  {\"id\":"), 0u);
}

TEST_F(Api, SaveAnswerIsExact)
{
    std::string out = call("action=save", "{\"id\":\"k3v9q2m7x1ab\",\"title\":\"T\\u00e9 \\\"q\\\"\",\"pinned\":\"1\",\"body\":\"x\"}");
    EXPECT_EQ(mask_times(out), k_json_head + "{\"ok\":true,\"note\":{\"id\":\"k3v9q2m7x1ab\",\"title\":\"T\xc3\xa9 \\\"q\\\"\","
                                             "\"pinned\":1,\"created\":\"T\",\"updated\":\"T\"}}\n");
    EXPECT_EQ(out.find("\"body\""), std::string::npos);
}

TEST_F(Api, SaveUpdatesKeepCreatedAndPinRules)
{
    std::string id = save("{\"title\":\"one\",\"body\":\"a\",\"pinned\":true}");
    std::string idx1 = index_text();
    std::string created = idx1.substr(idx1.find("\"created\":\"") + 11, 20);
    struct {
        std::string extra;
        int pinned;
        std::string title;
    } rows[] = {
        {"", 1, ""},                        // no "pinned": the stored flag stays; no "title": empty
        {",\"pinned\":false,\"title\":\"t\"", 0, "t"},
        {",\"pinned\":7", 1, ""},
        {",\"pinned\":\"1\"", 1, ""},
        {",\"pinned\":0", 0, ""},
    };
    for (auto &r : rows) {
        std::string b = ok_body("action=save", "{\"id\":\"" + id + "\",\"body\":\"new\"" + r.extra + "}");
        EXPECT_NE(b.find("\"pinned\":" + std::to_string(r.pinned)), std::string::npos) << r.extra << b;
        EXPECT_NE(b.find("\"title\":\"" + r.title + "\""), std::string::npos) << r.extra;
        EXPECT_NE(b.find("\"created\":\"" + created + "\""), std::string::npos) << "created never changes";
    }
    EXPECT_EQ(read_file(dir + "/" + id + ".md"), "new");
    EXPECT_NE(ok_body("action=list").find("\"count\":1"), std::string::npos);
}

TEST_F(Api, SaveErrorsChangeNothing)
{
    std::string id = save("{\"title\":\"keep\",\"body\":\"kept\"}");
    std::string before = index_text();
    struct {
        std::string body;
        std::string expect;
    } rows[] = {
        {"{}", err_response(k_bad_request, "missing body field")},
        {"{\"body\":5}", err_response(k_bad_request, "missing body field")},
        {"{\"body\"/**/:\"x\"}", err_response(k_bad_request, "missing body field")},
        {"{\"body\"::\"x\"}", err_response(k_bad_request, "missing body field")},
        {"{\"id\":\"ABCDEFGHIJKL\"}", err_response(k_bad_request, "missing body field")},
        {"{\"id\":\"ABCDEFGHIJKL\",\"body\":\"x\"}", err_response(k_bad_request, "invalid id")},
        {"{\"id\":\"../index.json\",\"body\":\"x\"}", err_response(k_bad_request, "invalid id")},
        {"{\"id\":\"../../../etc/x\",\"body\":\"x\"}", err_response(k_bad_request, "invalid id")},
        {"{\"id\":\"abc%2F..%2Fxyz\",\"body\":\"x\"}", err_response(k_bad_request, "invalid id")},
        {"{\"id\":\"" + id + "x\",\"body\":\"x\"}", err_response(k_bad_request, "invalid id")},
        {"{\"id\":\"" + id + "\",\"body\":\"" + std::string(524289, 'b') + "\"}",
         err_response("Status: 413 Payload Too Large\r\n", "note body exceeds 512 KiB")},
    };
    for (auto &r : rows) {
        EXPECT_EQ(call("action=save", r.body), r.expect) << r.body.substr(0, 60);
        EXPECT_EQ(index_text(), before);
        EXPECT_EQ(read_file(dir + "/" + id + ".md"), "kept");
    }
    EXPECT_EQ(call("action=save"), err_response(k_bad_request, "empty body"));
    EXPECT_EQ(std::distance(fs::directory_iterator(dir), {}), 3) << "note, index and trash only";
}

TEST_F(Api, SaveBodyMemberRules)
{
    struct {
        std::string json;
        std::string stored;
    } rows[] = {
        {"{\"title\":\"body\",\"body\":\"real\"}", "real"},
        {"{\"body\" \t\r\n: \n\"ws\"}", "ws"},
        {"{\"body\":\"unterminated", "unterminated"},
        {"{\"body\":\"\\u00e9\\ud83d\\ude00\\t\"}", "\xc3\xa9\xed\xa0\xbd\xed\xb8\x80\t"},
        {"{\"id\":\"\",\"body\":\"empty id\"}", "empty id"},
        {"{\"id\":5,\"body\":\"number id\"}", "number id"},
    };
    for (auto &r : rows) {
        std::string id = save(r.json);
        EXPECT_EQ(read_file(dir + "/" + id + ".md"), r.stored) << r.json;
    }
    std::string exact(524288, 'e');
    std::string id = save("{\"body\":\"" + exact + "\"}");
    EXPECT_EQ(read_file(dir + "/" + id + ".md").size(), 524288u);
    id = save("{\"id\":\"zzzzzzzzzzzz\",\"body\":\"chosen\"}");
    EXPECT_EQ(id, "zzzzzzzzzzzz");
}

TEST_F(Api, GetReturnsNoteWholeAndExact)
{
    std::string body = "tab\there\nline \"q\" \xf0\x9f\x98\x80 \x01";
    std::string json_body = "tab\\there\\nline \\\"q\\\" \xf0\x9f\x98\x80 \\u0001";
    std::string id = save("{\"title\":\"T\",\"body\":\"tab\\there\\nline \\\"q\\\" \xf0\x9f\x98\x80 \\u0001\"}");
    EXPECT_EQ(read_file(dir + "/" + id + ".md"), body);
    EXPECT_EQ(mask_times(ok_body("action=get&id=" + id)),
              "{\"ok\":true,\"note\":{\"id\":\"" + id + "\",\"title\":\"T\",\"pinned\":0,\"created\":\"T\",\"updated\":\"T\",\"body\":\"" +
                  json_body + "\"}}\n");
    write_file(dir + "/" + id + ".md", std::string("before\0after", 12));
    EXPECT_NE(ok_body("action=get&id=" + id).find("\"body\":\"before\"}}\n"), std::string::npos);
    fs::remove(dir + "/" + id + ".md");
    EXPECT_NE(ok_body("action=get&id=" + id).find("\"body\":\"\"}}\n"), std::string::npos);
}

TEST_F(Api, IdErrorsForGetDeletePin)
{
    save("{\"id\":\"abcdefghijkl\",\"body\":\"x\"}");
    std::string before = index_text();
    const std::string ids[] = {"",
                               "ABCDEFGHIJKL",
                               "..%2Findex.json",
                               "../../etc/pas",
                               "%2E%2E%2Fabcdefghi",
                               "abcdefghijk%2F",
                               "abcdefghijk",
                               std::string(100, 'a')};
    for (const char *action : {"get", "delete", "pin"}) {
        for (auto &id : ids)
            EXPECT_EQ(call(std::string("action=") + action + "&id=" + id), err_response(k_bad_request, "invalid id"))
                << action << " " << id;
        EXPECT_EQ(call(std::string("action=") + action + "&id=zzzzzzzzzzzz"), err_response(k_not_found, "note not found"));
    }
    EXPECT_EQ(index_text(), before);
    EXPECT_TRUE(fs::exists(dir + "/abcdefghijkl.md"));
}

TEST_F(Api, DeleteMovesToTrashAndKeepsOrder)
{
    std::string a = save("{\"id\":\"aaaaaaaaaaaa\",\"body\":\"A\"}");
    std::string b = save("{\"id\":\"bbbbbbbbbbbb\",\"body\":\"B\"}");
    std::string c = save("{\"id\":\"cccccccccccc\",\"body\":\"C\"}");
    std::string list = ok_body("action=list");
    size_t pa = list.find(a), pb = list.find(b), pc = list.find(c);
    EXPECT_EQ(call("action=delete&id=" + a),
              k_json_head + "{\"ok\":true,\"deleted\":\"" + a + "\",\"trash\":true}\n");
    EXPECT_EQ(read_file(dir + "/.trash/" + a + ".md"), "A");
    EXPECT_FALSE(fs::exists(dir + "/" + a + ".md"));
    std::string after = ok_body("action=list");
    EXPECT_NE(after.find("\"count\":2"), std::string::npos);
    EXPECT_EQ(after.find(a), std::string::npos);
    EXPECT_EQ(pb < pc, after.find(b) < after.find(c)) << "the others keep their order";
    (void)pa;
    // A missing body file still deletes; a reused identifier's delete takes the next copy number
    // and keeps the trashed file.
    fs::remove(dir + "/" + b + ".md");
    EXPECT_NE(call("action=delete&id=" + b).find("\"trash\":true"), std::string::npos);
    save("{\"id\":\"" + a + "\",\"body\":\"A2\"}");
    call("action=delete&id=" + a);
    EXPECT_EQ(read_file(dir + "/.trash/" + a + ".md"), "A");
    EXPECT_EQ(read_file(dir + "/.trash/" + a + ".1.md"), "A2");
    EXPECT_EQ(call("action=get&id=" + a), err_response(k_not_found, "note not found"));
}

TEST_F(Api, PinStatesAndOrder)
{
    std::string id = save("{\"id\":\"pppppppppppp\",\"body\":\"x\"}");
    save("{\"id\":\"qqqqqqqqqqqq\",\"body\":\"y\"}");
    struct {
        std::string query;
        std::string body;
        int before;
        int after;
    } rows[] = {
        {"", "{\"pin\":1}", 0, 1},        {"&pin=0", "{\"pin\":true}", 0, 1},  {"", "{\"pin\":2}", 0, 1},
        {"", "{\"pin\":\"1\"}", 0, 1},    {"", "{\"pin\":false}", 1, 0},       {"", "{\"pin\":null}", 1, 0},
        {"", "{\"pin\":\"abc\"}", 1, 0},  {"", "{\"pin\":-1}", 0, 1},          {"", "{\"pin\":\"-1\"}", 1, 0},
        {"&pin=1", "", 0, 1},             {"&pin=0", "", 1, 0},                {"&pin=", "", 1, 0},
        {"&pin=true", "", 1, 0},          {"&pin=no", "", 1, 0},               {"&pin=-1", "", 0, 1},
        {"", "", 0, 1},                   {"", "", 1, 0},
    };
    for (auto &r : rows) {
        // Bring the note to the wanted starting state first.
        call("action=pin&id=" + id + "&pin=" + std::to_string(r.before));
        EXPECT_EQ(call("action=pin&id=" + id + r.query, r.body),
                  k_json_head + "{\"ok\":true,\"id\":\"" + id + "\",\"pinned\":" + std::to_string(r.after) + "}\n")
            << r.query << " " << r.body;
    }
    // Start from old timestamps so that a pin made now is certainly the newest change.
    write_file(dir + "/index.json",
               "{\"notes\":[{\"id\":\"pppppppppppp\",\"pinned\":1,\"updated\":\"2020-01-02T00:00:00Z\"},"
               "{\"id\":\"qqqqqqqqqqqq\",\"pinned\":0,\"updated\":\"2020-01-03T00:00:00Z\"}]}");
    std::string list = ok_body("action=list");
    EXPECT_LT(list.find(id), list.find("qqqqqqqqqqqq")) << "the file's order is kept on load";
    call("action=pin&id=qqqqqqqqqqqq&pin=1");
    list = ok_body("action=list");
    EXPECT_LT(list.find("qqqqqqqqqqqq"), list.find(id)) << "a fresh pin moves to the top of the pinned group";
    call("action=pin&id=qqqqqqqqqqqq&pin=0");
    list = ok_body("action=list");
    EXPECT_LT(list.find(id), list.find("qqqqqqqqqqqq")) << "pinned notes come first";
}

TEST_F(Api, SearchFoldsAsciiCaseOverTitlesAndBodies)
{
    std::string a = save("{\"title\":\"note\",\"body\":\"x\"}");
    std::string b = save("{\"title\":\"Notebook\",\"body\":\"x\"}");
    std::string c = save("{\"title\":\"other\",\"body\":\"has a NoTe inside\"}");
    std::string d = save("{\"title\":\"\xc3\x89t\xc3\xa9\",\"body\":\"nothing\"}");
    std::string e = save("{\"title\":\"titled NOTE\",\"body\":\"x\"}");
    fs::remove(dir + "/" + e + ".md"); // a title match needs no body
    std::string f = save("{\"title\":\"gone\",\"body\":\"note\"}");
    fs::remove(dir + "/" + f + ".md"); // no title match and no body: not shown
    std::string r = ok_body("action=search&q=NOTE");
    EXPECT_NE(r.find("\"count\":4"), std::string::npos) << r;
    for (auto &id : {a, b, c, e})
        EXPECT_NE(r.find(id), std::string::npos);
    EXPECT_EQ(ok_body("action=search&q=%C3%A9t%C3%A9"), "{\"ok\":true,\"count\":0,\"notes\":[]}\n")
        << "non-ASCII letters are not folded";
    EXPECT_NE(ok_body("action=search&q=%C3%89t%C3%A9").find(d), std::string::npos);
    std::string longq = "action=search&q=" + std::string(255, 'n') + "ZZZ";
    EXPECT_EQ(ok_body(longq), "{\"ok\":true,\"count\":0,\"notes\":[]}\n");
    std::string nid = save("{\"title\":\"" + std::string(255, 'n') + "\",\"body\":\"x\"}");
    EXPECT_NE(ok_body(longq).find(nid), std::string::npos) << "q is cut to 255 bytes before searching";
}

TEST_F(Api, SearchFindsOneByteAndTheLastByteOfAFullTitle)
{
    // A title of the full 299 bytes whose only "q" is its last byte, and bodies searched for a
    // single byte near their start, middle and end.
    std::string full = save("{\"title\":\"" + std::string(298, 'x') + "Q\",\"body\":\"-\"}");
    std::string early = save("{\"body\":\"k" + std::string(40, '-') + "\"}");
    std::string late = save("{\"body\":\"" + std::string(40, '-') + "K\"}");
    save("{\"body\":\"" + std::string(40, '-') + "\"}");
    struct {
        std::string q;
        std::vector<std::string> ids;
    } rows[] = {
        {"q", {full}},
        {"xq", {full}},
        {"xxq", {full}},
        {"k", {late, early}},
        {"K-", {early}},
        {"-k", {late}},
        {"Z", {}},
    };
    for (auto &r : rows) {
        std::string out = ok_body("action=search&q=" + r.q);
        std::smatch m;
        std::vector<std::string> ids;
        for (std::string rest = out; std::regex_search(rest, m, std::regex("\"id\":\"([a-z0-9]{12})\"")); rest = m.suffix())
            ids.push_back(m[1].str());
        std::sort(ids.begin(), ids.end());
        std::sort(r.ids.begin(), r.ids.end());
        EXPECT_EQ(ids, r.ids) << r.q;
    }
}

TEST_F(Api, ListOrderFollowsASaveThatChangesThePinFlag)
{
    // Old timestamps, so that the save made now is certainly the newest change.
    write_file(dir + "/index.json",
               "{\"version\":1,\"notes\":[\n"
               "  {\"id\":\"aaaaaaaaaaaa\",\"title\":\"\",\"pinned\":1,\"created\":\"\",\"updated\":\"2020-01-03T00:00:00Z\"},\n"
               "  {\"id\":\"bbbbbbbbbbbb\",\"title\":\"\",\"pinned\":0,\"created\":\"\",\"updated\":\"2020-01-02T00:00:00Z\"},\n"
               "  {\"id\":\"cccccccccccc\",\"title\":\"\",\"pinned\":0,\"created\":\"\",\"updated\":\"2020-01-01T00:00:00Z\"}\n"
               "]}\n");
    struct {
        std::string save;
        std::string order;
    } rows[] = {
        {"{\"id\":\"cccccccccccc\",\"body\":\"x\",\"pinned\":1}", "cab"},
        {"{\"id\":\"aaaaaaaaaaaa\",\"body\":\"x\",\"pinned\":0}", "cab"},
        {"{\"id\":\"cccccccccccc\",\"body\":\"x\",\"pinned\":false}", "cab"},
        {"{\"id\":\"bbbbbbbbbbbb\",\"body\":\"x\",\"pinned\":true}", "bca"},
    };
    for (auto &r : rows) {
        save(r.save);
        std::string list = ok_body("action=list"), order;
        for (char c : std::string("abc"))
            order += c;
        std::sort(order.begin(), order.end(),
                  [&](char x, char y) { return list.find(std::string(12, x)) < list.find(std::string(12, y)); });
        EXPECT_EQ(order, r.order) << r.save;
    }
}

TEST_F(Api, IndexRecordsNotWrittenAsTheWriterWritesAreAnsweredAsItWould)
{
    // One record per row, in the writer's layout except for the one value under test; list and
    // get must answer with that value as the writer would have written it.
    const std::string head = "{\"version\":1,\"notes\":[\n  ";
    const std::string id = "{\"id\":\"abcdefghijkl\",\"title\":";
    const std::string tail = ",\"pinned\":0,\"created\":\"c\",\"updated\":\"u\"}";
    struct {
        std::string stored, answered;
    } rows[] = {
        {id + "\"x\\u001Fy\"" + tail, id + "\"x\\u001fy\"" + tail},
        {id + "\"\\u0041\\/\"" + tail, id + "\"A/\"" + tail},
        {id + "\"\\u0009\\u000a\\u000D\"" + tail, id + "\"\\t\\n\\r\"" + tail},
        {id + "\"x\\u0000y\"" + tail, id + "\"xy\"" + tail},
        {id + "\"\x01\"" + tail, id + "\"\\u0001\"" + tail},
        {id + "\"" + std::string(300, 't') + "\"" + tail, id + "\"" + std::string(299, 't') + "\"" + tail},
        {id + "\"\"" + ",\"pinned\":7" + tail.substr(11), id + "\"\"" + ",\"pinned\":1" + tail.substr(11)},
        {id + "\"\"" + ",\"pinned\":0,\"created\":\"" + std::string(24, '2') + "\",\"updated\":\"u\"}",
         id + "\"\"" + ",\"pinned\":0,\"created\":\"" + std::string(23, '2') + "\",\"updated\":\"u\"}"},
        {id + "\"q\\\"\\\\\\u001f\\t\"" + tail, id + "\"q\\\"\\\\\\u001f\\t\"" + tail},
    };
    write_file(dir + "/abcdefghijkl.md", "b");
    for (auto &r : rows) {
        for (const char *foot : {"\n]}\n", "\n]}\n\n"}) { // exactly the writer's end, and not
            write_file(dir + "/index.json", head + r.stored + foot);
            EXPECT_EQ(ok_body("action=list"), "{\"ok\":true,\"count\":1,\"notes\":[\n  " + r.answered + "\n]}\n")
                << r.stored;
            EXPECT_EQ(ok_body("action=get&id=abcdefghijkl"),
                      "{\"ok\":true,\"note\":" + r.answered.substr(0, r.answered.size() - 1) + ",\"body\":\"b\"}}\n")
                << r.stored;
        }
    }
}

TEST_F(Api, HandEditedIndexValuesAreNormalised)
{
    fs::create_directories(dir);
    write_file(dir + "/index.json", "{\"notes\":[{\"id\":\"sevensevense\",\"title\":\"7\",\"pinned\":7}]}");
    write_file(dir + "/sevensevense.md", "b");
    EXPECT_NE(ok_body("action=list").find("\"pinned\":1,\"created\":\"\",\"updated\":\"\""), std::string::npos);
    EXPECT_NE(ok_body("action=get&id=sevensevense").find("\"pinned\":1"), std::string::npos);
    EXPECT_EQ(call("action=pin&id=sevensevense", "{\"pin\":1}"),
              k_json_head + "{\"ok\":true,\"id\":\"sevensevense\",\"pinned\":1}\n");
}

TEST_F(Api, NoteLimitRefusesNewNotesOnly)
{
    fs::create_directories(dir);
    write_full_index();
    std::string before = index_text();
    EXPECT_EQ(call("action=save", "{\"body\":\"new\"}"), err_response(k_server, "note limit reached"));
    EXPECT_EQ(index_text(), before);
    EXPECT_EQ(std::distance(fs::directory_iterator(dir), {}), 2) << "no body file left without a record";
    EXPECT_NE(call("action=save", "{\"id\":\"n00000000005\",\"body\":\"edit\"}").find("\"ok\":true"), std::string::npos);
    EXPECT_EQ(read_file(dir + "/n00000000005.md"), "edit");
}

TEST_F(Api, UnreadableIndexIsAnsweredAndKept)
{
    fs::create_directories(dir + "/index.json"); // exists, cannot be read as a file
    EXPECT_EQ(ok_body("action=list"), "{\"ok\":true,\"count\":0,\"notes\":[]}\n");
    EXPECT_EQ(call("action=save", "{\"body\":\"x\"}"), err_response(k_server, "could not write index"));
    EXPECT_TRUE(fs::is_directory(dir + "/index.json"));
    EXPECT_EQ(std::distance(fs::directory_iterator(dir), {}), 2) << "no note file was written";
}

TEST_F(Api, FailedIndexWriteKeepsDeletedBodyAndOldIndex)
{
    std::string id = save("{\"body\":\"precious\"}");
    std::string before = index_text();
    // index.json.tmp as a non-empty directory makes every index write fail.
    fs::create_directories(dir + "/index.json.tmp/x");
    EXPECT_EQ(call("action=delete&id=" + id), err_response(k_server, "could not write index"));
    EXPECT_EQ(read_file(dir + "/" + id + ".md"), "precious") << "the body stays while the index still lists the note";
    EXPECT_EQ(call("action=pin&id=" + id), err_response(k_server, "could not write index"));
    EXPECT_EQ(call("action=save", "{\"body\":\"new note\"}"), err_response(k_server, "could not write index"));
    EXPECT_EQ(index_text(), before);
    size_t md = 0;
    for (auto &e : fs::directory_iterator(dir))
        md += e.path().extension() == ".md";
    EXPECT_EQ(md, 1u) << "a new note whose index write failed leaves no body behind";
}

TEST_F(Api, FailedBodyWriteKeepsOldBody)
{
    std::string id = save("{\"body\":\"old\"}");
    std::string before = index_text();
    fs::create_directories(dir + "/" + id + ".md.tmp/x");
    EXPECT_EQ(call("action=save", "{\"id\":\"" + id + "\",\"body\":\"new\"}"), err_response(k_server, "could not write note"));
    EXPECT_EQ(read_file(dir + "/" + id + ".md"), "old");
    EXPECT_EQ(index_text(), before);
}
