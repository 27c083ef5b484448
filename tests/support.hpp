// Helpers for tests that run the built byteneg binary as a child process.
#pragma once

#include <algorithm>
#include <filesystem>
#include <functional>
#include <iterator>
#include <optional>
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
    long open_files_limit = -1;           // RLIMIT_NOFILE, or -1 for none
    // Signals the program starts with ignored; every other one is at its
    // default, whatever the tests' own process does with it.
    std::vector<int> ignored_signals;
    // Called with the started program's process, before its output is
    // collected: it may feed the program and signal it.
    std::function<void(int pid)> while_running;
    std::vector<std::string> wrapper; // e.g. strace and its options, run before the binary
    // If set, fed to the program's standard input through a pipe instead of
    // stdin_path.
    std::optional<std::string> stdin_bytes;
    // If set, is handed the read end of the program's standard output (and
    // owns it) instead of capturing it.
    std::function<void(int)> on_stdout;
    // Descriptors of the caller's to hand the program as its standard input
    // or output instead of stdin_path or the capture; -1 for the default.
    int stdin_fd = -1;
    int stdout_fd = -1;
    std::vector<int> closed; // standard descriptors the program starts without
    // A Windows binary only: started by tests/windows_launcher.cpp, under the
    // emulator, with these options (lone surrogates, a raw command line,
    // another current folder, a named pipe to read).
    std::vector<std::string> launcher;
};

// Runs the program with exactly this argument vector (argv[0] included; an
// empty vector gives the program an empty one), standard input from
// opts.stdin_path, and both output streams captured.
Outcome run(const std::string &program, const std::vector<std::string> &argv,
            const RunOptions &opts = {});

// Runs the byteneg under test, through its emulator if it has one. An
// emulator starts the binary by its path, whatever argv[0] says, so there the
// name the binary shows at the start of its lines is put back as the name it
// would have shown if started directly; any other name is left as it came.
Outcome byteneg(const std::vector<std::string> &argv, const RunOptions &opts = {});
const char *byteneg_path();

// The command that runs the binary under test (qemu, Wine), empty when the
// host runs it directly.
const std::vector<std::string> &emulator();
// The name the binary shows when the emulator starts it, learnt from its
// usage line: under Wine it is a DOS path, not what the test passed.
const std::string &shown_name();

#ifdef BYTENEG_WINDOWS
constexpr bool windows_binary = true;
#else
constexpr bool windows_binary = false;
#endif

// Where a table's case applies, so that each table leaves out at instantiation
// what the binary under test cannot meet.
enum class Where {
    anywhere,
    posix,   // POSIX files, descriptors and limits: not a Windows binary
    windows, // a Windows spelling of a path
    direct,  // picks argv[0], which only a binary started directly sees
};
bool applies(Where where);
template <class Case> std::vector<Case> applicable(const std::vector<Case> &cases) {
    std::vector<Case> kept;
    std::copy_if(cases.begin(), cases.end(), std::back_inserter(kept),
                 [](const Case &c) { return applies(c.where); });
    return kept;
}

// A Windows binary gives the system's own reasons, not POSIX ones: got with
// its reason replaced by want's when it is, like want, one line that agrees
// with want up to the reason, so that comparing it with want checks the rest.
// The reason of "same file as", the tool's own words, must match as it is.
// Elsewhere got as it is.
std::string with_reason_of(const std::string &want, const std::string &got);

// Whether the tests run with root's powers: as root, able to mount, and not
// under fakeroot.
bool root_powers();
// Skips the test, giving the reason, unless run with root's powers; returns
// whether it did.
bool skipped_unless_root(const char *why);
// Skips the test, giving the reason, unless unshare(1) can make a mount
// namespace whose mounts stay private, as it cannot in a chroot whose root
// is no mount point; returns whether it did.
bool skipped_unless_private_mounts();
// Skips, saying why, where /sys is missing (a bare chroot, some build roots):
// the tool then refuses a copy between a file system and a disk's, as it
// cannot tell what lies beneath the disk.
bool skipped_unless_sys();

// Before a run with as_nobody in dir: opens dir to everyone and, as root,
// makes sure the unprivileged child can reach both dir and the binary it
// runs, a copy staged under TMPDIR, so that where the checkout lies (under a
// folder closed to others, such as /root) does not matter. Skips the test,
// giving the reason, when it cannot; returns whether it did.
bool skipped_unless_nobody_reaches(const fs::path &dir);

// A wrapper that runs the program with more sanitizer options (a=b:c=d)
// after any the tests were given.
std::vector<std::string> asan_options(const std::string &more);
// A wrapper that runs the program under strace with these strace options
// (LeakSanitizer cannot run under strace, so it is turned off).
std::vector<std::string> traced(const std::vector<std::string> &options);
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
