// Failures that ordinary runs never meet, made on purpose: strace's fault
// injection fails one chosen system call on IN's or OUT's descriptor (or ends
// the run by SIGKILL there), signals that end a run midway, and a pipe whose
// reader goes away.
#include "negate.hpp"
#include "support.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fstream>
#include <functional>
#include <sstream>
#include <thread>

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

struct Fault {
    const char *name;
    const char *syscall;  // read, write or close
    const char *file;     // "in" or "out": whose descriptor the call is on
    int nth;              // which call on that descriptor, from 1
    const char *error;    // errno name to inject, or SIGKILL to end the run at that call
    const char *reason;   // expected reason in the message; nullptr if the run must succeed
    bool old_out = false; // OUT exists, and keeps its bytes if the run does not succeed
};

const Fault faults[] = {
    {"ReadEIO", "read", "in", 2, "EIO", "Input/output error"},
    {"WriteENOSPC", "write", "out", 2, "ENOSPC", "No space left on device"},
    {"WriteEIO", "write", "out", 2, "EIO", "Input/output error"},
    {"CloseOutEIO", "close", "out", 1, "EIO", "Input/output error"},
    {"CloseInEIO", "close", "in", 1, "EIO", "Input/output error"},
    {"ReadEINTRRetried", "read", "in", 2, "EINTR", nullptr},
    {"WriteEINTRRetried", "write", "out", 2, "EINTR", nullptr},
    {"WriteENOSPCKeepsOldOut", "write", "out", 2, "ENOSPC", "No space left on device", true},
    {"CloseOutEIOKeepsOldOut", "close", "out", 2, "EIO", "Input/output error", true},
    {"KilledAtReadLeavesNothing", "read", "in", 2, "SIGKILL", nullptr},
    {"KilledAtWriteKeepsOldOut", "write", "out", 2, "SIGKILL", nullptr, true},
    {"KilledAtCloseLeavesNothing", "close", "out", 1, "SIGKILL", nullptr},
};
const std::string old = "previous contents of out, which must survive\n";

void PrintTo(const Fault &f, std::ostream *os) {
    *os << f.name;
}

// The loader and any sanitizer runtime make calls of their own before the
// tool opens IN and OUT, so count on a clean traced run which call of this
// kind is the nth on the wanted file.
int ordinal_of(const Fault &f, const fs::path &dir, const std::vector<std::string> &argv) {
    const fs::path log = dir / "trace";
    const Outcome dry = under_strace(
        dir, argv, {"-y", "-e", "signal=none", "-e", std::string("trace=") + f.syscall, "-o", log});
    EXPECT_EQ(dry.status, 0) << dry.err;
    std::ifstream trace(log);
    const std::string call = std::string(f.syscall) + "(";
    // strace -y prints a descriptor as fd<path>. OUT's copy is written to a
    // new file of the folder, under whatever name it has: any but IN's.
    std::string folder = fs::canonical(dir).string();
    folder.insert(0, 1, '<').push_back('/');
    const std::string in = folder + "in>";
    const bool on_in = std::string(f.file) == "in";
    int count = 0;
    int on_file = 0;
    for (std::string line; std::getline(trace, line);) {
        if (line.rfind(call, 0) == 0) {
            ++count;
            const bool ins = line.find(in) != std::string::npos;
            if ((on_in ? ins : !ins && line.find(folder) != std::string::npos) &&
                ++on_file == f.nth) {
                return count;
            }
        }
    }
    return 0;
}

class Injected : public testing::TestWithParam<Fault> {};

TEST_P(Injected, FailureIsReportedAndOutRemovedOrCallRetried) {
    if (access(strace_path, X_OK) != 0) {
        GTEST_SKIP() << "strace is not installed";
    }
    const Fault &f = GetParam();
    TempDir dir;
    // Several blocks, so that there is a second read and a second write.
    const std::string data = random_bytes(3 * block_size + 77, 11);
    write_file(dir.path / "in", data);
    const std::vector<std::string> argv = {"byteneg", "in", "out"};

    const auto out_before = [&] {
        fs::remove(dir.path / "out");
        if (f.old_out) {
            write_file(dir.path / "out", old);
        }
    };
    out_before();
    const int when = ordinal_of(f, dir.path, argv);
    ASSERT_GT(when, 0) << "no " << f.syscall << " number " << f.nth << " on " << f.file;
    out_before();

    const std::string call = f.syscall;
    const bool killed = std::strcmp(f.error, "SIGKILL") == 0;
    const Outcome r = under_strace(dir.path, argv,
                                   {"-o", "/dev/null", "-e", "trace=" + call, "-e",
                                    "inject=" + call + (killed ? ":signal=" : ":error=") + f.error +
                                        ":when=" + std::to_string(when)});

    EXPECT_EQ(read_file(dir.path / "in"), data) << "IN must never change";
    const bool copied = f.reason == nullptr && !killed;
    EXPECT_EQ(r.status, copied ? 0 : killed ? -1 : 2);
    EXPECT_EQ(r.signal, killed ? SIGKILL : 0);
    EXPECT_EQ(r.err, copied || killed
                         ? ""
                         : std::string(byteneg_path()) + ": " + f.file + ": " + f.reason + "\n");
    // Nothing is left but IN, the dry run's trace and OUT: the copy, or OUT as it was.
    const bool out_left = copied || f.old_out;
    EXPECT_EQ(listing(dir.path), (out_left ? std::vector<std::string>{"in", "out", "trace"}
                                           : std::vector<std::string>{"in", "trace"}));
    if (out_left) {
        EXPECT_TRUE(read_file(dir.path / "out") == (copied ? negated(data) : old))
            << "OUT is neither the copy nor as it was";
    }
}

INSTANTIATE_TEST_SUITE_P(Strace, Injected, testing::ValuesIn(faults),
                         [](const auto &info) { return std::string(info.param.name); });

using Dir = const fs::path &;

// Runs ended midway: IN is a FIFO that the test feeds, and once the run has
// taken the first bytes, and so has made what it writes them to, a signal
// comes (or the test does something else meanwhile, then ends the input).
struct Interruption {
    const char *name;
    std::vector<std::string> argv;
    std::function<void(Dir)> setup; // what lies at OUT before the run
    std::vector<int> signals;       // a run for each; 0 for none
    std::function<void(Dir)> check; // the files after each run
    std::vector<int> ignored = {};  // signals ignored when the run begins: it goes on
    std::function<void(Dir)> meanwhile = nullptr;
    std::string err = ""; // what a run that is not ended by a signal says
};

const std::string first = random_bytes(5000, 12);
const std::string rest = random_bytes(3 * block_size, 13);

// Every signal whose default ends a process, but SIGKILL, which cannot be caught.
std::vector<int> catchable() {
    return {SIGHUP,  SIGINT,    SIGQUIT, SIGILL,  SIGTRAP, SIGABRT, SIGBUS,    SIGFPE,
            SIGUSR1, SIGSEGV,   SIGUSR2, SIGPIPE, SIGALRM, SIGTERM, SIGSTKFLT, SIGXCPU,
            SIGXFSZ, SIGVTALRM, SIGPROF, SIGIO,   SIGPWR,  SIGSYS,  SIGRTMIN,  SIGRTMAX};
}
std::vector<int> every_ending() {
    std::vector<int> all = catchable();
    all.push_back(SIGKILL);
    return all;
}
void old_out(Dir d) {
    write_file(d / "out", old);
}
void old_out_linked(Dir d) {
    old_out(d);
    fs::create_hard_link(d / "out", d / "link");
}
void expect_names(Dir d, const std::vector<std::string> &names) {
    EXPECT_EQ(listing(d), names);
}

const std::vector<std::string> fifo_out = {"byteneg", "fifo", "out"};

// clang-format off
const Interruption interruptions[] = {
    {"NewOutLeavesNothing", fifo_out, nullptr, every_ending(),
     [](Dir d) { expect_names(d, {"fifo"}); }},
    {"OldOutKept", fifo_out, old_out, every_ending(),
     [](Dir d) { expect_names(d, {"fifo", "out"}); EXPECT_EQ(read_file(d / "out"), old); }},
    // Written in place, as its other name must see the copy: emptied.
    {"SecondLinkEmptied", fifo_out, old_out_linked, catchable(),
     [](Dir d) { EXPECT_EQ(read_file(d / "out"), ""); EXPECT_EQ(read_file(d / "link"), ""); }},
    {"AppendedStdoutCutBack", {"byteneg", "fifo", "/dev/stdout"},
     [](Dir d) { write_file(d / "log", old); }, catchable(),
     [](Dir d) { EXPECT_EQ(read_file(d / "log"), old); }},
    {"IgnoredHangupStaysIgnored", fifo_out, old_out, {SIGHUP},
     [](Dir d) { EXPECT_TRUE(read_file(d / "out") == negated(first + rest)); }, {SIGHUP}},
    // A file made at a new OUT's name while the run goes on is not replaced unseen.
    {"NameTakenMeanwhileKept", fifo_out, nullptr, {0},
     [](Dir d) { expect_names(d, {"fifo", "out"}); EXPECT_EQ(read_file(d / "out"), old); }, {},
     old_out, "byteneg: out: File exists\n"},
};
// clang-format on

void PrintTo(const Interruption &c, std::ostream *os) {
    *os << c.name;
}

// Waits until the reader has taken all that the FIFO holds.
void drained(int fifo) {
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    int held = 0;
    while (ioctl(fifo, FIONREAD, &held) == 0 && held > 0 &&
           std::chrono::steady_clock::now() < give_up) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_EQ(held, 0) << "the run did not read its input";
}

void put(int fd, const std::string &bytes) {
    EXPECT_EQ(write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
}

class Interrupted : public testing::TestWithParam<Interruption> {};

TEST_P(Interrupted, NothingHalfWrittenIsLeft) {
    const Interruption &c = GetParam();
    for (const int sig : c.signals) {
        SCOPED_TRACE(sig == 0 ? "no signal" : strsignal(sig));
        TempDir dir;
        ASSERT_EQ(mkfifo((dir.path / "fifo").c_str(), 0600), 0);
        if (c.setup) {
            c.setup(dir.path);
        }
        RunOptions opts;
        opts.cwd = dir.path;
        opts.ignored_signals = c.ignored;
        Fd log;
        if (c.argv.back() == "/dev/stdout") {
            log = open_fd(dir.path / "log", O_WRONLY | O_APPEND);
            opts.stdout_fd = log.get();
        }
        // Open for reading too, so that opening waits for nobody and the
        // input ends only when the test closes it.
        Fd feed = open_fd(dir.path / "fifo", O_RDWR);
        const bool goes_on =
            sig == 0 || std::find(c.ignored.begin(), c.ignored.end(), sig) != c.ignored.end();
        opts.while_running = [&](int pid) {
            put(feed.get(), first);
            drained(feed.get());
            if (c.meanwhile) {
                c.meanwhile(dir.path);
            }
            if (sig != 0) {
                EXPECT_EQ(kill(pid, sig), 0);
            }
            if (goes_on) {
                put(feed.get(), rest);
                feed.reset();
            }
        };
        Outcome r = byteneg(c.argv, opts);
        feed.reset();
        log.reset();
        r.err = r.err.rfind(shown_name(), 0) == 0 ? "byteneg" + r.err.substr(shown_name().size())
                                                  : r.err;
        EXPECT_EQ(r.signal, goes_on ? 0 : sig);
        EXPECT_EQ(r.status, goes_on ? (c.err.empty() ? 0 : 2) : -1);
        EXPECT_EQ(r.err, c.err);
        c.check(dir.path);
    }
}

INSTANTIATE_TEST_SUITE_P(Signals, Interrupted, testing::ValuesIn(interruptions),
                         [](const auto &info) { return std::string(info.param.name); });

// A write past the file size limit ends the run by SIGXFSZ, unless ignored.
TEST(Interrupted, FileSizeLimitKeepsOldOut) {
    TempDir dir;
    write_file(dir.path / "in", rest);
    write_file(dir.path / "out", old);
    RunOptions opts;
    opts.cwd = dir.path;
    opts.wrapper = {"/bin/sh", "-c", "ulimit -f 8 && exec \"$0\" \"$@\""};
    const Outcome r = byteneg({"byteneg", "in", "out"}, opts);
    EXPECT_EQ(r.signal, SIGXFSZ);
    EXPECT_EQ(listing(dir.path), (std::vector<std::string>{"in", "out"}));
    EXPECT_EQ(read_file(dir.path / "out"), old);
}

// The reader of OUT goes away while byteneg still has endless input: it must
// end at once, by SIGPIPE as other filters do, or with status 2 and a message
// if SIGPIPE is ignored. A hang here ends in CTest's time-out.
TEST(BrokenPipe, EndsBySignalOrWithStatus2) {
    for (const bool ignored : {false, true}) {
        RunOptions opts;
        if (ignored) {
            opts.ignored_signals = {SIGPIPE};
        }
        opts.on_stdout = [](int fd) {
            std::string buf(1 << 20, '\0');
            EXPECT_GT(read(fd, buf.data(), buf.size()), 0);
            close(fd);
        };
        const Outcome r = byteneg({"byteneg", "/dev/zero", "/dev/stdout"}, opts);
        if (ignored) {
            EXPECT_EQ(r.status, 2);
            EXPECT_EQ(r.err, "byteneg: /dev/stdout: Broken pipe\n");
        } else {
            EXPECT_EQ(r.signal, SIGPIPE);
            EXPECT_EQ(r.err, "");
        }
    }
}

} // namespace
