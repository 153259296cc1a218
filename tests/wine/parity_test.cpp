// Byte parity of the two builds: one list of requests goes to the Linux executable and to the
// Windows one under wine, each with its own notes folder; every answer and the folders left
// behind must be equal byte for byte, once identifiers (drawn at random) and times are named alike.
#include <ctime>
#include <map>
#include <thread>
#include <vector>

#include "e2e_support.h"

struct ParityStep {
    std::string query;
    std::string body; // sent when not empty, with its CONTENT_LENGTH
    Env extra = {};
    std::vector<std::string> args = {};
    std::string method = "POST";
    bool changes = false; // gets a second of its own: list and trash orders follow the times
};

// One build's run: its folder, and the identifiers it drew, in the order they appeared.
struct ParityRun {
    const char *exe;
    std::string dir;
    std::vector<std::string> ids;
    time_t last_change = 0;
};

// The placeholder of the k-th identifier (from 0): "@1", "@2", ...
static std::string id_tag(size_t k)
{
    std::string tag = std::to_string(k + 1);
    tag.insert(tag.begin(), '@');
    return tag;
}

// Writes the placeholders for the run's identifiers in text.
static std::string name_ids(std::string text, const ParityRun &run)
{
    for (size_t k = 0; k < run.ids.size(); k++)
        for (size_t at; (at = text.find(run.ids[k])) != std::string::npos;)
            text.replace(at, run.ids[k].size(), id_tag(k));
    return mask_times(text);
}

// The other way: placeholders in a request become the run's identifiers.
static std::string fill_ids(std::string text, const ParityRun &run)
{
    for (size_t k = run.ids.size(); k-- > 0;)
        for (size_t at; (at = text.find(id_tag(k))) != std::string::npos;)
            text.replace(at, id_tag(k).size(), run.ids[k]);
    return text;
}

// Runs one step; returns its answer with identifiers named and times masked.
static std::string parity_call(const ParityStep &s, ParityRun &run)
{
    // A change waits for a new second, so that both builds see every change at a distinct time.
    while (s.changes && time(nullptr) <= run.last_change)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    Env env = {{"QUERY_STRING", fill_ids(s.query, run)}, {"REQUEST_METHOD", s.method}, {"NOTES_DIR", run.dir}};
    std::string body = fill_ids(s.body, run);
    if (!body.empty())
        env["CONTENT_LENGTH"] = std::to_string(body.size());
    for (auto &e : s.extra)
        env[e.first] = e.second;
    CgiResult r = cgi_run(run.exe, env, body, s.args);
    if (s.changes)
        run.last_change = time(nullptr);
    EXPECT_EQ(r.status, 0) << run.exe << " " << s.query;
    EXPECT_EQ(r.err, "") << run.exe << " " << s.query;
    static const std::regex id_member("\"id\":\"([a-z0-9]{12})\"");
    for (auto it = std::sregex_iterator(r.out.begin(), r.out.end(), id_member); it != std::sregex_iterator(); ++it)
        if (std::find(run.ids.begin(), run.ids.end(), (*it)[1].str()) == run.ids.end())
            run.ids.push_back((*it)[1].str());
    return name_ids(r.out, run);
}

// Every file under the run's folder: relative path -> content, identifiers named, times masked.
static std::map<std::string, std::string> folder_of(const ParityRun &run)
{
    std::map<std::string, std::string> files;
    for (auto &e : fs::recursive_directory_iterator(run.dir)) {
        std::string rel = name_ids(fs::relative(e.path(), run.dir).string(), run);
        files[rel] = e.is_directory() ? "<dir>" : name_ids(read_file(e.path().string()), run);
    }
    return files;
}

static std::vector<ParityStep> parity_steps()
{
    const std::string big(524289, 'a');
    Env pw = {{"ORVIK_PASSWORD", "s3cret"}};
    return {
        {"", "", {}, {"--meta"}},
        {"", "", {}, {"--version"}},
        {"", "", {{"ZQ_PLUGIN_META", "1"}}},
        {"", "", {}, {}, "GET"},
        {"theme=dark&embed=1", "", {}, {}, "GET"},
        {"action=list", "", {}, {}, "GET"},
        {"format=json", "", {}, {}, "GET"},
        {"action=save", "{\"title\":\"Shopping\",\"body\":\"- milk\\n- eggs\"}", {}, {}, "POST", true},
        {"action=save", "{\"title\":\"Gr\xc3\xb6\xc3\x9f" "e \xe6\x97\xa5\xe6\x9c\xac\",\"body\":\"a\\r\\nb\\u001ac \xc3\xa4\r\n\x1a\"}",
         {}, {}, "POST", true},
        {"action=save", "{\"body\":\"# Head\\n\\n**b** _e_ `c` [l](http://x.y) [j](javascript:x)\\n> q\\n1. one\\n- two\\n---\\n"
                        "```\\n<b>&\\n```\",\"pinned\":1}", {}, {}, "POST", true},
        {"action=save", "{\"id\":\"@1\",\"title\":\"Shopping list\",\"body\":\"- milk\\n- bread\"}", {}, {}, "POST", true},
        {"action=list", "", {}, {}, "GET"},
        {"action=search&q=MILK", "", {}, {}, "GET"},
        {"action=search&q=gr%C3%B6%C3%9Fe", "", {}, {}, "GET"},
        {"action=search&q=%0D%0A", "", {}, {}, "GET"},
        {"action=search&q=nothing+here", "", {}, {}, "GET"},
        {"action=search&smart=1&q=GROSSE+%E6%97%A5%E6%9C%AC", "", {}, {}, "GET"},
        {"action=search&smart=1&q=%22shopping+list%22+MILK", "", {}, {}, "GET"},
        {"action=render&smart=1&q=milk", "{\"body\":\"- MILK & m\xc3\xadlk\"}", {}, {}, "POST"},
        {"action=get&id=@1", "", {}, {}, "GET"},
        {"action=get&id=@2", "", {}, {}, "GET"},
        {"action=get&id=@3", "", {}, {}, "GET"},
        {"action=get&id=ABCDEFGHIJKL", "", {}, {}, "GET"},
        {"action=get&id=aaaaaaaaaaaa", "", {}, {}, "GET"},
        {"action=get&id=..%2Findex", "", {}, {}, "GET"},
        {"action=pin&id=@1", "", {}, {}, "POST", true},
        {"action=pin&id=@2&pin=0", "", {}, {}, "POST", true},
        {"action=pin&id=@3", "{\"pin\":0}", {}, {}, "POST", true},
        {"action=pin&id=@2", "{\"pin\":1}", {}, {}, "POST", true},
        {"action=pin&id=zzzzzzzzzzzz", "", {}, {}, "POST"},
        {"action=list", "", {}, {}, "GET"},
        {"action=render&text=%23+Hello+*w*+%3Cscript%3E", "", {}, {}, "GET"},
        {"action=render", "{\"body\":\"- a\\r\\n- b\\n\\n> \\u001a\"}"},
        {"action=render", "{}"},
        {"action=render", "{\"body\":\"" + big + "\"}"},
        {"action=save", ""},
        {"action=save", "{\"title\":\"no body\"}"},
        {"action=save", "{\"id\":\"../x\",\"body\":\"y\"}"},
        {"action=save", "{\"body\":\"" + big + "\"}"},
        {"action=save", std::string(532480, ' ')},
        {"action=save", "{\"body\":\"by GET\"}", {}, {}, "GET", true},
        {"action=nope", ""},
        {"action=list", "", pw, {}, "GET"},
        {"action=list", "", {{"ORVIK_PASSWORD", "s3cret"}, {"HTTP_X_ORVIK_PASSWORD", "s3cret"}}, {}, "GET"},
        {"action=list", "", {{"ORVIK_PASSWORD", "s3cret"}, {"HTTP_AUTHORIZATION", "Bearer s3cret"}}, {}, "GET"},
        {"action=list&pwd=s3cre", "", pw, {}, "GET"},
        {"", "", pw, {}, "GET"},
        {"action=delete&id=@2", "", {}, {}, "POST", true},
        {"action=get&id=@2", "", {}, {}, "GET"},
        {"action=delete&id=@2", ""},
        {"action=delete&id=@3", "", {}, {}, "POST", true},
        {"action=trash", "", {}, {}, "GET"},
        {"action=restore&id=@3", "", {}, {}, "POST", true},
        {"action=restore&id=@3", ""},
        {"action=trash", "", {}, {}, "GET"},
        {"action=list", "", {{"CONTENT_LENGTH", "-5"}}, {}, "GET"},
        {"action=search&q=b", "", {}, {}, "GET"},
    };
}

TEST(Parity, WindowsBuildAnswersAndStoresLikeTheLinuxBuild)
{
    char linux_tmpl[] = "/tmp/notes-parity-linux-XXXXXX", win_tmpl[] = "/tmp/notes-parity-win-XXXXXX";
    ParityRun linux_run = {NOTES_LINUX_EXE, mkdtemp(linux_tmpl), {}, 0};
    ParityRun win_run = {NOTES_EXE, mkdtemp(win_tmpl), {}, 0};
    std::vector<ParityStep> steps = parity_steps();
    for (size_t i = 0; i < steps.size(); i++) {
        std::string win = parity_call(steps[i], win_run);
        std::string lin = parity_call(steps[i], linux_run);
        EXPECT_EQ(win, lin) << "step " << i << ": " << steps[i].query << " " << steps[i].body.substr(0, 60);
    }
    EXPECT_EQ(win_run.ids.size(), 4u);
    EXPECT_EQ(folder_of(win_run), folder_of(linux_run));
    std::error_code ec;
    fs::remove_all(linux_run.dir, ec);
    fs::remove_all(win_run.dir, ec);
}
