// Export read back by independent readers (Python's zipfile, Info-ZIP's unzip -t) and the import
// action's outcomes, limits and refusals.
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <map>
#include <set>
#include <sstream>
#include <vector>

#include "e2e_support.h"

// Lists a zip as lines: "TEST <first bad entry or None>", "ENTRY <name hex> <content hex>" (not
// for names starting with argv[2]), "BAD <name hex>" for a top-level name some system refuses or
// that repeats another with case ignored, and "NOTE id file-hex x<title-hex> pinned created updated".
static const char k_reader[] = R"(
import sys, zipfile, json, re
z = zipfile.ZipFile(sys.argv[1])
print('TEST', z.testzip())
reserved = {'CON', 'PRN', 'AUX', 'NUL'} | {p + str(i) for p in ('COM', 'LPT') for i in range(1, 10)}
seen = set()
for info in z.infolist():
    n = info.filename
    if not n.startswith(sys.argv[2]):
        print('ENTRY', n.encode().hex(), z.read(n).hex())
    if '/' in n:
        continue
    ok = (not re.search(r'[<>:"/\\|?*\x00-\x1f\x7f]', n) and n[-1] not in '. ' and n[0] not in '. '
          and n.split('.')[0].rstrip(' ').upper() not in reserved and len(n.encode()) <= 255
          and info.flag_bits & 0x800)
    if not ok or n.lower() in seen:
        print('BAD', n.encode().hex())
    seen.add(n.lower())
for e in json.loads(z.read('notes.json'))['notes']:
    print('NOTE', e['id'], e['file'].encode().hex(), 'x' + e['title'].encode().hex(), e['pinned'], e['created'], e['updated'])
)";

static std::string hex(const std::string &s)
{
    static const char d[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : s)
        out += {d[c >> 4], d[c & 15]};
    return out;
}

// A JSON string literal for any bytes: control bytes escaped, all others (UTF-8 or not) raw.
static std::string jstr(const std::string &s)
{
    std::string out = "\"";
    char esc[8];
    for (unsigned char c : s) {
        if (c == '"' || c == '\\')
            out += {'\\', static_cast<char>(c)};
        else if (c < 0x20) {
            snprintf(esc, sizeof esc, "\\u%04x", c);
            out += esc;
        } else
            out += static_cast<char>(c);
    }
    return out + "\"";
}

struct ZipView {
    std::string test;                          // "None" when every entry's CRC checks
    std::map<std::string, std::string> entries; // name hex -> content hex
    std::vector<std::string> bad;              // refused or repeated names (hex)
    std::vector<std::vector<std::string>> notes;
    int unzip_status;
};

class Export : public Api {
protected:
    // Runs export with the query, checks its header block and reads the zip back.
    ZipView export_zip(const std::string &query = "action=export", const std::string &skip = "\x01")
    {
        std::string out = call(query, "", {}, "GET");
        size_t head = out.find("\r\n\r\n");
        EXPECT_NE(head, std::string::npos);
        std::smatch m;
        std::string headers = out.substr(0, head + 4);
        EXPECT_TRUE(std::regex_match(headers, m, std::regex("Content-Type: application/zip\r\nContent-Disposition: "
                                                               "attachment; filename=\"notes-\\d{4}-\\d\\d-\\d\\d\\.zip\"\r\n"
                                                               "Cache-Control: no-store\r\nX-Content-Type-Options: nosniff\r\n\r\n")))
            << headers;
        std::string zip = dir + "/../" + fs::path(dir).filename().string() + ".zip";
        write_file(zip, out.substr(head + 4));
        write_file(zip + ".py", k_reader);
        ZipView v;
        std::string cmd = "python3 " + zip + ".py " + zip + " '" + skip + "'";
        FILE *p = popen(cmd.c_str(), "r");
        std::string lines;
        char buf[65536];
        for (size_t n; p && (n = fread(buf, 1, sizeof buf, p)) > 0;)
            lines.append(buf, n);
        EXPECT_EQ(p ? pclose(p) : -1, 0) << lines;
        std::istringstream in(lines);
        for (std::string kind; in >> kind;) {
            if (kind == "TEST")
                in >> v.test;
            else if (kind == "ENTRY") {
                std::string n, c;
                in >> n;
                std::getline(in, c);
                v.entries[n] = c.empty() ? "" : c.substr(1);
            } else if (kind == "BAD") {
                std::string n;
                in >> n;
                v.bad.push_back(n);
            } else if (kind == "NOTE") {
                std::vector<std::string> f(6);
                for (auto &x : f)
                    in >> x;
                v.notes.push_back(f);
            }
        }
        v.unzip_status = system(("unzip -tqq " + zip + " >/dev/null 2>&1").c_str());
        fs::remove(zip);
        fs::remove(zip + ".py");
        return v;
    }
    std::string import(const std::string &notes)
    {
        return ok_body("action=import", "{\"notes\":[" + notes + "]}");
    }
};

TEST_F(Export, NamesAreSafeAndUniqueTextsExactManifestWhole)
{
    std::string binary; // every byte but NUL
    for (int c = 1; c < 256; c++)
        binary += static_cast<char>(c);
    std::string e150;
    for (int i = 0; i < 150; i++)
        e150 += "\xc3\xa9";
    struct {
        std::string title, body, name; // name: the file the note gets
    } rows[] = {
        {"a/b\\c:d*e?f\"g<h>i|j", "slashes", "a_b_c_d_e_f_g_h_i_j.md"},
        {"..", "dots only", "Untitled.md"},
        {"../../etc/passwd", "climbing", "_.._etc_passwd.md"},
        {"CON", "device", "_CON.md"},
        {"lpt9.notes", "device with a dot", "_lpt9.notes.md"},
        {"Console", "not a device", "Console.md"},
        {"tab\there\x01\x7f", "control bytes", "tab_here__.md"},
        {e150, "300 bytes of two-byte characters, cut to 299 by the store", e150.substr(0, 200) + ".md"},
        {"", "empty title", "Untitled (2).md"},
        {"trailing. ", "trailing dot and space", "trailing.md"},
        {" .hidden", "leading space and dot", "hidden.md"},
        {"bad \xff\xfe utf-8", "broken title bytes", "bad __ utf-8.md"},
        {"Twin", "first twin", "Twin.md"},
        {"twin", "second twin", "twin (2).md"},
        {"Twin", "third twin", "Twin (3).md"},
        {"binary", binary, "binary.md"},
    };
    std::map<std::string, std::string> id_name;
    for (auto &r : rows)
        id_name[save("{\"title\":" + jstr(r.title) + ",\"body\":" + jstr(r.body) + ",\"pinned\":" +
                     (r.title == "CON" ? "1" : "0") + "}")] = r.name;
    // Notes saved in one second list newest-saved first only by chance: the names are given to
    // them in listing order, so compare which names exist, and which note has which where unique.
    ZipView v = export_zip();
    EXPECT_EQ(v.test, "None");
    EXPECT_EQ(v.unzip_status, 0);
    EXPECT_EQ(v.bad, std::vector<std::string>{});
    ASSERT_EQ(v.notes.size(), std::size(rows));
    std::set<std::string> want_names, got_names;
    for (auto &r : rows)
        want_names.insert(hex(r.name));
    std::string index = index_text();
    for (auto &n : v.notes) {
        const std::string &id = n[0];
        got_names.insert(n[1]);
        ASSERT_TRUE(v.entries.count(n[1])) << "the manifest names a file the zip holds: " << id;
        EXPECT_EQ(v.entries[n[1]], hex(read_file(dir + "/" + id + ".md"))) << id;
        std::string expect = id_name[id];
        if (expect.find("win") == std::string::npos && expect.find("Untitled") == std::string::npos) {
            EXPECT_EQ(n[1], hex(expect)) << expect;
        }
        EXPECT_EQ(n[3], expect == "_CON.md" ? "1" : "0");
        EXPECT_NE(index.find("{\"id\":\"" + id + "\",\"title\":"), std::string::npos);
        EXPECT_NE(index.find("\"created\":\"" + n[4] + "\",\"updated\":\"" + n[5] + "\"}"), std::string::npos);
    }
    EXPECT_EQ(got_names, want_names);
    // Titles come back as they are, but for a character cut short at the 299-byte limit.
    for (auto &n : v.notes) {
        if (id_name[n[0]] == e150.substr(0, 200) + ".md") {
            EXPECT_EQ(n[2], "x" + hex(e150.substr(0, 298)));
        } else if (id_name[n[0]] == "bad __ utf-8.md") {
            EXPECT_EQ(n[2], "x" + hex("bad \xef\xbf\xbd\xef\xbf\xbd utf-8"));
        }
    }
}

TEST_F(Export, TrashAndVersionsComeAlongUnlessNotesOnly)
{
    std::string keep = save("{\"title\":\"kept\",\"body\":\"live\"}");
    std::string gone = save("{\"title\":\"gone\",\"body\":\"deleted text\"}");
    ok_body("action=delete&id=" + gone);
    // A body that is gone by the time the export reaches it (a delete meanwhile) is left out.
    std::string lost = save("{\"title\":\"lost\",\"body\":\"x\"}");
    fs::remove(dir + "/" + lost + ".md");
    fs::create_directories(dir + "/.versions/" + keep);
    write_file(dir + "/.versions/" + keep + "/1.md", "older text");
    write_file(dir + "/.versions/" + keep + "/2.md.tmp", "half written");
    struct {
        std::string query;
        std::set<std::string> names;
    } rows[] = {
        {"action=export",
         {"notes.json", "kept.md", "trash/" + gone + ".md", "trash/" + gone + ".json", "versions/" + keep + "/1.md"}},
        {"action=export&notes_only=1", {"notes.json", "kept.md"}},
    };
    for (auto &r : rows) {
        ZipView v = export_zip(r.query);
        std::set<std::string> want;
        for (auto &n : r.names)
            want.insert(hex(n));
        std::set<std::string> got;
        for (auto &e : v.entries)
            got.insert(e.first);
        EXPECT_EQ(got, want) << r.query;
        EXPECT_EQ(v.unzip_status, 0);
        ASSERT_EQ(v.notes.size(), 1u) << "the manifest lists the notes the zip holds";
        EXPECT_EQ(v.notes[0][0], keep);
        if (r.names.count("versions/" + keep + "/1.md")) {
            EXPECT_EQ(v.entries[hex("trash/" + gone + ".md")], hex("deleted text"));
            EXPECT_EQ(v.entries[hex("versions/" + keep + "/1.md")], hex("older text"));
        }
    }
}

TEST_F(Export, MoreThan65535EntriesGetZip64EndRecords)
{
    fs::create_directories(dir + "/.versions/many");
    for (int i = 0; i < 65540; i++)
        write_file(dir + "/.versions/many/" + std::to_string(i), "");
    ZipView v = export_zip("action=export", "versions/many/");
    EXPECT_EQ(v.test, "None");
    EXPECT_EQ(v.unzip_status, 0);
    EXPECT_EQ(v.entries.size(), 1u) << "only the manifest is listed; the rest were counted by the readers";
    std::string out = call("action=export", "", {}, "GET");
    EXPECT_NE(out.find(std::string("PK\x06\x06", 4)), std::string::npos) << "a zip64 end record";
}

TEST_F(Export, ImportOutcomesPerNote)
{
    std::string live = save("{\"title\":\"Live\",\"body\":\"live text\"}");
    std::string big(524289, 'a');
    struct {
        std::string note, status; // status: the result object after "status"
    } rows[] = {
        {"{\"title\":\"Live\",\"body\":\"live text\"}", "\"skipped\",\"id\":\"" + live + "\""},
        {"{\"title\":\"Live\",\"body\":\"other text\"}", "\"imported\""},
        {"{\"title\":\"Big\",\"body\":\"" + big + "\"}", "\"refused\",\"error\":\"note body exceeds 512 KiB\""},
        {"{\"title\":\"Broken\",\"body\":\"caf\xe9\"}", "\"refused\",\"error\":\"not valid UTF-8\""},
        {"{\"title\":\"Lone\",\"body\":\"\\ud800\"}", "\"refused\",\"error\":\"not valid UTF-8\""},
        {"{\"title\":\"No body\"}", "\"refused\",\"error\":\"missing body field\""},
        {"{\"id\":\"" + live + "\",\"title\":\"Taken id\",\"body\":\"x\"}", "\"imported\""},
        {"{\"id\":\"freeidfreeid\",\"title\":\"Free id {}\",\"pinned\":1,\"created\":\"2020-01-02T03:04:05Z\","
         "\"updated\":\"2021-01-02T03:04:05Z\",\"body\":\"kept \\\"}\\\" id\"}",
         "\"imported\",\"id\":\"freeidfreeid\""},
        {"{\"id\":\"freeidfreeid\",\"title\":\"Free id {}\",\"body\":\"kept \\\"}\\\" id\"}",
         "\"skipped\",\"id\":\"freeidfreeid\""},
    };
    std::string batch;
    for (auto &r : rows)
        batch += (batch.empty() ? "" : ",") + r.note;
    std::string b = import(batch);
    EXPECT_EQ(b.rfind("{\"ok\":true,\"imported\":3,\"skipped\":2,\"refused\":4,\"results\":[", 0), 0u) << b.substr(0, 200);
    size_t at = 0;
    for (auto &r : rows) {
        at = b.find("{\"status\":", at);
        ASSERT_NE(at, std::string::npos) << r.note.substr(0, 60);
        EXPECT_EQ(b.compare(at + 10, r.status.size(), r.status), 0) << b.substr(at, 80);
        at++;
    }
    EXPECT_EQ(read_file(dir + "/freeidfreeid.md"), "kept \"}\" id");
    EXPECT_EQ(read_file(dir + "/" + live + ".md"), "live text") << "an import never replaces a live note";
    EXPECT_NE(index_text().find("{\"id\":\"freeidfreeid\",\"title\":\"Free id {}\",\"pinned\":1,"
                                "\"created\":\"2020-01-02T03:04:05Z\",\"updated\":\"2021-01-02T03:04:05Z\"}"),
              std::string::npos);
    EXPECT_NE(ok_body("action=list").find("\"count\":4"), std::string::npos);
}

TEST_F(Export, ImportPastTheNoteLimitIsRefusedAndChangesNothing)
{
    write_full_index();
    std::string index = index_text();
    EXPECT_EQ(import("{\"title\":\"one more\",\"body\":\"x\"}"),
              "{\"ok\":true,\"imported\":0,\"skipped\":0,\"refused\":1,\"results\":[{\"status\":\"refused\",\"error\":"
              "\"note limit reached\"}]}\n");
    EXPECT_EQ(index_text(), index);
    EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 2) << "index.json and .trash";
}

TEST_F(Export, RefusedCrossSiteWithoutPasswordUnderLockAndByMethod)
{
    std::string note = "{\"notes\":[{\"title\":\"t\",\"body\":\"b\"}]}";
    const std::string bad = "Status: 400 Bad Request\r\n", e403 = "Status: 403 Forbidden\r\n";
    const std::string e405 = "Status: 405 Method Not Allowed\r\n";
    std::string unauthorized = "Status: 401 Unauthorized\r\n" + k_json_head + "{\"ok\":false,\"error\":\"invalid node password\"}\n";
    struct {
        std::string query, method, body;
        Env env;
        std::string expect;
    } rows[] = {
        {"action=export", "GET", "", {{"HTTP_SEC_FETCH_SITE", "cross-site"}}, err_response(e403, "cross-site request refused")},
        {"action=import", "POST", note, {{"HTTP_SEC_FETCH_SITE", "same-site"}}, err_response(e403, "cross-site request refused")},
        {"action=export", "GET", "", {{"ORVIK_PASSWORD", "s3cret"}}, unauthorized},
        {"action=import", "POST", note, {{"ORVIK_PASSWORD", "s3cret"}}, unauthorized},
        {"action=import", "GET", note, {}, err_response(e405 + "Allow: POST\r\n", "method not allowed")},
        {"action=import", "HEAD", note, {}, err_response(e405 + "Allow: POST\r\n", "method not allowed")},
        {"action=import", "POST", "{\"notes\":{}}", {}, err_response(bad, "missing notes field")},
    };
    for (auto &r : rows)
        EXPECT_EQ(call(r.query, r.body, r.env, r.method), r.expect) << r.query << " " << r.method;
    EXPECT_FALSE(fs::exists(dir + "/index.json"));
    std::string head = call("action=export", "", {}, "HEAD");
    EXPECT_EQ(head.substr(0, 30), "Content-Type: application/zip\r");
    EXPECT_EQ(head.substr(head.size() - 4), "\r\n\r\n") << "a header probe gets no archive";
    EXPECT_EQ(call("action=export&pwd=s3cret", "", {{"ORVIK_PASSWORD", "s3cret"}}, "GET").substr(0, 30),
              "Content-Type: application/zip\r");

    if (NOTES_UNDER_WINE)
        GTEST_SKIP() << "the Windows build locks with a named mutex that a Linux flock cannot hold";
    int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_EQ(flock(fd, LOCK_EX), 0);
    EXPECT_EQ(call("action=import", note).substr(0, 34), "Status: 503 Service Unavailable\r\nR");
    EXPECT_EQ(call("action=export", "", {}, "GET").substr(0, 30), "Content-Type: application/zip\r")
        << "an export never waits for writers";
    close(fd);
    EXPECT_FALSE(fs::exists(dir + "/index.json"));
}
