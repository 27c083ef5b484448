// End-to-end runs of the built binary: usage, copies and every failure.
#include "negate.hpp"
#include "support.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <random>
#include <thread>
#include <utility>

#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace {

const std::string all_bytes = [] {
    std::string s;
    for (int i = 0; i < 512; ++i) {
        s.push_back(static_cast<char>(i % 256));
    }
    return s;
}();
const std::string some_input = random_bytes(300 * 1024 + 3, 7);
// Inputs that end exactly on, just past and well past the tool's block boundary.
const std::string one_block = random_bytes(block_size, 1);
const std::string one_block_and_a_byte = random_bytes(block_size + 1, 2);
const std::string blocks_and_a_part = random_bytes(3 * block_size + 1000, 3);
const std::string old_out = "previous contents of out, which must survive\n";

using Dir = const fs::path &;

struct Case {
    const char *name;
    std::vector<std::string> argv;  // argv[0] included; {dir} stands for the test's folder
    std::function<void(Dir)> setup; // makes the files the run needs
    int status;                     // expected exit status
    std::string out;                // expected standard output, exactly
    std::string err;                // expected standard error, exactly
    std::function<void(Dir)> check; // what the files must look like after
    RunOptions opts = {};
    Where where = Where::anywhere;
};

RunOptions stdin_from(const char *path) {
    RunOptions o;
    o.stdin_path = path;
    return o;
}
RunOptions as_nobody() {
    RunOptions o;
    o.as_nobody = true;
    return o;
}
RunOptions file_size_limit(long bytes) {
    RunOptions o;
    o.file_size_limit = bytes;
    return o;
}
RunOptions stdin_bytes(std::string bytes) {
    RunOptions o;
    o.stdin_bytes = std::move(bytes);
    return o;
}

void std_input(Dir d) {
    write_file(d / "in", some_input);
}
void std_input_and_old_out(Dir d) {
    std_input(d);
    write_file(d / "out", old_out);
}
void expect_names(Dir d, const std::vector<std::string> &names) {
    EXPECT_EQ(listing(d), names);
}
void expect_copy(Dir d, const std::string &in) {
    EXPECT_EQ(read_file(d / "in"), in);
    EXPECT_TRUE(read_file(d / "out") == negated(in)) << "out differs from the negated input";
}
void expect_in_intact(Dir d) {
    EXPECT_EQ(read_file(d / "in"), some_input);
}
// A failure before OUT is opened: IN intact, OUT as it was (or absent).
void expect_in_intact_out_untouched(Dir d) {
    EXPECT_EQ(read_file(d / "in"), some_input);
    EXPECT_EQ(read_file(d / "out"), old_out);
}
void expect_in_intact_no_out(Dir d) {
    EXPECT_EQ(read_file(d / "in"), some_input);
    EXPECT_FALSE(fs::exists(d / "out"));
}
void make_dir(Dir d, const char *name, fs::perms perms) {
    fs::create_directory(d / name);
    fs::permissions(d / name, perms);
}

using Step = std::function<void(Dir)>;
// A setup that writes bytes to IN, and a check that OUT is their negation.
Step input(std::string bytes) {
    return [bytes = std::move(bytes)](Dir d) { write_file(d / "in", bytes); };
}
Step copied(std::string bytes) {
    return [bytes = std::move(bytes)](Dir d) { expect_copy(d, bytes); };
}
const std::vector<std::string> in_out = {"byteneg", "in", "out"};
const std::string usage = "byteneg <in> <out>\n";
const std::string no_such = ": No such file or directory\n";
const std::string unicode_in = "données-日本.bin";
const std::string unicode_out = "négatif-日本.bin";

// clang-format off
const std::vector<Case> cases = {
    // name, argv, setup, status, stdout, stderr, check[, options]

    // Usage: status 1, the usage line on stdout, no file created.
    {"NoPath", {"byteneg"}, nullptr, 1, usage, "", [](Dir d) { expect_names(d, {}); }},
    {"OnePathNamesProgramAsInvoked", {"/any/where/negate-it", "in"}, std_input, 1,
     "/any/where/negate-it <in> <out>\n", "", [](Dir d) { expect_names(d, {"in"}); }, {},
     Where::direct},
    {"EmptyArgumentVector", {}, nullptr, 1, usage, "", [](Dir d) { expect_names(d, {}); }, {},
     Where::direct},

    // Copies.
    {"ExtraArgumentsIgnored", {"byteneg", "in", "out", "extra", "-x"}, std_input, 0, "", "",
     [](Dir d) { expect_copy(d, some_input); expect_names(d, {"in", "out"}); }},
    {"EmptyInput", in_out, input(""), 0, "", "", copied("")},
    {"LongerOutTruncated", in_out,
     [](Dir d) { write_file(d / "in", "ab"); write_file(d / "out", std::string(100000, 'z')); },
     0, "", "", copied("ab")},
    {"AllByteValuesIncludingFFAndLineEnds", in_out, input(all_bytes), 0, "", "", copied(all_bytes)},
    {"ExactlyOneBlock", in_out, input(one_block), 0, "", "", copied(one_block)},
    {"OneBlockAndAByte", in_out, input(one_block_and_a_byte), 0, "", "",
     copied(one_block_and_a_byte)},
    {"BlocksAndAPart", in_out, input(blocks_and_a_part), 0, "", "", copied(blocks_and_a_part)},
    {"StdinToStdout", {"byteneg", "/dev/stdin", "/dev/stdout"}, std_input, 0, negated(some_input),
     "", nullptr, stdin_from("in")},
    {"FilterThroughPipes", {"byteneg", "/dev/stdin", "/dev/stdout"}, nullptr, 0,
     negated(some_input), "", nullptr, stdin_bytes(some_input)},
    {"UnicodeNames", {"byteneg", unicode_in, unicode_out},
     [](Dir d) { write_file(d / unicode_in, some_input); }, 0, "", "",
     [](Dir d) {
         expect_names(d, {unicode_in, unicode_out});
         EXPECT_TRUE(read_file(d / unicode_out) == negated(some_input));
     }},
    {"SameDeviceOnBothSides", {"byteneg", "/dev/null", "/dev/null"}, nullptr, 0, "", "", nullptr},

    // IN cannot be used: nothing is created or changed.
    {"InMissing", {"byteneg", "nothere", "out"}, std_input_and_old_out, 2, "",
     "byteneg: nothere" + no_such, expect_in_intact_out_untouched},
    {"InMissingOutNotCreated", {"byteneg", "nothere", "out"}, std_input, 2, "",
     "byteneg: nothere" + no_such, expect_in_intact_no_out},
    {"InIsDirectory", {"byteneg", "sub", "out"},
     [](Dir d) { std_input_and_old_out(d); make_dir(d, "sub", fs::perms::all); },
     2, "", "byteneg: sub: Is a directory\n", expect_in_intact_out_untouched},
    {"InNotReadable", {"byteneg", "secret", "out"},
     [](Dir d) {
         std_input(d);
         write_file(d / "secret", "x");
         fs::permissions(d / "secret", fs::perms::owner_write);
     },
     2, "", "byteneg: secret: Permission denied\n", expect_in_intact_no_out, as_nobody(),
     Where::posix},

    // OUT cannot be opened.
    {"OutDirectoryMissing", {"byteneg", "in", "no/such/out"}, std_input, 2, "",
     "byteneg: no/such/out" + no_such, expect_in_intact_no_out},
    {"OutIsDirectory", {"byteneg", "in", "sub"},
     [](Dir d) { std_input(d); make_dir(d, "sub", fs::perms::all); },
     2, "", "byteneg: sub: Is a directory\n",
     [](Dir d) { EXPECT_TRUE(fs::is_directory(d / "sub")); }},
    // Nobody may write in ro, its owner included, so that the case holds for
    // an ordinary user as well as for root running the tool unprivileged.
    {"OutFolderNotWritable", {"byteneg", "in", "ro/out"},
     [](Dir d) {
         std_input(d);
         make_dir(d, "ro", fs::perms::owner_read | fs::perms::owner_exec |
                               fs::perms::others_read | fs::perms::others_exec);
     },
     2, "", "byteneg: ro/out: Permission denied\n",
     [](Dir d) { EXPECT_FALSE(fs::exists(d / "ro" / "out")); }, as_nobody(), Where::posix},

    // IN and OUT are one regular file: refused, the file keeps its contents.
    {"SamePath", {"byteneg", "in", "in"}, std_input, 2, "", "byteneg: in: same file as in\n",
     [](Dir d) { expect_names(d, {"in"}); EXPECT_EQ(read_file(d / "in"), some_input); }},
    {"SameFileOtherSpelling", {"byteneg", "in", "./in"}, std_input, 2, "",
     "byteneg: ./in: same file as in\n",
     expect_in_intact},
    {"SameFileBackslashes", {"byteneg", "in", ".\\in"}, std_input, 2, "",
     "byteneg: .\\in: same file as in\n",
     expect_in_intact, {}, Where::windows},
    {"SameFileAbsolute", {"byteneg", "in", "{dir}/in"}, std_input, 2, "",
     "byteneg: {dir}/in: same file as in\n",
     expect_in_intact},
    {"SameFileDriveLetter", {"byteneg", "in", "Z:{dir}/in"}, std_input, 2, "",
     "byteneg: Z:{dir}/in: same file as in\n",
     expect_in_intact, {}, Where::windows},
    {"SameFileUnicodeName", {"byteneg", unicode_in, "./" + unicode_in},
     [](Dir d) { write_file(d / unicode_in, some_input); }, 2, "",
     "byteneg: ./" + unicode_in + ": same file as " + unicode_in + "\n",
     [](Dir d) { EXPECT_EQ(read_file(d / unicode_in), some_input); }},
    {"SameFileHardLink", {"byteneg", "in", "link"},
     [](Dir d) { std_input(d); fs::create_hard_link(d / "in", d / "link"); },
     2, "", "byteneg: link: same file as in\n",
     [](Dir d) { EXPECT_EQ(read_file(d / "link"), some_input); }},
    {"SameFileSymbolicLink", {"byteneg", "link", "in"},
     [](Dir d) { std_input(d); fs::create_symlink("in", d / "link"); },
     2, "", "byteneg: in: same file as link\n",
     expect_in_intact, {}, Where::posix},

    // Failures after OUT is open: reported, and a regular OUT is removed.
    {"ReadErrorRemovesOut", {"byteneg", "/proc/self/mem", "out"}, nullptr, 2, "",
     "byteneg: /proc/self/mem: Input/output error\n", [](Dir d) { expect_names(d, {}); }, {},
     Where::posix},
    {"WriteErrorRemovesOut", in_out, std_input_and_old_out, 2, "", "byteneg: out: File too large\n",
     [](Dir d) { expect_names(d, {"in"}); EXPECT_EQ(read_file(d / "in"), some_input); },
     file_size_limit(4096), Where::posix},
    // A real full disk: a file system of 256 KiB mounted in the test folder.
    {"DiskFullRemovesOutNeedsRoot", {"byteneg", "in", "small/out"},
     [](Dir d) {
         if (skipped_unless_root("mounting a small file system to fill")) {
             return;
         }
         write_file(d / "in", random_bytes(std::size_t{1024} * 1024, 4));
         fs::create_directory(d / "small");
         if (mount("byteneg-test", (d / "small").c_str(), "tmpfs", 0, "size=256k") != 0) {
             GTEST_SKIP() << "cannot mount a tmpfs: " << std::strerror(errno);
         }
     },
     2, "", "byteneg: small/out: No space left on device\n",
     [](Dir d) {
         const bool left = fs::exists(d / "small" / "out");
         EXPECT_EQ(umount2((d / "small").c_str(), MNT_DETACH), 0);
         EXPECT_FALSE(left) << "a partial OUT was left behind";
     }},
    // OUT reached through a symbolic link, as /dev/stdout is when standard
    // output goes to a file: the link must survive, the file is emptied.
    {"FailureThroughLinkEmptiesFileKeepsLink", {"byteneg", "/proc/self/mem", "link"},
     [](Dir d) { write_file(d / "target", old_out); fs::create_symlink("target", d / "link"); },
     2, "", "byteneg: /proc/self/mem: Input/output error\n",
     [](Dir d) {
         EXPECT_TRUE(fs::is_symlink(d / "link"));
         EXPECT_EQ(read_file(d / "target"), "");
     }, {}, Where::posix},
    // A device OUT is never removed. Root gets a private node for the full
    // device, so that a fault cannot remove the system's; anyone else may not
    // remove /dev/full anyway, and reaches it through a link of the same name.
    {"FullDeviceKeptNotRemoved", {"byteneg", "in", "full"},
     [](Dir d) {
         std_input(d);
         if (mknod((d / "full").c_str(), S_IFCHR | 0666, makedev(1, 7)) != 0) {
             fs::create_symlink("/dev/full", d / "full");
         }
     },
     2, "", "byteneg: full: No space left on device\n",
     [](Dir d) { EXPECT_TRUE(fs::is_character_file(d / "full")); }, {}, Where::posix},
};
// clang-format on

// Names the case in test output instead of dumping its bytes.
void PrintTo(const Case &c, std::ostream *os) {
    *os << c.name;
}

// s with each {dir} replaced by the test's folder.
std::string in_dir(std::string s, Dir d) {
    const std::string mark = "{dir}";
    for (std::size_t at = s.find(mark); at != std::string::npos; at = s.find(mark, at)) {
        s.replace(at, mark.size(), d.string());
        at += d.string().size();
    }
    return s;
}

class Cli : public testing::TestWithParam<Case> {};

TEST_P(Cli, Run) {
    const Case &c = GetParam();
    TempDir dir;
    std::vector<std::string> argv = c.argv;
    for (auto &arg : argv) {
        arg = in_dir(arg, dir.path);
    }
    const std::string err = in_dir(c.err, dir.path);
    if (c.opts.as_nobody && skipped_unless_nobody_reaches(dir.path)) {
        return;
    }
    if (c.setup) {
        c.setup(dir.path);
        if (testing::Test::IsSkipped()) {
            return;
        }
    }
    RunOptions opts = c.opts;
    opts.cwd = dir.path;
    const Outcome r = byteneg(argv, opts);
    EXPECT_EQ(r.signal, 0);
    EXPECT_EQ(r.status, c.status);
    EXPECT_TRUE(r.out == c.out) << "stdout: " << r.out.size() << " bytes, expected "
                                << c.out.size();
    EXPECT_EQ(with_reason_of(err, r.err), err);
    if (c.check) {
        c.check(dir.path);
    }
}

INSTANTIATE_TEST_SUITE_P(EndToEnd, Cli, testing::ValuesIn(applicable(cases)),
                         [](const auto &info) { return std::string(info.param.name); });

TEST(RoundTrip, RandomMebibytesComeBackByteForByte) {
    TempDir dir;
    const std::string data = random_bytes(3 * 1024 * 1024 + 5, 42);
    write_file(dir.path / "a", data);
    RunOptions opts;
    opts.cwd = dir.path;
    ASSERT_EQ(byteneg({"byteneg", "a", "b"}, opts).status, 0);
    EXPECT_TRUE(read_file(dir.path / "b") == negated(data));
    ASSERT_EQ(byteneg({"byteneg", "b", "c"}, opts).status, 0);
    EXPECT_TRUE(read_file(dir.path / "c") == data);
}

#ifndef BYTENEG_WINDOWS
// A FIFO delivers what its writer has written so far: reads come back short
// and at arbitrary places, and the output must not care.
TEST(Fifo, InputInSmallPiecesComesOutExact) {
    TempDir dir;
    const std::string data = random_bytes(block_size + 54321, 9);
    ASSERT_EQ(mkfifo((dir.path / "fifo").c_str(), 0600), 0);
    std::thread writer([&] {
        std::ofstream f(dir.path / "fifo", std::ios::binary);
        std::mt19937 gen(5); // NOLINT(cert-msc32-c,cert-msc51-cpp): reproducible on purpose
        std::uniform_int_distribution<std::size_t> piece(1, 4000);
        for (std::size_t pos = 0; pos < data.size();) {
            const std::size_t n = std::min(piece(gen), data.size() - pos);
            f.write(data.data() + pos, static_cast<std::streamsize>(n));
            f.flush();
            pos += n;
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    });
    RunOptions opts;
    opts.cwd = dir.path;
    const Outcome r = byteneg({"byteneg", "fifo", "out"}, opts);
    writer.join();
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(read_file(dir.path / "out") == negated(data));
}
#endif

} // namespace
