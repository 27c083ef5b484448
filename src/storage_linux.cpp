// The storage check of storage.hpp: each side's "tower", the places that hold
// its bytes from the file or device itself down to the disks, found through
// /proc/self/mountinfo and /sys/dev/block; then the two towers are compared.
#include "storage.hpp"

#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <dirent.h>
#include <fcntl.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace sys {

namespace {

// A place that holds bytes: a file, by device and inode number, or a block
// device, by its number.
struct node {
    bool device = false;
    std::uint64_t dev = 0;
    std::uint64_t ino = 0;
    // A file seen through overlayfs, which shows a layer's file with the
    // layer's inode number under its own device, or one whose file system
    // could not be told: its device does not tell it from a layer's file.
    bool overlay = false;
};

// Where the bytes of a tower's top lie within a node: all of it, a byte
// range, or somewhere inside one member of it (a file of the file system on
// it, a volume built on it), whose members are kept apart.
enum class how { whole, range, member };

struct entry {
    node at;
    how kind = how::whole;
    std::uint64_t lo = 0;
    std::uint64_t hi = 0;
    node member;
    int from = -1; // the entry this one lies beneath; -1 for the top
};

// Stacks deeper than this do not occur; a loop of devices could, were the
// kernel to allow one.
constexpr int most_entries = 64;
struct tower {
    entry at[most_entries];
    int count = 0;
};

bool same(const node &a, const node &b) {
    if (a.device || b.device) {
        return a.device == b.device && a.dev == b.dev;
    }
    // Within one overlay, device and inode number tell files apart as
    // anywhere else; across an overlay and what lies beneath, only the low
    // bits can, which with layers on different file systems (xino) carry the
    // layer's own number. Erring towards "same" costs a rerun, not IN.
    if ((a.overlay || b.overlay) && !(a.overlay && b.overlay && a.dev == b.dev)) {
        return ((a.ino ^ b.ino) & 0xFFFFFFFFU) == 0;
    }
    return a.dev == b.dev && a.ino == b.ino;
}

bool overlaps(const entry &a, const entry &b) {
    if (a.kind == how::whole || b.kind == how::whole) {
        return true;
    }
    if (a.kind == how::range && b.kind == how::range) {
        return a.lo < b.hi && b.lo < a.hi;
    }
    if (a.kind == how::member && b.kind == how::member) {
        return same(a.member, b.member);
    }
    return true; // where a member lies within a range is not known
}

int add(tower &t, const entry &e) {
    if (t.count == most_entries) {
        return ELOOP;
    }
    t.at[t.count++] = e;
    return 0;
}

std::uint64_t sum(std::uint64_t a, std::uint64_t b) {
    return a > UINT64_MAX - b ? UINT64_MAX : a + b;
}

constexpr std::uint64_t to_the_end = UINT64_MAX;

// The entry for the node that t.at[from] lies in, at bytes [start, start +
// length) of it.
entry within(const tower &t, int from, const node &at, std::uint64_t start, std::uint64_t length) {
    const entry &above = t.at[from];
    entry e;
    e.at = at;
    e.from = from;
    e.kind = how::range;
    e.lo = start;
    e.hi = sum(start, length);
    if (above.kind == how::range) {
        const std::uint64_t hi = sum(start, above.hi);
        e.lo = sum(start, above.lo);
        e.hi = hi < e.hi ? hi : e.hi;
    }
    return e;
}

// The entry for the node that t.at[from] is a member of.
entry holding(const tower &t, int from, const node &at) {
    entry e;
    e.at = at;
    e.from = from;
    e.kind = how::member;
    e.member = t.at[from].at;
    return e;
}

node device_node(dev_t dev) {
    node n;
    n.device = true;
    n.dev = static_cast<std::uint64_t>(dev);
    return n;
}

int open_at(int dir, const char *path, int flags) {
    int fd = -1;
    do {
        fd = openat(dir, path, flags | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

// Reads the whole of a small file, as text, into buf.
int read_text(int dir, const char *path, char *buf, std::size_t size) {
    const int fd = open_at(dir, path, O_RDONLY);
    if (fd < 0) {
        return errno;
    }
    std::size_t have = 0;
    for (;;) {
        const ssize_t n = read(fd, buf + have, size - 1 - have);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            const int err = errno;
            close(fd);
            return err;
        }
        have += static_cast<std::size_t>(n);
        if (n == 0 || have == size - 1) {
            break;
        }
    }
    buf[have] = '\0';
    return close(fd) == 0 ? 0 : errno;
}

// A file that holds one decimal number, such as a partition's start.
int read_number(int dir, const char *path, std::uint64_t &value) {
    char text[32];
    if (const int err = read_text(dir, path, text, sizeof text); err != 0) {
        return err;
    }
    char *end = nullptr;
    errno = 0;
    value = std::strtoull(text, &end, 10);
    return errno != 0 || end == text || (*end != '\n' && *end != '\0') ? EINVAL : 0;
}

// A device's "MAJOR:MINOR" file.
int read_dev(int dir, const char *path, dev_t &dev) {
    char text[32];
    if (const int err = read_text(dir, path, text, sizeof text); err != 0) {
        return err;
    }
    char *colon = nullptr;
    char *end = nullptr;
    errno = 0;
    const unsigned long major_number = std::strtoul(text, &colon, 10);
    if (errno != 0 || colon == text || *colon != ':') {
        return EINVAL;
    }
    const unsigned long minor_number = std::strtoul(colon + 1, &end, 10);
    if (errno != 0 || end == colon + 1 || (*end != '\n' && *end != '\0') ||
        major_number > UINT_MAX || minor_number > UINT_MAX) {
        return EINVAL;
    }
    dev = makedev(static_cast<unsigned>(major_number), static_cast<unsigned>(minor_number));
    return 0;
}

// Calls each(name) for every entry of the folder dir but . and .., until it
// returns an error.
template <typename Each> int for_each_entry(int dir, Each each) {
    alignas(8) char buf[4096]; // not static: the walks nest
    for (;;) {
        const ssize_t n = getdents64(dir, buf, sizeof buf);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return n < 0 ? errno : 0;
        }
        for (ssize_t at = 0; at < n;) {
            dirent64 d{};
            std::memcpy(&d, buf + at, offsetof(dirent64, d_name));
            const char *name = buf + at + offsetof(dirent64, d_name);
            at += d.d_reclen;
            if (std::strcmp(name, ".") != 0 && std::strcmp(name, "..") != 0) {
                if (const int err = each(name); err != 0) {
                    return err;
                }
            }
        }
    }
}

// The mount a file is on, as the mount table gives it.
struct mount_entry {
    char type[64];
    char source[PATH_MAX];
};

// Undoes the table's octal escapes (\040 for a space) into out.
void unescape(const char *text, char *out, std::size_t size) {
    std::size_t n = 0;
    for (; *text != '\0' && n + 1 < size; ++n) {
        if (text[0] == '\\' && text[1] >= '0' && text[1] <= '3' && text[2] >= '0' &&
            text[2] <= '7' && text[3] >= '0' && text[3] <= '7') {
            out[n] =
                static_cast<char>((text[1] - '0') * 64 + (text[2] - '0') * 8 + (text[3] - '0'));
            text += 4;
        } else {
            out[n] = *text++;
        }
    }
    out[n] = '\0';
}

// Fills m from the line of /proc/self/mountinfo whose mount ID is id:
// "ID PARENT MAJ:MIN ROOT POINT OPTIONS [TAGS...] - TYPE SOURCE SUPER".
bool parse_mount_line(char *line, long id, mount_entry &m) {
    char *rest = nullptr;
    const char *field = strtok_r(line, " ", &rest);
    if (field == nullptr || std::strtol(field, nullptr, 10) != id) {
        return false;
    }
    while ((field = strtok_r(nullptr, " ", &rest)) != nullptr && std::strcmp(field, "-") != 0) {
    }
    const char *type = strtok_r(nullptr, " ", &rest);
    const char *source = strtok_r(nullptr, " ", &rest);
    if (type == nullptr || source == nullptr) {
        return false;
    }
    unescape(type, m.type, sizeof m.type);
    unescape(source, m.source, sizeof m.source);
    return true;
}

// The mount of the open file fd, by the mount ID that /proc tells.
int mount_of(int fd, mount_entry &m) {
    char path[64];
    char info[512];
    std::snprintf(path, sizeof path, "/proc/self/fdinfo/%d", fd);
    if (const int err = read_text(AT_FDCWD, path, info, sizeof info); err != 0) {
        return err;
    }
    const char *at = std::strstr(info, "mnt_id:");
    if (at == nullptr) {
        return ENOTSUP; // a kernel too old to say
    }
    const long id = std::strtol(at + 7, nullptr, 10);

    const int table = open_at(AT_FDCWD, "/proc/self/mountinfo", O_RDONLY);
    if (table < 0) {
        return errno;
    }
    static char buf[65536];
    std::size_t have = 0;
    int err = ENOENT; // until the line is found
    for (bool more = true; more && err == ENOENT;) {
        const ssize_t n = read(table, buf + have, sizeof buf - 1 - have);
        if (n < 0) {
            if (errno != EINTR) {
                err = errno;
                break;
            }
            continue;
        }
        have += static_cast<std::size_t>(n);
        more = n > 0;
        if (!more && have > 0 && buf[have - 1] != '\n') {
            buf[have++] = '\n';
        }
        char *line = buf;
        for (char *end = nullptr;
             (end = static_cast<char *>(
                  std::memchr(line, '\n', static_cast<std::size_t>(buf + have - line)))) != nullptr;
             line = end + 1) {
            *end = '\0';
            if (parse_mount_line(line, id, m)) {
                err = 0;
                break;
            }
        }
        have = static_cast<std::size_t>(buf + have - line);
        std::memmove(buf, line, have);
        if (have == sizeof buf - 1) {
            err = ENAMETOOLONG; // a line longer than any path could make it
        }
    }
    return close(table) == 0 ? err : errno;
}

// Adds to t, as members beneath t.at[from], every device of the file system
// whose mount source is the device source, when the file system keeps its own
// list of them (btrfs, in /sys/fs/btrfs/UUID/devices/).
int add_listed_devices(tower &t, int from, const char *type, dev_t source) {
    if (std::strchr(type, '/') != nullptr || type[0] == '.') {
        return 0;
    }
    char path[128];
    std::snprintf(path, sizeof path, "/sys/fs/%s", type);
    const int kind = open_at(AT_FDCWD, path, O_RDONLY | O_DIRECTORY);
    if (kind < 0) {
        return errno == ENOENT ? 0 : errno; // a file system that keeps no list
    }
    const int err = for_each_entry(kind, [&](const char *fs) {
        char devices_path[NAME_MAX + 16];
        std::snprintf(devices_path, sizeof devices_path, "%s/devices", fs);
        const int devices = open_at(kind, devices_path, O_RDONLY | O_DIRECTORY);
        if (devices < 0) {
            return errno == ENOENT || errno == ENOTDIR ? 0 : errno;
        }
        dev_t listed[16];
        std::size_t count = 0;
        bool ours = false;
        int failed = for_each_entry(devices, [&](const char *name) {
            char dev_path[NAME_MAX + 8];
            std::snprintf(dev_path, sizeof dev_path, "%s/dev", name);
            dev_t dev = 0;
            if (const int e = read_dev(devices, dev_path, dev); e != 0) {
                return e;
            }
            if (count == sizeof listed / sizeof listed[0]) {
                return ELOOP;
            }
            listed[count++] = dev;
            ours = ours || dev == source;
            return 0;
        });
        if (close(devices) != 0 && failed == 0) {
            failed = errno;
        }
        for (std::size_t i = 0; failed == 0 && ours && i < count; ++i) {
            if (listed[i] != source) {
                failed = add(t, holding(t, from, device_node(listed[i])));
            }
        }
        // Found: no other file system holds this device, so the walk stops,
        // with -1, which is no error.
        return failed != 0 ? failed : ours ? -1 : 0;
    });
    const int closed = close(kind) == 0 ? 0 : errno;
    return err > 0 ? err : closed;
}

// Adds e, a file open as fd, and beneath it the devices of its file system:
// its device number, unless that is anonymous (btrfs, tmpfs, overlayfs, NFS,
// FUSE); then the mount's source, when that is a block device, and the other
// devices the file system lists.
int add_file(tower &t, entry e, int fd, const struct stat &st) {
    e.at.device = false;
    e.at.dev = static_cast<std::uint64_t>(st.st_dev);
    e.at.ino = static_cast<std::uint64_t>(st.st_ino);
    if (major(st.st_dev) != 0) {
        if (const int err = add(t, e); err != 0) {
            return err;
        }
        return add(t, holding(t, t.count - 1, device_node(st.st_dev)));
    }
    static mount_entry m;
    const int err = mount_of(fd, m);
    // A file system that cannot be told could be an overlay.
    e.at.overlay = err != 0 || std::strcmp(m.type, "overlay") == 0;
    if (const int added = add(t, e); added != 0 || err != 0) {
        return added != 0 ? added : err;
    }
    struct stat source {};
    if (m.source[0] != '/' || stat(m.source, &source) != 0 || !S_ISBLK(source.st_mode)) {
        return 0; // nothing beneath it that is a device
    }
    const int top = t.count - 1;
    if (const int added = add(t, holding(t, top, device_node(source.st_rdev))); added != 0) {
        return added;
    }
    return add_listed_devices(t, top, m.type, source.st_rdev);
}

// Adds beneath t.at[from], a loop device, the file or device that backs it.
int add_backing(tower &t, int from, int dir) {
    static char path[PATH_MAX + 16];
    const int err = read_text(dir, "loop/backing_file", path, sizeof path);
    if (err != 0) {
        return err == ENOENT ? 0 : err; // not a loop device, or one with nothing attached
    }
    path[std::strcspn(path, "\n")] = '\0';
    std::uint64_t offset = 0;
    std::uint64_t limit = 0;
    if (const int e = read_number(dir, "loop/offset", offset); e != 0) {
        return e;
    }
    if (const int e = read_number(dir, "loop/sizelimit", limit); e != 0) {
        return e;
    }
    // A backing file that has been removed, or that lies outside this
    // process's root, is not found by its name: that cannot be told.
    const int fd = open_at(AT_FDCWD, path, O_PATH);
    if (fd < 0) {
        return errno;
    }
    struct stat st {};
    int result = fstat(fd, &st) == 0 ? 0 : errno;
    if (result == 0) {
        const entry e =
            within(t, from, device_node(st.st_rdev), offset, limit == 0 ? to_the_end : limit);
        result = S_ISBLK(st.st_mode) ? add(t, e) : add_file(t, e, fd, st);
    }
    return close(fd) == 0 ? result : errno;
}

// Adds what lies beneath t.at[from], a block device, as /sys/dev/block tells:
// the disk that holds a partition, the file or device that backs a loop
// device, the devices a volume is built on.
int add_beneath_device(tower &t, int from) {
    const auto dev = static_cast<dev_t>(t.at[from].at.dev);
    char path[64];
    std::snprintf(path, sizeof path, "/sys/dev/block/%u:%u", major(dev), minor(dev));
    const int dir = open_at(AT_FDCWD, path, O_RDONLY | O_DIRECTORY);
    if (dir < 0) {
        return errno;
    }
    std::uint64_t start = 0;
    int err = read_number(dir, "start", start);
    if (err == 0) {
        // A partition: its folder lies within its disk's.
        std::uint64_t sectors = 0;
        dev_t disk = 0;
        err = read_number(dir, "size", sectors);
        err = err != 0 ? err : read_dev(dir, "../dev", disk);
        err =
            err != 0 ? err : add(t, within(t, from, device_node(disk), start * 512, sectors * 512));
    } else if (err == ENOENT) {
        err = add_backing(t, from, dir);
    }
    if (err == 0) {
        const int slaves = open_at(dir, "slaves", O_RDONLY | O_DIRECTORY);
        if (slaves >= 0) {
            err = for_each_entry(slaves, [&](const char *name) {
                char dev_path[NAME_MAX + 8];
                std::snprintf(dev_path, sizeof dev_path, "%s/dev", name);
                dev_t slave = 0;
                const int e = read_dev(slaves, dev_path, slave);
                return e != 0 ? e : add(t, holding(t, from, device_node(slave)));
            });
            if (close(slaves) != 0 && err == 0) {
                err = errno;
            }
        } else if (errno != ENOENT) {
            err = errno;
        }
    }
    return close(dir) == 0 ? err : errno;
}

// Fills t with the top, open as fd, and everything beneath it. On failure t
// holds what was found before it.
int build(tower &t, int fd, const struct stat &st) {
    t.count = 0;
    entry top;
    if (S_ISBLK(st.st_mode)) {
        top.at = device_node(st.st_rdev);
        if (const int err = add(t, top); err != 0) {
            return err;
        }
    } else if (const int err = add_file(t, top, fd, st); err != 0) {
        return err;
    }
    // Devices found are walked in turn; what a walk adds is walked after.
    for (int i = 0; i < t.count; ++i) {
        if (t.at[i].at.device) {
            if (const int err = add_beneath_device(t, i); err != 0) {
                return err;
            }
        }
    }
    return 0;
}

// Whether a meeting of a.at[i] and b.at[j] is only how the two look from
// below: somewhere above, on the way to both, they are kept apart.
bool apart_above(const tower &a, int i, const tower &b, int j) {
    for (int x = a.at[i].from; x >= 0; x = a.at[x].from) {
        for (int y = b.at[j].from; y >= 0; y = b.at[y].from) {
            if (same(a.at[x].at, b.at[y].at) && !overlaps(a.at[x], b.at[y])) {
                return true;
            }
        }
    }
    return false;
}

bool meet(const tower &a, const tower &b) {
    for (int i = 0; i < a.count; ++i) {
        for (int j = 0; j < b.count; ++j) {
            if (same(a.at[i].at, b.at[j].at) && overlaps(a.at[i], b.at[j]) &&
                !apart_above(a, i, b, j)) {
                return true;
            }
        }
    }
    return false;
}

// Regular files and block devices hold bytes. FIFOs and pipes hold none, but
// one on both sides would have the run read what it writes.
bool is_storage(const struct stat &st) {
    return S_ISREG(st.st_mode) || S_ISBLK(st.st_mode);
}

} // namespace

int storage_meeting(int in_fd, const struct stat &in, int out_fd, const struct stat &out,
                    meeting &found) {
    found = meeting::apart;
    const bool pipes = S_ISFIFO(in.st_mode) && S_ISFIFO(out.st_mode);
    if (pipes || (S_ISREG(in.st_mode) && S_ISREG(out.st_mode) && in.st_dev == out.st_dev)) {
        // One file system: its files are apart unless they are one.
        if (in.st_dev == out.st_dev && in.st_ino == out.st_ino) {
            found = meeting::same_file;
        }
        return 0;
    }
    if (!is_storage(in) || !is_storage(out)) {
        return 0; // a character device, socket or terminal is no one's storage
    }
    static tower in_tower;
    static tower out_tower;
    const int in_err = build(in_tower, in_fd, in);
    const int out_err = build(out_tower, out_fd, out);
    if (in_tower.count > 0 && out_tower.count > 0 && same(in_tower.at[0].at, out_tower.at[0].at)) {
        found = meeting::same_file;
        return 0;
    }
    // A block device on either side writes or reads beneath file systems: what
    // could not be found could be IN. Two regular files meet only through a
    // loop device's backing file, and are compared on what was found.
    if ((in_err != 0 || out_err != 0) && (S_ISBLK(in.st_mode) || S_ISBLK(out.st_mode))) {
        return in_err != 0 ? in_err : out_err;
    }
    found = meet(in_tower, out_tower) ? meeting::shared : meeting::apart;
    return 0;
}

} // namespace sys
