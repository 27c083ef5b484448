// Failures that ordinary runs never meet, made on purpose: strace's fault
// injection fails one chosen system call on IN's or OUT's descriptor, and a
// pipe whose reader goes away.
#include "negate.hpp"
#include "support.hpp"

#include <gtest/gtest.h>

#include <csignal>
#include <fstream>
#include <sstream>

#include <unistd.h>

namespace {

struct Fault {
    const char *name;
    const char *syscall; // read, write or close
    const char *file;    // "in" or "out": whose descriptor the call is on
    int nth;             // which call on that descriptor, from 1
    const char *error;   // errno name to inject
    const char *reason;  // expected reason in the message; nullptr if the run must succeed
};

const Fault faults[] = {
    {"ReadEIO", "read", "in", 2, "EIO", "Input/output error"},
    {"WriteENOSPC", "write", "out", 2, "ENOSPC", "No space left on device"},
    {"WriteEIO", "write", "out", 2, "EIO", "Input/output error"},
    {"CloseOutEIO", "close", "out", 1, "EIO", "Input/output error"},
    {"CloseInEIO", "close", "in", 1, "EIO", "Input/output error"},
    {"ReadEINTRRetried", "read", "in", 2, "EINTR", nullptr},
    {"WriteEINTRRetried", "write", "out", 2, "EINTR", nullptr},
};

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

    const int when = ordinal_of(f, dir.path, argv);
    ASSERT_GT(when, 0) << "no " << f.syscall << " number " << f.nth << " on " << f.file;
    fs::remove(dir.path / "out");

    const std::string call = f.syscall;
    const Outcome r =
        under_strace(dir.path, argv,
                     {"-o", "/dev/null", "-e", "trace=" + call, "-e",
                      "inject=" + call + ":error=" + f.error + ":when=" + std::to_string(when)});

    EXPECT_EQ(read_file(dir.path / "in"), data) << "IN must never change";
    if (f.reason == nullptr) {
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.err, "");
        EXPECT_TRUE(read_file(dir.path / "out") == negated(data)) << "output not exact";
    } else {
        EXPECT_EQ(r.status, 2);
        EXPECT_EQ(r.err, std::string(byteneg_path()) + ": " + f.file + ": " + f.reason + "\n");
        EXPECT_FALSE(fs::exists(dir.path / "out")) << "a partial OUT was left behind";
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
        opts.ignore_sigpipe = ignored;
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
