/* Times whole processes: runs a command several times after warm-up runs, each with standard
 * input from a file and output discarded, and prints the median and minimum wall time and the
 * largest peak resident memory as one JSON line. Exit status 1 counts as success too, since
 * grep uses it for "no match". A STDIN_FILE holding "%d" names two files, 0 and 1, taken in turn,
 * so that every run of a save replaces the text the run before it left.
 * Usage: runner RUNS WARMUP STDIN_FILE|- COMMAND [ARGS...] */
#define _GNU_SOURCE
#include <fcntl.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

extern char **environ;

static int cmp_long(const void *a, const void *b)
{
    long x = *(const long *)a, y = *(const long *)b;
    return (x > y) - (x < y);
}

/* The input of run i: the file itself, or with "%d" its 0 or 1 version. */
static const char *input_of(const char *in, int i)
{
    static char name[4096];
    const char *mark = in ? strstr(in, "%d") : NULL;
    if (!mark)
        return in;
    snprintf(name, sizeof name, "%.*s%d%s", (int)(mark - in), in, i % 2, mark + 2);
    return name;
}

/* Runs the command once; returns its wall time in microseconds, or -1 when it failed. */
static long run_once(char **cmd, const char *in, long *maxrss_kb)
{
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 0, in ? in : "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
    struct timespec t0, t1;
    clock_gettime(CLOCK_MONOTONIC, &t0);
    pid_t pid;
    if (posix_spawn(&pid, cmd[0], &fa, NULL, cmd, environ) != 0)
        return -1;
    int st;
    struct rusage ru;
    if (wait4(pid, &st, 0, &ru) < 0)
        return -1;
    clock_gettime(CLOCK_MONOTONIC, &t1);
    posix_spawn_file_actions_destroy(&fa);
    if (ru.ru_maxrss > *maxrss_kb)
        *maxrss_kb = ru.ru_maxrss;
    if (!WIFEXITED(st) || WEXITSTATUS(st) > 1)
        return -1;
    return (t1.tv_sec - t0.tv_sec) * 1000000L + (t1.tv_nsec - t0.tv_nsec) / 1000L;
}

int main(int argc, char **argv)
{
    if (argc < 5)
        return 2;
    int runs = atoi(argv[1]), warm = atoi(argv[2]);
    const char *in = strcmp(argv[3], "-") == 0 ? NULL : argv[3];
    char **cmd = argv + 4;
    long rss = 0;
    long *t = calloc((size_t)runs, sizeof *t);
    for (int i = 0; i < warm; i++)
        if (run_once(cmd, input_of(in, i), &rss) < 0) {
            fprintf(stderr, "runner: %s failed\n", cmd[0]);
            return 1;
        }
    rss = 0;
    for (int i = 0; i < runs; i++)
        if ((t[i] = run_once(cmd, input_of(in, warm + i), &rss)) < 0) {
            fprintf(stderr, "runner: %s failed\n", cmd[0]);
            return 1;
        }
    qsort(t, (size_t)runs, sizeof *t, cmp_long);
    printf("{\"median_us\":%ld,\"min_us\":%ld,\"maxrss_kb\":%ld}\n", t[runs / 2], t[0], rss);
    free(t);
    return 0;
}
