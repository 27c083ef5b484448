// Helpers for tests that run the built byteneg binary as a child process.
#pragma once

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace fs = std::filesystem;

struct Outcome {
    int status = -1; // exit status, or -1 if killed by a signal
    int signal = 0;  // the signal that killed it, or 0
    std::string out; // everything written to standard output
    std::string err; // everything written to standard error
};

struct RunOptions {
    fs::path cwd = ".";
    std::string stdin_path = "/dev/null"; // relative to cwd
    bool as_nobody = false;               // drop root privileges, so permissions bite
    long file_size_limit = -1;            // RLIMIT_FSIZE in bytes, or -1 for none
    bool ignore_sigpipe = false;          // start the program with SIGPIPE ignored
    std::vector<std::string> wrapper;     // e.g. strace and its options, run before the binary
    // If set, is handed the read end of the program's standard output (and
    // owns it) instead of capturing it.
    std::function<void(int)> on_stdout;
    // Descriptors of the caller's to hand the program as its standard input
    // or output instead of stdin_path or the capture; -1 for the default.
    int stdin_fd = -1;
    int stdout_fd = -1;
    std::vector<int> closed; // standard descriptors the program starts without
};

// Runs the program with exactly this argument vector (argv[0] included; an
// empty vector gives the program an empty one), standard input from
// opts.stdin_path, and both output streams captured.
Outcome run(const std::string &program, const std::vector<std::string> &argv,
            const RunOptions &opts = {});

// Runs the byteneg under test.
Outcome byteneg(const std::vector<std::string> &argv, const RunOptions &opts = {});
const char *byteneg_path();

// Runs byteneg in dir under strace with these strace options.
Outcome under_strace(const fs::path &dir, const std::vector<std::string> &argv,
                     const std::vector<std::string> &options);
extern const char *const strace_path;

// Owns a descriptor: closes it when destroyed.
class Fd {
  public:
    Fd() = default;
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd() {
        reset();
    }
    Fd(Fd &&other) noexcept : fd_(other.release()) {}
    Fd &operator=(Fd &&other) noexcept {
        if (this != &other) {
            reset();
            fd_ = other.release();
        }
        return *this;
    }
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
    [[nodiscard]] int get() const {
        return fd_;
    }
    int release() {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }
    void reset();

  private:
    int fd_ = -1;
};

// open(2) that throws on failure; the descriptor is close-on-exec.
Fd open_fd(const fs::path &path, int flags, unsigned mode = 0600);
// Everything left to read on fd, until the end or until it would block.
std::string read_rest(int fd);

// A fresh directory under TMPDIR, removed with everything in it at the end.
struct TempDir {
    fs::path path;
    TempDir();
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    TempDir(TempDir &&) = delete;
    TempDir &operator=(TempDir &&) = delete;
};

void write_file(const fs::path &path, const std::string &bytes);
std::string read_file(const fs::path &path);
std::string random_bytes(std::size_t n, unsigned seed);
// Negation computed independently of the code under test.
std::string negated(const std::string &bytes);
// The names in dir, sorted.
std::vector<std::string> listing(const fs::path &dir);
