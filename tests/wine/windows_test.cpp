// What only the Windows build can get wrong, checked against the .exe under wine: bytes that text
// mode would change, UTF-8 passwords and paths, and the directory lock across path spellings.
#include <sys/ioctl.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>

#include "e2e_support.h"

// A request started with its standard input kept open, so that the test decides when the body
// arrives (the program takes the directory lock before it reads the body).
struct HeldRequest {
    pid_t pid;
    int in;  // write end of the program's standard input
    int out; // read end of its standard output
};

static HeldRequest held_start(const Env &env)
{
    int in[2], out[2];
    if (pipe(in) || pipe(out))
        return {-1, -1, -1};
    pid_t pid = fork();
    if (pid == 0) {
        dup2(in[0], 0);
        dup2(out[1], 1);
        int null = open("/dev/null", O_WRONLY);
        dup2(null, 2);
        for (int fd : {in[0], in[1], out[0], out[1], null})
            close(fd);
        std::vector<std::string> kv;
        for (auto &e : env)
            kv.push_back(e.first + "=" + e.second);
        std::vector<char *> envp;
        for (auto &s : kv)
            envp.push_back(const_cast<char *>(s.c_str()));
        envp.push_back(nullptr);
        char *argv[] = {const_cast<char *>(NOTES_EXE), nullptr};
        execve(NOTES_EXE, argv, envp.data());
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    return {pid, in[1], out[0]};
}

// Returns true once the program has taken every byte written so far from its input.
static bool held_drained(const HeldRequest &h, int seconds)
{
    for (int i = 0; i < seconds * 100; i++) {
        int pending = -1;
        if (ioctl(h.in, FIONREAD, &pending) == 0 && pending == 0)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

// Sends the rest of the body, then returns everything the program answered.
static std::string held_finish(HeldRequest &h, const std::string &rest)
{
    if (!rest.empty()) {
        EXPECT_EQ(write(h.in, rest.data(), rest.size()), static_cast<ssize_t>(rest.size()));
    }
    close(h.in);
    std::string out;
    char buf[4096];
    ssize_t n;
    while ((n = read(h.out, buf, sizeof buf)) > 0)
        out.append(buf, static_cast<size_t>(n));
    close(h.out);
    waitpid(h.pid, nullptr, 0);
    return out;
}

// The Windows spelling of a Linux path on wine's drive Z: (the Linux root).
static std::string z_path(const std::string &path, bool lower_drive, bool upper_name, bool trailing)
{
    std::string p = path;
    std::replace(p.begin(), p.end(), '/', '\\');
    if (upper_name)
        std::transform(p.begin(), p.end(), p.begin(), [](unsigned char c) { return std::toupper(c); });
    return std::string(lower_drive ? "z:" : "Z:") + p + (trailing ? "\\" : "");
}

TEST_F(Api, LockExcludesEverySpellingOfTheDirectoryAndOutlivesNoHolder)
{
    const std::string body = "{\"body\":\"held\"}";
    struct {
        std::string holder_dir;
        std::string contender_dir;
        bool killed; // the holder is killed instead of finishing
    } rows[] = {
        {z_path(dir, false, false, false), z_path(dir, true, true, true), false},
        {z_path(dir, true, false, true), dir, false},
        {dir, z_path(dir, false, true, false), true},
    };
    for (auto &r : rows) {
        SCOPED_TRACE(r.holder_dir + " against " + r.contender_dir);
        Env env = env_for("action=save", "POST");
        env["NOTES_DIR"] = r.holder_dir;
        env["CONTENT_LENGTH"] = std::to_string(body.size());
        HeldRequest holder = held_start(env);
        ASSERT_GT(holder.pid, 0);
        ASSERT_EQ(write(holder.in, body.data(), 1), 1);
        ASSERT_TRUE(held_drained(holder, 60)) << "the holder never started reading its body";

        std::atomic<bool> done{false};
        std::string contender_out;
        std::thread contender([&] {
            contender_out = call("action=save", "{\"body\":\"contender\"}", {{"NOTES_DIR", r.contender_dir}});
            done = true;
        });
        // Unlocked, the contender would answer in well under two seconds.
        std::this_thread::sleep_for(std::chrono::seconds(2));
        EXPECT_FALSE(done) << "a save in another spelling ran while the directory was locked";
        std::string holder_out;
        if (r.killed) {
            kill(holder.pid, SIGKILL);
            holder_out = held_finish(holder, "");
        } else {
            holder_out = held_finish(holder, body.substr(1));
            EXPECT_EQ(holder_out.compare(0, k_json_head.size(), k_json_head), 0) << holder_out;
        }
        contender.join();
        EXPECT_EQ(contender_out.compare(0, k_json_head.size(), k_json_head), 0) << contender_out;
    }
    std::string list = ok_body("action=list");
    EXPECT_NE(list.find("\"count\":5,"), std::string::npos) << "two holders and three contenders saved: " << list;
}

TEST_F(Api, CrLfAnd1AByteSurviveInputFilesAndOutput)
{
    struct {
        std::string json; // the body member as sent
        std::string stored;
    } rows[] = {
        {"line\\r\\nnext\\r\\n", "line\r\nnext\r\n"},
        {"before\\u001aafter", "before\x1a" "after"},
        {"raw\r\nbytes\x1a in the request", "raw\r\nbytes\x1a in the request"},
        {"\\r", "\r"},
        {"\x1a", "\x1a"},
    };
    for (auto &r : rows) {
        std::string id = save("{\"body\":\"" + r.json + "\"}");
        EXPECT_EQ(read_file(dir + "/" + id + ".md"), r.stored) << r.json;
        std::string got = ok_body("action=get&id=" + id);
        std::string want;
        for (char c : r.stored)
            want += c == '\r' ? std::string("\\r") : c == '\n' ? std::string("\\n") : c == '\x1a' ? std::string("\\u001a") : std::string(1, c);
        EXPECT_NE(got.find("\"body\":\"" + want + "\"}"), std::string::npos) << got;
    }
}

TEST_F(Api, Utf8PasswordRefusesQuestionMarksAndUtf8PathHoldsTheNotes)
{
    const std::string password = "p\xc3\xa4sswort-\xe6\x97\xa5\xe6\x9c\xac"; // "pässwort-日本"
    const std::string notes = dir + "/Notizen-\xc3\xa4\xe6\x97\xa5";
    struct {
        std::string password;
        std::string header;
        bool admitted;
    } rows[] = {
        {password, password, true},
        {"\xe6\x97\xa5\xe6\x9c\xac\xe8\xaa\x9e", "???", false}, // "日本語": a narrow code page makes it "???"
        {password, "p\xe4sswort-??", false},                       // the Latin-1 spelling
        {password, "p\xc3\xa4sswort-\xe6\x97\xa5", false},         // a prefix
    };
    for (auto &r : rows) {
        Env extra = {{"ORVIK_PASSWORD", r.password}, {"HTTP_X_ORVIK_PASSWORD", r.header}, {"NOTES_DIR", notes}};
        std::string out = call("action=list", "", extra, "GET");
        EXPECT_EQ(out.rfind("Status: 401", 0) != 0, r.admitted) << r.header << "\n" << out;
    }
    std::string out = call("action=save&pwd=p%C3%A4sswort-%E6%97%A5%E6%9C%AC", "{\"body\":\"x\"}",
                           {{"ORVIK_PASSWORD", password}, {"NOTES_DIR", notes}});
    std::smatch m;
    ASSERT_TRUE(std::regex_search(out, m, std::regex("\"id\":\"([a-z0-9]{12})\""))) << out;
    std::string id = m[1].str();
    EXPECT_TRUE(fs::exists(notes + "/" + id + ".md")) << "the note belongs in the UTF-8 named folder";
}
