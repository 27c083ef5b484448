// byteneg IN OUT: writes to OUT the negation modulo 256 of every byte of IN.
//
// Every failure is reported as "PROG: PATH: reason" on standard error and ends
// the run with status 2; status 1 is kept for the usage line alone. Once OUT has
// been opened, a failure discards what was written to it, so that a partial
// copy is never left looking like a good one. IN is only ever read.

#include "negate.hpp"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr int status_usage = 1;
constexpr int status_failure = 2;

// Static rather than on the stack or the heap: fixed memory, no allocation.
unsigned char block[block_size];

const char *prog = "byteneg";

void report_errno(const char *path, int err) {
    std::fprintf(stderr, "%s: %s: %s\n", prog, path, std::strerror(err));
}

bool same_file(const struct stat &a, const struct stat &b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Leaves no partial copy behind. A regular file that OUT names directly is
// removed. One reached through a symbolic link (/dev/stdout redirected to a
// file, say) is emptied instead: removing the path would remove the link,
// which may be the system's. Devices, pipes and terminals are left alone.
// out_fd is -1 once a failed close has taken the descriptor.
void discard_output(const char *out, int out_fd, const struct stat &out_st) {
    if (!S_ISREG(out_st.st_mode)) {
        return;
    }
    struct stat path_st {};
    if (lstat(out, &path_st) == 0 && same_file(path_st, out_st)) {
        if (unlink(out) == 0) {
            return;
        }
    } else if (out_fd >= 0 ? ftruncate(out_fd, 0) == 0 : truncate(out, 0) == 0) {
        return;
    }
    const int err = errno;
    std::fprintf(stderr, "%s: %s: cannot remove partial output: %s\n", prog, out,
                 std::strerror(err));
}

// For failures once OUT is open: report the one on PATH, discard OUT.
int fail_after_open(const char *path, int err, const char *out, int out_fd,
                    const struct stat &out_st) {
    report_errno(path, err);
    discard_output(out, out_fd, out_st);
    return status_failure;
}

// Opens PATH and describes what was opened in st. Reports a failure and
// returns -1.
int open_file(const char *path, int flags, struct stat &st) {
    const int fd = open(path, flags | O_CLOEXEC, 0666);
    if (fd < 0 || fstat(fd, &st) != 0) {
        report_errno(path, errno);
        return -1;
    }
    return fd;
}

ssize_t read_retrying(int fd, unsigned char *buf, std::size_t n) {
    for (;;) {
        const ssize_t got = read(fd, buf, n);
        if (got >= 0 || errno != EINTR) {
            return got;
        }
    }
}

// Writes all n bytes across short writes and interruptions. On failure returns
// false with errno set.
bool write_all(int fd, const unsigned char *buf, std::size_t n) {
    while (n > 0) {
        const ssize_t put = write(fd, buf, n);
        if (put < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        if (put == 0) {
            // No progress and no error: give up rather than spin.
            errno = EIO;
            return false;
        }
        buf += put;
        n -= static_cast<std::size_t>(put);
    }
    return true;
}

// Streams IN to OUT through negate_block. Returns nullptr on success, or the
// path whose read or write failed, with errno set. Never seeks, so pipes,
// FIFOs and devices work on either side.
const char *copy(int in_fd, const char *in, int out_fd, const char *out) {
    for (;;) {
        const ssize_t got = read_retrying(in_fd, block, sizeof block);
        if (got == 0) {
            return nullptr;
        }
        if (got < 0) {
            return in;
        }
        negate_block(block, static_cast<std::size_t>(got));
        if (!write_all(out_fd, block, static_cast<std::size_t>(got))) {
            return out;
        }
    }
}

} // namespace

int main(int argc, char *argv[]) {
    // An empty argument vector is possible with execve; fall back to our name.
    if (argc > 0 && argv[0] != nullptr && argv[0][0] != '\0') {
        prog = argv[0];
    }

    // 1. Argument check; arguments after the second are ignored.
    if (argc < 3) {
        std::printf("%s <in> <out>\n", prog);
        return status_usage;
    }
    const char *in = argv[1];
    const char *out = argv[2];

    // 2. Open IN. A directory opens for reading but cannot be read; refuse it
    // here, before OUT is touched.
    struct stat in_st {};
    const int in_fd = open_file(in, O_RDONLY, in_st);
    if (in_fd < 0) {
        return status_failure;
    }
    if (S_ISDIR(in_st.st_mode)) {
        report_errno(in, EISDIR);
        return status_failure;
    }

    // 3. Open OUT without truncating it, compare it with IN, and only then
    // truncate. Comparing the open files rather than the paths leaves no window
    // in which OUT could be swapped for IN between the check and the open.
    struct stat out_st {};
    const int out_fd = open_file(out, O_WRONLY | O_CREAT, out_st);
    if (out_fd < 0) {
        return status_failure;
    }
    // Two paths for one regular file would have the output truncate the
    // input. The same pipe, terminal or device on both sides is a filter.
    if (S_ISREG(in_st.st_mode) && same_file(in_st, out_st)) {
        std::fprintf(stderr, "%s: %s: same file as %s\n", prog, out, in);
        return status_failure;
    }
    if (S_ISREG(out_st.st_mode) && ftruncate(out_fd, 0) != 0) {
        return fail_after_open(out, errno, out, out_fd, out_st);
    }

    // 4. Copy.
    if (const char *failed = copy(in_fd, in, out_fd, out); failed != nullptr) {
        return fail_after_open(failed, errno, out, out_fd, out_st);
    }

    // 5. Close IN, then OUT. Some file systems (NFS, quotas) report a failed
    // write only at close, so its result decides whether the copy succeeded.
    if (close(in_fd) != 0) {
        return fail_after_open(in, errno, out, out_fd, out_st);
    }
    if (close(out_fd) != 0) {
        return fail_after_open(out, errno, out, -1, out_st);
    }
    return 0;
}
