// Failures that ordinary runs never meet, made on purpose: strace's fault
// injection fails one chosen system call on IN's or OUT's descriptor (or ends
// the run by SIGKILL there), and a pipe whose reader goes away.
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
    // pread64 (IN, a regular file, is read where the copy stands), write,
    // close or fchmod
    const char *syscall;
    const char *file;     // "in" or "out": whose descriptor the call is on
    int nth;              // which call on that descriptor, from 1
    const char *error;    // errno name to inject, or SIGKILL to end the run at that call
    const char *reason;   // expected reason in the message; nullptr if the run must succeed
    bool old_out = false; // OUT exists, and keeps its bytes if the run does not succeed
};

const Fault faults[] = {
    {"ReadEIO", "pread64", "in", 2, "EIO", "Input/output error"},
    {"WriteENOSPC", "write", "out", 2, "ENOSPC", "No space left on device"},
    {"WriteEIO", "write", "out", 2, "EIO", "Input/output error"},
    {"CloseOutEIO", "close", "out", 1, "EIO", "Input/output error"},
    {"CloseInEIO", "close", "in", 1, "EIO", "Input/output error"},
    {"ReadEINTRRetried", "pread64", "in", 2, "EINTR", nullptr},
    {"WriteEINTRRetried", "write", "out", 2, "EINTR", nullptr},
    {"WriteENOSPCKeepsOldOut", "write", "out", 2, "ENOSPC", "No space left on device", true},
    {"CloseOutEIOKeepsOldOut", "close", "out", 2, "EIO", "Input/output error", true},
    // A failure while the new file is given the old one's mode is a failure,
    // not a reason to write OUT in place.
    {"AttributeEIOKeepsOldOut", "fchmod", "out", 1, "EIO", "Input/output error", true},
    {"KilledAtReadLeavesNothing", "pread64", "in", 2, "SIGKILL", nullptr},
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
