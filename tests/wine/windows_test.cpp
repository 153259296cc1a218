// What only the Windows build can get wrong, checked against the .exe under wine: the directory
// lock across path spellings, bytes that text mode would change, UTF-8 passwords and paths.
#include <algorithm>
#include <chrono>

#include "e2e_support.h"

// The lock helper of the Windows build (tests/windows/lock_holder.cpp) under wine, holding the
// notes directory lock until its input is closed or it is killed.
struct LockHolder {
    pid_t pid;
    int in;  // write end of its standard input
    int out; // read end of its standard output
};

// Starts the helper on the folder spelled dir; returns once it says it holds the lock.
static LockHolder holder_start(const std::string &dir)
{
    int in[2], out[2];
    if (pipe(in) || pipe(out))
        return {-1, -1, -1};
    pid_t pid = fork();
    if (pid == 0) {
        dup2(in[0], 0);
        dup2(out[1], 1);
        for (int fd : {in[0], in[1], out[0], out[1]})
            close(fd);
        execl(NOTES_LOCK_HOLDER, NOTES_LOCK_HOLDER, dir.c_str(), static_cast<char *>(nullptr));
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    std::string said;
    char buf[256];
    ssize_t n;
    while (said.find("locked") == std::string::npos && (n = read(out[0], buf, sizeof buf)) > 0)
        said.append(buf, static_cast<size_t>(n));
    EXPECT_EQ(said.rfind("locked", 0), 0u) << said;
    return {pid, in[1], out[0]};
}

// Ends the helper: closing its input lets it release the lock; killing it leaves the lock to
// the system.
static void holder_end(LockHolder &h, bool kill_it)
{
    if (kill_it)
        kill(h.pid, SIGKILL);
    close(h.in);
    close(h.out);
    waitpid(h.pid, nullptr, 0);
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

TEST_F(Api, LockHoldsAcrossPathSpellingsWithABoundedWaitAndDiesWithItsHolder)
{
    const std::string busy = "Status: 503 Service Unavailable\r\nRetry-After: 1\r\n" + k_json_head +
                             "{\"ok\":false,\"error\":\"notes are busy, try again\"}\n";
    struct {
        std::string holder_dir;
        std::string contender_dir;
        bool killed; // the holder is killed instead of letting go
    } rows[] = {
        {z_path(dir, false, false, false), z_path(dir, true, true, true), false},
        {z_path(dir, true, false, true), dir, false},
        {dir, z_path(dir, false, true, false), true},
    };
    for (auto &r : rows) {
        SCOPED_TRACE(r.holder_dir + " against " + r.contender_dir);
        LockHolder holder = holder_start(r.holder_dir);
        ASSERT_GT(holder.pid, 0);
        Env spelled = {{"NOTES_DIR", r.contender_dir}};
        auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(call("action=save", "{\"body\":\"refused\"}", spelled), busy);
        EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::seconds(4)) << "answered without waiting";
        holder_end(holder, r.killed);
        std::string out = call("action=save", "{\"body\":\"after\"}", spelled);
        EXPECT_EQ(out.rfind(k_json_head, 0), 0u) << out;
    }
    std::string list = ok_body("action=list");
    EXPECT_NE(list.find("\"count\":3,"), std::string::npos) << "one save after each holder, none while held: " << list;
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
