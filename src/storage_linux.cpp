// The storage check of storage.hpp: each side's "tower", the places that hold
// its bytes from the file or device itself down to the disks, then the two
// towers compared. Only the kernel's own answers are taken: a file's device
// number, the mount table, /proc/filesystems, folder listings and files of
// /sys/dev/block, and ioctls on loop devices and btrfs. Names that users
// choose (a mount's source, a loop device's backing path) are checked
// against the kernel's answer, never trusted alone. Any question left
// unanswered is an error, which the caller reports as such.
#include "storage.hpp"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>

#include <dirent.h>
#include <fcntl.h>
#include <linux/btrfs.h>
#include <linux/loop.h>
#include <sys/ioctl.h>
#include <sys/sysmacros.h>
#include <sys/xattr.h>
#include <unistd.h>

namespace sys {

namespace {

// A place that holds bytes: a file, by device and inode number, or a block
// device, by its number.
struct node {
    bool device = false;
    std::uint64_t dev = 0;
    std::uint64_t ino = 0;
    // A layer's file known only by the inode number overlayfs shows for it,
    // whose low bits are the file's own (the high ones may hold the
    // layer's), on a file system that cannot be told: a match is no proof,
    // and no proof of the contrary either.
    bool shown = false;
};

// Where the bytes of a tower's top lie within a node: all of it (the top
// itself, or a file the top is another view of), a byte range, or somewhere
// inside one member of it (a file of the file system on it, a volume built
// on it), whose members are kept apart.
enum class how { whole, range, member };

struct entry {
    node at;
    how kind = how::whole;
    std::uint64_t lo = 0;
    std::uint64_t hi = 0;
    node member;
    // The entry this one lies beneath, counted from 1; 0 for the top. Zero,
    // so that a tower's storage needs no initial values in the program file.
    int above = 0;
};

// Room for a btrfs of many devices, or a deep stack; past it the walk is cut
// short, which is an error, not an answer.
constexpr int most_entries = 256;
struct tower {
    entry at[most_entries];
    int count = 0;
    bool layers_unknown = false; // the top is a file of an overlay whose layers cannot be found
    // The file systems of an overlay's layers, where a file of it keeps its
    // data under a name that only the overlay's records give.
    std::uint64_t data_somewhere[8];
    int data_places = 0;
};

constexpr std::uint64_t to_the_end = UINT64_MAX;

bool same(const node &a, const node &b) {
    if (a.device || b.device) {
        return a.device == b.device && a.dev == b.dev;
    }
    if (a.shown || b.shown) {
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

// The entry for the node that t.at[from] lies in, at bytes [start, start +
// length) of it.
entry within(const tower &t, int from, const node &at, std::uint64_t start, std::uint64_t length) {
    const entry &above = t.at[from];
    entry e;
    e.at = at;
    e.above = from + 1;
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
    e.above = from + 1;
    e.kind = how::member;
    e.member = t.at[from].at;
    return e;
}

node device_node(std::uint64_t dev) {
    node n;
    n.device = true;
    n.dev = dev;
    return n;
}

node file_node(std::uint64_t dev, std::uint64_t ino) {
    node n;
    n.dev = dev;
    n.ino = ino;
    return n;
}

int open_at(int dir, const char *path, int flags) {
    int fd = -1;
    do {
        fd = openat(dir, path, flags | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

// Closes fd; err, or close's own error if err is 0.
int closing(int fd, int err) {
    return close(fd) == 0 || err != 0 ? err : errno;
}

// Reads the whole of a small file, as text, into buf; one that does not fit
// is an error.
int read_text(int dir, const char *path, char *buf, std::size_t size) {
    const int fd = open_at(dir, path, O_RDONLY);
    if (fd < 0) {
        return errno;
    }
    std::size_t have = 0;
    for (;;) {
        const ssize_t n = read(fd, buf + have, size - have);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            return closing(fd, errno);
        }
        if (n == 0) {
            break;
        }
        have += static_cast<std::size_t>(n);
        if (have == size) {
            return closing(fd, EOVERFLOW);
        }
    }
    buf[have] = '\0';
    return closing(fd, 0);
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
int read_dev(int dir, const char *path, std::uint64_t &dev) {
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
// returns an error. A listing without . is no listing of a folder.
template <typename Each> int for_each_entry(int dir, Each each) {
    alignas(8) char buf[4096]; // not static: the walks nest
    bool dot = false;
    for (;;) {
        const ssize_t n = getdents64(dir, buf, sizeof buf);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return n < 0 ? errno : dot ? 0 : EIO;
        }
        for (ssize_t at = 0; at < n;) {
            dirent64 d{};
            std::memcpy(&d, buf + at, offsetof(dirent64, d_name));
            const char *name = buf + at + offsetof(dirent64, d_name);
            at += d.d_reclen;
            if (std::strcmp(name, ".") == 0) {
                dot = true;
            } else if (std::strcmp(name, "..") != 0) {
                if (const int err = each(name); err != 0) {
                    return err;
                }
            }
        }
    }
}

// The mount a file is on, as the mount table gives it.
struct mount_entry {
    char root[PATH_MAX];  // the folder of its file system it shows
    char point[PATH_MAX]; // where it is mounted
    char type[64];
    char options[65536]; // the file system's own
};

void copy_to(char *to, std::size_t size, const char *from) {
    std::snprintf(to, size, "%s", from);
}

// Fills m from a line of /proc/self/mountinfo if its mount ID is id:
// "ID PARENT MAJ:MIN ROOT POINT OPTIONS [TAGS...] - TYPE SOURCE SUPER".
// The source, a name that whoever mounted it chose, is not looked at.
bool parse_mount_line(char *line, std::uint64_t id, mount_entry &m) {
    char *rest = nullptr;
    const char *fields[5] = {};
    for (int i = 0; i < 5; ++i) {
        fields[i] = strtok_r(i == 0 ? line : nullptr, " ", &rest);
        if (fields[i] == nullptr) {
            return false;
        }
    }
    if (std::strtoull(fields[0], nullptr, 10) != id) {
        return false;
    }
    const char *field = nullptr;
    while ((field = strtok_r(nullptr, " ", &rest)) != nullptr && std::strcmp(field, "-") != 0) {
    }
    const char *type = strtok_r(nullptr, " ", &rest);
    const char *source = strtok_r(nullptr, " ", &rest);
    const char *options = strtok_r(nullptr, " ", &rest);
    if (type == nullptr || source == nullptr || options == nullptr) {
        return false;
    }
    copy_to(m.root, sizeof m.root, fields[3]);
    copy_to(m.point, sizeof m.point, fields[4]);
    copy_to(m.type, sizeof m.type, type);
    copy_to(m.options, sizeof m.options, options); // unescaped option by option
    unescape(m.root);
    unescape(m.point);
    unescape(m.type);
    return true;
}

// The mount of the open file fd, as the mount table gives it.
int mount_of(int fd, mount_entry &m) {
    std::uint64_t id = 0;
    if (const int err = mount_id_of(fd, id); err != 0) {
        return err;
    }

    const int table = open_at(AT_FDCWD, "/proc/self/mountinfo", O_RDONLY);
    if (table < 0) {
        return errno;
    }
    static char buf[sizeof m.options + std::size_t{2} * PATH_MAX];
    std::size_t have = 0;
    int err = ENOENT; // until the line is found
    for (bool more = true; more && err == ENOENT;) {
        const ssize_t n = read(table, buf + have, sizeof buf - 1 - have);
        if (n < 0) {
            if (errno != EINTR) {
                err = errno;
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
            err = EOVERFLOW;
        }
    }
    return closing(table, err);
}

// Whether file systems of this type need a block device, as
// /proc/filesystems tells ("nodev" before those that do not).
int needs_device(const char *type, bool &needs) {
    static char list[8192];
    static bool loaded = false;
    if (!loaded) {
        if (const int err = read_text(AT_FDCWD, "/proc/filesystems", list, sizeof list - 1);
            err != 0) {
            return err;
        }
        loaded = true;
    }
    // A FUSE file system shows its type as "fuse.NAME".
    const std::size_t length = std::strcspn(type, ".");
    for (const char *line = list; *line != '\0'; line += std::strcspn(line, "\n") + 1) {
        const char *tab = std::strchr(line, '\t');
        if (tab != nullptr && std::strncmp(tab + 1, type, length) == 0 &&
            (tab[1 + length] == '\n' || tab[1 + length] == '\0')) {
            needs = std::strncmp(line, "nodev", 5) != 0;
            return 0;
        }
        if (line[std::strcspn(line, "\n")] == '\0') {
            break;
        }
    }
    return ENOENT;
}

// Adds, as members beneath t.at[from], every device of the btrfs that the
// open file fd is on, from the list the file system keeps in /sys/fs/btrfs,
// seed devices included.
int add_btrfs_devices(tower &t, int from, int fd) {
    btrfs_ioctl_fs_info_args info{};
    if (ioctl(fd, BTRFS_IOC_FS_INFO, &info) != 0) {
        // A descriptor that only names a file (O_PATH) takes no ioctl: the
        // file opened through it for reading does.
        char self[64];
        std::snprintf(self, sizeof self, "/proc/self/fd/%d", fd);
        const int readable = errno == EBADF ? open_at(AT_FDCWD, self, O_RDONLY | O_NOCTTY) : -1;
        if (readable < 0) {
            return errno;
        }
        const int err = ioctl(readable, BTRFS_IOC_FS_INFO, &info) == 0 ? 0 : errno;
        if (const int closed = closing(readable, err); closed != 0) {
            return closed;
        }
    }
    char path[64];
    const unsigned char *id = info.fsid;
    std::snprintf(
        path, sizeof path,
        "/sys/fs/btrfs/%02x%02x%02x%02x-%02x%02x-%02x%02x-%02x%02x-%02x%02x%02x%02x%02x%02x/"
        "devices",
        id[0], id[1], id[2], id[3], id[4], id[5], id[6], id[7], id[8], id[9], id[10], id[11],
        id[12], id[13], id[14], id[15]);
    const int devices = open_at(AT_FDCWD, path, O_RDONLY | O_DIRECTORY);
    if (devices < 0) {
        return errno;
    }
    int found = 0;
    int err = for_each_entry(devices, [&](const char *name) {
        char dev_path[NAME_MAX + 8];
        std::snprintf(dev_path, sizeof dev_path, "%s/dev", name);
        std::uint64_t dev = 0;
        const int e = read_dev(devices, dev_path, dev);
        ++found;
        return e != 0 ? e : add(t, holding(t, from, device_node(dev)));
    });
    return closing(devices, err == 0 && found == 0 ? ENOENT : err);
}

int add_file(tower &t, entry e, int fd, const struct stat &st);

// Whether the file open as fd (O_PATH or not) carries overlayfs's record
// name (an upper layer's copy of its origin, a copy of metadata alone, a
// redirect): trusted.overlay.NAME, which root alone may read, or, for an
// overlay mounted by a user, user.overlay.NAME.
int overlay_record(int fd, const char *name, bool &has) {
    has = false;
    char path[64];
    std::snprintf(path, sizeof path, "/proc/self/fd/%d", fd);
    const char *const spaces[] = {"trusted", "user"};
    for (const char *space : spaces) {
        char full[64];
        std::snprintf(full, sizeof full, "%s.overlay.%s", space, name);
        // A descriptor opened with O_PATH is asked through its /proc name.
        ssize_t got = fgetxattr(fd, full, nullptr, 0);
        if (got < 0 && errno == EBADF) {
            got = getxattr(path, full, nullptr, 0);
        }
        if (got >= 0) {
            has = true;
            return 0;
        }
        if (errno != ENODATA && errno != ENOTSUP) {
            return errno;
        }
    }
    return 0;
}

// The layers of an overlay, from its options "upperdir=A,lowerdir=B:C":
// calls each(path) for each one until it returns non-zero.
// Returns error_data_layers for layers that hold data alone ("::", datadir+), which
// files reach only through a redirect that the run cannot read, and -1 for
// a layer not named by an absolute path: names are as the mounter gave them,
// from wherever it stood.
template <typename Each> int for_each_layer(char *options, Each each) {
    char *rest = nullptr;
    for (char *option = strtok_r(options, ",", &rest); option != nullptr;
         option = strtok_r(nullptr, ",", &rest)) {
        char *value = std::strchr(option, '=');
        if (value == nullptr) {
            continue;
        }
        *value++ = '\0';
        if (std::strcmp(option, "datadir+") == 0) {
            return error_data_layers;
        }
        if (std::strcmp(option, "upperdir") != 0 && std::strcmp(option, "lowerdir") != 0 &&
            std::strcmp(option, "lowerdir+") != 0) {
            continue;
        }
        unescape(value);
        // Layers are parted by ':', which a layer's own name escapes as "\:".
        for (char *layer = value;;) {
            char *out = layer;
            char *in = layer;
            for (; *in != '\0' && *in != ':'; ++out) {
                in += in[0] == '\\' && in[1] != '\0' ? 1 : 0;
                *out = *in++;
            }
            const bool last = *in == '\0';
            *out = '\0';
            if (*layer != '/') {
                return *layer == '\0' && !last ? error_data_layers : -1;
            }
            if (const int err = each(layer); err != 0) {
                return err;
            }
            if (last) {
                break;
            }
            layer = in + 1;
        }
    }
    return 0;
}

// Adds beneath t.at[top], a file of an overlay mounted as m, open as fd, the
// file at its path in each layer that has one: its data may lie in any
// (copied up or not). The inode number the overlay shows is that of the
// file that holds its data (the origin in a lower layer, or the upper file);
// where no file found in a layer has it, the layers' names lead elsewhere
// (renamed in the overlay, another file system mounted over a layer, out of
// this mount namespace's sight, named relatively), and that number is all
// there is to go on, on whatever file system.
int add_layers(tower &t, int top, int fd, const struct stat &st, mount_entry &m) {
    entry shown;
    shown.at = file_node(0, static_cast<std::uint64_t>(st.st_ino));
    shown.at.shown = true;
    shown.above = top + 1;
    const auto unknown = [&] {
        t.count = top + 1;
        t.layers_unknown = top == 0;
        return add(t, shown);
    };
    char shown_path[PATH_MAX + 16];
    char proc[64];
    std::snprintf(proc, sizeof proc, "/proc/self/fd/%d", fd);
    const ssize_t n = readlink(proc, shown_path, sizeof shown_path - 1);
    if (n < 0) {
        return errno;
    }
    shown_path[n] = '\0';
    // A removed file has no path any more; its origin still counts.
    const std::size_t mark = sizeof " (deleted)" - 1;
    const auto length = static_cast<std::size_t>(n);
    if (st.st_nlink == 0 && length >= mark &&
        std::strcmp(shown_path + length - mark, " (deleted)") == 0) {
        return unknown();
    }
    // Its path within the overlay: past the mount point, below the root.
    const std::size_t point = std::strcmp(m.point, "/") == 0 ? 0 : std::strlen(m.point);
    if (std::strncmp(shown_path, m.point, point) != 0 ||
        (shown_path[point] != '/' && shown_path[point] != '\0')) {
        return unknown();
    }
    char inside[1 + sizeof m.root + sizeof shown_path];
    std::snprintf(inside, sizeof inside, ".%s%s", std::strcmp(m.root, "/") == 0 ? "" : m.root,
                  shown_path + point);
    bool told = false; // a file found in a layer has the number shown
    // A copy of metadata alone (metacopy=on) holds no data: the data lies
    // in a lower layer, at the same path or, once the file was renamed in
    // the overlay, where its own records (a redirect) lead.
    bool metadata_only = false;
    bool redirected = false;
    bool with_data = false;
    std::uint64_t layer_devs[sizeof t.data_somewhere / sizeof t.data_somewhere[0]];
    int layer_count = 0;
    bool too_many = false;
    const int err = for_each_layer(m.options, [&](const char *layer) {
        const int dir = open_at(AT_FDCWD, layer, O_PATH | O_DIRECTORY);
        if (dir < 0) {
            return errno == ENOENT || errno == EACCES || errno == ENOTDIR ? -1 : errno;
        }
        // A name that leads into the overlay itself (mounted over its own
        // lower folder, as a read-only root or a system extension is) cannot
        // lead to a layer.
        struct stat dir_st {};
        if (fstat(dir, &dir_st) != 0) {
            return closing(dir, errno);
        }
        if (dir_st.st_dev == st.st_dev) {
            return closing(dir, -1);
        }
        const auto dev = static_cast<std::uint64_t>(dir_st.st_dev);
        if (std::find(layer_devs, layer_devs + layer_count, dev) == layer_devs + layer_count) {
            too_many = too_many || layer_count == static_cast<int>(std::size(layer_devs));
            if (!too_many) {
                layer_devs[layer_count++] = dev;
            }
        }
        const int file = open_at(dir, inside, O_PATH | O_NOFOLLOW);
        int e = file < 0 && errno != ENOENT ? errno : 0;
        struct stat layer_st {};
        if (file >= 0 && fstat(file, &layer_st) != 0) {
            e = errno;
        } else if (file >= 0 && (S_ISREG(layer_st.st_mode) || S_ISDIR(layer_st.st_mode))) {
            bool copy = false;
            bool moved = false;
            if (S_ISREG(layer_st.st_mode)) {
                e = overlay_record(file, "metacopy", copy);
                e = e != 0 || !copy ? e : overlay_record(file, "redirect", moved);
            }
            metadata_only = metadata_only || copy;
            redirected = redirected || moved;
            with_data = with_data || !copy;
            told = told || (!copy && ((layer_st.st_ino ^ st.st_ino) & 0xFFFFFFFFU) == 0);
            entry view;
            view.above = top + 1;
            e = e != 0 ? e : add_file(t, view, file, layer_st);
        }
        if (file >= 0) {
            e = closing(file, e);
        }
        return closing(dir, e);
    });
    if (err == -1) {
        return unknown();
    }
    if (err == 0 && metadata_only && (redirected || !with_data)) {
        if (too_many) {
            return error_data_layers;
        }
        // Any file of the layers' file systems may hold the data, and what
        // lies beneath them holds it.
        for (int i = 0; i < layer_count; ++i) {
            if (t.data_places < static_cast<int>(std::size(t.data_somewhere))) {
                t.data_somewhere[t.data_places++] = layer_devs[i];
            }
            if (major(static_cast<dev_t>(layer_devs[i])) != 0) {
                entry under;
                under.at = device_node(layer_devs[i]);
                under.above = top + 1;
                under.kind = how::member;
                under.member = file_node(layer_devs[i], 0);
                if (const int e = add(t, under); e != 0) {
                    return e;
                }
            }
        }
    }
    return err != 0 || told ? err : add(t, shown);
}

// The mounts of the files being walked, one for each overlay within another.
constexpr int most_mounts = 4;
mount_entry mounts[most_mounts];
int mounts_in_use = 0;

// Adds e, a file (or a folder, where a new OUT would go) open as fd, and
// beneath it the devices of its file system: its device number, unless that
// is anonymous; then, as the mount table tells, nothing for a file system
// that needs no device, the layers' files for an overlay, or the devices a
// btrfs lists. Any other file system on devices it does not name cannot be
// told.
int add_file(tower &t, entry e, int fd, const struct stat &st) {
    e.at = file_node(static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino));
    const int here = t.count;
    if (major(st.st_dev) != 0) {
        const int err = add(t, e);
        return err != 0 ? err : add(t, holding(t, here, device_node(st.st_dev)));
    }
    if (mounts_in_use == most_mounts) {
        return ELOOP;
    }
    mount_entry &m = mounts[mounts_in_use];
    if (const int err = mount_of(fd, m); err != 0) {
        return err;
    }
    if (std::strcmp(m.type, "overlay") == 0) {
        if (const int err = add(t, e); err != 0) {
            return err;
        }
        ++mounts_in_use;
        const int err = add_layers(t, here, fd, st, m);
        --mounts_in_use;
        return err;
    }
    bool needs = true;
    if (const int err = needs_device(m.type, needs); err != 0) {
        return err;
    }
    if (const int err = add(t, e); err != 0 || !needs) {
        return err;
    }
    return std::strcmp(m.type, "btrfs") == 0 ? add_btrfs_devices(t, here, fd) : ENOTSUP;
}

// What backs a loop device, as the kernel tells it.
struct backing {
    std::uint64_t dev = 0; // the backing file's device, or the backing device
    std::uint64_t ino = 0;
    bool device = false;
    std::uint64_t offset = 0;
    std::uint64_t limit = 0; // 0: to the end
};

// Asks the loop device open as fd what backs it.
int ask_loop(int fd, backing &b) {
    loop_info64 info{};
    if (ioctl(fd, LOOP_GET_STATUS64, &info) != 0) {
        return errno;
    }
    b.device = info.lo_rdevice != 0;
    b.dev = b.device ? info.lo_rdevice : info.lo_device;
    b.ino = info.lo_inode;
    b.offset = info.lo_offset;
    b.limit = info.lo_sizelimit;
    return 0;
}

// Opens the node of the block device dev, named as its folder's uevent
// says, and checks that it is that device; -1 with errno if it cannot.
int open_device(int dir, std::uint64_t dev) {
    char uevent[512];
    if (const int err = read_text(dir, "uevent", uevent, sizeof uevent - 1); err != 0) {
        errno = err;
        return -1;
    }
    const char *name = std::strstr(uevent, "DEVNAME=");
    if (name == nullptr) {
        errno = ENOENT;
        return -1;
    }
    char path[NAME_MAX + 8];
    std::snprintf(path, sizeof path, "/dev/%.*s", static_cast<int>(std::strcspn(name + 8, "\n")),
                  name + 8);
    const int fd = open_at(AT_FDCWD, path, O_RDONLY | O_NONBLOCK);
    if (fd < 0) {
        return -1;
    }
    struct stat st {};
    const int err = fstat(fd, &st) != 0 ? errno
                    : S_ISBLK(st.st_mode) && static_cast<std::uint64_t>(st.st_rdev) == dev
                        ? 0
                        : ENOENT; // another device has the name now
    if (err == 0) {
        return fd;
    }
    errno = closing(fd, err);
    return -1;
}

// Adds beneath t.at[from], a loop device whose /sys folder is dir and whose
// node, if the run could open it, is fd: the file or device that backs it.
// The kernel says what that is through the node; the path it shows in /sys
// is only a name, which may since lead elsewhere, and is used to reach the
// file, once checked, or, where the node is closed to this user, alone.
int add_backing(tower &t, int from, int dir, int fd) {
    backing b;
    bool told = false;
    if (fd >= 0) {
        // Its folder lists "loop" only while something is attached, so
        // that an error here, even "no such device", is no answer.
        if (const int err = ask_loop(fd, b); err != 0) {
            return err;
        }
        told = true;
    } else {
        if (const int err = read_number(dir, "loop/offset", b.offset); err != 0) {
            return err;
        }
        if (const int err = read_number(dir, "loop/sizelimit", b.limit); err != 0) {
            return err;
        }
    }
    const std::uint64_t length_in = b.limit == 0 ? to_the_end : b.limit;
    if (told && b.device) {
        return add(t, within(t, from, device_node(b.dev), b.offset, length_in));
    }
    // A file on a device the kernel names needs nothing more: its name is
    // not needed to find what lies beneath it.
    if (told && major(static_cast<dev_t>(b.dev)) != 0) {
        const int err = add(t, within(t, from, file_node(b.dev, b.ino), b.offset, length_in));
        return err != 0 ? err : add(t, holding(t, t.count - 1, device_node(b.dev)));
    }
    static char path[PATH_MAX + 16];
    if (const int err = read_text(dir, "loop/backing_file", path, sizeof path - 1); err != 0) {
        return err;
    }
    const std::size_t length = std::strlen(path);
    if (length > 0 && path[length - 1] == '\n') {
        path[length - 1] = '\0';
    }
    // Where the name does not lead to the file the kernel told of, what lies
    // beneath that file cannot be told; the file itself still counts.
    const auto unanswered = [&](int err) {
        const int added =
            told ? add(t, within(t, from, file_node(b.dev, b.ino), b.offset, length_in)) : 0;
        return added != 0 ? added : err;
    };
    // A file removed since is shown by its old name, marked so.
    const std::size_t mark = sizeof " (deleted)" - 1;
    const std::size_t size = std::strlen(path);
    if (size >= mark && std::strcmp(path + size - mark, " (deleted)") == 0) {
        return unanswered(ENOENT);
    }
    const int file = open_at(AT_FDCWD, path, O_PATH);
    if (file < 0) {
        return unanswered(errno);
    }
    struct stat st {};
    int result = fstat(file, &st) == 0 ? 0 : errno;
    if (result == 0 && told &&
        (static_cast<std::uint64_t>(st.st_dev) != b.dev ||
         static_cast<std::uint64_t>(st.st_ino) != b.ino)) {
        result = ESTALE; // the name leads to another file now
    }
    if (result != 0) {
        result = unanswered(result);
    } else if (S_ISBLK(st.st_mode)) {
        result = add(t, within(t, from, device_node(st.st_rdev), b.offset, length_in));
    } else {
        result = add_file(t, within(t, from, file_node(0, 0), b.offset, length_in), file, st);
    }
    return closing(file, result);
}

// Adds what lies beneath t.at[from], a block device (open as fd, or -1), as
// its folder in /sys/dev/block lists: the disk that holds a partition, the
// file or device that backs a loop device, the devices a volume is built on.
int add_beneath_device(tower &t, int from, int fd) {
    const auto dev = static_cast<dev_t>(t.at[from].at.dev);
    char path[64];
    std::snprintf(path, sizeof path, "/sys/dev/block/%u:%u", major(dev), minor(dev));
    const int dir = open_at(AT_FDCWD, path, O_RDONLY | O_DIRECTORY);
    if (dir < 0) {
        return errno == ENOENT && access("/sys/dev/block", F_OK) != 0 ? error_no_sys : errno;
    }
    bool partition = false;
    bool loop = false;
    bool slaves = false;
    bool numbered = false;
    int err = for_each_entry(dir, [&](const char *name) {
        partition = partition || std::strcmp(name, "partition") == 0;
        loop = loop || std::strcmp(name, "loop") == 0;
        slaves = slaves || std::strcmp(name, "slaves") == 0;
        numbered = numbered || std::strcmp(name, "dev") == 0;
        return 0;
    });
    if (err == 0 && !numbered) {
        err = ENOENT; // not a device's folder
    }
    if (err == 0 && partition) {
        std::uint64_t start = 0;
        std::uint64_t sectors = 0;
        std::uint64_t disk = 0;
        err = read_number(dir, "start", start);
        err = err != 0 ? err : read_number(dir, "size", sectors);
        err = err != 0 ? err : read_dev(dir, "../dev", disk);
        err =
            err != 0 ? err : add(t, within(t, from, device_node(disk), start * 512, sectors * 512));
    }
    if (err == 0 && loop) {
        // A node closed to this user leaves the name that /sys shows; one
        // that cannot be found leaves nothing to go on.
        const int node = fd >= 0 ? fd : open_device(dir, dev);
        if (node < 0 && errno != EACCES && errno != EPERM) {
            return closing(dir, errno);
        }
        err = add_backing(t, from, dir, node);
        if (node >= 0 && node != fd) {
            err = closing(node, err);
        }
    }
    if (err == 0 && slaves) {
        const int list = open_at(dir, "slaves", O_RDONLY | O_DIRECTORY);
        if (list < 0) {
            err = errno;
        } else {
            err = for_each_entry(list, [&](const char *name) {
                char dev_path[NAME_MAX + 8];
                std::snprintf(dev_path, sizeof dev_path, "%s/dev", name);
                std::uint64_t slave = 0;
                const int e = read_dev(list, dev_path, slave);
                return e != 0 ? e : add(t, holding(t, from, device_node(slave)));
            });
            err = closing(list, err);
        }
    }
    return closing(dir, err);
}

// Fills t with the top, open as fd, and everything beneath it.
int build(tower &t, int fd, const struct stat &st) {
    t.count = 0;
    t.layers_unknown = false;
    t.data_places = 0;
    if (S_ISBLK(st.st_mode)) {
        entry top;
        top.at = device_node(static_cast<std::uint64_t>(st.st_rdev));
        if (const int err = add(t, top); err != 0) {
            return err;
        }
    } else if (const int err = add_file(t, entry{}, fd, st); err != 0) {
        return err;
    }
    // Devices found are walked in turn; what a walk adds is walked after.
    for (int i = 0; i < t.count; ++i) {
        if (t.at[i].at.device) {
            if (const int err = add_beneath_device(t, i, i == 0 ? fd : -1); err != 0) {
                return err;
            }
        }
    }
    return 0;
}

// Whether a meeting of a.at[i] and b.at[j] is only how the two look from
// below: somewhere above, on the way to both, they are kept apart.
bool apart_above(const tower &a, int i, const tower &b, int j) {
    for (int x = a.at[i].above - 1; x >= 0; x = a.at[x].above - 1) {
        for (int y = b.at[j].above - 1; y >= 0; y = b.at[y].above - 1) {
            if (same(a.at[x].at, b.at[y].at) && !overlaps(a.at[x], b.at[y])) {
                return true;
            }
        }
    }
    return false;
}

// Whether a.at[i] is the top itself or a file the top is another view of.
bool is_top(const tower &a, int i) {
    for (; i >= 0; i = a.at[i].above - 1) {
        if (a.at[i].kind != how::whole) {
            return false;
        }
    }
    return true;
}

// The towers' meeting; numbered tells of one by an overlay's inode number
// alone, which is not counted.
meeting compare(const tower &a, const tower &b, bool &numbered) {
    meeting found = meeting::apart;
    numbered = false;
    for (int i = 0; i < a.count; ++i) {
        for (int j = 0; j < b.count; ++j) {
            if (same(a.at[i].at, b.at[j].at) && overlaps(a.at[i], b.at[j]) &&
                !apart_above(a, i, b, j)) {
                if (a.at[i].at.shown || b.at[j].at.shown) {
                    numbered = true;
                    continue;
                }
                if (is_top(a, i) && is_top(b, j)) {
                    return meeting::same_file;
                }
                found = meeting::shared;
            }
        }
    }
    return found;
}

// Whether the other top, with stat other_st, is a file of a file system where
// an overlay file of this tower keeps its data under a name unknown here.
int hidden_data(const tower &overlay, const struct stat &other_st) {
    if (!S_ISREG(other_st.st_mode) && !S_ISDIR(other_st.st_mode)) {
        return 0;
    }
    const auto dev = static_cast<std::uint64_t>(other_st.st_dev);
    return std::find(overlay.data_somewhere, overlay.data_somewhere + overlay.data_places, dev) !=
                   overlay.data_somewhere + overlay.data_places
               ? error_data_layers
               : 0;
}

// Whether a meeting that the towers do not show could hide where the
// layers of an overlay file (the top of one) could not be found: its data
// may have been copied up into a file of a layer, which the other top would
// then be, and which says so; a device may hold the layers' file system.
int hidden_copy(const tower &overlay, const struct stat &other_st, int other_fd) {
    bool copy = false;
    if (!overlay.layers_unknown) {
        return 0;
    }
    if (S_ISBLK(other_st.st_mode)) {
        return error_layers_unknown;
    }
    if (!S_ISREG(other_st.st_mode)) {
        return 0;
    }
    const int err = overlay_record(other_fd, "origin", copy);
    return err != 0 ? err : copy ? error_layers_unknown : 0;
}

// At namespace scope: a function's static would need a guard from the C++
// run-time library, which the tool does not otherwise load.
tower in_tower;
tower out_tower;

// Regular files and block devices hold bytes; a folder stands for a new OUT
// that the run would make in it.
bool is_storage(const struct stat &st) {
    return S_ISREG(st.st_mode) || S_ISBLK(st.st_mode) || S_ISDIR(st.st_mode);
}

} // namespace

void unescape(char *text) {
    char *out = text;
    for (const char *in = text; *in != '\0'; ++out) {
        if (in[0] == '\\' && in[1] >= '0' && in[1] <= '3' && in[2] >= '0' && in[2] <= '7' &&
            in[3] >= '0' && in[3] <= '7') {
            *out = static_cast<char>((in[1] - '0') * 64 + (in[2] - '0') * 8 + (in[3] - '0'));
            in += 4;
        } else {
            *out = *in++;
        }
    }
    *out = '\0';
}

int mount_id_of(int fd, std::uint64_t &id) {
    struct statx st {};
    // No mount is numbered 0: an emulator that passes the mask on but not
    // the number (qemu for 32-bit ARM) is asked the other way.
    if (statx(fd, "", AT_EMPTY_PATH, STATX_MNT_ID, &st) == 0 && (st.stx_mask & STATX_MNT_ID) != 0 &&
        st.stx_mnt_id != 0) {
        id = st.stx_mnt_id;
        return 0;
    }
    // Kernels before 5.8 tell it in /proc only.
    char name[48];
    char info[512];
    std::snprintf(name, sizeof name, "/proc/self/fdinfo/%d", fd);
    if (const int err = read_text(AT_FDCWD, name, info, sizeof info - 1); err != 0) {
        return err;
    }
    const char *const at = std::strstr(info, "mnt_id:");
    if (at == nullptr) {
        return ENOTSUP; // a kernel too old to say
    }
    id = std::strtoull(at + 7, nullptr, 10);
    return 0;
}

const char *storage_words(int err) {
    switch (err) {
    case error_layers_unknown:
        return "an overlay's layers cannot be found";
    case error_number_only:
        return "it has the inode number an overlay shows, which its layers do not explain";
    case error_data_layers:
        return "an overlay keeps data in layers that only its own records lead to";
    case error_no_sys:
        return "/sys, which tells what lies beneath a disk, is missing";
    default:
        return nullptr;
    }
}

int storage_meeting(int in_fd, const struct stat &in, int out_fd, const struct stat &out,
                    meeting &found) {
    found = meeting::apart;
    // FIFOs and pipes hold no bytes, but one on both sides would have the
    // run read what it writes. Within one file system, files are apart
    // unless they are one.
    const bool pipes = S_ISFIFO(in.st_mode) && S_ISFIFO(out.st_mode);
    const bool files = S_ISREG(in.st_mode) && (S_ISREG(out.st_mode) || S_ISDIR(out.st_mode));
    if (pipes || (files && in.st_dev == out.st_dev)) {
        if (in.st_dev == out.st_dev && in.st_ino == out.st_ino) {
            found = meeting::same_file;
        }
        return 0;
    }
    if (!is_storage(in) || !is_storage(out)) {
        return 0; // a character device, socket or terminal is no one's storage
    }
    // What was found before a question went unanswered may settle it.
    const int in_err = build(in_tower, in_fd, in);
    const int out_err = build(out_tower, out_fd, out);
    bool numbered = false;
    found = compare(in_tower, out_tower, numbered);
    if (found != meeting::apart) {
        return 0;
    }
    if (in_err != 0 || out_err != 0) {
        return in_err != 0 ? in_err : out_err;
    }
    if (numbered) {
        return error_number_only;
    }
    if (const int err = hidden_data(in_tower, out); err != 0) {
        return err;
    }
    if (const int err = hidden_data(out_tower, in); err != 0) {
        return err;
    }
    const int err = hidden_copy(in_tower, out, out_fd);
    return err != 0 ? err : hidden_copy(out_tower, in, in_fd);
}

} // namespace sys
