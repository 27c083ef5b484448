#include "support.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <map>
#include <random>
#include <sstream>
#include <system_error>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

constexpr uid_t nobody = 65534;

[[noreturn]] void fail_system(const std::string &what) {
    throw std::system_error(errno, std::generic_category(), what);
}

// In a child: drops root's privileges for those of nobody; false if it cannot.
bool become_nobody() {
    return setgroups(0, nullptr) == 0 && setgid(nobody) == 0 && setuid(nobody) == 0;
}

// A fresh folder named for its use under TMPDIR.
fs::path made_temp_dir(const std::string &use) {
    const char *base = std::getenv("TMPDIR");
    std::string pattern = std::string(base != nullptr && *base != '\0' ? base : "/tmp") +
                          "/byteneg-" + use + "-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) {
        fail_system("mkdtemp");
    }
    return pattern;
}

// In the forked child: set up the process as asked, then exec. Exit 126 tells
// a failed set-up apart from anything the program itself returns.
[[noreturn]] void exec_child(const std::string &path, std::vector<char *> &cargv,
                             const RunOptions &opts, int in_fd, int out_w, int err_w) {
    if (dup2(in_fd, 0) < 0 || dup2(opts.stdout_fd >= 0 ? opts.stdout_fd : out_w, 1) < 0 ||
        dup2(err_w, 2) < 0 || chdir(opts.cwd.c_str()) != 0) {
        _exit(126);
    }
    // Whatever else this process holds (a descriptor CTest leaked to it, say)
    // is not the program's: it starts with the standard three alone.
    if (close_range(3, ~0U, 0) != 0) {
        _exit(126);
    }
    for (const int fd : opts.closed) {
        close(fd);
    }
    // Every signal at its default but those asked for: a parent that feeds
    // standard input ignores SIGPIPE, and a test may run in the background.
    // No core files, which signals that make one would leave in the folder.
    for (int sig = 1; sig < NSIG; ++sig) {
        signal(sig, SIG_DFL); // fails, as it may, for SIGKILL, SIGSTOP and reserved ones
    }
    const rlimit no_core{0, 0};
    if (setrlimit(RLIMIT_CORE, &no_core) != 0) {
        _exit(126);
    }
    for (const int sig : opts.ignored_signals) {
        if (signal(sig, SIG_IGN) == SIG_ERR) {
            _exit(126);
        }
    }
    if (opts.file_size_limit >= 0) {
        const rlimit lim{static_cast<rlim_t>(opts.file_size_limit),
                         static_cast<rlim_t>(opts.file_size_limit)};
        // A write past the limit then fails with EFBIG instead of a signal.
        if (setrlimit(RLIMIT_FSIZE, &lim) != 0 || signal(SIGXFSZ, SIG_IGN) == SIG_ERR) {
            _exit(126);
        }
    }
    if (opts.open_files_limit >= 0) {
        const rlimit lim{static_cast<rlim_t>(opts.open_files_limit),
                         static_cast<rlim_t>(opts.open_files_limit)};
        if (setrlimit(RLIMIT_NOFILE, &lim) != 0) {
            _exit(126);
        }
    }
    if (opts.as_nobody && geteuid() == 0 && !become_nobody()) {
        _exit(126);
    }
    // Searches PATH for an emulator named without a folder.
    execvp(path.c_str(), cargv.data());
    _exit(127);
}

// text with name at the start of a line replaced by as.
std::string renamed(const std::string &text, const std::string &name, const std::string &as) {
    std::string result;
    for (std::size_t at = 0; at < text.size();) {
        const std::size_t end = std::min(text.find('\n', at), text.size() - 1) + 1;
        const std::string line = text.substr(at, end - at);
        result += line.rfind(name, 0) == 0 ? as + line.substr(name.size()) : line;
        at = end;
    }
    return result;
}

// A copy of the binary in a folder of its own under TMPDIR that anyone may
// enter, for the runs that drop privileges; removed when the tests end.
struct Staged {
    fs::path dir;
    fs::path binary;
    Staged() : dir(made_temp_dir("nobody")) {
        binary = dir / fs::path(byteneg_path()).filename();
        fs::copy_file(byteneg_path(), binary);
        const auto readable = fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                              fs::perms::others_read | fs::perms::others_exec;
        fs::permissions(dir, readable);
        fs::permissions(binary, readable);
    }
    ~Staged() {
        std::error_code ignored;
        fs::remove_all(dir, ignored);
    }
    Staged(const Staged &) = delete;
    Staged &operator=(const Staged &) = delete;
    Staged(Staged &&) = delete;
    Staged &operator=(Staged &&) = delete;
};
const Staged &staged() {
    static const Staged copy;
    return copy;
}

// The program to start for a run with these options.
std::string program_for(const RunOptions &opts) {
    return opts.as_nobody && geteuid() == 0 ? staged().binary.string() : byteneg_path();
}

} // namespace

const char *byteneg_path() {
    return BYTENEG_PATH;
}

// The emulator's words, separated by 0x1F (a CMake list cannot pass through a
// compiler definition as it is).
#ifndef BYTENEG_EMULATOR
#define BYTENEG_EMULATOR ""
#endif

const std::vector<std::string> &emulator() {
    static const std::vector<std::string> words = [] {
        std::vector<std::string> split;
        std::istringstream all(BYTENEG_EMULATOR);
        for (std::string word; std::getline(all, word, '\x1f');) {
            split.push_back(word);
        }
        return split;
    }();
    return words;
}

namespace {

// The name program shows when the emulator starts it, learnt once per program.
const std::string &shown_name_of(const std::string &program) {
    static std::map<std::string, std::string> names;
    const auto known = names.find(program);
    if (known != names.end()) {
        return known->second;
    }
    RunOptions opts;
    opts.wrapper = emulator();
    const Outcome r = run(program, {program}, opts);
    const std::string rest = " <in> <out>\n";
    if (r.status != 1 || r.out.size() <= rest.size() ||
        r.out.compare(r.out.size() - rest.size(), rest.size(), rest) != 0) {
        throw std::runtime_error("no usage line from " + program + ": status " +
                                 std::to_string(r.status) + ", " + r.out + r.err);
    }
    return names[program] = r.out.substr(0, r.out.size() - rest.size());
}

} // namespace

const std::string &shown_name() {
    return shown_name_of(byteneg_path());
}

// The launcher that starts a Windows binary as no Unix caller can.
#ifndef BYTENEG_LAUNCHER
#define BYTENEG_LAUNCHER ""
#endif

Outcome byteneg(const std::vector<std::string> &argv, const RunOptions &opts) {
    if (!opts.launcher.empty() && (emulator().empty() || *BYTENEG_LAUNCHER == '\0')) {
        throw std::runtime_error("no Windows launcher");
    }
    const std::string program = program_for(opts);
    if (emulator().empty()) {
        return run(program, argv, opts);
    }
    // The emulator runs the binary as a wrapper does, after any wrapper asked
    // for, and the launcher runs under the emulator as the binary does.
    RunOptions emulated = opts;
    emulated.wrapper.insert(emulated.wrapper.end(), emulator().begin(), emulator().end());
    if (!opts.launcher.empty()) {
        emulated.wrapper.emplace_back(BYTENEG_LAUNCHER);
        emulated.wrapper.insert(emulated.wrapper.end(), opts.launcher.begin(), opts.launcher.end());
    }
    Outcome r = run(program, argv, emulated);
    // Started directly, the binary would show argv[0], its path under a
    // wrapper, or its own fallback name for an empty argument vector.
    const std::string direct = !opts.wrapper.empty() ? program
                               : argv.empty()        ? "byteneg"
                                                     : argv.front();
    r.out = renamed(r.out, shown_name_of(program), direct);
    r.err = renamed(r.err, shown_name_of(program), direct);
    // qemu's own word on a signal that ended the program, as a shell's would be.
    const std::string said = "qemu: uncaught target signal ";
    if (const std::size_t at = r.err.rfind(said);
        at != std::string::npos && (at == 0 || r.err[at - 1] == '\n') && r.err.back() == '\n' &&
        r.err.find('\n', at) == r.err.size() - 1) {
        r.err.erase(at);
    }
    return r;
}

bool applies(Where where) {
    switch (where) {
    case Where::posix:
        return !windows_binary;
    case Where::windows:
        return windows_binary;
    case Where::direct:
        return emulator().empty();
    case Where::anywhere:
        break;
    }
    return true;
}

std::string with_reason_of(const std::string &want, const std::string &got) {
    if (!windows_binary || want.find('\n') != want.size() - 1 ||
        want.find(": same file as ") != std::string::npos) {
        return got;
    }
    const std::size_t reason = want.rfind(": ");
    if (reason == std::string::npos) {
        return got;
    }
    const std::size_t start = reason + 2;
    const bool agrees = got.size() > start + 1 && got.compare(0, start, want, 0, start) == 0 &&
                        got.find('\n') == got.size() - 1;
    return agrees ? want : got;
}

bool root_powers() {
    // fakeroot only pretends, and root in a container may lack the power
    // to mount (CAP_SYS_ADMIN, bit 21 of the effective set).
    if (geteuid() != 0 || std::getenv("FAKEROOTKEY") != nullptr) {
        return false;
    }
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("CapEff:", 0) == 0) {
            return ((std::stoull(line.substr(7), nullptr, 16) >> 21U) & 1U) != 0;
        }
    }
    return false;
}

bool skipped_unless_root(const char *why) {
    if (root_powers()) {
        return false;
    }
    [why] { GTEST_SKIP() << "needs root, with its powers (not fakeroot's): " << why; }();
    return true;
}

bool skipped_unless_private_mounts() {
    if (skipped_unless_root("making a mount namespace")) {
        return true;
    }
    const Outcome probe = run("/usr/bin/unshare", {"unshare", "-m", "true"});
    if (probe.status == 0) {
        return false;
    }
    [&probe] { GTEST_SKIP() << "unshare -m cannot run here: " << probe.err; }();
    return true;
}

bool skipped_unless_sys() {
    if (access("/sys/dev/block", F_OK) == 0) {
        return false;
    }
    [] {
        GTEST_SKIP() << "no /sys/dev/block, without which copies between file systems are refused";
    }();
    return true;
}

bool skipped_unless_nobody_reaches(const fs::path &dir) {
    if (std::getenv("FAKEROOTKEY") != nullptr) {
        [] { GTEST_SKIP() << "fakeroot only pretends to change users and permissions"; }();
        return true;
    }
    fs::permissions(dir, fs::perms::all);
    if (geteuid() != 0) {
        return false; // the run keeps this user, who made dir
    }
    const std::string binary = staged().binary.string();
    const pid_t pid = fork();
    if (pid < 0) {
        fail_system("fork");
    }
    if (pid == 0) {
        _exit(become_nobody() && access(binary.c_str(), X_OK) == 0 &&
                      access(dir.c_str(), W_OK | X_OK) == 0
                  ? 0
                  : 1);
    }
    int wstatus = 0;
    while (waitpid(pid, &wstatus, 0) < 0) {
        if (errno != EINTR) {
            fail_system("waitpid");
        }
    }
    if (WIFEXITED(wstatus) && WEXITSTATUS(wstatus) == 0) {
        return false;
    }
    [&] {
        GTEST_SKIP() << "user " << nobody << " cannot reach " << dir << " or " << binary
                     << ": TMPDIR lies in a folder closed to other users";
    }();
    return true;
}

Outcome run(const std::string &program, const std::vector<std::string> &argv,
            const RunOptions &opts) {
    // A wrapper such as strace starts the program itself, with the program's
    // path as its argv[0]; without one the program sees argv exactly.
    std::vector<std::string> args = argv;
    std::string path = program;
    if (!opts.wrapper.empty()) {
        args = opts.wrapper;
        args.push_back(program);
        if (!argv.empty()) {
            args.insert(args.end(), argv.begin() + 1, argv.end());
        }
        path = opts.wrapper.front();
    }
    std::vector<char *> cargv;
    cargv.reserve(args.size() + 1);
    for (auto &a : args) {
        cargv.push_back(a.data());
    }
    cargv.push_back(nullptr);

    int out_pipe[2];
    int err_pipe[2];
    if (pipe2(out_pipe, O_CLOEXEC) != 0 || pipe2(err_pipe, O_CLOEXEC) != 0) {
        fail_system("pipe");
    }
    const fs::path stdin_path = opts.cwd / opts.stdin_path; // as the program would see it
    int feed = -1; // our end of the pipe to standard input, while bytes are left to write
    int in_fd = opts.stdin_fd;
    if (opts.stdin_bytes) {
        int in_pipe[2];
        if (pipe2(in_pipe, O_CLOEXEC) != 0 || fcntl(in_pipe[1], F_SETFL, O_NONBLOCK) != 0) {
            fail_system("pipe");
        }
        // A program that stops reading early must not end the test by SIGPIPE.
        if (signal(SIGPIPE, SIG_IGN) == SIG_ERR) {
            fail_system("signal");
        }
        in_fd = in_pipe[0];
        feed = in_pipe[1];
    } else if (in_fd < 0) {
        in_fd = open(stdin_path.c_str(), O_RDONLY | O_CLOEXEC);
    }
    if (in_fd < 0) {
        fail_system("open " + stdin_path.string());
    }
    const pid_t pid = fork();
    if (pid < 0) {
        fail_system("fork");
    }
    if (pid == 0) {
        exec_child(path, cargv, opts, in_fd, out_pipe[1], err_pipe[1]);
    }
    if (in_fd != opts.stdin_fd) {
        close(in_fd);
    }
    close(out_pipe[1]);
    close(err_pipe[1]);
    if (opts.while_running) {
        opts.while_running(pid);
    }
    if (opts.on_stdout) {
        // The caller reads standard output itself (and may close it early).
        opts.on_stdout(out_pipe[0]);
        out_pipe[0] = -1;
    }

    Outcome result;
    std::array<pollfd, 3> fds{pollfd{out_pipe[0], POLLIN, 0}, pollfd{err_pipe[0], POLLIN, 0},
                              pollfd{feed, POLLOUT, 0}};
    std::array<std::string *, 2> sinks{&result.out, &result.err};
    int open_count = out_pipe[0] < 0 ? 1 : 2;
    std::size_t fed = 0;
    while (open_count > 0 || fds[2].fd >= 0) {
        if (poll(fds.data(), fds.size(), -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            fail_system("poll");
        }
        for (std::size_t i = 0; i < sinks.size(); ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0) {
                continue;
            }
            std::array<char, 65536> buf{};
            const ssize_t n = read(fds[i].fd, buf.data(), buf.size());
            if (n > 0) {
                sinks[i]->append(buf.data(), static_cast<std::size_t>(n));
            } else if (n == 0 || errno != EINTR) {
                close(fds[i].fd);
                fds[i].fd = -1;
                --open_count;
            }
        }
        if (fds[2].fd >= 0 && fds[2].revents != 0) {
            const std::string &bytes = *opts.stdin_bytes;
            const ssize_t n = write(fds[2].fd, bytes.data() + fed, bytes.size() - fed);
            if (n > 0) {
                fed += static_cast<std::size_t>(n);
            }
            // Done, or the program stopped reading: either way the end of its input.
            if (fed == bytes.size() || (n < 0 && errno != EINTR && errno != EAGAIN)) {
                close(fds[2].fd);
                fds[2].fd = -1;
            }
        }
    }
    int wstatus = 0;
    while (waitpid(pid, &wstatus, 0) < 0) {
        if (errno != EINTR) {
            fail_system("waitpid");
        }
    }
    if (WIFEXITED(wstatus)) {
        result.status = WEXITSTATUS(wstatus);
    } else if (WIFSIGNALED(wstatus)) {
        result.signal = WTERMSIG(wstatus);
    }
    return result;
}

const char *const strace_path = "/usr/bin/strace";

// strace stops LeakSanitizer from working (it needs ptrace itself), so a
// sanitized build runs without leak checks here.
std::vector<std::string> asan_options(const std::string &more) {
    const char *asan = std::getenv("ASAN_OPTIONS");
    return {"/usr/bin/env",
            "ASAN_OPTIONS=" + std::string(asan != nullptr ? asan : "") + ":" + more};
}

std::vector<std::string> traced(const std::vector<std::string> &options) {
    std::vector<std::string> wrapper = asan_options("detect_leaks=0");
    wrapper.insert(wrapper.end(), {strace_path, "-qq"});
    wrapper.insert(wrapper.end(), options.begin(), options.end());
    return wrapper;
}

Outcome under_strace(const fs::path &dir, const std::vector<std::string> &argv,
                     const std::vector<std::string> &options) {
    RunOptions opts;
    opts.cwd = dir;
    opts.wrapper = traced(options);
    return byteneg(argv, opts);
}

void Fd::reset() {
    if (fd_ >= 0) {
        close(fd_);
        fd_ = -1;
    }
}

Fd open_fd(const fs::path &path, int flags, unsigned mode) {
    const int fd = open(path.c_str(), flags | O_CLOEXEC, mode);
    if (fd < 0) {
        fail_system("open " + path.string());
    }
    return Fd(fd);
}

std::string read_rest(int fd) {
    std::string all;
    std::array<char, 65536> buf{};
    for (;;) {
        const ssize_t n = read(fd, buf.data(), buf.size());
        if (n > 0) {
            all.append(buf.data(), static_cast<std::size_t>(n));
        } else if (n == 0 || (errno != EINTR)) {
            return all;
        }
    }
}

TempDir::TempDir() : path(made_temp_dir("test")) {}

TempDir::~TempDir() {
    std::error_code ignored;
    fs::remove_all(path, ignored);
}

void write_file(const fs::path &path, const std::string &bytes) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!f.flush()) {
        throw std::runtime_error("cannot write " + path.string());
    }
}

std::string read_file(const fs::path &path) {
    std::ifstream f(path, std::ios::binary);
    if (!f) {
        throw std::runtime_error("cannot read " + path.string());
    }
    return {std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>()};
}

std::string random_bytes(std::size_t n, unsigned seed) {
    std::mt19937 gen(seed);
    std::uniform_int_distribution<int> dist(0, 255);
    std::string s(n, '\0');
    for (auto &c : s) {
        c = static_cast<char>(dist(gen));
    }
    return s;
}

std::string negated(const std::string &bytes) {
    std::string s(bytes.size(), '\0');
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        const int b = static_cast<unsigned char>(bytes[i]);
        s[i] = static_cast<char>(static_cast<unsigned char>((256 - b) % 256));
    }
    return s;
}

std::vector<std::string> listing(const fs::path &dir) {
    std::vector<std::string> names;
    for (const auto &e : fs::directory_iterator(dir)) {
        names.push_back(e.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}
