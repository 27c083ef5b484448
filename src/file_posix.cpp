// The file operations of file.hpp on Linux.
#include "file.hpp"
#include "storage.hpp"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

#include <fcntl.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace sys {

const char *const stand_in = "closed standard stream";

namespace {

// Which standard streams were closed when the run began, and the identity of
// what each now holds in its place. A caller who names one of them as IN or
// OUT, by whatever path, must hear that it was closed, not get an empty input
// or a silent sink.
bool closed_at_start[3] = {};
struct stat stand_in_identity[3] = {};

// What a closed stream holds instead: an empty file of our own, which no path
// leads to but our own descriptor (/proc/self/fd/N), so that whatever name
// reaches it can be told by its identity once opened. The null device would
// not do: any path to it, /dev/null itself, must still work. Sealed where the
// system allows, it stays empty: a message written to a closed standard error
// fails at once, without the SIGPIPE of a pipe whose reader has gone, the wait
// of a full one, or a file that grows.
int open_stand_in() {
#ifdef MFD_ALLOW_SEALING
    const int fd = memfd_create(stand_in, MFD_ALLOW_SEALING);
    if (fd >= 0) {
        if (fcntl(fd, F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_WRITE | F_SEAL_SEAL) == 0) {
            return fd;
        }
        if (close(fd) != 0) {
            return -1;
        }
    }
#endif
    // No memory file to be had (an old kernel, a filter that forbids it): a
    // file of our own whose name is gone at once does as well, unsealed.
    char name[] = "/tmp/byteneg-XXXXXX";
    const int unnamed = mkstemp(name);
    return unnamed >= 0 && unlink(name) != 0 ? -1 : unnamed;
}

// The exclusive claim on an inherited block-device OUT.
int claim = -1;

bool is_stand_in(const file &f) {
    for (int fd = 0; fd < 3; ++fd) {
        if (closed_at_start[fd] &&
            static_cast<std::uint64_t>(stand_in_identity[fd].st_dev) == f.volume &&
            static_cast<std::uint64_t>(stand_in_identity[fd].st_ino) == f.index) {
            return true;
        }
    }
    return false;
}

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
    f.block_device = S_ISBLK(st.st_mode);
    f.mode = static_cast<std::uint32_t>(st.st_mode);
    f.device = static_cast<std::uint64_t>(st.st_rdev);
    f.links = static_cast<std::uint64_t>(st.st_nlink);
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
    if (S_ISBLK(st.st_mode) && access == O_WRONLY) {
        // As when OUT is opened by name: the kernel refuses the claim on a
        // device that is mounted or held by a volume. The claim lasts while
        // its descriptor is open, to the end of the run.
        char self[32];
        std::snprintf(self, sizeof self, "/proc/self/fd/%d", fd);
        claim = open(self, O_WRONLY | O_EXCL | O_CLOEXEC | O_NOCTTY);
        if (claim < 0) {
            return errno;
        }
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

// Whether err asks us to wait. Never for a regular file, which poll calls
// ready at once, so that waiting would retry it for ever.
bool busy(int err, bool regular) {
    return !regular && (err == EAGAIN || err == EWOULDBLOCK);
}

int fd_of(const file &f) {
    return static_cast<int>(f.handle);
}

// The number of the descriptor that an entry of a descriptor folder names:
// digits alone, without a leading zero, as the system reads them; -1 for any
// other name. A number past any descriptor becomes INT_MAX, which none has.
int descriptor_number(const char *name) {
    if (*name == '\0' || (name[0] == '0' && name[1] != '\0')) {
        return -1;
    }
    int n = 0;
    for (; *name != '\0'; ++name) {
        if (*name < '0' || *name > '9') {
            return -1;
        }
        const int digit = *name - '0';
        n = n > (INT_MAX - digit) / 10 ? INT_MAX : n * 10 + digit;
    }
    return n;
}

// Whether folder lists this process's descriptors, under any name: /dev/fd,
// /proc/self/fd, /proc/PID/fd, /proc/thread-self/fd, or a link to one.
bool is_descriptor_folder(const char *folder) {
#ifdef O_PATH
    const int fd = open(folder, O_PATH | O_DIRECTORY | O_CLOEXEC);
#else
    const int fd = open(folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
#endif
    if (fd < 0) {
        return false;
    }
    // Held open while compared: /proc may drop a folder that nobody holds
    // and number it afresh when it is next looked up.
    struct stat st {};
    bool found = false;
    if (fstat(fd, &st) == 0) {
        const char *const folders[] = {"/dev/fd", "/proc/self/fd", "/proc/thread-self/fd"};
        for (const char *each : folders) {
            struct stat ours {};
            found = found || (stat(each, &ours) == 0 && ours.st_dev == st.st_dev &&
                              ours.st_ino == st.st_ino);
        }
    }
    return close(fd) == 0 && found;
}

// A path whose last links are followed here, one at a time, as opening it
// would follow them.
struct followed {
    char at[PATH_MAX + 1];
    int links = 0;
};

// The last name of path, the one its folder holds.
const char *last_name(const char *path) {
    const char *const slash = std::strrchr(path, '/');
    return slash == nullptr ? path : slash + 1;
}

// Calls use(folder) with the folder that holds the last name of path: ".",
// "/", or path cut short at its last slash, which is put back after.
template <typename Use> auto in_folder_of(char *path, Use use) {
    char *const slash = std::strrchr(path, '/');
    if (slash == nullptr || slash == path) {
        return use(slash == nullptr ? "." : "/");
    }
    *slash = '\0';
    const auto result = use(static_cast<const char *>(path));
    *slash = '/';
    return result;
}

int start_following(const char *path, followed &f) {
    const std::size_t length = std::strlen(path);
    if (length >= sizeof f.at) {
        return ENAMETOOLONG;
    }
    std::memcpy(f.at, path, length + 1);
    f.links = 0;
    return 0;
}

// If f.at names a symbolic link, puts where it leads in its place and sets
// more; a relative link leads on from the folder that holds it. A path that
// grows past what a path may hold here, or one with more links than the
// system follows, is an error: where it ends cannot be told.
int follow_link(followed &f, bool &more) {
    static char target[PATH_MAX + 1];
    more = false;
    const ssize_t got = readlink(f.at, target, sizeof target - 1);
    if (got < 0) {
        return 0; // not a link (or nothing there): the path ends here
    }
    if (++f.links > 40) {
        return ELOOP;
    }
    const std::size_t keep =
        target[0] == '/' ? 0 : static_cast<std::size_t>(last_name(f.at) - f.at);
    const auto size = static_cast<std::size_t>(got);
    if (keep + size >= sizeof f.at) {
        return ENAMETOOLONG;
    }
    std::memcpy(f.at + keep, target, size);
    f.at[keep + size] = '\0';
    more = true;
    return 0;
}

// At namespace scope: a function's static would need a guard from the C++
// run-time library, which the tool does not otherwise load.
followed named;

// Follows path to see whether it ends at an entry of one of our descriptor
// folders: sets n to that entry's number, or to -1 if it ends anywhere else,
// or where the system will say why when the path is opened.
int descriptor_reached(const char *path, int &n) {
    n = -1;
    if (const int err = start_following(path, named); err != 0) {
        return err;
    }
    for (bool more = true; more;) {
        if (const int number = descriptor_number(last_name(named.at));
            number >= 0 && in_folder_of(named.at, is_descriptor_folder)) {
            n = number;
            return 0;
        }
        if (const int err = follow_link(named, more); err != 0) {
            return err;
        }
    }
    return 0;
}

} // namespace

int guard_std_streams() {
    for (int fd = 0; fd < 3; ++fd) {
        if (fcntl(fd, F_GETFD) >= 0 || errno != EBADF) {
            continue;
        }
        closed_at_start[fd] = true;
        // The lowest free descriptor is fd itself, as the lower ones are open.
        const int held = open_stand_in();
        if (held < 0) {
            return errno;
        }
        if (held != fd) {
            return EBADF;
        }
        if (fstat(fd, &stand_in_identity[fd]) != 0) {
            return errno;
        }
    }
    return 0;
}

int check_descriptor_name(const char *path) {
    int n = -1;
    if (const int err = descriptor_reached(path, n); err != 0 || n < 0) {
        return err;
    }
    // Nothing of ours is open yet but the stand-ins, so an open descriptor
    // past the standard three is one the caller handed over.
    const bool handed = n < 3 ? !closed_at_start[n] : fcntl(n, F_GETFD) >= 0;
    return handed ? 0 : EBADF;
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
    if (is_stand_in(f)) {
        return EBADF;
    }
    // A directory opens for reading but cannot be read; say so before OUT is touched.
    return S_ISDIR(st.st_mode) ? EISDIR : 0;
}

namespace {

// Where a missing OUT is to be made: the name its links lead to, which a
// failure removes again.
followed made;

} // namespace

int open_out(const char *path, file &f) {
    struct stat st {};
    if (const int fd = inherited_descriptor(path); fd >= 0) {
        return use_inherited(fd, O_WRONLY, f, st);
    }
    // O_EXCL asks, for a block device, to be its only user: the kernel
    // refuses a device that is mounted or that a volume is built on, as
    // tools that write file systems ask. It means nothing to other files
    // when O_CREAT is not given.
    const int fd = open(path, O_WRONLY | O_EXCL | O_CLOEXEC | O_NOCTTY);
    if (fd >= 0) {
        if (const int err = identify(fd, f, st); err != 0) {
            return err;
        }
        return is_stand_in(f) ? EBADF : 0;
    }
    if (errno != ENOENT) {
        return errno;
    }
    // Missing, or a link to a missing file: it is made later, where the
    // links lead, once IN has been compared with the folder it goes in.
    if (const int err = start_following(path, made); err != 0) {
        return err;
    }
    for (bool more = true; more;) {
        if (const int err = follow_link(made, more); err != 0) {
            return err;
        }
    }
    const int held = in_folder_of(
        made.at, [](const char *folder) { return open(folder, O_PATH | O_DIRECTORY | O_CLOEXEC); });
    if (held < 0) {
        return errno;
    }
    f.missing = true;
    return identify(held, f, st);
}

int create_out(file &f) {
    if (!f.missing) {
        return 0;
    }
    const int folder = fd_of(f);
    const char *const leaf = last_name(made.at);
    const int fd = openat(folder, leaf, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, 0666);
    if (fd < 0) {
        const int err = errno;
        return close(folder) == 0 ? err : errno;
    }
    f.missing = false;
    f.created = true;
    f.regular = true; // so that a failure to look at it still removes it
    f.handle = fd;
    struct stat st {};
    int err = identify(fd, f, st);
    // A file the run has just made, of which nothing more is known: it goes
    // again, from the folder it was made in.
    if (err != 0 && unlinkat(folder, leaf, 0) == 0) {
        f.created = false;
    }
    if (close(folder) != 0 && err == 0) {
        err = errno;
    }
    return err;
}

int find_overlap(const file &in, const file &out, overlap &found) {
    struct stat in_st {};
    struct stat out_st {};
    const std::pair<const file *, struct stat *> sides[] = {{&in, &in_st}, {&out, &out_st}};
    for (const auto &[f, st] : sides) {
        st->st_mode = static_cast<mode_t>(f->mode);
        st->st_dev = static_cast<dev_t>(f->volume);
        st->st_ino = static_cast<ino_t>(f->index);
        st->st_rdev = static_cast<dev_t>(f->device);
        st->st_nlink = static_cast<nlink_t>(f->links);
    }
    meeting m = meeting::apart;
    const int err = storage_meeting(fd_of(in), in_st, fd_of(out), out_st, m);
    found = m == meeting::same_file ? overlap::same_file
            : m == meeting::shared  ? overlap::shared_storage
                                    : overlap::none;
    return err;
}

int empty_out(file &out) {
    if (out.inherited || !out.regular) {
        return 0;
    }
    if (out.created) {
        out.emptied = true; // made empty, just now
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
    if (st.st_size != 0 && ftruncate(fd_of(out), 0) != 0) {
        return errno;
    }
    out.emptied = true;
    return 0;
}

int finish_out(const file &out) {
    if (out.block_device) {
        return fsync(fd_of(out)) == 0 ? 0 : errno;
    }
    // A file the run made holds nothing but what it wrote.
    if (out.inherited || !out.regular || out.created) {
        return 0;
    }
    return ftruncate(fd_of(out), static_cast<off_t>(out.written)) == 0 ? 0 : errno;
}

int read_some(file &in, unsigned char *buf, std::size_t size, std::size_t &got) {
    for (;;) {
        const ssize_t n = read(fd_of(in), buf, size);
        if (n >= 0) {
            got = static_cast<std::size_t>(n);
            return 0;
        }
        if (busy(errno, in.regular)) {
            if (const int err = wait_for(fd_of(in), POLLIN); err != 0) {
                return err;
            }
        } else if (errno != EINTR) {
            return errno;
        }
    }
}

namespace {

// Writes all n bytes to fd across short writes, interruptions and, unless fd
// is a regular file, a busy non-blocking descriptor, counting them in written.
int write_fd(int fd, bool regular, const void *data, std::size_t n, std::int64_t &written) {
    const auto *p = static_cast<const unsigned char *>(data);
    while (n > 0) {
        const ssize_t put = write(fd, p, n);
        if (put > 0) {
            p += put;
            n -= static_cast<std::size_t>(put);
            written += put;
        } else if (put == 0) {
            return EIO; // no progress and no error: give up rather than spin
        } else if (busy(errno, regular)) {
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
    return write_fd(fd_of(out), out.regular, buf, n, out.written);
}

int close_file(file &f) {
    // Some file systems (NFS, FUSE) report a failed write only at close, and
    // they do at the close of any descriptor of the file. Closing a duplicate
    // first catches that while f still has a descriptor through which a
    // failed OUT can be discarded. Short of descriptors, close f alone: the
    // copy is finished, and a check that cannot be made must not undo it.
    // dup takes the lowest free number, never a standard stream's, as those
    // are all held; asking for a number from 3 up instead fails with EINVAL,
    // not EMFILE, when the limit on descriptors is 3.
    const int spare = dup(fd_of(f));
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
    if (!out.created && !out.emptied) {
        return 0; // it holds what it held before the run
    }
    // Removing leaves no trace, but only when the name leads to this file
    // directly and it has no other name: with other links the partial copy
    // would live on under them, and removing a symbolic link would leave its
    // target. A file the run made is removed by the name it made it under.
    // Removing may also be refused (a sticky folder); emptying is then the
    // next best thing, but for a file that was not there before the run.
    const char *name = out.created ? made.at : path;
    int kept = ESTALE; // why a file the run made is still there
    struct stat name_st {};
    if (lstat(name, &name_st) == 0 && is(name_st, out) && name_st.st_nlink == 1) {
        if (unlink(name) == 0) {
            return 0;
        }
        kept = errno;
    }
    int fd = fd_of(out);
    if (fd < 0) {
        // The descriptor went with a failed close: find the file again by its
        // name, making sure it is still ours.
        fd = open(name, O_WRONLY | O_CLOEXEC | O_NOCTTY);
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
    if (ftruncate(fd, 0) != 0) {
        return errno;
    }
    return out.created ? kept : 0;
}

void write_stdout(const char *text, std::size_t n) {
    std::int64_t ignored = 0;
    write_fd(1, false, text, n, ignored);
}

void write_stderr(const char *text, std::size_t n) {
    std::int64_t ignored = 0;
    write_fd(2, false, text, n, ignored);
}

const char *describe(int err) {
    if (err == error_shared_output) {
        return "others have written to it since";
    }
    if (err == error_layers_unknown) {
        return "an overlay's layers cannot be found";
    }
    return std::strerror(err);
}

} // namespace sys
