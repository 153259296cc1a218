// Runs the built executable as a CGI process: a chosen environment, a body on standard input,
// and the response, standard error and exit status captured.
#pragma once
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <ctime>
#include <map>
#include <string>
#include <vector>

struct CgiResult {
    std::string out;
    std::string err;
    int status;   // exit status, or 128 + signal number
    size_t taken; // bytes of the input delivered before the process closed its standard input
};

using Env = std::map<std::string, std::string>;

// In a forked child: runs exe with exactly env, in_fd as standard input and both outputs
// dropped. Never returns.
[[noreturn]] inline void cgi_exec_input(const char *exe, const Env &env, int in_fd)
{
    int out = open("/dev/null", O_WRONLY);
    dup2(in_fd, 0);
    dup2(out, 1);
    dup2(out, 2);
    std::vector<std::string> kv;
    for (auto &e : env)
        kv.push_back(e.first + "=" + e.second);
    std::vector<char *> envp;
    for (auto &s : kv)
        envp.push_back(const_cast<char *>(s.c_str()));
    envp.push_back(nullptr);
    char *argv[] = {const_cast<char *>(exe), nullptr};
    execve(exe, argv, envp.data());
    _exit(127);
}

// Starts exe with exactly env (nothing inherited), writes input to its standard input and waits.
// A file_limit of 0 or more caps the size of files the process may write (RLIMIT_FSIZE, bytes).
// A hold_s above 0 keeps standard input open once the input is sent, as a host may, and kills a
// process that has not closed its outputs hold_s seconds after the start (status 128 + 9).
inline CgiResult cgi_run(const char *exe, const Env &env, const std::string &input = "",
                         const std::vector<std::string> &args = {}, long file_limit = -1, int hold_s = 0)
{
    signal(SIGPIPE, SIG_IGN); // the program may answer before it reads all of a refused body
    int in[2], out[2], err[2];
    if (pipe(in) || pipe(out) || pipe(err))
        return {"", "pipe failed", -1, 0};
    pid_t pid = fork();
    if (pid == 0) {
        dup2(in[0], 0);
        dup2(out[1], 1);
        dup2(err[1], 2);
        for (int fd : {in[0], in[1], out[0], out[1], err[0], err[1]})
            close(fd);
        if (file_limit >= 0) {
            rlimit rl = {static_cast<rlim_t>(file_limit), static_cast<rlim_t>(file_limit)};
            setrlimit(RLIMIT_FSIZE, &rl);
        }
        std::vector<std::string> kv;
        for (auto &e : env)
            kv.push_back(e.first + "=" + e.second);
        std::vector<char *> envp, argv;
        for (auto &s : kv)
            envp.push_back(const_cast<char *>(s.c_str()));
        envp.push_back(nullptr);
        argv.push_back(const_cast<char *>(exe));
        for (auto &a : args)
            argv.push_back(const_cast<char *>(a.c_str()));
        argv.push_back(nullptr);
        execve(exe, argv.data(), envp.data());
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    close(err[1]);
    // Feed input and drain both outputs together so a large body or answer cannot deadlock.
    size_t sent = 0;
    CgiResult r{"", "", -1, 0};
    fcntl(in[1], F_SETFL, O_NONBLOCK);
    int held = -1;
    auto input_sent = [&] {
        if (hold_s > 0)
            held = in[1];
        else
            close(in[1]);
        in[1] = -1;
    };
    if (input.empty())
        input_sent();
    time_t deadline = time(nullptr) + hold_s;
    int open_outs = 2;
    while (open_outs > 0 || in[1] >= 0) {
        if (hold_s > 0 && time(nullptr) > deadline) {
            kill(pid, SIGKILL);
            break;
        }
        pollfd fds[3] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}, {in[1], POLLOUT, 0}};
        poll(fds, 3, hold_s > 0 ? 100 : 10000);
        char buf[65536];
        for (int k = 0; k < 2; k++) {
            if (fds[k].fd >= 0 && (fds[k].revents & (POLLIN | POLLHUP))) {
                ssize_t n = read(fds[k].fd, buf, sizeof buf);
                if (n > 0) {
                    (k == 0 ? r.out : r.err).append(buf, static_cast<size_t>(n));
                } else {
                    close(fds[k].fd);
                    (k == 0 ? out[0] : err[0]) = -1;
                    open_outs--;
                }
            }
        }
        if (in[1] >= 0 && (fds[2].revents & (POLLOUT | POLLERR | POLLHUP))) {
            ssize_t n = write(in[1], input.data() + sent, input.size() - sent);
            if (n > 0)
                sent += static_cast<size_t>(n);
            if (n < 0 || sent == input.size())
                input_sent();
        }
    }
    for (int fd : {held, out[0], err[0]})
        if (fd >= 0)
            close(fd);
    int st = 0;
    waitpid(pid, &st, 0);
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    r.taken = sent;
    return r;
}
