// Runs a command a number of times and prints the wall time of each run and
// the largest peak resident set of any run:
//
//   measure [-n RUNS] [-r PATH] [-i FILE] [-o FILE] -- PROGRAM ARGS...
//
// -r removes PATH before each run (untimed), so that no run pays for freeing
// an earlier run's output; -i and -o redirect standard input and output, as a
// shell would, inside the timed part. Output: "seconds_per_run max_rss_kib".
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

[[noreturn]] void die(const char *what, int err) {
    std::fprintf(stderr, "measure: %s: %s\n", what, std::strerror(err));
    std::exit(2);
}

double now() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

} // namespace

int main(int argc, char *argv[]) {
    long runs = 1;
    const char *remove_path = nullptr;
    const char *in_path = nullptr;
    const char *out_path = nullptr;
    int opt = 0;
    while ((opt = getopt(argc, argv, "+n:r:i:o:")) != -1) {
        switch (opt) {
        case 'n':
            runs = std::strtol(optarg, nullptr, 10);
            break;
        case 'r':
            remove_path = optarg;
            break;
        case 'i':
            in_path = optarg;
            break;
        case 'o':
            out_path = optarg;
            break;
        default:
            return 1;
        }
    }
    if (optind >= argc || runs < 1) {
        std::fprintf(stderr, "usage: measure [-n RUNS] [-r PATH] [-i IN] [-o OUT] -- CMD...\n");
        return 1;
    }
    char **cmd = argv + optind;

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (in_path != nullptr) {
        posix_spawn_file_actions_addopen(&actions, 0, in_path, O_RDONLY, 0);
    }
    if (out_path != nullptr) {
        posix_spawn_file_actions_addopen(&actions, 1, out_path, O_WRONLY | O_CREAT | O_TRUNC, 0666);
    }

    double total = 0;
    long max_rss = 0;
    for (long i = 0; i < runs; ++i) {
        if (remove_path != nullptr && unlink(remove_path) != 0 && errno != ENOENT) {
            die(remove_path, errno);
        }
        const double start = now();
        pid_t pid = 0;
        if (const int err = posix_spawnp(&pid, cmd[0], &actions, nullptr, cmd, environ); err != 0) {
            die(cmd[0], err);
        }
        int status = 0;
        rusage usage{};
        if (wait4(pid, &status, 0, &usage) < 0) {
            die("wait4", errno);
        }
        total += now() - start;
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
            std::fprintf(stderr, "measure: %s failed (status %d)\n", cmd[0], status);
            return 2;
        }
        max_rss = std::max(max_rss, usage.ru_maxrss);
    }
    std::printf("%.6f %ld\n", total / static_cast<double>(runs), max_rss);
    return 0;
}
