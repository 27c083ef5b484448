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
};

// Runs the program with exactly this argument vector (argv[0] included; an
// empty vector gives the program an empty one), standard input from
// opts.stdin_path, and both output streams captured.
Outcome run(const std::string &program, const std::vector<std::string> &argv,
            const RunOptions &opts = {});

// Runs the byteneg under test.
Outcome byteneg(const std::vector<std::string> &argv, const RunOptions &opts = {});
const char *byteneg_path();

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
