// End-to-end runs about what the caller hands the tool and what it leaves:
// standard streams closed at start, /dev/stdin and /dev/stdout used as the
// caller set them up, a partial OUT that cannot simply be removed, and names
// that would break a message line.
#include "message.hpp"
#include "negate.hpp"
#include "support.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fstream>
#include <thread>
#include <utility>

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

using Dir = const fs::path &;

// Descriptors a case keeps over the run: the one handed to the program as a
// standard stream, closed as soon as the run is over so that a reader sees the
// end, and the test's own (the other end, or a copy), which the check uses.
struct Kept {
    Fd handed;
    Fd ours;
};

using Setup = std::function<Kept(Dir, RunOptions &)>; // files, descriptors, run options

struct Case {
    std::string name;
    std::vector<std::string> argv; // argv[0] included
    Setup setup;
    int status;                               // expected exit status
    std::string out;                          // expected standard output, exactly
    std::string err;                          // expected standard error, exactly
    std::function<void(Dir, int ours)> check; // what the files must look like after
    Where where = Where::anywhere;
};

const std::string data = random_bytes(block_size + 999, 31);
const std::string small = random_bytes(4000, 32); // fits a socket's buffer
const std::string aligned = random_bytes(block_size + std::size_t{3} * 4096, 33); // whole pages
const std::string precious = "precious data\n";
const std::string header = "header\n";
const std::string earlier = "earlier line\n";
const std::string no_such = ": No such file or directory\n";
const std::string huge_name(100000, 'p');

// AddressSanitizer's run-time spins before main when started with no
// descriptor to spare.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool sanitized = true;
#elif defined(__has_feature)
constexpr bool sanitized = __has_feature(address_sanitizer);
#else
constexpr bool sanitized = false;
#endif

void put(int fd, const std::string &bytes) {
    EXPECT_EQ(write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
}
void expect_names(Dir d, const std::vector<std::string> &names) {
    EXPECT_EQ(listing(d), names);
}
// Compares without printing megabytes of bytes on a mismatch.
void expect_bytes(const fs::path &path, const std::string &bytes) {
    const std::string got = read_file(path);
    EXPECT_TRUE(got == bytes) << path.filename() << ": " << got.size() << " bytes, expected "
                              << bytes.size();
}

Kept no_descriptors(Dir /*d*/, RunOptions & /*o*/) {
    return {};
}
Setup file(const char *name, std::string bytes) {
    return [name, bytes = std::move(bytes)](Dir d, RunOptions & /*o*/) {
        write_file(d / name, bytes);
        return Kept{};
    };
}
// then, with the program started without these standard descriptors.
Setup closing(std::vector<int> fds, Setup then = no_descriptors) {
    return [fds = std::move(fds), then = std::move(then)](Dir d, RunOptions &o) {
        o.closed = fds;
        return then(d, o);
    };
}
// A FIFO as OUT: never removed, so whatever the tool writes there reaches its
// reader, which is open before the run so that opening OUT does not block.
Kept fifo_reader(Dir d, RunOptions & /*o*/) {
    EXPECT_EQ(mkfifo((d / "fifo").c_str(), 0600), 0);
    return {Fd(), open_fd(d / "fifo", O_RDONLY | O_NONBLOCK)};
}
void reader_got_nothing(Dir /*d*/, int reader) {
    EXPECT_EQ(read_rest(reader), "");
}
// A FIFO holding bytes, with a writer (the test) so that opening it does not
// wait; ours keeps whatever nobody read.
Kept fifo_holding(Dir d, RunOptions & /*o*/) {
    EXPECT_EQ(mkfifo((d / "fifo").c_str(), 0600), 0);
    Kept k{Fd(), open_fd(d / "fifo", O_RDWR | O_NONBLOCK)};
    put(k.ours.get(), small);
    return k;
}
// then, with a symbolic link named link leading to target.
Setup linked(const char *target, Setup then = no_descriptors) {
    return [target, then = std::move(then)](Dir d, RunOptions &o) {
        fs::create_symlink(target, d / "link");
        return then(d, o);
    };
}
// Links CHAIN0/l, CHAIN1/l, ... each leading to the next through "..", the
// last to /dev/fd/3: folders of long names, so that the text followed runs
// past PATH_MAX long before the system's limit of 40 links.
const std::string chain(200, 'c');
Kept linked_chain(Dir d, RunOptions &o) {
    const int links = 25;
    for (int i = 0; i < links; ++i) {
        fs::create_directory(d / (chain + std::to_string(i)));
        fs::create_symlink(i + 1 < links ? "../" + chain + std::to_string(i + 1) + "/l"
                                         : "/dev/fd/3",
                           d / (chain + std::to_string(i)) / "l");
    }
    return fifo_holding(d, o);
}
// Runs the program, "$0", as ./negit where no stand-in for a closed stream
// can be made: no memory file, and a read-only /tmp. A copy, as the program
// itself may lie under /tmp.
const std::string no_stand_in =
    std::string("cp \"$0\" negit && mount -t tmpfs -o ro byteneg-test /tmp") +
    " && exec env ASAN_OPTIONS=detect_leaks=0 strace -qq -o /dev/null" +
    " -e inject=memfd_create:error=ENOSYS ./negit \"$@\"";
// Another instance of /proc mounted at d/proc, whose folders are not the ones
// that /proc shows.
Kept other_proc(Dir d, RunOptions & /*o*/) {
    if (skipped_unless_root("mounting another instance of /proc")) {
        return {};
    }
    fs::create_directory(d / "proc");
    if (mount("proc", (d / "proc").c_str(), "proc", 0, nullptr) != 0) {
        [] { GTEST_SKIP() << "cannot mount /proc: " << std::strerror(errno); }();
    }
    return {};
}

// Standard output redirected to file name in dir, opened with flags (O_TRUNC
// for `>`, O_APPEND for `>>`), after writing `before` through it as a command
// earlier in the same redirection would. ours shares the open file, offset
// included, as the next command would.
Kept stdout_to(Dir d, RunOptions &o, const char *name, int flags, const std::string &before) {
    Kept k{open_fd(d / name, O_WRONLY | O_CREAT | flags), Fd()};
    k.ours = Fd(fcntl(k.handed.get(), F_DUPFD_CLOEXEC, 3));
    put(k.handed.get(), before);
    o.stdout_fd = k.handed.get();
    return k;
}
// Standard input from file name, at offset skip, as after `read line < file`.
Kept stdin_from(Dir d, RunOptions &o, const char *name, off_t skip) {
    Kept k{open_fd(d / name, O_RDONLY), Fd()};
    EXPECT_EQ(lseek(k.handed.get(), skip, SEEK_SET), skip);
    o.stdin_fd = k.handed.get();
    return k;
}
// One end of a connected socket pair handed as standard stream fd.
Kept socket_as(RunOptions &o, int fd) {
    int ends[2] = {-1, -1};
    EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends), 0);
    Kept k{Fd(ends[0]), Fd(ends[1])};
    (fd == 0 ? o.stdin_fd : o.stdout_fd) = k.handed.get();
    return k;
}

// A socket file named sock: Linux opens no socket by its name.
// A socket file, made as a server makes one (fakeroot fakes mknod).
Kept named_socket(Dir d, RunOptions & /*o*/) {
    const Fd server(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_un at{};
    at.sun_family = AF_UNIX;
    const std::string path = (d / "sock").string();
    EXPECT_LT(path.size(), sizeof at.sun_path);
    path.copy(at.sun_path, sizeof at.sun_path - 1);
    EXPECT_EQ(bind(server.get(), reinterpret_cast<const sockaddr *>(&at), sizeof at), 0);
    return {};
}

// Three runs that must come out the same whichever standard streams are
// closed at start: a copy, a refusal and a failure. IN and OUT must not take
// a closed stream's number, or a message would be written into them.
std::vector<Case> with_closed_streams() {
    // clang-format off
    const std::vector<Case> runs = {
        {"Copy", {"byteneg", "in", "out"}, file("in", data), 0, "", "",
         [](Dir d, int /*ours*/) {
             expect_bytes(d / "in", data);
             expect_bytes(d / "out", negated(data));
             expect_names(d, {"in", "out"});
         }},
        {"SameFileRefused", {"byteneg", "x", "x"}, file("x", precious), 2, "",
         "byteneg: x: same file as x\n",
         [](Dir d, int /*ours*/) { expect_bytes(d / "x", precious); expect_names(d, {"x"}); }},
        {"FailureWritesNothingToOut", {"byteneg", "/proc/self/mem", "fifo"}, fifo_reader, 2, "",
         "byteneg: /proc/self/mem: Input/output error\n", reader_got_nothing},
        // What a closed stream holds instead must not be the null device itself.
        {"CopyToNullDevice", {"byteneg", "in", "/dev/null"}, file("in", data), 0, "", "",
         [](Dir d, int /*ours*/) { expect_names(d, {"in"}); }},
    };
    // clang-format on
    const char *const stream_names[] = {"In", "Out", "Err"};
    std::vector<Case> cases;
    for (int mask = 0; mask < 8; ++mask) {
        std::vector<int> closed;
        std::string which;
        for (int fd = 0; fd < 3; ++fd) {
            if ((mask & (1 << fd)) != 0) {
                closed.push_back(fd);
                which += stream_names[fd];
            }
        }
        for (const Case &base : runs) {
            Case c = base;
            c.name = "Closed" + (which.empty() ? "None" : which) + "_" + base.name;
            c.setup = closing(closed, base.setup);
            c.where = Where::posix;
            if ((mask & 4) != 0) {
                c.err = ""; // nowhere to say it, and nowhere it may land
            }
            cases.push_back(c);
        }
    }
    return cases;
}

// clang-format off
const std::vector<Case> inherited_and_discard_cases = {
    // name, argv, setup, status, stdout, stderr, check

    // A stream closed at start and named as IN or OUT: the caller closed it,
    // and must not get an empty input or a silent sink in its place.
    {"ClosedStdinNamed", {"byteneg", "/dev/stdin", "out"}, closing({0}), 2, "",
     "byteneg: /dev/stdin: Bad file descriptor\n", [](Dir d, int) { expect_names(d, {}); },
     Where::posix},
    {"ClosedStdoutNamed", {"byteneg", "in", "/dev/stdout"}, closing({1}, file("in", data)), 2, "",
     "byteneg: /dev/stdout: Bad file descriptor\n", [](Dir d, int) { expect_names(d, {"in"}); },
     Where::posix},
    // By any other name: a closed standard error as IN or OUT (there is no
    // message then, as there is nowhere to write it), /proc names, links.
    {"ClosedStderrAsIn", {"byteneg", "/dev/stderr", "out"}, closing({2}, file("out", precious)), 2,
     "", "", [](Dir d, int) { expect_bytes(d / "out", precious); }, Where::posix},
    {"ClosedStderrAsOut", {"byteneg", "in", "/dev/stderr"}, closing({2}, file("in", data)), 2, "",
     "", [](Dir d, int) { expect_names(d, {"in"}); }, Where::posix},
    {"ClosedStdinByProcName", {"byteneg", "/proc/self/fd/0", "out"}, closing({0}), 2, "",
     "byteneg: /proc/self/fd/0: Bad file descriptor\n", [](Dir d, int) { expect_names(d, {}); },
     Where::posix},
    {"ClosedStdoutByProcName", {"byteneg", "in", "/proc/thread-self/fd/1"},
     closing({1}, file("in", data)), 2, "",
     "byteneg: /proc/thread-self/fd/1: Bad file descriptor\n",
     [](Dir d, int) { expect_names(d, {"in"}); }, Where::posix},
    {"ClosedStdoutThroughLink", {"byteneg", "in", "link"},
     closing({1}, linked("/dev/fd/1", file("in", data))), 2, "",
     "byteneg: link: Bad file descriptor\n", [](Dir d, int) { expect_names(d, {"in", "link"}); },
     Where::posix},
    {"ClosedStdinThroughLinkedFolder", {"byteneg", "link/0", "out"},
     closing({0}, linked("/proc/self/fd")), 2, "", "byteneg: link/0: Bad file descriptor\n",
     [](Dir d, int) { expect_names(d, {"link"}); }, Where::posix},
    // A path no name check knows: the stand-in is told by its identity.
    {"ClosedStdoutThroughOtherProcNeedsRoot", {"byteneg", "in", "proc/thread-self/fd/1"},
     closing({1}, [](Dir d, RunOptions &o) { file("in", data)(d, o); return other_proc(d, o); }),
     2, "", "byteneg: proc/thread-self/fd/1: Bad file descriptor\n",
     [](Dir d, int) { EXPECT_EQ(umount2((d / "proc").c_str(), MNT_DETACH), 0); }, Where::posix},

    // A descriptor the caller did not hand over is not the caller's to name:
    // /dev/fd/3 is IN's own once IN is open, and the run would feed on its own
    // output for ever.
    {"UnhandedDescriptorAsOut", {"byteneg", "fifo", "/dev/fd/3"}, fifo_holding, 2, "",
     "byteneg: /dev/fd/3: Bad file descriptor\n",
     [](Dir, int ours) { EXPECT_EQ(read_rest(ours), small); }, Where::posix},
    {"UnhandedDescriptorByProcName", {"byteneg", "in", "/proc/self/fd/3"}, file("in", data), 2, "",
     "byteneg: /proc/self/fd/3: Bad file descriptor\n",
     [](Dir d, int) { expect_names(d, {"in"}); }, Where::posix},
    {"UnhandedDescriptorThroughLink", {"byteneg", "link", "out"}, linked("/dev/fd/9"), 2, "",
     "byteneg: link: Bad file descriptor\n", [](Dir d, int) { expect_names(d, {"link"}); },
     Where::posix},
    // However the name leads there: through more text than a path may hold,
    // which the system follows a link at a time, or as IN's own FIFO.
    {"UnhandedDescriptorPastPathMax", {"byteneg", "fifo", chain + "0/l"}, linked_chain, 2, "",
     "byteneg: " + chain + "0/l: File name too long\n",
     [](Dir, int ours) { EXPECT_EQ(read_rest(ours), small); }, Where::posix},
    {"SameFifoBothSides", {"byteneg", "fifo", "fifo"}, fifo_holding, 2, "",
     "byteneg: fifo: same file as fifo\n",
     [](Dir, int ours) { EXPECT_EQ(read_rest(ours), small); }, Where::posix},

    // The caller's streams, used where and as the caller left them.
    {"AppendsToAppendingStdout", {"byteneg", "in", "/dev/stdout"},
     [](Dir d, RunOptions &o) { write_file(d / "log", earlier); file("in", data)(d, o);
                                return stdout_to(d, o, "log", O_APPEND, ""); },
     0, "", "", [](Dir d, int) { expect_bytes(d / "log", earlier + negated(data)); }, Where::posix},
    // A sparse IN whole after the caller's bytes: its holes are written as
    // zeros, as an OUT the run did not empty may hold anything there.
    {"SparseInAppendedToStdout", {"byteneg", "in", "/dev/stdout"},
     [](Dir d, RunOptions &o) {
         const Fd in = open_fd(d / "in", O_WRONLY | O_CREAT);
         EXPECT_EQ(ftruncate(in.get(), 3 * block_size), 0);
         EXPECT_EQ(pwrite(in.get(), data.data(), 100, block_size), 100);
         return stdout_to(d, o, "log", O_APPEND, earlier); },
     0, "", "",
     [](Dir d, int) {
         expect_bytes(d / "log", earlier + negated(std::string(block_size, '\0') + data.substr(0, 100) +
                                                   std::string(2 * block_size - 100, '\0')));
     }, Where::posix},
    {"WritesBetweenCallersOutputs", {"byteneg", "in", "/dev/fd/1"},
     [](Dir d, RunOptions &o) { file("in", data)(d, o);
                                return stdout_to(d, o, "f", O_TRUNC, header); },
     0, "", "",
     [](Dir d, int ours) { put(ours, "footer\n");
                           expect_bytes(d / "f", header + negated(data) + "footer\n"); }},
    {"ReadsFromCallersPosition", {"byteneg", "/dev/fd/0", "out"},
     [](Dir d, RunOptions &o) { write_file(d / "f", header + data);
                                return stdin_from(d, o, "f", static_cast<off_t>(header.size())); },
     0, "", "", [](Dir d, int) { expect_bytes(d / "out", negated(data)); }},
    {"SocketAsStdin", {"byteneg", "/dev/stdin", "out"},
     [](Dir /*d*/, RunOptions &o) { Kept k = socket_as(o, 0); put(k.ours.get(), small);
                                    EXPECT_EQ(shutdown(k.ours.get(), SHUT_WR), 0); return k; },
     0, "", "", [](Dir d, int) { expect_bytes(d / "out", negated(small)); }, Where::posix},
    {"SocketAsStdout", {"byteneg", "in", "/dev/stdout"},
     [](Dir d, RunOptions &o) { file("in", small)(d, o); return socket_as(o, 1); },
     0, "", "", [](Dir /*d*/, int ours) { EXPECT_EQ(read_rest(ours), negated(small)); },
     Where::posix},
    // A socket works only as a standard stream: by name, it cannot be opened.
    {"SocketByNameAsIn", {"byteneg", "sock", "out"}, named_socket, 2, "",
     "byteneg: sock: No such device or address\n", [](Dir d, int) { expect_names(d, {"sock"}); },
     Where::posix},
    {"SocketByNameAsOut", {"byteneg", "in", "sock"},
     [](Dir d, RunOptions &o) { file("in", data)(d, o); return named_socket(d, o); }, 2, "",
     "byteneg: sock: No such device or address\n",
     [](Dir d, int) { expect_names(d, {"in", "sock"}); }, Where::posix},
    // Only the exact names are the caller's streams; any other spelling is a
    // path like any other, opened and truncated.
    {"OtherSpellingReopenedAndTruncated", {"byteneg", "in", "/dev/./stdout"},
     [](Dir d, RunOptions &o) { file("in", data)(d, o);
                                return stdout_to(d, o, "f", O_TRUNC, header); },
     0, "", "", [](Dir d, int) { expect_bytes(d / "f", negated(data)); }, Where::posix},
    {"SameFileAsAppendingStdoutRefused", {"byteneg", "y", "/dev/stdout"},
     [](Dir d, RunOptions &o) { write_file(d / "y", precious);
                                return stdout_to(d, o, "y", O_APPEND, ""); },
     2, "", "byteneg: /dev/stdout: same file as y\n",
     [](Dir d, int) { expect_bytes(d / "y", precious); }, Where::posix},
    {"SameFileAsStdinRefused", {"byteneg", "/dev/stdin", "y"},
     [](Dir d, RunOptions &o) { write_file(d / "y", precious); return stdin_from(d, o, "y", 0); },
     2, "", "byteneg: y: same file as /dev/stdin\n",
     [](Dir d, int) { expect_bytes(d / "y", precious); }},

    // A failure cuts a regular file on standard output back to where our
    // output began; the caller's bytes stay, and so does the file.
    {"FailedWriteCutsStdoutBackToStartPosition", {"byteneg", "in", "/dev/stdout"},
     [](Dir d, RunOptions &o) { file("in", data)(d, o);
                                o.file_size_limit = static_cast<long>(header.size()) + 5000;
                                return stdout_to(d, o, "f", O_TRUNC, header); },
     2, "", "byteneg: /dev/stdout: File too large\n",
     // The caller's next write follows its own bytes, not a hole.
     [](Dir d, int ours) { put(ours, "footer\n"); expect_bytes(d / "f", header + "footer\n"); },
     Where::posix},
    // Opened without truncation (1<>f) on a longer file: the file keeps its
    // length, and the caller's position goes back to where ours began.
    {"FailedWriteKeepsLengthOfLongerStdout", {"byteneg", "in", "/dev/stdout"},
     [](Dir d, RunOptions &o) { file("in", data)(d, o); write_file(d / "f", std::string(10000, 'K'));
                                o.file_size_limit = 20000;
                                return stdout_to(d, o, "f", 0, ""); },
     2, "", "byteneg: /dev/stdout: File too large\n",
     [](Dir d, int ours) {
         put(ours, "Z");
         const std::string f = read_file(d / "f");
         EXPECT_EQ(f.size(), 10000U);
         EXPECT_EQ(f.substr(0, 1), "Z");
     }, Where::posix},
    // An appending descriptor sits at offset 0 here; our output began at the end.
    {"FailedWriteCutsAppendingStdoutBackToEnd", {"byteneg", "in", "/dev/stdout"},
     [](Dir d, RunOptions &o) { write_file(d / "log", earlier); file("in", data)(d, o);
                                o.file_size_limit = static_cast<long>(earlier.size()) + 5000;
                                return stdout_to(d, o, "log", O_APPEND, ""); },
     2, "", "byteneg: /dev/stdout: File too large\n",
     [](Dir d, int) { expect_bytes(d / "log", earlier); }, Where::posix},
    // Positioned past the end (after a log was truncated under it), with
    // nothing written by us: there is nothing to restore and nothing to say.
    {"FailedReadLeavesStdoutPastItsEnd", {"byteneg", "/proc/self/mem", "/dev/stdout"},
     [](Dir d, RunOptions &o) { skipped_unless_sys();
                                write_file(d / "f", "abc");
                                Kept k = stdout_to(d, o, "f", 0, "");
                                EXPECT_EQ(lseek(k.handed.get(), 10, SEEK_SET), 10);
                                return k; },
     2, "", "byteneg: /proc/self/mem: Input/output error\n",
     [](Dir d, int) { expect_bytes(d / "f", "abc"); }, Where::posix},
    {"FailedReadKeepsCallersOutput", {"byteneg", "/proc/self/mem", "/dev/fd/1"},
     [](Dir d, RunOptions &o) { skipped_unless_sys();
                                return stdout_to(d, o, "f", O_TRUNC, header); },
     2, "", "byteneg: /proc/self/mem: Input/output error\n",
     [](Dir d, int) { expect_bytes(d / "f", header); }, Where::posix},

    // Direct I/O, which takes only aligned buffers, on both standard streams.
    {"DirectIoStreams", {"byteneg", "/dev/stdin", "/dev/stdout"},
     [](Dir d, RunOptions &o) { write_file(d / "in", aligned);
                                Kept k{Fd(open((d / "in").c_str(), O_RDONLY | O_DIRECT)),
                                       Fd(open((d / "out").c_str(), O_WRONLY | O_CREAT | O_DIRECT, 0600))};
                                if (k.handed.get() < 0 || k.ours.get() < 0) {
                                    [] { GTEST_SKIP() << "no direct I/O here: " << std::strerror(errno); }();
                                }
                                o.stdin_fd = k.handed.get();
                                o.stdout_fd = k.ours.get();
                                return k; },
     0, "", "", [](Dir d, int) { expect_bytes(d / "out", negated(aligned)); }, Where::posix},

    // A folder on standard input cannot be read: refused before OUT is touched.
    {"FolderAsStdinLeavesOut", {"byteneg", "/dev/stdin", "out"},
     [](Dir d, RunOptions &o) { write_file(d / "out", precious);
                                Kept k{open_fd(d, O_RDONLY | O_DIRECTORY), Fd()};
                                o.stdin_fd = k.handed.get();
                                return k; },
     2, "", "byteneg: /dev/stdin: Is a directory\n",
     [](Dir d, int) { expect_bytes(d / "out", precious); }, Where::posix},
    // With no descriptor to spare for the close check, the finished copy stands.
    // IN, OUT's folder and the new file take the three numbers past the
    // standard streams: none is left to check the close with.
    {"NoSpareDescriptorStillCopies", {"byteneg", "in", "out"},
     [](Dir d, RunOptions &o) {
         file("in", data)(d, o);
         o.open_files_limit = 6;
         return Kept{};
     },
     0, "", "", [](Dir d, int) { expect_bytes(d / "out", negated(data)); }, Where::direct},
    // Too few to replace an old OUT: a failure, not a reason to write in place.
    {"TooFewDescriptorsKeepOldOut", {"byteneg", "in", "out"},
     [](Dir d, RunOptions &o) {
         if (sanitized) {
             [] { GTEST_SKIP() << "a sanitizer's run-time needs descriptors to start"; }();
             return Kept{};
         }
         write_file(d / "out", precious);
         file("in", data)(d, o);
         o.open_files_limit = 6; // one short for the mount table
         return Kept{};
     },
     2, "", "byteneg: out: Too many open files\n",
     [](Dir d, int) { expect_bytes(d / "out", precious); expect_names(d, {"in", "out"}); },
     Where::direct},
    // The standard three alone, with a limit of three: no number left at all.
    {"DescriptorLimitOfThreeStillCopies", {"byteneg", "/dev/stdin", "/dev/stdout"},
     closing({2}, [](Dir d, RunOptions &o) {
         if (sanitized) {
             [] { GTEST_SKIP() << "a sanitizer's run-time needs descriptors to start"; }();
             return Kept{};
         }
         file("in", data)(d, o);
         write_file(d / "log", earlier);
         o.stdin_path = "in";
         o.open_files_limit = 3;
         return stdout_to(d, o, "log", O_APPEND, ""); }),
     0, "", "", [](Dir d, int) { expect_bytes(d / "log", earlier + negated(data)); },
     Where::direct},

    // A partial OUT that removing would not discard, or may not be removed,
    // is emptied instead.
    {"HardLinkedOutEmptied", {"byteneg", "in", "out"},
     [](Dir d, RunOptions &o) { file("in", data)(d, o); write_file(d / "out", precious);
                                fs::create_hard_link(d / "out", d / "other");
                                o.file_size_limit = 4096; return Kept{}; },
     2, "", "byteneg: out: File too large\n",
     [](Dir d, int) { expect_names(d, {"in", "other", "out"});
                      expect_bytes(d / "out", ""); expect_bytes(d / "other", ""); }, Where::posix},
    // Anyone may write the file, but only its owner (or root) may remove it
    // from a sticky folder; root is needed to own a file as someone else.
    {"StickyFolderOutOfOtherUserEmptiedNeedsRoot", {"byteneg", "in", "sticky/out"},
     [](Dir d, RunOptions &o) {
         if (skipped_unless_root("a file owned by another user in a sticky folder")) {
             return Kept{};
         }
         file("in", data)(d, o);
         fs::create_directory(d / "sticky");
         fs::permissions(d / "sticky", fs::perms::all | fs::perms::sticky_bit);
         write_file(d / "sticky" / "out", precious);
         EXPECT_EQ(chown((d / "sticky" / "out").c_str(), 1000, 1000), 0);
         fs::permissions(d / "sticky" / "out", fs::perms::owner_read | fs::perms::owner_write |
             fs::perms::group_read | fs::perms::group_write | fs::perms::others_read |
             fs::perms::others_write);
         o.as_nobody = true;
         o.file_size_limit = 4096;
         return Kept{}; },
     2, "", "byteneg: sticky/out: File too large\n",
     [](Dir d, int) {
         struct stat st {};
         ASSERT_EQ(stat((d / "sticky" / "out").c_str(), &st), 0) << "removed";
         EXPECT_EQ(st.st_size, 0);
         EXPECT_EQ(st.st_uid, 1000U); }, Where::posix},
};

// Messages stay one line whatever the names hold: control bytes in the
// program's name and in paths are escaped, anything else is printed as it is.
const std::vector<Case> message_cases = {
    {"NewlineInPath", {"byteneg", "a\nb", "out"}, no_descriptors, 2, "",
     "byteneg: a\\nb" + no_such, [](Dir d, int) { expect_names(d, {}); }},
    {"NamedEscapes", {"byteneg", "\a\b\t\n\v\f\r", "out"}, no_descriptors, 2, "",
     "byteneg: \\a\\b\\t\\n\\v\\f\\r" + no_such, nullptr},
    {"OtherControlBytesInOctal", {"byteneg", "\x01\x1b[31m\x1f\x7f", "out"}, no_descriptors, 2, "",
     "byteneg: \\001\\033[31m\\037\\177" + no_such, nullptr},
    // Bytes that are not UTF-8 cannot reach a Windows program's wide command line.
    {"OtherBytesAsTheyAre", {"byteneg", "caf\xc3\xa9 \\ ~\xa0\xff", "out"}, no_descriptors, 2, "",
     "byteneg: caf\xc3\xa9 \\ ~\xa0\xff" + no_such, nullptr, Where::posix},
    {"C1ControlsEscaped", {"byteneg", "x\xc2\x9b" "31m\x9b", "out"}, no_descriptors, 2, "",
     "byteneg: x\\302\\23331m\\233" + no_such, nullptr, Where::posix},
    {"ProgramNameEscaped", {"neg\x1b" "it", "nothere", "out"}, no_descriptors, 2, "",
     "neg\\033it: nothere" + no_such, nullptr, Where::direct},
    // Windows file names cannot hold control bytes.
    {"BothNamesOfSameFileEscaped", {"byteneg", "x\ty", "x\ny"},
     [](Dir d, RunOptions &o) { file("x\ty", precious)(d, o);
                                fs::create_hard_link(d / "x\ty", d / "x\ny"); return Kept{}; },
     2, "", "byteneg: x\\ny: same file as x\\ty\n", nullptr, Where::posix},
    // Failing before anything else, the run still names itself as called.
    {"ClosedStreamFailureNamesProgramNeedsRoot", {"byteneg", "in", "out"},
     closing({0}, [](Dir /*d*/, RunOptions &o) {
         if (access(strace_path, X_OK) != 0) {
             [] { GTEST_SKIP() << "strace is not installed"; }();
         } else if (!skipped_unless_private_mounts()) {
             o.wrapper = {"/usr/bin/unshare", "-m", "/bin/sh", "-c", no_stand_in};
         }
         return Kept{};
     }),
     2, "", "./negit: closed standard stream: Read-only file system\n", nullptr, Where::direct},
    {"UsageLineRaw", {"neg\tit\n"}, no_descriptors, 1, "neg\tit\n <in> <out>\n", "", nullptr,
     Where::direct},
    // However long the program's name, the path and the reason appear; the
    // usage line shows the name whole.
    {"HugeProgramNameLeavesRoomForPath", {huge_name, "nothere", "out"}, no_descriptors, 2, "",
     std::string(message::capacity / 2 - 3, 'p') + "...: nothere" + no_such, nullptr,
     Where::direct},
    {"HugeProgramNameWholeInUsageLine", {huge_name}, no_descriptors, 1, huge_name + " <in> <out>\n",
     "", nullptr, Where::direct},
};
// clang-format on

// Names the case in test output instead of dumping its bytes.
void PrintTo(const Case &c, std::ostream *os) {
    *os << c.name;
}

class Streams : public testing::TestWithParam<Case> {};

TEST_P(Streams, Run) {
    const Case &c = GetParam();
    TempDir dir;
    RunOptions opts;
    opts.cwd = dir.path;
    Kept kept = c.setup ? c.setup(dir.path, opts) : Kept{};
    if (testing::Test::IsSkipped()) {
        return;
    }
    if (opts.as_nobody && skipped_unless_nobody_reaches(dir.path)) {
        return;
    }
    const Outcome r = byteneg(c.argv, opts);
    kept.handed.reset();
    EXPECT_EQ(r.signal, 0);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.out, c.out);
    EXPECT_EQ(with_reason_of(c.err, r.err), c.err);
    if (c.check) {
        c.check(dir.path, kept.ours.get());
    }
}

std::string case_name(const testing::TestParamInfo<Case> &info) {
    return info.param.name;
}

INSTANTIATE_TEST_SUITE_P(ClosedAtStart, Streams,
                         testing::ValuesIn(applicable(with_closed_streams())), case_name);
INSTANTIATE_TEST_SUITE_P(Inherited, Streams,
                         testing::ValuesIn(applicable(inherited_and_discard_cases)), case_name);
INSTANTIATE_TEST_SUITE_P(Messages, Streams, testing::ValuesIn(applicable(message_cases)),
                         case_name);

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
    std::string err{}; // what a run that is not ended by a signal says
    Where where = Where::anywhere;
};

const std::string first = random_bytes(5000, 12);
const std::string rest = random_bytes(3 * block_size, 13);
const std::string old = "previous contents of out, which must survive\n";

// Every signal whose default ends a process, but SIGKILL, which cannot be
// caught. Under Wine, SIGINT is Ctrl-C to the program; any other signal ends
// Wine itself, as taskkill /F ends a Windows program.
std::vector<int> catchable() {
    if (windows_binary) {
        return {SIGINT};
    }
    std::vector<int> all = {SIGHUP,  SIGINT,  SIGQUIT,   SIGILL,  SIGTRAP, SIGABRT,
                            SIGBUS,  SIGFPE,  SIGUSR1,   SIGSEGV, SIGUSR2, SIGPIPE,
                            SIGALRM, SIGTERM, SIGSTKFLT, SIGXCPU, SIGXFSZ, SIGVTALRM,
                            SIGPROF, SIGIO,   SIGPWR,    SIGSYS};
    // qemu keeps the host's real-time signals for itself: sent one, it ends
    // at once, whatever the program asked; and it takes the signals of a
    // fault (SIGILL, SIGTRAP, SIGBUS, SIGFPE, SIGSEGV) for faults of its own
    // code, now and then, under load.
    if (emulator().empty()) {
        all.insert(all.end(), {SIGRTMIN, SIGRTMAX});
    } else {
        std::erase_if(all, [](int sig) {
            return sig == SIGILL || sig == SIGTRAP || sig == SIGBUS || sig == SIGFPE ||
                   sig == SIGSEGV;
        });
    }
    return all;
}
std::vector<int> every_ending() {
    std::vector<int> all = catchable();
    all.push_back(SIGKILL);
    if (windows_binary) {
        all.push_back(SIGTERM);
    }
    return all;
}
// Whether sig ended the run: as that signal, or, for a Windows program under
// Wine, Ctrl-C's way, with STATUS_CONTROL_C_EXIT as its status.
bool ended_by(const Outcome &r, int sig) {
    constexpr int control_c_status = 0xC000013A & 0xFF;
    return windows_binary && sig == SIGINT ? r.status == control_c_status : r.signal == sig;
}
void old_out(Dir d) {
    write_file(d / "out", old);
}
void old_out_linked(Dir d) {
    old_out(d);
    fs::create_hard_link(d / "out", d / "link");
}
const std::vector<std::string> fifo_out = {"byteneg", "fifo", "out"};

// clang-format off
const std::vector<Interruption> interruptions = {
    {"NewOutLeavesNothing", fifo_out, nullptr, every_ending(),
     [](Dir d) { expect_names(d, {"fifo"}); }},
    {"OldOutKept", fifo_out, old_out, every_ending(),
     [](Dir d) { expect_names(d, {"fifo", "out"}); expect_bytes(d / "out", old); }},
    // Written in place, as its other name must see the copy: emptied.
    {"SecondLinkEmptied", fifo_out, old_out_linked, catchable(),
     [](Dir d) { expect_bytes(d / "out", ""); expect_bytes(d / "link", ""); }},
    {"AppendedStdoutCutBack", {"byteneg", "fifo", "/dev/stdout"},
     [](Dir d) { write_file(d / "log", old); }, catchable(),
     [](Dir d) { expect_bytes(d / "log", old); }, {}, nullptr, "",
     // Wine cannot cut back a handle made from a Unix descriptor.
     Where::posix},
    {"IgnoredHangupStaysIgnored", fifo_out, old_out, {SIGHUP},
     [](Dir d) { expect_bytes(d / "out", negated(first + rest)); }, {SIGHUP}, nullptr,
     "", Where::posix},
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
        // A sanitizer's handlers would take the signals meant for the run.
        if (sig != 0) {
            opts.wrapper =
                asan_options("handle_segv=0:handle_sigbus=0:handle_sigfpe=0:handle_sigill=0");
        }
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
        const Outcome r = byteneg(c.argv, opts);
        feed.reset();
        log.reset();
        if (goes_on) {
            EXPECT_EQ(r.signal, 0);
            EXPECT_EQ(r.status, c.err.empty() ? 0 : 2);
        } else {
            EXPECT_TRUE(ended_by(r, sig)) << "status " << r.status << ", signal " << r.signal;
        }
        EXPECT_EQ(with_reason_of(c.err, r.err), c.err);
        c.check(dir.path);
    }
}

INSTANTIATE_TEST_SUITE_P(Signals, Interrupted, testing::ValuesIn(applicable(interruptions)),
                         [](const auto &info) { return std::string(info.param.name); });

#ifndef BYTENEG_WINDOWS
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
#endif

#ifndef BYTENEG_WINDOWS
// Each line goes out in one write() call, so that it cannot interleave with
// another writer's on a shared standard error. strace counts the calls, and
// makes the partial OUT impossible to discard for the two-line case.
TEST(OneWritePerLine, UnderStrace) {
    if (access(strace_path, X_OK) != 0) {
        GTEST_SKIP() << "strace is not installed";
    }
    struct Run {
        std::vector<std::string> argv;
        std::vector<std::string> inject;
        std::vector<std::string> lines; // each after "PROG: "
    };
    const std::vector<Run> runs = {
        {{"byteneg", "a\nb", "out"}, {}, {"a\\nb" + no_such}},
        {{"byteneg", "x", "./x"}, {}, {"./x: same file as x\n"}},
        // x, with a second link, is emptied in place, and emptying it again
        // fails. 32-bit x86 calls ftruncate64.
        {{"byteneg", "/proc/self/mem", "x"},
         {"-e", "inject=ftruncate,ftruncate64:error=EIO:when=2+"},
         {"/proc/self/mem: Input/output error\n",
          "x: cannot discard partial output: Input/output error\n"}},
    };
    for (const Run &each : runs) {
        SCOPED_TRACE(each.lines.front());
        TempDir dir;
        write_file(dir.path / "x", precious);
        fs::create_hard_link(dir.path / "x", dir.path / "x2");
        std::vector<std::string> options = each.inject;
        options.insert(options.end(),
                       {"-o", "trace", "-e", "trace=write,unlink,unlinkat,ftruncate,ftruncate64"});
        const Outcome r = under_strace(dir.path, each.argv, options);
        std::string all;
        std::vector<std::string> sizes;
        for (const std::string &line : each.lines) {
            // strace runs the program by its path, which is then its name.
            all += byteneg_path() + (": " + line);
            // What the binary wrote, which names it as an emulator shows it.
            sizes.push_back(std::to_string(shown_name().size() + 2 + line.size()));
        }
        EXPECT_EQ(r.status, 2);
        EXPECT_EQ(r.err, all);
        // strace shows a write as: write(2, "...", 42) = 42
        std::ifstream trace(dir.path / "trace");
        std::vector<std::string> written;
        for (std::string line; std::getline(trace, line);) {
            if (line.rfind("write(2,", 0) == 0) {
                written.push_back(line.substr(line.rfind(" = ") + 3));
            }
        }
        EXPECT_EQ(written, sizes);
    }
}
#endif

} // namespace
