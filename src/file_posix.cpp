// The file operations of file.hpp on Linux.
#include "file.hpp"
#include "storage.hpp"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <utility>

#include <csignal>
#include <ctime>

#include <fcntl.h>
#include <linux/fs.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/statvfs.h>
#include <sys/sysmacros.h>
#include <sys/xattr.h>
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
    if (f.regular && access == O_RDONLY) {
        // What is left of it from where the caller's reading stands.
        const off_t at = lseek(fd, 0, SEEK_CUR);
        if (at < 0) {
            return errno;
        }
        f.size = st.st_size - at;
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
    f.size = st.st_size;
    // A directory opens for reading but cannot be read; say so before OUT is touched.
    return S_ISDIR(st.st_mode) ? EISDIR : 0;
}

namespace {

// OUT's own name, where its symbolic links lead: a missing OUT is made there,
// and a new file takes it in OUT's place.
followed made;

// Follows path's links to their end, into made.
int follow_to_end(const char *path) {
    if (const int err = start_following(path, made); err != 0) {
        return err;
    }
    for (bool more = true; more;) {
        if (const int err = follow_link(made, more); err != 0) {
            return err;
        }
    }
    return 0;
}

// The folder that holds made's last name, held open for what is done in it.
int open_made_folder() {
    return in_folder_of(
        made.at, [](const char *folder) { return open(folder, O_PATH | O_DIRECTORY | O_CLOEXEC); });
}

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
    int fd = open(path, O_WRONLY | O_EXCL | O_CLOEXEC | O_NOCTTY);
    // A program being run cannot be written, but can be replaced, as
    // installing a new version does.
    if (fd < 0 && errno == ETXTBSY) {
        fd = open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY);
        f.executing = fd >= 0;
    }
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
    if (const int err = follow_to_end(path); err != 0) {
        return err;
    }
    const int held = open_made_folder();
    if (held < 0) {
        return errno;
    }
    f.missing = true;
    return identify(held, f, st);
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

namespace {

// Signals. Once the run has made something of OUT, a signal that would end
// it first discards that, as a failure would, and then ends it as the signal
// would have: the caller sees the same status, and a core where the signal
// makes one.

// What a signal must discard, set and cleared with signals held off.
file *volatile guarded = nullptr;
const char *volatile guarded_path = nullptr;

// The signals whose default is to end the process, but for the real-time
// ones, which are counted from SIGRTMIN.
constexpr int terminating[] = {
    SIGHUP,    SIGINT,  SIGQUIT, SIGILL,  SIGTRAP, SIGABRT, SIGBUS,    SIGFPE,  SIGUSR1, SIGSEGV,
    SIGUSR2,   SIGPIPE, SIGALRM, SIGTERM, SIGXCPU, SIGXFSZ, SIGVTALRM, SIGPROF, SIGIO,   SIGSYS,
#ifdef SIGSTKFLT
    SIGSTKFLT,
#endif
#ifdef SIGPWR
    SIGPWR,
#endif
#ifdef SIGEMT
    SIGEMT,
#endif
};

void on_signal(int sig) {
    if (file *const f = guarded; f != nullptr) {
        discard_out(guarded_path, *f);
    }
    struct sigaction fall {};
    fall.sa_handler = SIG_DFL;
    sigset_t only;
    sigemptyset(&only);
    sigaddset(&only, sig);
    // Once unblocked, the signal raised again ends the process at once. Should
    // any of this fail, the status still says which signal it was.
    if (sigaction(sig, &fall, nullptr) == 0 && sigprocmask(SIG_UNBLOCK, &only, nullptr) == 0) {
        raise(sig);
    }
    _exit(128 + sig);
}

// Takes over every signal that would end the run, but those ignored when it
// began, which stay ignored (nohup, a background job).
int take_signals() {
    static bool taken = false;
    if (taken) {
        return 0;
    }
    struct sigaction ours {};
    ours.sa_handler = on_signal;
    sigfillset(&ours.sa_mask);
    const auto take = [&ours](int sig) {
        struct sigaction was {};
        if (sigaction(sig, &ours, &was) != 0) {
            // One the system keeps for itself (an emulator may) is not ours to take.
            return errno == EINVAL ? 0 : errno;
        }
        return was.sa_handler != SIG_IGN || sigaction(sig, &was, nullptr) == 0 ? 0 : errno;
    };
    for (const int sig : terminating) {
        if (const int err = take(sig); err != 0) {
            return err;
        }
    }
    for (int sig = SIGRTMIN; sig <= SIGRTMAX; ++sig) {
        if (const int err = take(sig); err != 0) {
            return err;
        }
    }
    taken = true;
    return 0;
}

// Holds off every signal while what a signal would discard changes, and,
// once the run's outcome is settled, for the rest of the run.
sigset_t mask_at_hold;
bool holding = false;

int hold_signals() {
    if (holding) {
        return 0;
    }
    sigset_t all;
    sigfillset(&all);
    if (sigprocmask(SIG_BLOCK, &all, &mask_at_hold) != 0) {
        return errno;
    }
    holding = true;
    return 0;
}

int release_signals() {
    holding = false;
    return sigprocmask(SIG_SETMASK, &mask_at_hold, nullptr) == 0 ? 0 : errno;
}

// The new file beside OUT. Unnamed (O_TMPFILE) where the file system allows,
// so that nothing is left of it whatever ends the run before it takes OUT's
// name; else under a name of the run's own, which a failure or a signal
// removes.
char temp_name[] = ".byteneg-XXXXXXXXXX";
// Whether a copy staged for an OUT written in place went to /tmp, its
// folder taking no new file.
bool staged_in_tmp = false;

// Puts new random letters in temp_name.
void new_temp_name() {
    constexpr char letters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    char *const x = std::strchr(temp_name, '-') + 1;
    const std::size_t n = std::strlen(x);
    unsigned char noise[16] = {};
    // Without the system's randomness, the time and the process still make
    // the name unlikely to be taken; O_EXCL makes sure it is not.
    if (getrandom(noise, n, GRND_NONBLOCK) != static_cast<ssize_t>(n)) {
        timespec now{};
        clock_gettime(CLOCK_REALTIME, &now);
        auto mix = static_cast<std::uint64_t>(now.tv_nsec) ^
                   (static_cast<std::uint64_t>(getpid()) << 32U) ^
                   static_cast<std::uint64_t>(now.tv_sec);
        for (std::size_t i = 0; i < n; ++i) {
            mix = mix * 6364136223846793005U + 1442695040888963407U;
            noise[i] = static_cast<unsigned char>(mix >> 33);
        }
    }
    for (std::size_t i = 0; i < n; ++i) {
        x[i] = letters[noise[i] % (sizeof letters - 1)];
    }
}

// The name under which /proc shows our descriptor fd.
const char *proc_name(int fd) {
    static char name[32];
    std::snprintf(name, sizeof name, "/proc/self/fd/%d", fd);
    return name;
}

// Attributes that keep a name from being replaced: a file mounted at its name
// (bound onto it, as containers get theirs), a folder whose names may be
// added to but not changed (append-only) or not at all (immutable).
#ifdef STATX_ATTR_MOUNT_ROOT
constexpr std::uint64_t mount_root = STATX_ATTR_MOUNT_ROOT;
#else
constexpr std::uint64_t mount_root = 0;
#endif
constexpr std::uint64_t append_only = STATX_ATTR_APPEND;
constexpr std::uint64_t immutable = STATX_ATTR_IMMUTABLE;

// Whether the open file fd has any of these attributes. A system that cannot
// tell (statx missing) shows none; the replacing then fails, OUT as it was.
bool has_attribute(int fd, std::uint64_t any) {
    struct statx st {};
    return statx(fd, "", AT_EMPTY_PATH, 0, &st) == 0 &&
           (st.stx_attributes_mask & st.stx_attributes & any) != 0;
}

// Makes the new file in folder, with mode as a plain create would give it.
// Unnamed only where it can be named later: by its /proc name, as anyone may,
// or, without /proc, by its descriptor, as root may.
int make_new_file(int folder, mode_t mode, file &out, int &fd) {
#ifdef O_TMPFILE
    fd = openat(folder, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, mode);
    if (fd >= 0) {
        struct stat st {};
        if (fstatat(AT_FDCWD, proc_name(fd), &st, AT_SYMLINK_NOFOLLOW) == 0 || geteuid() == 0) {
            return 0;
        }
        if (close(fd) != 0) {
            return errno;
        }
    } else if (errno == EACCES || errno == EPERM || errno == EROFS || errno == ENOSPC ||
               errno == EDQUOT) {
        return errno; // the same for any file made there
    }
#endif
    // In an append-only folder a name of the run's own could never go again.
    if (has_attribute(folder, append_only)) {
        return EPERM;
    }
    for (int tries = 0; tries < 100; ++tries) {
        new_temp_name();
        fd = openat(folder, temp_name, O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, mode);
        if (fd >= 0) {
            out.named = true;
            return 0;
        }
        if (errno != EEXIST) {
            return errno;
        }
    }
    return EEXIST;
}

// Removes the new file's name, if it has one.
int drop_name(file &out) {
    if (out.named) {
        if (unlinkat(static_cast<int>(out.folder), temp_name, 0) != 0 && errno != ENOENT) {
            return errno;
        }
        out.named = false;
    }
    return 0;
}

// Whether an error says that the run may not do this here, as opposed to a
// failure of the system: then OUT is written in place instead.
bool refused(int err) {
    return err == EACCES || err == EPERM || err == EROFS || err == ENOTSUP || err == EOPNOTSUPP ||
           err == EINVAL || err == ENOTTY || err == ERANGE || err == E2BIG;
}

// The file flags (chattr) a user may set that say how a file is kept.
#ifdef FS_IOC_GETFLAGS
constexpr int kept_flags = FS_NODUMP_FL | FS_NOATIME_FL | FS_SYNC_FL | FS_NOCOW_FL | FS_COMPR_FL |
                           FS_NOCOMP_FL | FS_SECRM_FL | FS_UNRM_FL | FS_NOTAIL_FL |
                           FS_JOURNAL_DATA_FL | FS_DAX_FL;
#endif

// Calls call(into, room) as the xattr calls take it, asking first how much
// room it needs: the kernel sets aside as much as it is offered, and most
// files have no extended attributes at all.
template <typename Call> ssize_t sized_call(char *buf, std::size_t room, Call call) {
    for (;;) {
        const ssize_t need = call(nullptr, 0);
        if (need <= 0) {
            return need;
        }
        const ssize_t got = call(
            buf, static_cast<std::size_t>(need) < room ? static_cast<std::size_t>(need) : room);
        if (got >= 0 || errno != ERANGE || static_cast<std::size_t>(need) >= room) {
            return got; // grown meanwhile past what was asked: ask again
        }
    }
}

ssize_t list_attributes(int fd, char *buf, std::size_t room) {
    return sized_call(buf, room,
                      [fd](char *into, std::size_t n) { return flistxattr(fd, into, n); });
}

// Gives the new file what the old OUT, open as from with stat old, had that
// others see: its flags, project and allocation hints, extended attributes
// (ACLs among them) and no others, owner and group, then its mode, as a
// change of owner clears set-user-ID
// (which commit_out sets again once the data is written, as a write by a
// user clears it too). Left out: file capabilities, which any write to the
// old file would have taken away, and overlayfs's own records, which tell of
// the old file alone.
int give_attributes(int from, const struct stat &old, int to) {
#ifdef FS_IOC_GETFLAGS
    int had = 0;
    int has = 0;
    if (ioctl(from, FS_IOC_GETFLAGS, &had) == 0) {
        if (ioctl(to, FS_IOC_GETFLAGS, &has) != 0) {
            return errno;
        }
        if (const int want = (has & ~kept_flags) | (had & kept_flags); want != has) {
            if (ioctl(to, FS_IOC_SETFLAGS, &want) != 0) {
                return errno;
            }
        }
    } else if (!refused(errno)) {
        return errno;
    }
#endif
#ifdef FS_IOC_FSGETXATTR
    // The project a quota counts it in, and how XFS lays it out (the sizes in
    // which it sets room aside, defragmenting, streams, the realtime
    // device): only these calls tell and set them.
    struct fsxattr was {};
    if (ioctl(from, FS_IOC_FSGETXATTR, &was) == 0) {
        // Those only this call sets: the others are the flags above.
        constexpr unsigned hints = FS_XFLAG_EXTSIZE | FS_XFLAG_COWEXTSIZE | FS_XFLAG_NODEFRAG |
                                   FS_XFLAG_FILESTREAM | FS_XFLAG_REALTIME;
        struct fsxattr is {};
        if (ioctl(to, FS_IOC_FSGETXATTR, &is) != 0) {
            return errno;
        }
        if (was.fsx_projid != is.fsx_projid ||
            (was.fsx_xflags & hints) != (is.fsx_xflags & hints) ||
            was.fsx_extsize != is.fsx_extsize || was.fsx_cowextsize != is.fsx_cowextsize) {
            is.fsx_projid = was.fsx_projid;
            is.fsx_xflags = (is.fsx_xflags & ~hints) | (was.fsx_xflags & hints);
            is.fsx_extsize = was.fsx_extsize;
            is.fsx_cowextsize = was.fsx_cowextsize;
            if (ioctl(to, FS_IOC_FSSETXATTR, &is) != 0) {
                return errno;
            }
        }
    } else if (!refused(errno) && errno != ENOSYS) {
        // ENOSYS: an emulator (qemu's user mode) that does not pass the call on.
        return errno;
    }
#endif
    static char names[65536];
    static char value[65536];
    const ssize_t listed = list_attributes(from, names, sizeof names);
    if (listed < 0 && errno != ENOTSUP) {
        return errno;
    }
    for (ssize_t at = 0; at < listed; at += static_cast<ssize_t>(std::strlen(names + at)) + 1) {
        const char *const name = names + at;
        if (std::strcmp(name, "security.capability") == 0 ||
            std::strncmp(name, "trusted.overlay.", 16) == 0 ||
            std::strncmp(name, "user.overlay.", 13) == 0) {
            continue;
        }
        const ssize_t n =
            sized_call(value, sizeof value, [from, name](char *into, std::size_t room) {
                return fgetxattr(from, name, into, room);
            });
        if (n < 0) {
            if (errno == ENODATA) {
                continue; // removed meanwhile
            }
            return errno;
        }
        if (fsetxattr(to, name, value, static_cast<std::size_t>(n), 0) != 0) {
            return errno;
        }
    }
    // And none that the old one lacks: a folder's default ACL, which a new
    // file takes, would widen who may read a replaced OUT.
    static char made_names[65536];
    const ssize_t made = list_attributes(to, made_names, sizeof made_names);
    if (made < 0 && errno != ENOTSUP) {
        return errno;
    }
    for (ssize_t at = 0; at < made; at += static_cast<ssize_t>(std::strlen(made_names + at)) + 1) {
        bool kept = false;
        for (ssize_t was = 0; was < listed && !kept;
             was += static_cast<ssize_t>(std::strlen(names + was)) + 1) {
            kept = std::strcmp(names + was, made_names + at) == 0;
        }
        if (!kept && fremovexattr(to, made_names + at) != 0 && errno != ENODATA) {
            return errno;
        }
    }
    struct stat now {};
    if (fstat(to, &now) != 0) {
        return errno;
    }
    if ((now.st_uid != old.st_uid || now.st_gid != old.st_gid) &&
        fchown(to, old.st_uid, old.st_gid) != 0) {
        return errno;
    }
    return fchmod(to, old.st_mode & 07777) == 0 ? 0 : errno;
}

// Whether the file system of the open file fd is of one of these types
// (the magic numbers statfs gives). Returns 0, or the error that kept it
// from being known.
template <std::size_t n> int of_type(int fd, const unsigned long (&types)[n], bool &is) {
    struct statfs fs {};
    if (fstatfs(fd, &fs) != 0) {
        return errno;
    }
    is = std::ranges::find(types, static_cast<unsigned long>(fs.f_type)) != std::end(types);
    return 0;
}

// Whether the inode numbers of the file system that holds fd tell files
// apart: on a local file system of the kernel's own they do. FUSE and network
// file systems may show one file under two numbers (two names on a
// case-insensitive one, two routes to one file, two hard links), so there
// IN and OUT may be one file though the numbers differ. So may overlayfs,
// whose file renamed within it keeps its data in a lower layer under the old
// name and may show the number of its copy in the upper one.
bool numbers_tell(int fd) {
    constexpr unsigned long local[] = {
        0xEF53,     // ext2, ext3, ext4
        0x58465342, // xfs
        0x9123683E, // btrfs
        0x01021994, // tmpfs
        0x858458F6, // ramfs
        0xF2F52010, // f2fs
        0x3153464A, // jfs
        0x52654973, // reiserfs
        0xCA451A4E, // bcachefs
        0x2FC12FC1, // zfs
        0x4D44,     // fat
        0x2011BAB0, // exfat
        0x7366746E, // ntfs3
        0x9FA0,     // proc
        0x62656572, // sysfs
    };
    bool is = false;
    return of_type(fd, local, is) == 0 && is;
}

// Empties OUT in place, so that it ends with our output.
int empty_in_place(file &out) {
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

// The field of a mount table line that starts at text, cut off there; text
// then points past it.
char *next_field(char *&text) {
    char *const field = text;
    text += std::strcspn(text, " ");
    if (*text != '\0') {
        *text++ = '\0';
    }
    return field;
}

// One line of the mount table: ID PARENT MAJOR:MINOR ROOT POINT ..., its
// ROOT and POINT unescaped. False for a line that does not parse.
struct mount_line {
    std::uint64_t id = 0;
    unsigned long major_number = 0;
    unsigned long minor_number = 0;
    char *root = nullptr;
    char *point = nullptr;
};

bool parse_mount(char *line, mount_line &m) {
    char *rest = line;
    char *end = nullptr;
    m.id = std::strtoull(next_field(rest), &end, 10);
    next_field(rest);
    const char *const numbers = next_field(rest);
    m.root = next_field(rest);
    m.point = next_field(rest);
    char *colon = nullptr;
    m.major_number = std::strtoul(numbers, &colon, 10);
    if (*end != '\0' || *colon != ':' || *m.point == '\0') {
        return false;
    }
    m.minor_number = std::strtoul(colon + 1, nullptr, 10);
    unescape(m.root);
    unescape(m.point);
    return true;
}

// The mount table, read whole into table (its length in size), as it is
// made afresh at each read and one read costs what a few dozen calls do.
char table[std::size_t{1} << 20];
std::size_t table_size = 0;

int read_mount_table() {
    const int f = open("/proc/self/mountinfo", O_RDONLY | O_CLOEXEC);
    if (f < 0) {
        return errno;
    }
    table_size = 0;
    int err = 0;
    for (;;) {
        const ssize_t n = read(f, table + table_size, sizeof table - 1 - table_size);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            err = n < 0 ? errno : 0;
            break;
        }
        table_size += static_cast<std::size_t>(n);
        if (table_size == sizeof table - 1) {
            err = EOVERFLOW;
            break;
        }
    }
    table[table_size] = '\0';
    return close(f) == 0 ? err : errno;
}

// Whether OUT, open as fd with stat old and named leaf in folder, is mounted
// on another name too (mount --bind), which would go on showing the old file
// if OUT's name were replaced, as another hard link would. The mount table
// tells: another mount whose root, within OUT's file system, is OUT's own
// path there. Without /proc, whose table and names this needs, it cannot be
// told, and OUT is taken to be bound nowhere, as it is for mounts of other
// namespaces, which this table does not show. A table too large to read
// whole (a million bytes of mounts) is taken to show OUT bound.
int bound_elsewhere(int fd, const struct stat &old, int folder, const char *leaf, bool &bound) {
    bound = false;
    std::uint64_t id = 0;
    if (const int err = mount_id_of(fd, id); err != 0) {
        return err == ENOENT || err == EACCES ? 0 : err;
    }
    if (const int err = read_mount_table(); err != 0) {
        bound = err == EOVERFLOW;
        return err == ENOENT || err == EACCES || err == EOVERFLOW ? 0 : err;
    }
    // OUT's own mount, and the roots of the others of its file system but
    // its whole: only a part mounted elsewhere could be OUT.
    static const char *roots[std::size_t{1} << 14];
    std::size_t count = 0;
    mount_line own;
    char *line = table;
    for (char *end = nullptr; (end = std::strchr(line, '\n')) != nullptr; line = end + 1) {
        *end = '\0';
        mount_line m;
        if (!parse_mount(line, m) || m.major_number != major(old.st_dev) ||
            m.minor_number != minor(old.st_dev)) {
            continue;
        }
        if (m.id == id) {
            own = m;
        } else if (std::strcmp(m.root, "/") != 0) {
            if (count == sizeof roots / sizeof roots[0]) {
                bound = true; // more than can be looked at
                return 0;
            }
            roots[count++] = m.root;
        }
    }
    if (count == 0) {
        return 0;
    }
    if (own.point == nullptr) {
        bound = true; // OUT's own mount not found: it cannot be told
        return 0;
    }
    // OUT's path from the root of its mount, then from that of its file
    // system: the root of its mount within it, then the rest.
    static char path[PATH_MAX + 1];
    const ssize_t got = readlink(proc_name(folder), path, sizeof path - 1);
    if (got < 0) {
        // A folder deeper than a path can name (reached step by step)
        // cannot be compared with the roots: it cannot be told.
        bound = errno == ENAMETOOLONG;
        return errno == ENOENT || errno == EACCES || errno == ENAMETOOLONG ? 0 : errno;
    }
    path[got] = '\0';
    const std::size_t p = std::strlen(own.point);
    const bool top = std::strcmp(own.point, "/") == 0;
    if (!top && (std::strncmp(path, own.point, p) != 0 || (path[p] != '/' && path[p] != '\0'))) {
        return 0; // a folder gone from its mount (removed)
    }
    static char within[2 * PATH_MAX + 2];
    std::snprintf(within, sizeof within, "%s%s/%s", std::strcmp(own.root, "/") == 0 ? "" : own.root,
                  path + (top ? 0 : p), leaf);
    for (char *slash = nullptr; (slash = std::strstr(within, "//")) != nullptr;) {
        std::memmove(slash, slash + 1, std::strlen(slash));
    }
    for (std::size_t i = 0; i < count && !bound; ++i) {
        bound = std::strcmp(roots[i], within) == 0;
    }
    return 0;
}

// For an existing regular OUT: whether a new file may take its place, and the
// folder that holds its name. Only where OUT's name, its links followed, is
// its only name and leads to the file opened; not where the name is reached
// through a descriptor of ours (/dev/fd/N, which the caller handed over), a
// sticky folder would keep the run from replacing another user's file, or
// the file is mounted at its name.
int find_own_name(const char *path, const file &out, const struct stat &old, int &folder,
                  bool &replaceable) {
    replaceable = false;
    int n = -1;
    if (const int err = descriptor_reached(path, n); err != 0 || n >= 0) {
        return err;
    }
    if (const int err = follow_to_end(path); err != 0) {
        return err;
    }
    // A name that leads nowhere from here (the folder of another mount
    // namespace, shown through /proc) is not one to replace; anything else
    // that keeps the run from looking (short of descriptors or memory) is a
    // failure, not a reason to write in place.
    const auto elsewhere = [] { return errno == ENOENT || errno == ENOTDIR || errno == EACCES; };
    folder = open_made_folder();
    if (folder < 0) {
        return elsewhere() ? 0 : errno;
    }
    struct stat named {};
    struct stat holder {};
    if (fstat(folder, &holder) != 0) {
        return errno;
    }
    if (fstatat(folder, last_name(made.at), &named, AT_SYMLINK_NOFOLLOW) != 0) {
        return elsewhere() ? 0 : errno;
    }
    bool bound = false;
    if (const int err = bound_elsewhere(fd_of(out), old, folder, last_name(made.at), bound);
        err != 0) {
        return err;
    }
    const uid_t user = geteuid();
    const bool sticky_bars =
        (holder.st_mode & S_ISVTX) != 0 && user != 0 && old.st_uid != user && holder.st_uid != user;
    replaceable = named.st_dev == old.st_dev && named.st_ino == old.st_ino &&
                  S_ISREG(named.st_mode) && named.st_nlink == 1 && old.st_nlink == 1 &&
                  !sticky_bars && static_cast<std::uint64_t>(old.st_ino) == out.index &&
                  !has_attribute(fd_of(out), mount_root) &&
                  !has_attribute(folder, append_only | immutable) && !bound;
    return 0;
}

// Makes the new file that is to take OUT's place, in folder. An existing
// OUT's attributes are given to it; where they cannot be, it goes again and
// OUT is written in place.
int make_replacement(file &out, int folder, const struct stat &old, bool &made_it) {
    made_it = false;
    int fd = -1;
    if (const int err = make_new_file(folder, out.missing ? 0666 : 0600, out, fd); err != 0) {
        // A missing OUT can only be made this way.
        return out.missing || !refused(err) ? err : 0;
    }
    out.folder = folder;
    if (!out.missing) {
        if (const int err = give_attributes(fd_of(out), old, fd); err != 0) {
            // What the run may not give a new file is a reason to write in
            // place; a failure (a full disk, an I/O error) is not.
            if (!refused(err)) {
                out.handle = fd;
                out.how = way::replace;
                return err;
            }
            if (const int dropped = drop_name(out); dropped != 0) {
                return dropped;
            }
            out.folder = -1;
            return close(fd) == 0 ? 0 : errno;
        }
        // OUT itself is no longer needed: the new file is all that is written.
        if (close(fd_of(out)) != 0) {
            const int err = errno;
            out.handle = fd;
            out.how = way::replace;
            return err;
        }
    }
    out.handle = fd;
    out.how = way::replace;
    out.regular = true;
    made_it = true;
    return 0;
}

// For an OUT written in place: where OUT or IN lies on a file system whose
// numbers do not tell files apart, the copy is first made whole in a new
// file, beside OUT if the run may make one there, else in /tmp, and written
// into OUT only then. Else OUT is emptied, unless the caller handed it over.
int ready_in_place(file &out, const file &in, int folder) {
    if (!in.regular || (numbers_tell(fd_of(in)) && numbers_tell(fd_of(out)))) {
        if (folder >= 0 && close(folder) != 0) {
            return errno;
        }
        return out.inherited ? 0 : empty_in_place(out);
    }
    int fd = -1;
    int err = folder >= 0 ? make_new_file(folder, 0600, out, fd) : EACCES;
    if (err != 0 && refused(err)) {
        if (folder >= 0 && close(folder) != 0) {
            return errno;
        }
        folder = open("/tmp", O_PATH | O_DIRECTORY | O_CLOEXEC);
        staged_in_tmp = true;
        err = folder < 0 ? errno : make_new_file(folder, 0600, out, fd);
    }
    if (err != 0) {
        return err;
    }
    out.folder = folder;
    out.target = out.handle;
    out.handle = fd;
    out.how = way::staged;
    return 0;
}

// prepare_out's choice, made with signals held off.
int choose_and_make(const char *path, file &out, const file &in) {
    struct stat old {};
    int folder = -1;
    bool replaceable = out.missing;
    if (out.missing) {
        folder = fd_of(out);
    } else if (!out.inherited) {
        if (fstat(fd_of(out), &old) != 0) {
            return errno;
        }
        if (const int err = find_own_name(path, out, old, folder, replaceable); err != 0) {
            return err;
        }
    }
    if (replaceable) {
        bool made_it = false;
        if (const int err = make_replacement(out, folder, old, made_it); err != 0 || made_it) {
            return err;
        }
    }
    if (out.executing) {
        return ETXTBSY;
    }
    return ready_in_place(out, in, folder);
}

// Writes all n bytes to fd across short writes, interruptions and, unless fd
// is a regular file, a busy non-blocking descriptor, counting them in written.
int write_fd(int fd, bool regular, const void *data, std::size_t n, std::int64_t &written);

} // namespace

int prepare_out(const char *path, file &out, const file &in) {
    if (!out.regular && !out.missing) {
        return 0; // pipes, sockets, terminals and devices: nothing to discard
    }
    if (const int err = hold_signals(); err != 0) {
        return err;
    }
    guarded_path = path;
    guarded = &out;
    int err = choose_and_make(path, out, in);
    // An unnamed new file goes with the process, however it ends: only a
    // named one or OUT itself needs a handler to discard it, and the dozens
    // of calls that take the signals are spared where neither is at stake.
    if (err != 0 || out.named || out.how != way::replace) {
        const int taken = take_signals();
        err = err != 0 ? err : taken;
    }
    const int released = release_signals();
    return err != 0 ? err : released;
}

namespace {

// Makes sure the hole OUT is to get holds no blocks: XFS allocates past a
// file's end ahead of its writes, and a write past a hole would otherwise keep
// what it allocated there. Where holes cannot be punched there is nothing to
// keep, and nothing more is tried.
bool punches = true;

int leave_hole(const file &out) {
    const auto from = static_cast<off_t>(out.written + out.skipped);
    if (punches && fallocate(fd_of(out), FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, from,
                             static_cast<off_t>(out.hole)) != 0) {
        if (errno == EIO || errno == ENOSPC) {
            return errno;
        }
        punches = false;
    }
    return 0;
}

} // namespace

int finish_out(const file &out) {
    if (out.block_device) {
        return fsync(fd_of(out)) == 0 ? 0 : errno;
    }
    // A new file holds nothing but what was written to it, and needs its
    // length set only where it ends in a hole.
    if (out.inherited || !out.regular || (out.how != way::in_place && out.hole == 0)) {
        return 0;
    }
    if (out.hole > 0) {
        if (const int err = leave_hole(out); err != 0) {
            return err;
        }
    }
    const std::int64_t end = out.written + out.skipped + out.hole;
    return ftruncate(fd_of(out), static_cast<off_t>(end)) == 0 ? 0 : errno;
}

int pass_hole(file &in, file &out) {
    if (!hole_to_ask(in, out)) {
        return 0;
    }
    const int fd = fd_of(in);
    for (;;) {
        // Asking moves the file's offset: from here IN is read at in.got.
        const off_t hole = lseek(fd, in.got, SEEK_HOLE);
        if (hole < 0) {
            if (errno == ENXIO) {
                in.data_end = in.got; // at or past its end: a read tells
                return 0;
            }
            if (errno == EINVAL || errno == ENOTSUP || errno == EOPNOTSUPP || errno == ESPIPE) {
                in.no_hole_queries = true; // read in full, as a stream
                return 0;
            }
            return errno;
        }
        if (hole > in.got) {
            in.data_end = hole;
            return 0;
        }
        // The length first: what is added once it is taken lies past it,
        // where the next read finds it, and is never taken for a hole.
        struct stat st {};
        if (fstat(fd, &st) != 0) {
            return errno;
        }
        const off_t data = lseek(fd, in.got, SEEK_DATA);
        if (data < 0) {
            if (errno != ENXIO) {
                return errno;
            }
            // A hole to the end, where the next read tells whether there is more.
            if (st.st_size > in.got) {
                out.hole += st.st_size - in.got;
                in.got = st.st_size;
            }
            in.data_end = in.got;
            return 0;
        }
        out.hole += data - in.got;
        in.got = data;
    }
}

int check_length(const file &in) {
    if (!in.regular || in.got >= in.size) {
        return 0;
    }
    // Its length now would not tell: a network file system may still show
    // the old one. Only files whose length is a mere claim (attributes of
    // /sys and its like, which give fewer bytes than they say) end early.
    constexpr unsigned long claims[] = {
        0x62656572, // sysfs
        0x64626720, // debugfs
        0x74726163, // tracefs
        0x73636673, // securityfs
        0x62656570, // configfs
        0x27E0EB,   // cgroup
        0x63677270, // cgroup2
    };
    bool claimed = false;
    const int err = of_type(fd_of(in), claims, claimed);
    return err != 0 || claimed ? err : error_shrank;
}

int read_some(file &in, unsigned char *buf, std::size_t size, std::size_t &got) {
    // Once its holes have been asked about, IN is read where the copy stands.
    const bool placed = in.data_end >= 0;
    if (in.data_end > in.got && static_cast<std::uint64_t>(in.data_end - in.got) < size) {
        size = static_cast<std::size_t>(in.data_end - in.got);
    }
    for (;;) {
        const ssize_t n = placed ? pread(fd_of(in), buf, size, static_cast<off_t>(in.got))
                                 : read(fd_of(in), buf, size);
        if (n >= 0) {
            got = static_cast<std::size_t>(n);
            in.got += n;
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

namespace {

// ext4 and btrfs write a new file out when it is renamed over another, so
// that a crash cannot leave the name empty; the rename then waits for all of
// it. Writing out each few MiB of a copy that is to replace OUT as the copy
// goes on overlaps that with the copy instead. Where the system will not,
// the copy goes on without.
bool writes_early = true;

int write_early(const file &out, std::int64_t before) {
    constexpr std::int64_t step = std::int64_t{8} << 20;
    const std::int64_t done = (out.skipped + out.written) / step * step;
    if (!writes_early || done <= out.skipped + before) {
        return 0;
    }
    if (sync_file_range(fd_of(out), static_cast<off_t>(done - step), step, SYNC_FILE_RANGE_WRITE) !=
        0) {
        if (errno == EIO) {
            return errno;
        }
        writes_early = false;
    }
    return 0;
}

} // namespace

int write_all(file &out, const unsigned char *buf, std::size_t n) {
    if (out.hole > 0) {
        if (const int err = leave_hole(out); err != 0) {
            return err;
        }
        if (lseek(fd_of(out), static_cast<off_t>(out.hole), SEEK_CUR) < 0) {
            // Past the largest offset the file system takes.
            return errno == EINVAL ? EFBIG : errno;
        }
        out.skipped += out.hole;
        out.hole = 0;
    }
    // What a signal cuts an inherited file back to rests on the count of what
    // the run wrote: no signal may come between a write and its count.
    const bool counted = out.inherited && out.regular && guarded != nullptr;
    if (!counted) {
        const std::int64_t before = out.written;
        const int err = write_fd(fd_of(out), out.regular, buf, n, out.written);
        return err != 0 || out.how != way::replace || out.missing ? err : write_early(out, before);
    }
    if (const int err = hold_signals(); err != 0) {
        return err;
    }
    const int err = write_fd(fd_of(out), out.regular, buf, n, out.written);
    const int released = release_signals();
    return err != 0 ? err : released;
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
    // So does a new file, which is yet to be named or written into OUT.
    if (f.inherited || f.how != way::in_place) {
        return 0;
    }
    const int fd = fd_of(f);
    f.handle = -1;
    return close(fd) == 0 ? 0 : errno;
}

namespace {

// Gives the unnamed file fd the name name in folder: through /proc, or,
// where there is none, by the descriptor itself.
int link_unnamed(int fd, int folder, const char *name) {
    if (linkat(AT_FDCWD, proc_name(fd), folder, name, AT_SYMLINK_FOLLOW) == 0) {
        return 0;
    }
    if (errno != ENOENT) {
        return errno;
    }
    return linkat(fd, "", folder, name, AT_EMPTY_PATH) == 0 ? 0 : errno;
}

// Gives the new file OUT's name: in one step, replacing the old OUT, or, for
// a new OUT, only if no file has taken the name meanwhile, which the run
// must not remove unseen.
int take_name(file &out) {
    const int folder = static_cast<int>(out.folder);
    const char *const name = last_name(made.at);
    // Set-user-ID and set-group-ID, which a write by a user clears, set again
    // now that the data is written.
    if (!out.missing && (out.mode & (S_ISUID | S_ISGID)) != 0 &&
        fchmod(fd_of(out), static_cast<mode_t>(out.mode & 07777)) != 0) {
        return errno;
    }
    if (!out.named) {
        // An unnamed file is named through /proc: at OUT's name straight
        // away if it is new, which fails if the name is taken; else first
        // under a name of its own, which then replaces OUT's.
        if (out.missing) {
            return link_unnamed(fd_of(out), folder, name);
        }
        int err = EEXIST;
        for (int tries = 0; tries < 100 && err == EEXIST; ++tries) {
            new_temp_name();
            err = link_unnamed(fd_of(out), folder, temp_name);
        }
        if (err != 0) {
            return err;
        }
        out.named = true;
    }
    if (!out.missing) {
        if (renameat(folder, temp_name, folder, name) != 0) {
            return errno;
        }
    } else if (renameat2(folder, temp_name, folder, name, RENAME_NOREPLACE) != 0) {
        // A file system that cannot refuse to replace (some network and FUSE
        // ones): a second name, which cannot replace one, then the first
        // removed; without hard links, the name is looked at just before.
        if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP) {
            return errno;
        }
        if (linkat(folder, temp_name, folder, name, 0) == 0) {
            if (unlinkat(folder, temp_name, 0) != 0) {
                return errno;
            }
        } else {
            if (errno != EPERM && errno != ENOTSUP && errno != EOPNOTSUPP && errno != EMLINK) {
                return errno;
            }
            struct stat st {};
            if (fstatat(folder, name, &st, AT_SYMLINK_NOFOLLOW) == 0) {
                return EEXIST;
            }
            if (errno != ENOENT) {
                return errno;
            }
            if (renameat(folder, temp_name, folder, name) != 0) {
                return errno;
            }
        }
    }
    out.named = false;
    return 0;
}

// Whether the staged copy fits in OUT's file system once OUT, unless the
// caller handed it over, has been emptied: else emptying OUT would be for a
// copy cut short. A file system that tells no sizes (some FUSE ones) is taken
// at its word. Returns 0 or ENOSPC.
int room_for(const file &staged, const file &out) {
    struct stat copy {};
    struct stat old {};
    struct statvfs fs {};
    if (fstat(fd_of(staged), &copy) != 0 || fstat(fd_of(out), &old) != 0 ||
        fstatvfs(fd_of(out), &fs) != 0) {
        return errno;
    }
    if (fs.f_blocks == 0) {
        return 0;
    }
    // In 512-byte blocks, as st_blocks counts, so that no sum can overflow.
    // The copy's holes count only where both file systems tell them, as
    // through FUSE one may not: then every byte of its length is written.
    // The old file's blocks, freed by emptying it, count only where its
    // attributes are the file system's own, not a network's cached ones.
    const bool out_tells = numbers_tell(fd_of(out));
    const bool frees = !out.inherited && out_tells;
    const std::uint64_t room = static_cast<std::uint64_t>(fs.f_bavail) * (fs.f_frsize / 512) +
                               (frees ? static_cast<std::uint64_t>(old.st_blocks) : 0);
    const auto need = out_tells && numbers_tell(fd_of(staged))
                          ? static_cast<std::uint64_t>(copy.st_blocks)
                          : (static_cast<std::uint64_t>(copy.st_size) + 511) / 512;
    return room < need ? ENOSPC : 0;
}

// Writes the staged copy into OUT itself, which may be IN under another name:
// every byte of IN has been read by now. From here a failure empties OUT.
int write_staged(file &out) {
    alignas(4096) static unsigned char block[std::size_t{128} * 1024];
    // The staged copy, read from its start, holes passed over as before.
    file staged;
    staged.handle = out.handle;
    staged.regular = true;
    staged.size = out.written + out.skipped + out.hole;
    staged.data_end = 0; // read where the copy stands
    out.handle = out.target;
    out.target = staged.handle;
    if (const int err = room_for(staged, out); err != 0) {
        return err;
    }
    out.how = way::in_place;
    out.written = 0;
    out.skipped = 0;
    out.hole = 0;
    if (!out.inherited) {
        if (const int err = empty_in_place(out); err != 0) {
            return err;
        }
    }
    for (;;) {
        if (const int err = pass_hole(staged, out); err != 0) {
            return err;
        }
        std::size_t n = 0;
        if (const int err = read_some(staged, block, sizeof block, n); err != 0) {
            return err;
        }
        if (n == 0) {
            break;
        }
        if (const int err = write_all(out, block, n); err != 0) {
            return err;
        }
    }
    if (const int err = finish_out(out); err != 0) {
        return err;
    }
    if (const int err = close_file(out); err != 0) {
        return err;
    }
    return drop_name(out);
}

} // namespace

int commit_out(const char * /*path*/, file &out) {
    if (guarded == nullptr) {
        return 0; // nothing a signal would discard: nothing to put in place
    }
    if (const int err = hold_signals(); err != 0) {
        return err;
    }
    int err = 0;
    if (out.how == way::replace) {
        err = take_name(out);
    } else if (out.how == way::staged) {
        err = write_staged(out);
    }
    if (err == 0) {
        guarded = nullptr;
    }
    return err;
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
    // Only calls that are safe in a signal's handler, which calls this too.
    // Held off or not, the partial copy goes.
    hold_signals(); // should the system refuse, the discarding goes on all the same
    guarded = nullptr;
    const int dropped = drop_name(out);
    // A new file is all the partial copy: OUT is as it was.
    if (out.how != way::in_place || !out.regular) {
        return dropped;
    }
    if (out.inherited) {
        // Its descriptor is the only way to it.
        return fd_of(out) < 0 ? EBADF : restore(fd_of(out), out);
    }
    if (!out.emptied) {
        return dropped; // it holds what it held before the run
    }
    // Emptied, never removed: the file is not the run's own, and others may
    // reach it by other names.
    int fd = fd_of(out);
    if (fd < 0) {
        // The descriptor went with a failed close: find the file again by its
        // name, making sure it is still ours.
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
    if (ftruncate(fd, 0) != 0) {
        return errno;
    }
    return dropped;
}

const char *partial_name(const file &out) {
    if (!out.named) {
        return nullptr;
    }
    // The folder's path as the kernel knows it; without /proc, as OUT's name,
    // its links followed, gives it.
    static char name[PATH_MAX + sizeof temp_name + 1];
    ssize_t n = readlink(proc_name(static_cast<int>(out.folder)), name, PATH_MAX);
    if (n <= 0) {
        const char *const folder = staged_in_tmp ? "/tmp/" : made.at;
        n = staged_in_tmp ? 5 : last_name(made.at) - made.at;
        std::memcpy(name, folder, static_cast<std::size_t>(n));
    } else if (name[n - 1] != '/') {
        name[n++] = '/';
    }
    std::snprintf(name + n, sizeof name - static_cast<std::size_t>(n), "%s", temp_name);
    return name;
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
    if (const char *words = own_words(err); words != nullptr) {
        return words;
    }
    if (const char *words = storage_words(err); words != nullptr) {
        return words;
    }
    return std::strerror(err);
}

} // namespace sys
