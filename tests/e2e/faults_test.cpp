// Crashes and failing disks: processes killed at random moments and writes refused by a file-size
// limit or a full filesystem never lose a note, corrupt the index or mix up two notes' bodies.
#include <sys/mount.h>
#include <sys/ptrace.h>
#include <sys/uio.h>
#include <sys/stat.h>

#include <sys/syscall.h>

#include <functional>
#include <map>
#include <random>
#include <set>
#include <thread>

#include "e2e_support.h"
#include "support/json_check.h"

static const std::string k_server = "Status: 500 Internal Server Error\r\n";

// In a forked child: runs the executable with env, the body file on standard input and both
// outputs dropped. Never returns.
[[noreturn]] static void cgi_exec(const Env &env, const std::string &body_file)
{
    cgi_exec_input(NOTES_EXE, env, open(body_file.c_str(), O_RDONLY));
}

// Starts one request in the background with the body file on standard input; returns its pid.
static pid_t cgi_spawn(const Env &env, const std::string &body_file)
{
    pid_t pid = fork();
    if (pid == 0)
        cgi_exec(env, body_file);
    return pid;
}

class Faults : public Api {
protected:
    // Lists the notes the program reports, checking the index file and the answer are sound.
    std::vector<std::string> listed_ids()
    {
        std::string idx = index_text();
        EXPECT_TRUE(idx.empty() || json_valid(idx)) << idx;
        std::string body = ok_body("action=list");
        EXPECT_TRUE(json_valid(body)) << body;
        std::vector<std::string> ids;
        std::regex re("\"id\":\"([a-z0-9]{12})\"");
        for (auto it = std::sregex_iterator(body.begin(), body.end(), re); it != std::sregex_iterator(); ++it)
            ids.push_back((*it)[1].str());
        return ids;
    }

    // A note with many long titles beside it, so that the index is larger than a body.
    void fill_index(int notes)
    {
        for (int i = 0; i < notes; i++)
            save("{\"title\":\"" + std::string(250, static_cast<char>('a' + i % 26)) + "\",\"body\":\"f\"}");
    }
};

TEST_F(Faults, FileSizeLimitRefusesWritesAndKeepsOldState)
{
    std::string id = save("{\"title\":\"keep\",\"body\":\"old body\"}");
    fill_index(20); // index now well over 4 KiB
    std::string before = index_text();
    ASSERT_GT(before.size(), 4096u);
    auto limited = [&](const std::string &query, const std::string &body) {
        Env env = env_for(query, "POST");
        env["CONTENT_LENGTH"] = std::to_string(body.size());
        CgiResult r = cgi_run(NOTES_EXE, env, body, {}, 4096);
        EXPECT_EQ(r.status, 0) << "a refused write must be answered, not kill the process";
        EXPECT_EQ(r.err, "");
        return r.out;
    };
    struct {
        std::string query;
        std::string body;
        std::string message;
    } rows[] = {
        {"action=save", "{\"id\":\"" + id + "\",\"body\":\"" + std::string(8000, 'x') + "\"}", "could not write note"},
        {"action=save", "{\"id\":\"" + id + "\",\"body\":\"small new\"}", "could not write index"},
        {"action=save", "{\"body\":\"brand new\"}", "could not write index"},
        {"action=pin&id=" + id, "", "could not write index"},
        {"action=delete&id=" + id, "", "could not write index"},
    };
    for (auto &r : rows) {
        EXPECT_EQ(limited(r.query, r.body), err_response(k_server, r.message)) << r.query << " " << r.body.substr(0, 40);
        EXPECT_EQ(index_text(), before);
        EXPECT_EQ(read_file(dir + "/" + id + ".md"), "old body");
        size_t files = 0;
        for (auto &e : fs::directory_iterator(dir)) {
            EXPECT_NE(e.path().extension(), ".tmp");
            files++;
        }
        EXPECT_EQ(files, 23u) << "21 bodies, the index and the trash";
    }
}

TEST_F(Faults, FullFilesystemRefusesWritesAndKeepsOldState)
{
    std::string mnt = dir + "/small";
    fs::create_directories(mnt);
    if (mount("tmpfs", mnt.c_str(), "tmpfs", 0, "size=64k") != 0)
        GTEST_SKIP() << "this machine does not allow mounting a small filesystem";
    std::string saved = dir;
    dir = mnt;
    std::string id = save("{\"body\":\"old\"}");
    std::string before = index_text();
    // Fill the filesystem to the brim, then try to save more than fits.
    write_file(mnt + "/filler", std::string(60000, 'f'));
    std::string out = call("action=save", "{\"id\":\"" + id + "\",\"body\":\"" + std::string(20000, 'n') + "\"}");
    std::string body = read_file(mnt + "/" + id + ".md"), index = index_text();
    bool tmp_left = fs::exists(mnt + "/" + id + ".md.tmp");
    umount(mnt.c_str()); // before any assertion, so a failure leaves no mount behind
    dir = saved;
    EXPECT_EQ(out, err_response(k_server, "could not write note"));
    EXPECT_EQ(body, "old");
    EXPECT_EQ(index, before);
    EXPECT_FALSE(tmp_left);
}

// Reads the NUL-terminated string at addr in the traced process into out. Returns false when
// addr is not readable memory there (a descriptor or flag argument).
static bool traced_string(pid_t pid, unsigned long long addr, std::string *out)
{
    char buf[1200];
    iovec local = {buf, sizeof buf - 1}, remote = {reinterpret_cast<void *>(addr), sizeof buf - 1};
    ssize_t n = process_vm_readv(pid, &local, 1, &remote, 1, 0);
    if (n <= 0)
        return false;
    buf[n] = '\0';
    *out = buf;
    return true;
}

// One system call of a traced request: its number, the first of its first two arguments that
// reads as a path (a descriptor argument does not), its first argument and its result.
struct TracedCall {
    long nr;
    std::string path;
    unsigned long long arg0;
    long long ret;
};

static bool is_rename(long nr)
{
#ifdef SYS_rename
    if (nr == SYS_rename)
        return true;
#endif
    return nr == SYS_renameat || nr == SYS_renameat2;
}

// Why the tests that watch a request's system calls are skipped under wine.
static const char *const k_wine_moves_elsewhere =
    "under wine the wineserver, not the traced program, makes the renames and flushes";

// Runs a request under ptrace and returns the system calls it made. When stop accepts a call
// on its entry, the process is killed before that call runs and *stopped is set.
static std::vector<TracedCall> trace_request(const Env &env, const std::string &body_file,
                                             const std::function<bool(const TracedCall &)> &stop, bool *stopped)
{
    std::vector<TracedCall> calls;
    *stopped = false;
    pid_t pid = fork();
    if (pid == 0) {
        ptrace(PTRACE_TRACEME, 0, nullptr, nullptr);
        cgi_exec(env, body_file);
    }
    int st = 0;
    waitpid(pid, &st, 0); // stopped at its exec
    // Exec events are reported as such, not as a SIGTRAP to deliver: a wrapper that execs the
    // program (wine's loader) must not be killed by its own trap.
    ptrace(PTRACE_SETOPTIONS, pid, nullptr, PTRACE_O_TRACESYSGOOD | PTRACE_O_EXITKILL | PTRACE_O_TRACEEXEC);
    int pass_signal = 0;
    for (;;) {
        ptrace(PTRACE_SYSCALL, pid, nullptr, pass_signal);
        pass_signal = 0;
        if (waitpid(pid, &st, 0) != pid || WIFEXITED(st) || WIFSIGNALED(st))
            return calls;
        if (WSTOPSIG(st) != (SIGTRAP | 0x80)) {
            if (st >> 16 != PTRACE_EVENT_EXEC)
                pass_signal = WSTOPSIG(st);
            continue;
        }
        __ptrace_syscall_info info;
        memset(&info, 0, sizeof info);
        ptrace(PTRACE_GET_SYSCALL_INFO, pid, sizeof info, &info);
        if (info.op == PTRACE_SYSCALL_INFO_EXIT && !calls.empty()) {
            calls.back().ret = info.exit.rval;
            continue;
        }
        if (info.op != PTRACE_SYSCALL_INFO_ENTRY)
            continue;
        TracedCall c = {static_cast<long>(info.entry.nr), "", info.entry.args[0], -1};
        // Path arguments come first or second (after a directory descriptor).
        if (!traced_string(pid, info.entry.args[0], &c.path))
            traced_string(pid, info.entry.args[1], &c.path);
        calls.push_back(c);
        if (stop(c)) {
            kill(pid, SIGKILL);
            waitpid(pid, &st, 0);
            *stopped = true;
            return calls;
        }
    }
}

static bool ends_with(const std::string &s, const std::string &suffix)
{
    return s.size() >= suffix.size() && s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0;
}

TEST_F(Faults, KillBetweenBodyAndIndexLeavesNoMixedUpNote)
{
    if (NOTES_UNDER_WINE)
        GTEST_SKIP() << k_wine_moves_elsewhere;
    std::string other = save("{\"title\":\"other\",\"body\":\"other body\"}");
    std::string before = index_text();
    // The saving process is stopped for good between its two moves: the new note's body is in
    // place, the new index (already on disk under its temporary name) is not.
    std::string body_file = dir + "/../" + fs::path(dir).filename().string() + ".req";
    write_file(body_file, "{\"title\":\"new\",\"body\":\"new body\"}");
    Env env = env_for("action=save", "POST");
    env["CONTENT_LENGTH"] = "35";
    bool stopped;
    trace_request(env, body_file, [](const TracedCall &c) { return is_rename(c.nr) && ends_with(c.path, "index.json.tmp"); },
                  &stopped);
    ASSERT_TRUE(stopped) << "the save never moved its index";
    std::string orphan;
    for (auto &e : fs::directory_iterator(dir))
        if (e.path().extension() == ".md" && e.path().stem() != other)
            orphan = e.path().stem();
    fs::remove(body_file);
    ASSERT_FALSE(orphan.empty()) << "the save never wrote its body";
    fs::remove(dir + "/index.json.tmp");
    EXPECT_EQ(index_text(), before);
    EXPECT_EQ(listed_ids(), std::vector<std::string>{other});
    EXPECT_EQ(call("action=get&id=" + orphan), err_response("Status: 404 Not Found\r\n", "note not found"));
    // Later notes never take the orphan's name, so none of them is answered with its body.
    for (int i = 0; i < 20; i++) {
        std::string id = save("{\"body\":\"later " + std::to_string(i) + "\"}");
        EXPECT_NE(id, orphan);
        EXPECT_NE(ok_body("action=get&id=" + id).find("later " + std::to_string(i) + "\""), std::string::npos);
    }
    EXPECT_EQ(read_file(dir + "/" + orphan + ".md"), "new body");
}

TEST_F(Faults, NewFilesReachTheDiskBeforeTheirMovesAndTheNotesDirectoryAfter)
{
    if (NOTES_UNDER_WINE)
        GTEST_SKIP() << k_wine_moves_elsewhere;
    std::string id = save("{\"body\":\"old\"}");
    save("{\"id\":\"" + id + "\",\"body\":\"mid\"}"); // keeps "old": the next save keeps none by itself
    std::string body_tmp = dir + "/" + id + ".md.tmp", index_tmp = dir + "/index.json.tmp";
    std::string versions = dir + "/.versions/" + id;
    using Paths = std::vector<std::string>;
    struct {
        std::string query, body;
        Paths flushed_before, moved;
    } rows[] = {
        {"action=save", "{\"id\":\"" + id + "\",\"body\":\"new\"}", {body_tmp, index_tmp}, {body_tmp, index_tmp}},
        {"action=pin&id=" + id, "", {index_tmp}, {index_tmp}},
        // The replaced text's new name is flushed before the body moves over the old one; its
        // title line is added to the record in place (no temporary of the record moves).
        {"action=save", "{\"id\":\"" + id + "\",\"body\":\"newer\",\"keep\":1}", {body_tmp, index_tmp, versions},
         {body_tmp, index_tmp}},
        // An import's bodies are made durable by one flush of the whole file system, taken through
        // the notes directory, before the first of them is renamed in.
        {"action=import", "{\"notes\":[{\"id\":\"imp000000001\",\"body\":\"a\"},{\"id\":\"imp000000002\",\"body\":\"b\"}]}",
         {dir, index_tmp}, {dir + "/imp000000001.md.tmp", dir + "/imp000000002.md.tmp", index_tmp}},
    };
    std::string req = dir + ".req";
    for (auto &r : rows) {
        write_file(req, r.body);
        Env env = env_for(r.query, "POST");
        env["CONTENT_LENGTH"] = std::to_string(r.body.size());
        bool stopped;
        std::vector<TracedCall> calls = trace_request(env, req, [](const TracedCall &) { return false; }, &stopped);
        std::map<long long, std::string> opened; // descriptor -> the path it was opened from
        Paths flushed_before, moved, flushed_after;
        for (auto &c : calls) {
            if (c.nr == SYS_openat && c.ret >= 0)
                opened[c.ret] = c.path;
            else if (c.nr == SYS_fsync || c.nr == SYS_fdatasync || c.nr == SYS_syncfs)
                (moved.empty() ? flushed_before : flushed_after).push_back(opened[static_cast<long long>(c.arg0)]);
            else if (is_rename(c.nr))
                moved.push_back(c.path);
        }
        EXPECT_EQ(flushed_before, r.flushed_before) << r.query;
        EXPECT_EQ(moved, r.moved) << r.query;
        EXPECT_EQ(flushed_after, Paths{dir}) << r.query << ": one flush of the notes directory itself";
    }
    fs::remove(req);
    EXPECT_EQ(read_file(dir + "/" + id + ".md"), "newer");
}

TEST_F(Faults, RandomKillsNeverLoseOrCorruptNotes)
{
    // One large note whose body flips between two contents, and small notes that come and go.
    const size_t big = 300000;
    std::string big_id = save("{\"title\":\"big\",\"body\":\"" + std::string(big, 'A') + "\"}");
    std::map<std::string, std::string> small; // id -> body, for notes whose save was acknowledged
    std::mt19937 rng(99);
    std::string req = dir + ".req";
    int kills = 0;
    // SOAK_KILL_ROUNDS lets `make soak` run many more rounds than a test run does.
    const char *soak = getenv("SOAK_KILL_ROUNDS");
    const int rounds = soak ? atoi(soak) : 40;
    for (int round = 0; round < rounds; round++) {
        std::string query = "action=save";
        std::string body;
        int op = static_cast<int>(rng() % 4);
        if (op == 0) {
            body = "{\"id\":\"" + big_id + "\",\"body\":\"" + std::string(big, round % 2 ? 'B' : 'A') + "\"}";
        } else if (op == 1) {
            body = "{\"body\":\"small " + std::to_string(round) + "\"}";
        } else if (op == 2) {
            query = "action=pin&id=" + big_id;
        } else if (!small.empty()) {
            query = "action=delete&id=" + small.begin()->first;
        }
        write_file(req, body);
        Env env = env_for(query, "POST");
        env["CONTENT_LENGTH"] = std::to_string(body.size());
        pid_t pid = cgi_spawn(env, req);
        std::this_thread::sleep_for(std::chrono::microseconds(rng() % 4000));
        kills += kill(pid, SIGKILL) == 0;
        waitpid(pid, nullptr, 0);

        std::vector<std::string> ids = listed_ids();
        std::set<std::string> seen(ids.begin(), ids.end());
        ASSERT_TRUE(seen.count(big_id)) << "round " << round;
        std::string b = read_file(dir + "/" + big_id + ".md");
        EXPECT_TRUE(b == std::string(big, 'A') || b == std::string(big, 'B')) << "round " << round << " size " << b.size();
        for (auto &id : ids) {
            EXPECT_TRUE(fs::exists(dir + "/" + id + ".md")) << "listed without a body: " << id;
            std::string nb = read_file(dir + "/" + id + ".md");
            if (id != big_id) {
                EXPECT_EQ(nb.rfind("small ", 0), 0u) << id << " holds " << nb.substr(0, 20);
            }
        }
        // Track small notes the program now lists; deleted ones must not come back.
        for (auto it = small.begin(); it != small.end();)
            it = seen.count(it->first) ? std::next(it) : small.erase(it);
        for (auto &id : ids)
            if (id != big_id)
                small[id] = read_file(dir + "/" + id + ".md");
    }
    fs::remove(req);
    EXPECT_GT(kills, 0);
    // After all the kills the store still takes a normal save and lists it.
    std::string id = save("{\"body\":\"after\"}");
    EXPECT_NE(ok_body("action=list").find(id), std::string::npos);
}

TEST_F(Faults, PersistentReadErrorsEndTheReadAndNeverLetASaveReplaceTheIndex)
{
    ASSERT_TRUE(fs::exists("/usr/bin/strace")) << "strace is installed by scripts/deps-extra.sh";
    std::string id = save("{\"title\":\"t\",\"body\":\"small\"}");
    std::string big = save("{\"title\":\"t\",\"body\":\"" + std::string(70000, 'b') + "\"}"); // read in two parts
    std::string req = dir + ".req";
    // Every read of the named file fails from its when-th read on, as a failing disk's would.
    struct {
        std::string query, body, file, when, answer;
    } rows[] = {
        {"action=get&id=" + id, "", dir + "/" + id + ".md", "1+", "\"body\":\"\"}}\n"},
        {"action=search&q=small", "", dir + "/" + id + ".md", "1+", "{\"ok\":true,\"count\":0,\"notes\":[]}\n"},
        {"action=search&q=x", "", dir + "/" + big + ".md", "2+", "{\"ok\":true,\"count\":0,\"notes\":[]}\n"},
        {"action=save", "{\"body\":\"x\"}", req, "1+", "{\"ok\":false,\"error\":\"empty body\"}\n"},
        {"action=save", "{\"body\":\"x\"}", dir + "/index.json", "1+", "{\"ok\":false,\"error\":\"could not write index\"}\n"},
        {"action=list", std::string(100000, 'x'), req, "2+", "{\"ok\":true,\"count\":2,\"notes\":["},
    };
    std::string index = index_text();
    for (auto &r : rows) {
        // The tolerant reader reads the index file; the writer's own layout is mapped instead.
        std::string written = r.file == dir + "/index.json" ? index + "\n" : index;
        write_file(dir + "/index.json", written);
        write_file(req, r.body);
        Env env = env_for(r.query, "POST");
        env["CONTENT_LENGTH"] = std::to_string(r.body.size());
        env["ASAN_OPTIONS"] = "detect_leaks=0"; // a sanitizer build's leak check cannot run traced
        CgiResult res = cgi_run("/usr/bin/timeout", env, "",
                                {"-s", "KILL", "20", "/bin/sh", "-c",
                                 "exec /usr/bin/strace -o /dev/null -P \"$1\" -e inject=read:error=EIO:when=$2 \"$0\" <\"$3\"",
                                 NOTES_EXE, r.file, r.when, req});
        EXPECT_EQ(res.status, 0) << r.query << " on " << r.file;
        EXPECT_NE(res.out.find(r.answer), std::string::npos) << r.query << " on " << r.file << ":\n" << res.out;
        EXPECT_EQ(index_text(), written) << r.query << " on " << r.file;
    }
    fs::remove(req);
}
