// Runs a command a number of times and prints its mean wall time per run:
//
//   measure [-n RUNS] [-s] [-m] [-r PATH [-e SRC]] [-i FILE] [-o FILE] -- PROGRAM ARGS...
//
// Everything but the command itself stays outside the timed part:
//   -r PATH  removes PATH before each run, so that no run pays for freeing an
//            earlier run's output;
//   -e SRC   with -r, leaves PATH in place as an existing full-size file
//            instead, to time overwriting one: PATH is made a copy of SRC
//            unless it already has SRC's size (a command that truncates it
//            never reads what was there);
//   -s       calls sync() before each run, so that the writeback of what the
//            previous run (or -e) left dirty is not charged to this one;
//   -m       runs the command once more, untimed, to find the peak resident
//            set of its own image, and prints it in KiB after the time.
// -i and -o redirect standard input and output, as a shell would, inside the
// timed part. Output: "seconds_per_run" or, with -m, "seconds_per_run peak_kib".
#include <bit>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include <fcntl.h>
#include <spawn.h>
#include <sys/ptrace.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

[[noreturn]] void die(const char *what, int err) {
    std::fprintf(stderr, "measure: %s: %s\n", what, std::strerror(err));
    std::exit(2);
}

[[noreturn]] void fail(const std::string &message) {
    std::fprintf(stderr, "measure: %s\n", message.c_str());
    std::exit(2);
}

double now() {
    timespec ts{};
    if (clock_gettime(CLOCK_MONOTONIC, &ts) != 0) {
        die("clock_gettime", errno);
    }
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

struct Options {
    long runs = 1;
    bool sync_first = false;
    bool peak_memory = false;
    const char *reset_path = nullptr;
    const char *existing_from = nullptr;
    const char *in_path = nullptr;
    const char *out_path = nullptr;
    char **cmd = nullptr;
};

constexpr const char *usage = "usage: measure [-n RUNS] [-s] [-m] [-r PATH [-e SRC]] [-i IN] "
                              "[-o OUT] -- CMD...\n";

Options parse(int argc, char *argv[]) {
    Options o;
    int opt = 0;
    while ((opt = getopt(argc, argv, "+n:smr:e:i:o:")) != -1) {
        switch (opt) {
        case 'n': {
            char *end = nullptr;
            errno = 0;
            o.runs = std::strtol(optarg, &end, 10);
            if (errno != 0 || end == optarg || *end != '\0' || o.runs < 1) {
                fail(std::string("not a run count: ") + optarg);
            }
            break;
        }
        case 's':
            o.sync_first = true;
            break;
        case 'm':
            o.peak_memory = true;
            break;
        case 'r':
            o.reset_path = optarg;
            break;
        case 'e':
            o.existing_from = optarg;
            break;
        case 'i':
            o.in_path = optarg;
            break;
        case 'o':
            o.out_path = optarg;
            break;
        default:
            std::fputs(usage, stderr);
            std::exit(1);
        }
    }
    if (optind >= argc || (o.existing_from != nullptr && o.reset_path == nullptr)) {
        std::fputs(usage, stderr);
        std::exit(1);
    }
    o.cmd = argv + optind;
    return o;
}

void write_all(int fd, const char *data, std::size_t len, const char *path) {
    while (len > 0) {
        const ssize_t n = write(fd, data, len);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            die(path, errno);
        }
        data += n;
        len -= static_cast<std::size_t>(n);
    }
}

void copy_file(const char *from, const char *to) {
    const int in = open(from, O_RDONLY | O_CLOEXEC);
    if (in < 0) {
        die(from, errno);
    }
    const int out = open(to, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (out < 0) {
        die(to, errno);
    }
    std::vector<char> buf(std::size_t{1} << 20);
    for (;;) {
        const ssize_t n = read(in, buf.data(), buf.size());
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            die(from, errno);
        }
        if (n == 0) {
            break;
        }
        write_all(out, buf.data(), static_cast<std::size_t>(n), to);
    }
    if (close(in) != 0) {
        die(from, errno);
    }
    if (close(out) != 0) {
        die(to, errno);
    }
}

// The untimed steps before every run, timed or not.
void prepare(const Options &o) {
    if (o.reset_path != nullptr) {
        if (o.existing_from == nullptr) {
            if (unlink(o.reset_path) != 0 && errno != ENOENT) {
                die(o.reset_path, errno);
            }
        } else {
            struct stat src {};
            struct stat dst {};
            if (stat(o.existing_from, &src) != 0) {
                die(o.existing_from, errno);
            }
            if (stat(o.reset_path, &dst) != 0) {
                if (errno != ENOENT) {
                    die(o.reset_path, errno);
                }
            }
            if (!S_ISREG(dst.st_mode) || dst.st_size != src.st_size) {
                copy_file(o.existing_from, o.reset_path);
            }
        }
    }
    if (o.sync_first) {
        sync();
    }
}

void check_success(const Options &o, int status) {
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        fail(std::string(o.cmd[0]) + " failed (wait status " + std::to_string(status) + ")");
    }
}

double timed_run(const Options &o, const posix_spawn_file_actions_t &actions) {
    const double start = now();
    pid_t pid = 0;
    if (const int err = posix_spawnp(&pid, o.cmd[0], &actions, nullptr, o.cmd, environ); err != 0) {
        // The error may come from opening -i or -o as well as from exec.
        fail(std::string("cannot start ") + o.cmd[0] + ": " + std::strerror(err));
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) {
            die("waitpid", errno);
        }
    }
    const double elapsed = now() - start;
    check_success(o, status);
    return elapsed;
}

// Runs in the forked child: measure has one thread, so any call is safe there.
void redirect_in_child(const char *path, int flags, int target_fd) {
    const int fd = open(path, flags, 0666);
    if (fd < 0 || dup2(fd, target_fd) < 0) {
        std::fprintf(stderr, "measure: %s: %s\n", path, std::strerror(errno));
        _exit(127);
    }
    if (fd != target_fd && close(fd) != 0) {
        std::fprintf(stderr, "measure: %s: %s\n", path, std::strerror(errno));
        _exit(127);
    }
}

long read_vm_hwm_kib(pid_t pid) {
    const std::string path = "/proc/" + std::to_string(pid) + "/status";
    std::FILE *f = std::fopen(path.c_str(), "re");
    if (f == nullptr) {
        die(path.c_str(), errno);
    }
    char line[256];
    long kib = -1;
    while (std::fgets(line, sizeof line, f) != nullptr) {
        if (std::strncmp(line, "VmHWM:", 6) == 0) {
            char *end = nullptr;
            kib = std::strtol(line + 6, &end, 10);
            if (end == line + 6) {
                kib = -1;
            }
            break;
        }
    }
    if (std::ferror(f) != 0) {
        die(path.c_str(), errno);
    }
    if (std::fclose(f) != 0) {
        die(path.c_str(), errno);
    }
    if (kib < 0) {
        fail(path + ": no VmHWM line");
    }
    return kib;
}

// ptrace takes a number where its prototype has a pointer.
void *ptrace_data(long value) {
    return std::bit_cast<void *>(value);
}

void trace_continue(pid_t pid, int signal) {
    if (ptrace(PTRACE_CONT, pid, nullptr, ptrace_data(signal)) != 0) {
        die("ptrace(PTRACE_CONT)", errno);
    }
}

int wait_for(pid_t pid) {
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) {
            die("waitpid", errno);
        }
    }
    return status;
}

// The peak resident set of the command's own image. The child's ru_maxrss
// cannot give it: the child starts as a copy of this process (or shares it,
// when spawned by vfork), and the kernel reports the larger of that and the
// new image's peak, so a small command would show this program's size. Under
// ptrace the command stops as it exits, with its memory still mapped, and
// /proc has the high-water mark of that memory alone.
long traced_peak_kib(const Options &o) {
    const pid_t pid = fork();
    if (pid < 0) {
        die("fork", errno);
    }
    if (pid == 0) {
        if (o.in_path != nullptr) {
            redirect_in_child(o.in_path, O_RDONLY, STDIN_FILENO);
        }
        if (o.out_path != nullptr) {
            redirect_in_child(o.out_path, O_WRONLY | O_CREAT | O_TRUNC, STDOUT_FILENO);
        }
        if (ptrace(PTRACE_TRACEME, 0, nullptr, nullptr) != 0) {
            std::fprintf(stderr, "measure: ptrace(PTRACE_TRACEME): %s\n", std::strerror(errno));
            _exit(127);
        }
        execvp(o.cmd[0], o.cmd);
        std::fprintf(stderr, "measure: %s: %s\n", o.cmd[0], std::strerror(errno));
        _exit(127);
    }
    // The first stop comes once the new image is loaded.
    int status = wait_for(pid);
    if (!WIFSTOPPED(status)) {
        fail(std::string(o.cmd[0]) + " could not be started under ptrace (wait status " +
             std::to_string(status) + ")");
    }
    const long options = PTRACE_O_TRACEEXIT | PTRACE_O_TRACEEXEC | PTRACE_O_EXITKILL;
    if (ptrace(PTRACE_SETOPTIONS, pid, nullptr, ptrace_data(options)) != 0) {
        die("ptrace(PTRACE_SETOPTIONS)", errno);
    }
    trace_continue(pid, 0);
    long kib = -1;
    for (;;) {
        status = wait_for(pid);
        if (!WIFSTOPPED(status)) {
            break;
        }
        const int event = status >> 16;
        if (event == PTRACE_EVENT_EXIT) {
            kib = read_vm_hwm_kib(pid);
            trace_continue(pid, 0);
        } else if (event != 0) {
            trace_continue(pid, 0);
        } else {
            // A signal on its way to the command: pass it on.
            trace_continue(pid, WSTOPSIG(status));
        }
    }
    check_success(o, status);
    if (kib < 0) {
        fail(std::string(o.cmd[0]) + " ended without an exit stop");
    }
    return kib;
}

} // namespace

int main(int argc, char *argv[]) {
    const Options o = parse(argc, argv);

    posix_spawn_file_actions_t actions;
    if (const int err = posix_spawn_file_actions_init(&actions); err != 0) {
        die("posix_spawn_file_actions_init", err);
    }
    if (o.in_path != nullptr) {
        if (const int err =
                posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, o.in_path, O_RDONLY, 0);
            err != 0) {
            die(o.in_path, err);
        }
    }
    if (o.out_path != nullptr) {
        if (const int err = posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, o.out_path,
                                                             O_WRONLY | O_CREAT | O_TRUNC, 0666);
            err != 0) {
            die(o.out_path, err);
        }
    }

    double total = 0;
    for (long i = 0; i < o.runs; ++i) {
        prepare(o);
        total += timed_run(o, actions);
    }
    if (const int err = posix_spawn_file_actions_destroy(&actions); err != 0) {
        die("posix_spawn_file_actions_destroy", err);
    }

    if (o.peak_memory) {
        prepare(o);
        const long kib = traced_peak_kib(o);
        std::printf("%.6f %ld\n", total / static_cast<double>(o.runs), kib);
    } else {
        std::printf("%.6f\n", total / static_cast<double>(o.runs));
    }
    if (std::fflush(stdout) != 0 || std::ferror(stdout) != 0) {
        die("standard output", errno);
    }
    return 0;
}
