// The file operations of file.hpp on Linux and other POSIX systems.
#include "file.hpp"

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

namespace sys {

const char *const null_device = "/dev/null";

namespace {

// Which standard streams were closed when the run began. They now hold the
// null device, and a caller who names one of them as IN or OUT must hear that
// it was closed, not get an empty input or a silent sink.
bool closed_at_start[3] = {};

// The exact paths that name a stream the caller handed us. Reopening them
// would lose the caller's position and append mode, and fails for sockets.
int inherited_descriptor(const char *path) {
    if (std::strcmp(path, "/dev/stdin") == 0 || std::strcmp(path, "/dev/fd/0") == 0) {
        return 0;
    }
    if (std::strcmp(path, "/dev/stdout") == 0 || std::strcmp(path, "/dev/fd/1") == 0) {
        return 1;
    }
    return -1;
}

int identify(int fd, file &f, struct stat &st) {
    if (fstat(fd, &st) != 0) {
        return errno;
    }
    f.handle = fd;
    f.regular = S_ISREG(st.st_mode);
    f.volume = static_cast<std::uint64_t>(st.st_dev);
    f.index = static_cast<std::uint64_t>(st.st_ino);
    return 0;
}

// Takes over descriptor fd, checking that it can be used as asked: IN must be
// readable and not a folder, OUT writable, before anything is changed.
int use_inherited(int fd, int access, file &f, struct stat &st) {
    if (closed_at_start[fd]) {
        return EBADF;
    }
    const int flags = fcntl(fd, F_GETFL);
    if (flags < 0) {
        return errno;
    }
#ifdef O_PATH
    if ((flags & O_PATH) != 0) {
        return EBADF;
    }
#endif
    if ((flags & O_ACCMODE) != O_RDWR && (flags & O_ACCMODE) != access) {
        return EBADF;
    }
    f.inherited = true;
    if (const int err = identify(fd, f, st); err != 0) {
        return err;
    }
    if (S_ISDIR(st.st_mode)) {
        return EISDIR;
    }
    if (f.regular && access == O_WRONLY) {
        f.appends = (flags & O_APPEND) != 0;
        f.length = st.st_size;
        // An appending descriptor writes at the end, wherever its offset is.
        const off_t start = f.appends ? st.st_size : lseek(fd, 0, SEEK_CUR);
        if (start < 0) {
            return errno;
        }
        f.start = start;
    }
    return 0;
}

// A caller may hand us a non-blocking pipe or socket it shares with others;
// wait for it rather than fail with EAGAIN.
int wait_for(int fd, short events) {
    pollfd p{fd, events, 0};
    while (poll(&p, 1, -1) < 0) {
        if (errno != EINTR) {
            return errno;
        }
    }
    return 0;
}

bool busy(int err) {
    return err == EAGAIN || err == EWOULDBLOCK;
}

int fd_of(const file &f) {
    return static_cast<int>(f.handle);
}

} // namespace

int guard_std_streams() {
    for (int fd = 0; fd < 3; ++fd) {
        if (fcntl(fd, F_GETFD) >= 0 || errno != EBADF) {
            continue;
        }
        closed_at_start[fd] = true;
        // The lowest free descriptor is fd itself, as the lower ones are open.
        const int null_fd = open(null_device, O_RDWR);
        if (null_fd < 0) {
            return errno;
        }
        if (null_fd != fd) {
            return EBADF;
        }
    }
    return 0;
}

char **utf8_arguments(int & /*argc*/, char **argv) {
    return argv;
}

int open_in(const char *path, file &f) {
    struct stat st {};
    if (const int fd = inherited_descriptor(path); fd >= 0) {
        return use_inherited(fd, O_RDONLY, f, st);
    }
    const int fd = open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        return errno;
    }
    if (const int err = identify(fd, f, st); err != 0) {
        return err;
    }
    // A directory opens for reading but cannot be read; say so before OUT is touched.
    return S_ISDIR(st.st_mode) ? EISDIR : 0;
}

int open_out(const char *path, file &f) {
    struct stat st {};
    if (const int fd = inherited_descriptor(path); fd >= 0) {
        return use_inherited(fd, O_WRONLY, f, st);
    }
    const int fd = open(path, O_WRONLY | O_CREAT | O_CLOEXEC | O_NOCTTY, 0666);
    if (fd < 0) {
        return errno;
    }
    return identify(fd, f, st);
}

bool same_file(const file &a, const file &b) {
    return a.regular && b.regular && a.volume == b.volume && a.index == b.index;
}

int empty_out(const file &out) {
    if (out.inherited || !out.regular) {
        return 0;
    }
    struct stat st {};
    if (fstat(fd_of(out), &st) != 0) {
        return errno;
    }
    // A new file is empty already. Truncating it anyway is not free: ext4
    // takes a truncation to zero as a file being replaced and writes the whole
    // new contents out when it is closed, which made a copy to a new file
    // twice as slow as a plain copy.
    if (st.st_size == 0) {
        return 0;
    }
    return ftruncate(fd_of(out), 0) == 0 ? 0 : errno;
}

int read_some(file &in, unsigned char *buf, std::size_t size, std::size_t &got) {
    for (;;) {
        const ssize_t n = read(fd_of(in), buf, size);
        if (n >= 0) {
            got = static_cast<std::size_t>(n);
            return 0;
        }
        if (busy(errno)) {
            if (const int err = wait_for(fd_of(in), POLLIN); err != 0) {
                return err;
            }
        } else if (errno != EINTR) {
            return errno;
        }
    }
}

namespace {

// Writes all n bytes to fd across short writes, interruptions and a busy
// non-blocking descriptor, counting them in written.
int write_fd(int fd, const void *data, std::size_t n, std::int64_t &written) {
    const auto *p = static_cast<const unsigned char *>(data);
    while (n > 0) {
        const ssize_t put = write(fd, p, n);
        if (put > 0) {
            p += put;
            n -= static_cast<std::size_t>(put);
            written += put;
        } else if (put == 0) {
            return EIO; // no progress and no error: give up rather than spin
        } else if (busy(errno)) {
            if (const int err = wait_for(fd, POLLOUT); err != 0) {
                return err;
            }
        } else if (errno != EINTR) {
            return errno;
        }
    }
    return 0;
}

} // namespace

int write_all(file &out, const unsigned char *buf, std::size_t n) {
    return write_fd(fd_of(out), buf, n, out.written);
}

int close_file(file &f) {
    // Some file systems (NFS, FUSE) report a failed write only at close, and
    // they do at the close of any descriptor of the file. Closing a duplicate
    // first catches that while f still has a descriptor through which a
    // failed OUT can be discarded. Short of descriptors, close f alone.
    const int spare = fcntl(fd_of(f), F_DUPFD_CLOEXEC, 3);
    if (spare < 0 && errno != EMFILE && errno != ENFILE) {
        return errno;
    }
    if (spare >= 0 && close(spare) != 0) {
        return errno;
    }
    // The caller's own descriptors stay open: the check above was all that
    // closing them could add, and a failure can still cut back through them.
    if (f.inherited) {
        return 0;
    }
    const int fd = fd_of(f);
    f.handle = -1;
    return close(fd) == 0 ? 0 : errno;
}

namespace {

bool is(const struct stat &st, const file &f) {
    return static_cast<std::uint64_t>(st.st_dev) == f.volume &&
           static_cast<std::uint64_t>(st.st_ino) == f.index;
}

// Gives an inherited file back its length at the start of the run, unless
// others have written to it since: the file must end where our output ended
// or where it ended before.
int restore(int fd, const file &out) {
    if (out.written == 0) {
        return 0; // nothing of ours is there
    }
    struct stat st {};
    if (fstat(fd, &st) != 0) {
        return errno;
    }
    const std::int64_t ours_end = out.start + out.written;
    if (st.st_size != (ours_end > out.length ? ours_end : out.length)) {
        return error_shared_output;
    }
    if (ftruncate(fd, static_cast<off_t>(out.length)) != 0) {
        return errno;
    }
    // The caller goes on writing where we began, not past a hole.
    if (!out.appends && lseek(fd, static_cast<off_t>(out.start), SEEK_SET) < 0) {
        return errno;
    }
    return 0;
}

} // namespace

int discard_out(const char *path, file &out) {
    if (!out.regular) {
        return 0;
    }
    if (out.inherited) {
        // Its descriptor is the only way to it.
        return fd_of(out) < 0 ? EBADF : restore(fd_of(out), out);
    }
    // Removing leaves no trace, but only when the path names this file
    // directly and it has no other name: with other links the partial copy
    // would live on under them, and removing a symbolic link would leave its
    // target. Removing may also be refused (a sticky folder); emptying is then
    // the next best thing.
    struct stat path_st {};
    if (lstat(path, &path_st) == 0 && is(path_st, out) && path_st.st_nlink == 1 &&
        unlink(path) == 0) {
        return 0;
    }
    int fd = fd_of(out);
    if (fd < 0) {
        // The descriptor went with a failed close: find the file again by its
        // path, making sure it is still ours.
        fd = open(path, O_WRONLY | O_CLOEXEC | O_NOCTTY);
        if (fd < 0) {
            return errno;
        }
        out.handle = fd;
        struct stat st {};
        if (fstat(fd, &st) != 0) {
            return errno;
        }
        if (!is(st, out)) {
            return ESTALE;
        }
    }
    return ftruncate(fd, 0) == 0 ? 0 : errno;
}

void write_stdout(const char *text, std::size_t n) {
    std::int64_t ignored = 0;
    write_fd(1, text, n, ignored);
}

void write_stderr(const char *text, std::size_t n) {
    std::int64_t ignored = 0;
    write_fd(2, text, n, ignored);
}

const char *describe(int err) {
    if (err == error_shared_output) {
        return "others have written to it since";
    }
    return std::strerror(err);
}

} // namespace sys
