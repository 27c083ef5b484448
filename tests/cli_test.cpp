// End-to-end runs of the built binary: usage, copies and every failure.
#include "negate.hpp"
#include "support.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fstream>
#include <functional>
#include <random>
#include <sstream>
#include <thread>
#include <utility>

#include <fcntl.h>
#include <linux/blkpg.h>
#include <linux/fs.h>
#include <linux/loop.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <sys/xattr.h>
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
// A loop device shows its file in whole sectors.
const std::string whole_sectors = some_input.substr(0, std::size_t{600} * 512);
const std::string old_out = "previous contents of out, which must survive\n";

using Dir = const fs::path &;
using Step = std::function<void(Dir)>;

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

// Through tests/windows_launcher.cpp with these options.
RunOptions launched(std::vector<std::string> options) {
    RunOptions o;
    o.launcher = std::move(options);
    return o;
}
RunOptions lone_surrogates() {
    return launched({"-surrogates"});
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
void nothing_left(Dir d) {
    expect_names(d, {});
}
// The folder holds this one file, with these bytes.
Step file_holds(const char *name, std::string bytes) {
    return [name, bytes = std::move(bytes)](Dir d) {
        expect_names(d, {name});
        EXPECT_EQ(read_file(d / name), bytes);
    };
}
void make_dir(Dir d, const char *name, fs::perms perms) {
    fs::create_directory(d / name);
    fs::permissions(d / name, perms);
}
// Mounts a tmpfs at d/name, made if missing; or skips, saying why.
bool mounted_tmpfs(Dir d, const char *name, const char *options = "size=1m") {
    fs::create_directory(d / name);
    if (mount("byteneg-test", (d / name).c_str(), "tmpfs", 0, options) == 0) {
        return true;
    }
    [] { GTEST_SKIP() << "cannot mount a tmpfs: " << std::strerror(errno); }();
    return false;
}
// An overlay of lower and upper mounted on merged, with IN in each layer:
// upper/in, and lower/in, which merged/in would hide, as lower/low.
// With its lower layer on a file system of its own when xino is set, as
// overlayfs then puts the layer's number in the high bits of inode numbers.
void overlay_layers(Dir d, bool xino, const char *more = "") {
    if (skipped_unless_root("mounting an overlay")) {
        return;
    }
    for (const char *name : {"lower", "upper", "work", "merged"}) {
        fs::create_directory(d / name);
    }
    if (xino && !mounted_tmpfs(d, "lower")) {
        return;
    }
    write_file(d / "upper" / "in", some_input);
    write_file(d / "lower" / "low", some_input);
    const std::string layers =
        "lowerdir=" + (d / "lower").string() + ",upperdir=" + (d / "upper").string() +
        ",workdir=" + (d / "work").string() + (xino ? ",xino=on" : "") + more;
    if (mount("byteneg-test", (d / "merged").c_str(), "overlay", 0, layers.c_str()) != 0) {
        GTEST_SKIP() << "cannot mount an overlay: " << std::strerror(errno);
    }
}
void overlay(Dir d) {
    overlay_layers(d, false);
}
void overlay_xino(Dir d) {
    overlay_layers(d, true);
}
// The lower file written to through the merged view: copied up.
void overlay_copied_up(Dir d) {
    overlay_layers(d, false);
    if (!testing::Test::IsSkipped()) {
        const Fd low = open_fd(d / "merged" / "low", O_WRONLY | O_APPEND);
        EXPECT_EQ(write(low.get(), "y", 1), 1);
    }
}
// With metadata alone copied up, then renamed: its data stays in lower/low,
// which has a second name, where the overlay no longer shows it.
void overlay_renamed_metacopy(Dir d) {
    overlay_layers(d, false, ",metacopy=on");
    if (!testing::Test::IsSkipped()) {
        fs::permissions(d / "merged" / "low", fs::perms::owner_read | fs::perms::owner_write);
        fs::rename(d / "merged" / "low", d / "merged" / "moved");
        fs::create_hard_link(d / "lower" / "low", d / "lower" / "link");
    }
}
void unmount_overlay_and_twin(Dir d) {
    for (const char *mount : {"merged", "lower", "other", "alt"}) {
        umount2((d / mount).c_str(), MNT_DETACH);
    }
}
// And another tmpfs, with a file other/twin of the inode number merged/low shows.
void overlay_and_twin(Dir d) {
    overlay_layers(d, true);
    if (testing::Test::IsSkipped() || !mounted_tmpfs(d, "other")) {
        return;
    }
    struct stat low {};
    ASSERT_EQ(stat((d / "merged" / "low").c_str(), &low), 0);
    for (int i = 0; i < 1000; ++i) {
        write_file(d / "other" / "twin", "");
        struct stat twin {};
        ASSERT_EQ(stat((d / "other" / "twin").c_str(), &twin), 0);
        if (((twin.st_ino ^ low.st_ino) & 0xFFFFFFFFU) == 0) {
            return;
        }
        fs::rename(d / "other" / "twin", d / "other" / std::to_string(i));
    }
    unmount_overlay_and_twin(d);
    GTEST_SKIP() << "no file of the inode number sought";
}
// Its lower layer, with a second link to low, seen at alt alone: the
// options' name for it now leads to the empty folder beneath.
void overlay_layer_covered(Dir d) {
    overlay_layers(d, true);
    if (!testing::Test::IsSkipped()) {
        fs::create_hard_link(d / "lower" / "low", d / "lower" / "link");
        fs::create_directory(d / "alt");
        ASSERT_EQ(mount((d / "lower").c_str(), (d / "alt").c_str(), nullptr, MS_BIND, nullptr), 0);
        ASSERT_EQ(umount2((d / "lower").c_str(), MNT_DETACH), 0);
    }
}
// An overlay mounted over its own lower folder, usr, as read-only roots are.
void overlay_over_its_lower(Dir d) {
    if (skipped_unless_root("mounting an overlay")) {
        return;
    }
    for (const char *name : {"usr", "upper", "work"}) {
        fs::create_directory(d / name);
    }
    write_file(d / "usr" / "f", some_input);
    const std::string layers = "lowerdir=" + (d / "usr").string() +
                               ",upperdir=" + (d / "upper").string() +
                               ",workdir=" + (d / "work").string();
    if (mount("byteneg-test", (d / "usr").c_str(), "overlay", 0, layers.c_str()) != 0) {
        GTEST_SKIP() << "cannot mount an overlay: " << std::strerror(errno);
    }
}
// Then the upper layer moved, so that the overlay's options no longer lead to it.
void overlay_copied_up_then_moved(Dir d) {
    overlay_copied_up(d);
    if (!testing::Test::IsSkipped()) {
        fs::rename(d / "upper", d / "moved");
    }
}
// Attaches a loop device over d/file, reached through the link d/link.
bool attached(Dir d, const std::string &file, const char *link) {
    const Fd control(open("/dev/loop-control", O_RDWR | O_CLOEXEC));
    const Fd backing = open_fd(d / file, O_RDWR);
    // Another process may take the free device first: ask again.
    for (int tries = 0; tries < 10 && control.get() >= 0; ++tries) {
        const std::string device =
            "/dev/loop" + std::to_string(ioctl(control.get(), LOOP_CTL_GET_FREE));
        const Fd loop(open(device.c_str(), O_RDWR | O_CLOEXEC));
        if (loop.get() >= 0 && ioctl(loop.get(), LOOP_SET_FD, backing.get()) == 0) {
            fs::create_symlink(device, d / link);
            return true;
        }
    }
    [] { GTEST_SKIP() << "cannot attach a loop device: " << std::strerror(errno); }();
    return false;
}
void detach(Dir d, const char *link) {
    const Fd loop(open((d / link).c_str(), O_RDWR | O_CLOEXEC));
    EXPECT_EQ(ioctl(loop.get(), LOOP_CLR_FD), 0);
}
// A loop device over IN, reached through the link loop.
void loop_over_in(Dir d) {
    if (!skipped_unless_root("attaching a loop device")) {
        std_input(d);
        attached(d, "in", "loop");
    }
}
void detach_loop_expect_in_intact(Dir d) {
    detach(d, "loop");
    expect_in_intact(d);
}
// Loop devices loop_a and loop_b over a/img and b/img, two files of two
// file systems that share an inode number.
void loops_over_same_numbers(Dir d) {
    if (skipped_unless_root("mounting and attaching loop devices")) {
        return;
    }
    for (const char *name : {"a", "b"}) {
        if (!mounted_tmpfs(d, name)) {
            return;
        }
        write_file(d / name / "img", whole_sectors);
    }
    if (attached(d, "a/img", "loop_a")) {
        attached(d, "b/img", "loop_b");
    }
}
// The image's bytes, once all that was written to the file system mounted
// at d/mnt has reached it.
std::string image_sum(Dir d) {
    const Fd mnt = open_fd(d / "mnt", O_RDONLY | O_DIRECTORY);
    EXPECT_EQ(syncfs(mnt.get()), 0);
    return std::to_string(std::hash<std::string>{}(read_file(d / "image")));
}
// A file system of this type made on loop device d/dev over the image d/image
// (and, with two, a second device d/dev2 over d/image2), mounted at d/mnt,
// holding d/mnt/in. It is mounted through a node that then goes, so that the
// mount's source names nothing. ext4 is made whole at once, so that it
// writes nothing of its own later and its image must not change.
void file_system(Dir d, const char *type, int devices = 1) {
    if (skipped_unless_root("making and mounting a file system")) {
        return;
    }
    const std::string mkfs = std::string("/sbin/mkfs.") + type;
    if (access(mkfs.c_str(), X_OK) != 0) {
        [&] { GTEST_SKIP() << mkfs << " is not installed"; }();
        return;
    }
    const bool ext4 = std::strcmp(type, "ext4") == 0;
    std::vector<std::string> made = {mkfs, "-q"};
    if (ext4) {
        made.insert(made.end(), {"-E", "lazy_itable_init=0,lazy_journal_init=0"});
    }
    for (int i = 1; i <= devices; ++i) {
        const std::string n = i == 1 ? "" : std::to_string(i);
        write_file(d / ("image" + n), "");
        fs::resize_file(d / ("image" + n), std::uintmax_t{ext4 ? 16U : 128U} << 20);
        if (!attached(d, "image" + n, ("dev" + n).c_str())) {
            return;
        }
        made.push_back(fs::read_symlink(d / ("dev" + n)).string());
    }
    fs::create_directory(d / "mnt");
    struct stat dev {};
    const std::string data = devices == 1 ? "" : "device=" + fs::read_symlink(d / "dev2").string();
    if (run(mkfs, made).status != 0 || stat((d / "dev").c_str(), &dev) != 0 ||
        mknod((d / "node").c_str(), S_IFBLK | 0600, dev.st_rdev) != 0 ||
        mount((d / "node").c_str(), (d / "mnt").c_str(), type, 0, data.c_str()) != 0) {
        const int err = errno;
        for (const char *each : {"dev", "dev2"}) {
            if (fs::is_symlink(d / each)) {
                detach(d, each);
            }
        }
        [err] {
            GTEST_SKIP() << "cannot make and mount the file system: " << std::strerror(err);
        }();
        return;
    }
    fs::remove(d / "node");
    write_file(d / "mnt" / "in", some_input);
    if (ext4) {
        write_file(d / "image.sum", image_sum(d));
    }
}
std::function<void(Dir)> file_system_of(const char *type, int devices = 1) {
    return [=](Dir d) { file_system(d, type, devices); };
}
// IN on the file system as it was, then the file system taken down.
void unmount_expect_in_intact(Dir d) {
    if (fs::exists(d / "image.sum")) {
        EXPECT_EQ(image_sum(d), read_file(d / "image.sum")) << "the image was written to";
    }
    EXPECT_EQ(read_file(d / "mnt" / "in"), some_input);
    EXPECT_FALSE(fs::exists(d / "mnt" / "new")) << "a refused OUT was left";
    EXPECT_GE(fs::file_size(d / "image"), std::uintmax_t{16} << 20);
    EXPECT_EQ(umount2((d / "mnt").c_str(), MNT_DETACH), 0);
    for (const char *dev : {"dev", "dev2"}) {
        if (fs::is_symlink(d / dev)) {
            detach(d, dev);
        }
    }
}
void link_to_new_file(Dir d) {
    file_system(d, "ext4");
    fs::create_symlink("mnt/new", d / "link");
}
// A loop device over t/in on a tmpfs at d/t, which then loses that name to a
// file called as the kernel shows a removed file, and keeps the name t/keep.
void loop_over_removed_file(Dir d) {
    if (skipped_unless_root("mounting and attaching loop devices")) {
        return;
    }
    if (!mounted_tmpfs(d, "t")) {
        return;
    }
    write_file(d / "t" / "in", whole_sectors);
    if (attached(d, "t/in", "loop")) {
        fs::create_hard_link(d / "t" / "in", d / "t" / "keep");
        fs::remove(d / "t" / "in");
        write_file(d / "t" / "in (deleted)", whole_sectors);
    }
}
// Adds or drops partition number n of the disk open as fd, at bytes
// [start, start + length).
int partition(int fd, int op, int n, long long start = 0, long long length = 0) {
    blkpg_partition part{};
    part.pno = n;
    part.start = start;
    part.length = length;
    blkpg_ioctl_arg arg{op, 0, sizeof part, &part};
    return ioctl(fd, BLKPG, &arg);
}
// A loop device over a 4 MiB image with partitions part1 and part2 at its
// second and third MiB.
const std::string four_mebibytes = random_bytes(std::size_t{4} << 20, 6);
void partitioned(Dir d) {
    if (skipped_unless_root("attaching a loop device")) {
        return;
    }
    write_file(d / "image", four_mebibytes);
    if (!attached(d, "image", "loop")) {
        return;
    }
    const Fd loop = open_fd(d / "loop", O_RDWR);
    for (int n = 1; n <= 2; ++n) {
        // Partitions added so outlive the device's file: a loop device may
        // come with an earlier user's.
        partition(loop.get(), BLKPG_DEL_PARTITION, n);
        if (partition(loop.get(), BLKPG_ADD_PARTITION, n, static_cast<long long>(n) << 20,
                      1 << 20) != 0) {
            [] { GTEST_SKIP() << "cannot add a partition: " << std::strerror(errno); }();
            detach(d, "loop");
            return;
        }
        fs::create_symlink(fs::read_symlink(d / "loop").string() + "p" + std::to_string(n),
                           d / ("part" + std::to_string(n)));
    }
    // A /dev that is no devtmpfs (a container's) shows no node for them.
    if (!fs::exists(d / "part1") || !fs::exists(d / "part2")) {
        for (int n = 1; n <= 2; ++n) {
            partition(loop.get(), BLKPG_DEL_PARTITION, n);
        }
        detach(d, "loop");
        [] { GTEST_SKIP() << "no device nodes for partitions: /dev is not a devtmpfs"; }();
    }
}
// The image, after part1 was copied to part2 or nothing was written.
void detach_expect_image(Dir d, bool copied) {
    {
        const Fd loop = open_fd(d / "loop", O_RDWR);
        for (int n = 1; n <= 2; ++n) {
            EXPECT_EQ(partition(loop.get(), BLKPG_DEL_PARTITION, n), 0);
        }
    }
    detach(d, "loop");
    std::string want = four_mebibytes;
    if (copied) {
        want.replace(std::size_t{2} << 20, std::size_t{1} << 20,
                     negated(four_mebibytes.substr(std::size_t{1} << 20, std::size_t{1} << 20)));
    }
    EXPECT_TRUE(read_file(d / "image") == want) << "the image holds other bytes";
}
// Runs the tool under this wrapper, skipped where it is missing or needs root.
RunOptions wrapped(std::vector<std::string> wrapper) {
    RunOptions o;
    o.wrapper = std::move(wrapper);
    return o;
}
const RunOptions ioctl_denied =
    wrapped(traced({"-o", "/dev/null", "-e", "inject=ioctl,fstatfs:error=EPERM"}));
// Runs the tool with this shell command run first in a mount namespace of its own.
RunOptions after(const char *command) {
    return wrapped({"/usr/bin/unshare", "-m", "/bin/sh", "-c",
                    std::string(command) + " && exec \"$0\" \"$@\""});
}
const RunOptions without_sys = after("umount -l /sys");
const RunOptions btrfs_list_hidden = after("mount -t tmpfs byteneg-test /sys/fs");
void expect_layers_intact(Dir d) {
    const std::string upper = read_file(d / "upper" / "in");
    const std::string lower = read_file(d / "lower" / "low");
    EXPECT_EQ(umount2((d / "merged").c_str(), MNT_DETACH), 0);
    umount2((d / "lower").c_str(), MNT_DETACH); // mounted only for xino
    EXPECT_TRUE(upper == some_input && lower == some_input) << "a layer lost its file";
}

// A FUSE file system of this kind mounted at d/mnt: a passthrough of d/src
// (bindfs), or an exFAT image through its FUSE driver, which takes names in
// any case. Either shows one file under numbers the kernel cannot compare.
bool fuse_tool(const char *tool) {
    if (access(tool, F_OK) == 0) {
        return true;
    }
    [tool] { GTEST_SKIP() << tool << " is not installed"; }();
    return false;
}
// Mounts d/src through bindfs at d/mnt, or skips saying why it cannot.
bool passed_through(Dir d) {
    fs::create_directories(d / "mnt");
    if (fuse_tool("/usr/bin/bindfs") &&
        run("/usr/bin/bindfs", {"bindfs", (d / "src").string(), (d / "mnt").string()}).status ==
            0) {
        return true;
    }
    [] { GTEST_SKIP() << "cannot mount a FUSE file system with bindfs"; }();
    return false;
}
bool fuse_mounted(Dir d, const char *kind) {
    if (skipped_unless_root("mounting a FUSE file system") || !fuse_tool("/dev/fuse")) {
        return false;
    }
    fs::create_directories(d / "mnt");
    if (std::strcmp(kind, "bindfs") == 0) {
        fs::create_directories(d / "src");
        return passed_through(d);
    }
    if (!fuse_tool("/sbin/mkfs.exfat") || !fuse_tool("/sbin/mount.exfat-fuse")) {
        return false;
    }
    write_file(d / "image", "");
    fs::resize_file(d / "image", std::uintmax_t{8} << 20);
    if (run("/sbin/mkfs.exfat", {"mkfs.exfat", (d / "image").string()}).status != 0 ||
        !attached(d, "image", "loop")) {
        return false;
    }
    if (run("/sbin/mount.exfat-fuse",
            {"mount.exfat-fuse", fs::read_symlink(d / "loop").string(), (d / "mnt").string()})
            .status == 0) {
        return true;
    }
    detach(d, "loop");
    [] { GTEST_SKIP() << "cannot mount exFAT through FUSE"; }();
    return false;
}
Step in_fuse(const char *kind, const char *file, const char *link = nullptr) {
    return [=](Dir d) {
        if (fuse_mounted(d, kind)) {
            write_file(d / file, some_input);
            if (link != nullptr) {
                fs::create_hard_link(d / file, d / link);
            }
        }
    };
}
// The one file behind both names holds these bytes; the FUSE file system goes.
Step fuse_file_holds(const char *file, std::string bytes) {
    return [file, bytes = std::move(bytes)](Dir d) {
        // Read only if there, so that the file system goes whatever happened.
        EXPECT_TRUE(fs::exists(d / file) && read_file(d / file) == bytes)
            << file << " is neither IN nor its copy";
        EXPECT_EQ(umount2((d / "mnt").c_str(), MNT_DETACH), 0);
        if (fs::is_symlink(d / "loop")) {
            detach(d, "loop");
        }
    };
}
// Mode, owner, group, flags and extended attributes (ACLs among them) of a file.
std::string attributes(const fs::path &path) {
    struct stat st {};
    EXPECT_EQ(stat(path.c_str(), &st), 0);
    std::ostringstream all;
    all << std::oct << st.st_mode << std::dec << " " << st.st_uid << ":" << st.st_gid;
    const Fd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    int flags = -1;
    ioctl(fd.get(), FS_IOC_GETFLAGS, &flags);
    all << " " << std::hex << flags << std::dec;
    std::array<char, 4096> names{};
    const ssize_t n = listxattr(path.c_str(), names.data(), names.size());
    std::vector<std::string> each; // in no order of the file system's
    for (ssize_t at = 0; at < n; at += static_cast<ssize_t>(std::strlen(names.data() + at)) + 1) {
        std::array<char, 4096> value{};
        const ssize_t got = getxattr(path.c_str(), names.data() + at, value.data(), value.size());
        each.push_back(std::string(names.data() + at) + "=" +
                       std::string(value.data(), got > 0 ? static_cast<std::size_t>(got) : 0));
    }
    std::sort(each.begin(), each.end());
    for (const std::string &one : each) {
        all << " " << one;
    }
    return all.str();
}
// OUT with a mode, an extended attribute, as root an owner, and an ACL of its
// own or none; in a folder whose default ACL, which new files take, is not
// OUT's and opens it to others.
Step out_with_attributes(bool acl) {
    return [acl](Dir d) {
        std_input_and_old_out(d);
        fs::permissions(d / "out",
                        fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
        // user:nobody:r-- beside the owner's, group's and others' entries, and the mask.
        const unsigned char only_reading[] = {
            2, 0,   0,   0,   1,   0,   6,  0, 255, 255, 255, 255, 2,   0,  4,
            0, 254, 255, 0,   0,   4,   0,  4, 0,   255, 255, 255, 255, 16, 0,
            4, 0,   255, 255, 255, 255, 32, 0, 0,   0,   255, 255, 255, 255};
        // Default: user:nobody:rwx and a mask to match.
        const unsigned char open_to_nobody[] = {
            2, 0,   0,   0,   1,   0,   7,  0, 255, 255, 255, 255, 2,   0,  7,
            0, 254, 255, 0,   0,   4,   0,  5, 0,   255, 255, 255, 255, 16, 0,
            7, 0,   255, 255, 255, 255, 32, 0, 0,   0,   255, 255, 255, 255};
        if (setxattr((d / "out").c_str(), "user.origin", "camera", 6, 0) != 0 ||
            (acl && setxattr((d / "out").c_str(), "system.posix_acl_access", only_reading,
                             sizeof only_reading, 0) != 0) ||
            setxattr(d.c_str(), "system.posix_acl_default", open_to_nobody, sizeof open_to_nobody,
                     0) != 0) {
            GTEST_SKIP() << "no extended attributes or ACLs here: " << std::strerror(errno);
        }
        // Those flags the file system keeps (ext4 all, tmpfs one).
        const Fd fd(open((d / "out").c_str(), O_RDONLY | O_CLOEXEC));
        for (int flag : {FS_NODUMP_FL, FS_SECRM_FL, FS_UNRM_FL, FS_NOTAIL_FL}) {
            int flags = 0;
            ioctl(fd.get(), FS_IOC_GETFLAGS, &flags);
            flags |= flag;
            ioctl(fd.get(), FS_IOC_SETFLAGS, &flags);
        }
        if (geteuid() == 0) {
            EXPECT_EQ(chown((d / "out").c_str(), 1000, 1000), 0);
        }
        write_file(d / "attributes", attributes(d / "out"));
    };
}
// OUT holds the copy, with the attributes out_with_attributes gave the old one.
void copied_keeping_attributes(Dir d) {
    expect_copy(d, some_input);
    EXPECT_EQ(attributes(d / "out"), read_file(d / "attributes"));
}
// Mounts the file from onto to (mount --bind), or skips saying why it cannot.
bool bound_onto(const fs::path &from, const fs::path &to) {
    if (mount(from.c_str(), to.c_str(), nullptr, MS_BIND, nullptr) == 0) {
        return true;
    }
    [] { GTEST_SKIP() << "cannot mount a file onto another: " << std::strerror(errno); }();
    return false;
}
// Sets or clears a file flag (chattr), or skips saying why it cannot.
bool flagged(const fs::path &path, int flag, bool on) {
    const Fd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    int flags = 0;
    if (fd.get() < 0 || ioctl(fd.get(), FS_IOC_GETFLAGS, &flags) != 0 ||
        (flags = on ? flags | flag : flags & ~flag, ioctl(fd.get(), FS_IOC_SETFLAGS, &flags)) !=
            0) {
        [] { GTEST_SKIP() << "cannot set a file flag here: " << std::strerror(errno); }();
        return false;
    }
    return true;
}

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
const std::string mem_error = "byteneg: /proc/self/mem: Input/output error\n";
const std::string unicode_in = "données-日本.bin";
const std::string unicode_out = "négatif-日本.bin";

// A sparse IN: data at these places (offset, length), holes between and
// after them up to its length, which a file system stores as nothing.
struct Sparse {
    std::vector<std::pair<std::size_t, std::size_t>> data;
    std::size_t length;
};
std::string bytes_of(const Sparse &in) {
    std::string all(in.length, '\0');
    for (const auto &[at, n] : in.data) {
        all.replace(at, n, random_bytes(n, static_cast<unsigned>(at)));
    }
    return all;
}
Step sparse_input(Sparse in) {
    return [in = std::move(in)](Dir d) {
        const Fd fd = open_fd(d / "in", O_WRONLY | O_CREAT | O_TRUNC);
        EXPECT_EQ(ftruncate(fd.get(), static_cast<off_t>(in.length)), 0);
        const std::string all = bytes_of(in);
        for (const auto &[at, n] : in.data) {
            EXPECT_EQ(pwrite(fd.get(), all.data() + at, n, static_cast<off_t>(at)),
                      static_cast<ssize_t>(n));
        }
    };
}
Step sparse_input_and(Sparse in, Step then) {
    return [in = std::move(in), then = std::move(then)](Dir d) {
        sparse_input(in)(d);
        then(d);
    };
}
blkcnt_t blocks(const fs::path &path) {
    struct stat st {};
    EXPECT_EQ(stat(path.c_str(), &st), 0);
    return st.st_blocks;
}
// OUT is IN's negation, and its holes lie where IN's do: it takes no more room
// than IN, but for a block of the file system per data range.
Step holes_kept(Sparse in, const char *out = "out") {
    return [in = std::move(in), out](Dir d) {
        EXPECT_TRUE(read_file(d / out) == negated(bytes_of(in)))
            << "out differs from the negated input";
        struct stat st {};
        ASSERT_EQ(stat((d / "in").c_str(), &st), 0);
        if (!windows_binary) {
            EXPECT_LE(blocks(d / out), st.st_blocks + static_cast<blkcnt_t>(in.data.size() + 1) *
                                                          (st.st_blksize / 512));
        }
    };
}
const Sparse leading_hole = {{{std::size_t{1} << 20, 100000}}, (std::size_t{1} << 20) + 100000};
const Sparse trailing_hole = {{{0, 100000}}, std::size_t{3} << 20};
const Sparse across_blocks = {{{block_size - 5000, 10000}, {3 * block_size, 7}},
                              std::size_t{4} << 20};

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
    // Holes stay holes where OUT is made or emptied: 0x00 negates to 0x00.
    {"SparseLeadingHole", in_out, sparse_input(leading_hole), 0, "", "", holes_kept(leading_hole)},
    {"SparseTrailingHole", in_out, sparse_input(trailing_hole), 0, "", "", holes_kept(trailing_hole)},
    {"SparseOnlyHole", in_out, sparse_input({{}, std::size_t{3} << 20}), 0, "", "",
     holes_kept({{}, std::size_t{3} << 20})},
    {"SparseHolesSmallerThanABlock", in_out, sparse_input({{{0, 100}, {1000, 100}, {3000, 100}}, 4100}),
     0, "", "", holes_kept({{{0, 100}, {1000, 100}, {3000, 100}}, 4100})},
    {"SparseDataAcrossBlockEdges", in_out, sparse_input(across_blocks), 0, "", "",
     holes_kept(across_blocks)},
    {"SparseOverLongerOut", in_out,
     sparse_input_and(across_blocks, [](Dir d) { write_file(d / "out", random_bytes(std::size_t{5} << 20, 8)); }),
     0, "", "", holes_kept(across_blocks)},
    {"SparseOverShorterOut", in_out, sparse_input_and(trailing_hole, [](Dir d) { write_file(d / "out", old_out); }), 0, "", "",
     holes_kept(trailing_hole)},
    // Written in place: emptied first, so its holes read as zeros too.
    {"SparseOverLinkedOut", in_out,
     sparse_input_and(leading_hole, [](Dir d) {
         write_file(d / "out", random_bytes(std::size_t{2} << 20, 8));
         fs::create_hard_link(d / "out", d / "link");
     }), 0, "", "", holes_kept(leading_hole, "link"), {}, Where::posix},
    // A file system that will not say where holes are: copied in full. The
    // call is _llseek on 32-bit systems.
    {"SparseWithoutHoleQueries", in_out, sparse_input(trailing_hole), 0, "", "",
     [](Dir d) {
         EXPECT_TRUE(read_file(d / "out") == negated(bytes_of(trailing_hole)));
         EXPECT_GE(blocks(d / "out") * 512, static_cast<blkcnt_t>(trailing_hole.length));
     }, wrapped(traced({"-o", "/dev/null", "-e", "inject=/lseek:error=EINVAL"})), Where::direct},
    // A device's old bytes must all become the copy's, zeros included.
    {"SparseOntoLoopDeviceNeedsRoot", {"byteneg", "in", "loop"},
     [](Dir d) {
         if (!skipped_unless_root("attaching a loop device")) {
             write_file(d / "image", std::string(std::size_t{4} << 20, '\xAA'));
             sparse_input(across_blocks)(d);
             attached(d, "image", "loop");
         }
     }, 0, "", "",
     [](Dir d) {
         detach(d, "loop");
         EXPECT_TRUE(read_file(d / "image") == negated(bytes_of(across_blocks)));
     }, {}, Where::posix},
    // A file mounted at OUT's name cannot be replaced: it is written in place.
    {"MountedOutWrittenInPlaceNeedsRoot", in_out,
     [](Dir d) {
         if (!skipped_unless_root("mounting a file onto another")) {
             std_input_and_old_out(d);
             write_file(d / "bound", old_out);
             bound_onto(d / "bound", d / "out");
         }
     }, 0, "", "",
     [](Dir d) {
         EXPECT_EQ(umount2((d / "out").c_str(), MNT_DETACH), 0);
         EXPECT_TRUE(read_file(d / "bound") == negated(some_input));
         EXPECT_EQ(read_file(d / "out"), old_out);
     }, {}, Where::posix},
    // Replaced, yet as the old file was: another of its names through a
    // mount shows the copy; set-user-ID and set-group-ID stay for its owner;
    // an append-only folder, whose names cannot change, has OUT written in place.
    {"BoundWhereTheRunCannotLookWrittenInPlaceNeedsRoot", in_out,
     [](Dir d) {
         if (!skipped_unless_root("mounting a file onto another")) {
             std_input_and_old_out(d);
             EXPECT_EQ(chown((d / "out").c_str(), 65534, 65534), 0);
             make_dir(d, "closed", fs::perms::owner_all);
             write_file(d / "closed" / "view", "");
             bound_onto(d / "out", d / "closed" / "view");
         }
     }, 0, "", "",
     [](Dir d) {
         EXPECT_TRUE(read_file(d / "closed" / "view") == negated(some_input));
         EXPECT_EQ(umount2((d / "closed" / "view").c_str(), MNT_DETACH), 0);
     }, as_nobody(), Where::posix},
    {"BoundElsewhereWrittenInPlaceNeedsRoot", in_out,
     [](Dir d) {
         if (!skipped_unless_root("mounting a file onto another")) {
             std_input_and_old_out(d);
             write_file(d / "view", "");
             bound_onto(d / "out", d / "view");
         }
     }, 0, "", "",
     [](Dir d) {
         EXPECT_TRUE(read_file(d / "view") == negated(some_input));
         EXPECT_EQ(umount2((d / "view").c_str(), MNT_DETACH), 0);
         expect_copy(d, some_input);
     }, {}, Where::posix},
    {"SetIdBitsKeptForTheOwner", in_out,
     [](Dir d) {
         std_input_and_old_out(d);
         EXPECT_EQ(chmod((d / "out").c_str(), 06755), 0);
         if (geteuid() == 0) {
             EXPECT_EQ(chown((d / "out").c_str(), 65534, 65534), 0);
             EXPECT_EQ(chmod((d / "out").c_str(), 06755), 0);
         }
     }, 0, "", "",
     [](Dir d) {
         expect_copy(d, some_input);
         EXPECT_EQ(fs::status(d / "out").permissions() & fs::perms::mask,
                   fs::perms::set_uid | fs::perms::set_gid | fs::perms::owner_all |
                       fs::perms::group_read | fs::perms::group_exec | fs::perms::others_read |
                       fs::perms::others_exec);
     }, as_nobody(), Where::posix},
    {"AppendOnlyFolderWrittenInPlaceNeedsRoot", {"byteneg", "in", "ad/out"},
     [](Dir d) {
         if (!skipped_unless_root("making a folder append-only")) {
             std_input(d);
             fs::create_directory(d / "ad");
             write_file(d / "ad" / "out", old_out);
             flagged(d / "ad", FS_APPEND_FL, true);
         }
     }, 0, "", "",
     [](Dir d) {
         flagged(d / "ad", FS_APPEND_FL, false);
         expect_names(d / "ad", {"out"});
         EXPECT_TRUE(read_file(d / "ad" / "out") == negated(some_input));
     }, {}, Where::posix},
    // Staged where it may be IN, OUT is not emptied for a copy that will not
    // fit beside the one staged: a tmpfs of 1 MiB through FUSE, OUT linked,
    // IN sparse, its holes small on the tmpfs, but whole through FUSE.
    {"StagedCopyThatWouldNotFitKeepsOutNeedsRoot", {"byteneg", "in", "mnt/out"},
     [](Dir d) {
         if (skipped_unless_root("mounting a FUSE file system") || !fuse_tool("/dev/fuse") ||
             !fuse_tool("/usr/bin/bindfs") || !mounted_tmpfs(d, "src")) {
             return;
         }
         sparse_input({{{0, 100000}}, std::size_t{4} << 20})(d);
         write_file(d / "src" / "out", old_out);
         fs::create_hard_link(d / "src" / "out", d / "src" / "link");
         fs::create_directory(d / "mnt");
         passed_through(d);
     }, 2, "", "byteneg: mnt/out: No space left on device\n",
     [](Dir d) {
         EXPECT_EQ(umount2((d / "mnt").c_str(), MNT_DETACH), 0);
         expect_names(d / "src", {"link", "out"});
         EXPECT_EQ(read_file(d / "src" / "out"), old_out);
         EXPECT_EQ(umount2((d / "src").c_str(), MNT_DETACH), 0);
     }, {}, Where::posix},
    // A program being run cannot be written, but can be replaced; IN, the
    // same program, is refused as the same file.
    {"RunningProgramReplaced", {"byteneg", "in", "prog"},
     [](Dir d) {
         std_input(d);
         fs::copy_file("/bin/sleep", d / "prog");
         const pid_t pid = fork();
         if (pid == 0) {
             execl((d / "prog").c_str(), "prog", "60", nullptr);
             _exit(127);
         }
         write_file(d / "pid", std::to_string(pid));
         // Running once /proc shows it runs the file; a minute at most.
         const fs::path exe = "/proc/" + std::to_string(pid) + "/exe";
         std::error_code no;
         for (int tries = 0; tries < 60000 && fs::read_symlink(exe, no) != d / "prog"; ++tries) {
             std::this_thread::sleep_for(std::chrono::milliseconds(1));
         }
     }, 0, "", "",
     [](Dir d) {
         const pid_t pid = std::stoi(read_file(d / "pid"));
         EXPECT_EQ(kill(pid, SIGKILL), 0);
         EXPECT_EQ(waitpid(pid, nullptr, 0), pid);
         EXPECT_TRUE(read_file(d / "prog") == negated(some_input));
     }, {}, Where::posix},
    {"OldOutAttributesKept", in_out, out_with_attributes(true), 0, "", "",
     copied_keeping_attributes, {}, Where::posix},
    // What Wine records of a file's being hidden.
    {"OldOutHiddenKept", in_out,
     [](Dir d) {
         std_input_and_old_out(d);
         if (setxattr((d / "out").c_str(), "user.DOSATTRIB", "0x2", 3, 0) != 0) {
             GTEST_SKIP() << "no extended attributes here: " << std::strerror(errno);
         }
     },
     0, "", "",
     [](Dir d) {
         expect_copy(d, some_input);
         EXPECT_EQ(attributes(d / "out").substr(attributes(d / "out").find(" user.")),
                   " user.DOSATTRIB=0x2");
     }, {}, Where::windows},
    {"OldOutWithoutAclTakesNoneFromFolder", in_out, out_with_attributes(false), 0, "", "",
     copied_keeping_attributes, {}, Where::posix},
    {"ExactlyOneBlock", in_out, input(one_block), 0, "", "", copied(one_block)},
    {"OneBlockAndAByte", in_out, input(one_block_and_a_byte), 0, "", "",
     copied(one_block_and_a_byte)},
    {"BlocksAndAPart", in_out, input(blocks_and_a_part), 0, "", "", copied(blocks_and_a_part)},
    {"StdinToStdout", {"byteneg", "/dev/stdin", "/dev/stdout"}, std_input, 0, negated(some_input),
     "", nullptr, stdin_from("in")},
    {"FilterThroughPipes", {"byteneg", "/dev/stdin", "/dev/stdout"}, nullptr, 0,
     negated(some_input), "", nullptr, stdin_bytes(some_input)},
    // A named pipe's server writes a message longer than a block to standard
    // input, or flushes and disconnects, as one that serves the next client.
    {"MessagePipeLongerThanBlock", {"byteneg", "/dev/stdin", "out"}, std_input, 0, "", "",
     copied(some_input),
     launched({"-message", "-stdin", "-serve", "\\\\.\\pipe\\byteneg-message", "in"}),
     Where::windows},
    // A message of no bytes is not the end of the input.
    {"MessagePipeEmptyMessage", {"byteneg", "/dev/stdin", "out"}, input(all_bytes), 0, "", "",
     copied(all_bytes),
     launched({"-message", "-empty", "-stdin", "-serve", "\\\\.\\pipe\\byteneg-empty", "in"}),
     Where::windows},
    // A pipe set not to wait is waited for, not taken for a failure.
    {"NoWaitPipeWaitedFor", {"byteneg", "/dev/stdin", "out"}, std_input, 0, "", "",
     copied(some_input),
     launched({"-nowait", "-stdin", "-serve", "\\\\.\\pipe\\byteneg-nowait", "in"}),
     Where::windows},
    {"PipeServerDisconnects", {"byteneg", "\\\\.\\pipe\\byteneg-disconnect", "out"}, std_input,
     0, "", "", copied(some_input),
     launched({"-disconnect", "-serve", "\\\\.\\pipe\\byteneg-disconnect", "in"}),
     Where::windows},
    // Split as the C run-time splits it, into a"b and c, where
    // CommandLineToArgvW makes one argument of it all.
    {"ArgumentsSplitAsTheRunTimeDoes", {"byteneg", "\"a\"\"b\" c"}, nullptr, 2, "",
     "byteneg: a\"b: The filename, directory name, or volume label syntax is incorrect.\n",
     nothing_left, launched({"-raw"}), Where::windows},
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
    // overlayfs shows a layer's file in its merged view with the file's inode
    // number under a device of its own.
    {"SameFileUpperAndMergedNeedsRoot", {"byteneg", "upper/in", "merged/in"}, overlay, 2, "",
     "byteneg: merged/in: same file as upper/in\n", expect_layers_intact, {}, Where::posix},
    {"SameFileMergedAndUpperNeedsRoot", {"byteneg", "merged/in", "upper/in"}, overlay, 2, "",
     "byteneg: upper/in: same file as merged/in\n", expect_layers_intact, {}, Where::posix},
    {"SameFileMergedAndLowerNeedsRoot", {"byteneg", "merged/low", "lower/low"}, overlay, 2, "",
     "byteneg: lower/low: same file as merged/low\n", expect_layers_intact, {}, Where::posix},
    {"SameFileCopiedUpAndUpperNeedsRoot", {"byteneg", "merged/low", "upper/low"}, overlay_copied_up,
     2, "", "byteneg: upper/low: same file as merged/low\n",
     [](Dir d) {
         EXPECT_TRUE(read_file(d / "upper" / "low") == some_input + "y");
         expect_layers_intact(d);
     }, {}, Where::posix},
    {"CopiedUpIntoMovedLayerNeedsRoot", {"byteneg", "merged/low", "moved/low"},
     overlay_copied_up_then_moved, 2, "",
     "byteneg: moved/low: cannot tell whether it shares storage with merged/low: an overlay's "
     "layers cannot be found\n",
     [](Dir d) {
         EXPECT_TRUE(read_file(d / "moved" / "low") == some_input + "y");
         fs::rename(d / "moved", d / "upper");
         expect_layers_intact(d);
     }, {}, Where::posix},
    // Its data is where the overlay's own records lead.
    {"RenamedMetacopyOverItsDataNeedsRoot", {"byteneg", "merged/moved", "lower/link"},
     overlay_renamed_metacopy, 2, "",
     "byteneg: lower/link: cannot tell whether it shares storage with merged/moved: an overlay "
     "keeps data in layers that only its own records lead to\n",
     [](Dir d) {
         EXPECT_EQ(read_file(d / "lower" / "low"), some_input);
         EXPECT_EQ(umount2((d / "merged").c_str(), MNT_DETACH), 0);
     }, {},
     Where::posix},
    {"OverlayAndTwinOnOtherTmpfsNeedsRoot", {"byteneg", "merged/low", "other/twin"},
     overlay_and_twin, 0, "", "",
     [](Dir d) {
         EXPECT_TRUE(read_file(d / "other" / "twin") == negated(some_input));
         unmount_overlay_and_twin(d);
     }, {},
     Where::posix},
    {"LayerNoLongerAtItsNameNeedsRoot", {"byteneg", "merged/low", "alt/link"},
     overlay_layer_covered, 2, "",
     "byteneg: alt/link: cannot tell whether it shares storage with merged/low: it has the inode "
     "number an overlay shows, which its layers do not explain\n",
     [](Dir d) {
         EXPECT_EQ(read_file(d / "alt" / "low"), some_input);
         unmount_overlay_and_twin(d);
     }, {}, Where::posix},
    {"OverlayOverItsLowerCopiesOutNeedsRoot", {"byteneg", "usr/f", "out"}, overlay_over_its_lower,
     0, "", "",
     [](Dir d) {
         EXPECT_TRUE(read_file(d / "out") == negated(some_input));
         EXPECT_EQ(umount2((d / "usr").c_str(), MNT_DETACH), 0);
     }, {}, Where::posix},
    {"SameFileMergedAndLowerXinoNeedsRoot", {"byteneg", "merged/low", "lower/low"}, overlay_xino,
     2, "", "byteneg: lower/low: same file as merged/low\n", expect_layers_intact, {}, Where::posix},
    // Writing a loop device writes the file that backs it.
    {"LoopDeviceOverInNeedsRoot", {"byteneg", "in", "loop"}, loop_over_in, 2, "",
     "byteneg: loop: shares storage with in\n", detach_loop_expect_in_intact, {}, Where::posix},
    {"InUnderLoopDeviceNeedsRoot", {"byteneg", "loop", "in"}, loop_over_in, 2, "",
     "byteneg: in: shares storage with loop\n", detach_loop_expect_in_intact, {}, Where::posix},
    {"SameLoopDeviceBothSidesNeedsRoot", {"byteneg", "loop", "loop"}, loop_over_in, 2, "",
     "byteneg: loop: same file as loop\n", detach_loop_expect_in_intact, {}, Where::posix},
    // Storage beneath a file: its file system's devices (btrfs numbers its
    // own), and the image a loop device it is mounted from reads.
    {"BtrfsDeviceUnderInNeedsRoot", {"byteneg", "mnt/in", "dev"}, file_system_of("btrfs"), 2, "",
     "byteneg: dev: Device or resource busy\n", unmount_expect_in_intact, {}, Where::posix},
    // btrfs is asked through an ioctl that qemu's user mode does not pass on
    // for every target: there the tool can only refuse as "cannot tell".
    {"BtrfsFileOverItsDeviceNeedsRoot", {"byteneg", "dev", "mnt/new"}, file_system_of("btrfs"), 2,
     "", "byteneg: mnt/new: shares storage with dev\n", unmount_expect_in_intact, {}, Where::direct},
    {"BtrfsFileOverItsSecondDeviceNeedsRoot", {"byteneg", "dev2", "mnt/new"},
     file_system_of("btrfs", 2), 2, "", "byteneg: mnt/new: shares storage with dev2\n",
     unmount_expect_in_intact, {}, Where::direct},
    {"ImageUnderInNeedsRoot", {"byteneg", "mnt/in", "image"}, file_system_of("ext4"), 2, "",
     "byteneg: image: shares storage with mnt/in\n", unmount_expect_in_intact, {}, Where::posix},
    {"FileOverItsImageNeedsRoot", {"byteneg", "image", "mnt/new"}, file_system_of("ext4"), 2, "",
     "byteneg: mnt/new: shares storage with image\n", unmount_expect_in_intact, {}, Where::posix},
    {"ThroughLinkToNewFileNeedsRoot", {"byteneg", "image", "link"}, link_to_new_file, 2, "",
     "byteneg: link: shares storage with image\n", unmount_expect_in_intact, {}, Where::posix},
    {"LoopOverRemovedFileNeedsRoot", {"byteneg", "t/keep", "loop"}, loop_over_removed_file, 2, "",
     "byteneg: loop: shares storage with t/keep\n",
     [](Dir d) {
         detach(d, "loop");
         EXPECT_TRUE(read_file(d / "t" / "keep") == whole_sectors);
         EXPECT_EQ(umount2((d / "t").c_str(), MNT_DETACH), 0);
     }, {}, Where::posix},
    {"PartitionsApartNeedsRoot", {"byteneg", "part1", "part2"}, partitioned, 0, "", "",
     [](Dir d) { detach_expect_image(d, true); }, {}, Where::posix},
    {"PartitionAndItsDiskNeedsRoot", {"byteneg", "part1", "loop"}, partitioned, 2, "",
     "byteneg: loop: shares storage with part1\n", [](Dir d) { detach_expect_image(d, false); },
     {}, Where::posix},
    {"LoopsOverFilesOfOneNumberNeedsRoot", {"byteneg", "loop_a", "loop_b"},
     loops_over_same_numbers, 0, "", "",
     [](Dir d) {
         detach(d, "loop_a");
         detach(d, "loop_b");
         EXPECT_TRUE(read_file(d / "b" / "img") == negated(whole_sectors));
         EXPECT_EQ(umount2((d / "a").c_str(), MNT_DETACH) | umount2((d / "b").c_str(), MNT_DETACH), 0);
     }, {}, Where::posix},
    // What the system will not say is not taken as "apart", nor as a failure
    // where nothing rests on it.
    {"LoopOverInIoctlDeniedNeedsRoot", {"byteneg", "in", "loop"}, loop_over_in, 2, "",
     "byteneg: loop: cannot tell whether it shares storage with in: Operation not permitted\n",
     detach_loop_expect_in_intact, ioctl_denied,
     Where::direct},
    {"LoopOverInNoSuchDeviceNeedsRoot", {"byteneg", "in", "loop"}, loop_over_in, 2, "",
     "byteneg: loop: cannot tell whether it shares storage with in: No such device or address\n",
     detach_loop_expect_in_intact,
     wrapped(traced({"-o", "/dev/null", "-e", "inject=ioctl:error=ENXIO"})),
     Where::direct},
    {"LoopOverInWithoutSysNeedsRoot", {"byteneg", "in", "loop"}, loop_over_in, 2, "",
     "byteneg: loop: cannot tell whether it shares storage with in: /sys, which tells what lies "
     "beneath a disk, is missing\n",
     detach_loop_expect_in_intact, without_sys, Where::direct},
    {"BtrfsListHiddenNeedsRoot", {"byteneg", "dev2", "mnt/new"}, file_system_of("btrfs", 2), 2, "",
     "byteneg: mnt/new: cannot tell whether it shares storage with dev2: No such file or directory\n",
     unmount_expect_in_intact, btrfs_list_hidden, Where::direct},
    {"ImageUnderInWithoutSysNeedsRoot", {"byteneg", "mnt/in", "image"}, file_system_of("ext4"), 2,
     "", "byteneg: image: cannot tell whether it shares storage with mnt/in: /sys, which tells "
     "what lies beneath a disk, is missing\n",
     unmount_expect_in_intact, without_sys, Where::direct},
    {"CopiesWhereFileSystemsWillNotSay", in_out, std_input, 0, "", "", copied(some_input),
     ioctl_denied, Where::direct},
    // One file reached by two routes whose numbers the kernel cannot compare:
    // IN is read whole before OUT's name or bytes change, so the file ends
    // up holding the copy, never emptied or removed.
    {"ThroughFusePassthroughNeedsRoot", {"byteneg", "mnt/in", "src/in"}, in_fuse("bindfs", "src/in"),
     0, "", "", fuse_file_holds("src/in", negated(some_input)), {}, Where::posix},
    {"OtherLinkThroughFusePassthroughNeedsRoot", {"byteneg", "mnt/in", "src/out"},
     in_fuse("bindfs", "src/in", "src/out"), 0, "", "",
     fuse_file_holds("src/in", negated(some_input)), {}, Where::posix},
    {"OtherCaseOnFuseNeedsRoot", {"byteneg", "mnt/k.bin", "mnt/K.BIN"}, in_fuse("exfat", "mnt/k.bin"),
     0, "", "", fuse_file_holds("mnt/K.BIN", negated(some_input)), {}, Where::posix},
    {"OtherCaseOnFuseFailingNeedsRoot", {"byteneg", "mnt/k.bin", "mnt/K.BIN"},
     in_fuse("exfat", "mnt/k.bin"), 2, "", "byteneg: mnt/K.BIN: File too large\n",
     fuse_file_holds("mnt/k.bin", some_input), file_size_limit(4096), Where::posix},

    // Failures after OUT is open: reported, and a regular OUT is removed.
    // Wine shows Linux's /proc/self/mem on drive Z:, which fails the same way.
    {"ReadErrorRemovesOut", {"byteneg", "/proc/self/mem", "out"},
     [](Dir) { skipped_unless_sys(); }, 2, "", mem_error, nothing_left},
    // Windows drops trailing dots and spaces and takes a short 8.3 name (here
    // Wine's for longfilename.bin) or another case: all name OUT itself.
    {"ReadErrorRemovesOutTrailingDot", {"byteneg", "/proc/self/mem", "out."}, nullptr, 2, "",
     mem_error, nothing_left, {}, Where::windows},
    {"ReadErrorRemovesOutTrailingSpace", {"byteneg", "/proc/self/mem", "out "}, nullptr, 2, "",
     mem_error, nothing_left, {}, Where::windows},
    {"ReadErrorRemovesOutDotsAndSpace", {"byteneg", "/proc/self/mem", "out2. ."}, nullptr, 2, "",
     mem_error, nothing_left, {}, Where::windows},
    // An existing OUT so named keeps its bytes; a copy takes its own name.
    {"ReadErrorKeepsOutShortName", {"byteneg", "/proc/self/mem", "LONG~PD1.BIN"},
     [](Dir d) { write_file(d / "longfilename.bin", old_out); }, 2, "", mem_error,
     file_holds("longfilename.bin", old_out), {}, Where::windows},
    {"ShortNameOutReplacedUnderItsName", {"byteneg", "in", "LONG~PD1.BIN"},
     [](Dir d) { std_input(d); write_file(d / "longfilename.bin", old_out); }, 0, "", "",
     [](Dir d) {
         expect_names(d, {"in", "longfilename.bin"});
         EXPECT_TRUE(read_file(d / "longfilename.bin") == negated(some_input));
     }, {}, Where::windows},
    // Z:out is out in Z:'s current folder, which cmd keeps as =Z: once on C:.
    {"ReadErrorKeepsOutDriveRelative", {"byteneg", "Z:/proc/self/mem", "Z:out"},
     [](Dir d) { write_file(d / "out", old_out); }, 2, "",
     "byteneg: Z:/proc/self/mem: Input/output error\n", file_holds("out", old_out),
     launched({"-cd", "C:\\"}), Where::windows},
    {"ReadErrorKeepsOutOtherCase", {"byteneg", "/proc/self/mem", "OUT"},
     [](Dir d) { write_file(d / "out", old_out); }, 2, "", mem_error, file_holds("out", old_out),
     {}, Where::windows},
    {"WriteErrorKeepsOldOut", in_out, std_input_and_old_out, 2, "", "byteneg: out: File too large\n",
     [](Dir d) { expect_names(d, {"in", "out"}); expect_in_intact_out_untouched(d); },
     file_size_limit(4096), Where::posix},
    // A real full disk: a file system of 256 KiB mounted in the test folder.
    {"DiskFullRemovesOutNeedsRoot", {"byteneg", "in", "small/out"},
     [](Dir d) {
         if (skipped_unless_root("mounting a small file system to fill")) {
             return;
         }
         write_file(d / "in", random_bytes(std::size_t{1024} * 1024, 4));
         mounted_tmpfs(d, "small", "size=256k");
     },
     2, "", "byteneg: small/out: No space left on device\n",
     [](Dir d) {
         const bool left = fs::exists(d / "small" / "out");
         EXPECT_EQ(umount2((d / "small").c_str(), MNT_DETACH), 0);
         EXPECT_FALSE(left) << "a partial OUT was left behind";
     }},
    // OUT reached through a symbolic link: the link and its target survive.
    {"FailureThroughLinkKeepsFileAndLink", {"byteneg", "/proc/self/mem", "link"},
     [](Dir d) {
         skipped_unless_sys();
         write_file(d / "target", old_out);
         fs::create_symlink("target", d / "link");
     },
     2, "", mem_error,
     [](Dir d) {
         EXPECT_TRUE(fs::is_symlink(d / "link"));
         EXPECT_EQ(read_file(d / "target"), old_out);
         expect_names(d, {"link", "target"});
     }},
    // Links on the way to OUT's folder do not make OUT a link.
    {"FailureThroughLinkedFolderRemovesOut", {"byteneg", "/proc/self/mem", "via/out"},
     [](Dir d) {
         skipped_unless_sys();
         fs::create_directory(d / "real");
         fs::create_directory_symlink("real", d / "via");
     },
     2, "", mem_error, [](Dir d) { expect_names(d / "real", {}); }},
    // The link's name is its target's, in another folder.
    {"FailureThroughSameNamedLinkKeepsFile", {"byteneg", "/proc/self/mem", "b/x"},
     [](Dir d) {
         skipped_unless_sys();
         fs::create_directories(d / "a");
         fs::create_directories(d / "b");
         write_file(d / "a" / "x", old_out);
         fs::create_symlink("../a/x", d / "b" / "x");
     },
     2, "", mem_error,
     [](Dir d) {
         EXPECT_TRUE(fs::is_symlink(d / "b" / "x"));
         EXPECT_EQ(read_file(d / "a" / "x"), old_out);
         expect_names(d / "a", {"x"});
     }},
    // A name with a lone surrogate, which NTFS allows, cannot pass through
    // UTF-8: refused, not replaced by U+FFFD, which would name another file.
    {"LoneSurrogateInOutRefused", {"byteneg", "in", "out_\uFFFD"}, std_input, 2, "",
     "byteneg: out_\\uDC00: Name holds a lone UTF-16 surrogate\n",
     [](Dir d) { expect_names(d, {"in"}); }, lone_surrogates(), Where::windows},
    {"LoneSurrogateInExtraArgumentIgnored", {"byteneg", "in", "out", "x\uFFFD"}, std_input, 0,
     "", "", [](Dir d) { expect_copy(d, some_input); }, lone_surrogates(), Where::windows},
    {"LoneSurrogateInInRefused", {"byteneg", "in_\uFFFD", "out"},
     [](Dir d) { write_file(d / "in_\uFFFD", some_input); }, 2, "",
     "byteneg: in_\\uDC00: Name holds a lone UTF-16 surrogate\n",
     [](Dir d) { expect_names(d, {"in_\uFFFD"}); }, lone_surrogates(), Where::windows},
    // A device OUT is never removed. Root gets a private node for the full
    // device, so that a fault cannot remove the system's; anyone else may not
    // remove /dev/full anyway, and reaches it through a link of the same name.
    {"FullDeviceKeptNotRemoved", {"byteneg", "in", "full"},
     [](Dir d) {
         std_input(d);
         if (!root_powers() || mknod((d / "full").c_str(), S_IFCHR | 0666, makedev(1, 7)) != 0) {
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
    // Before the setup, whose mounts and devices only the check undoes.
    for (const std::string &program : c.opts.wrapper) {
        if ((program == c.opts.wrapper.front() || program == strace_path) &&
            access(program.c_str(), X_OK) != 0) {
            GTEST_SKIP() << program << " is not installed";
        }
    }
    if (!c.opts.wrapper.empty() && c.opts.wrapper.front() == "/usr/bin/unshare" &&
        skipped_unless_private_mounts()) {
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
    Outcome r = byteneg(argv, opts);
    // A wrapper starts the tool by its path, which the tool shows as its name.
    if (!c.opts.wrapper.empty() && r.err.rfind(byteneg_path(), 0) == 0) {
        r.err.replace(0, std::strlen(byteneg_path()), "byteneg");
    }
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

// Runs at once that write each other's IN, or one OUT: every file ends up
// whole, as IN was, or as a whole copy of what some run read.
TEST(AtOnce, CrossedRunsAndOneOutLeaveWholeFiles) {
    TempDir dir;
    RunOptions opts;
    opts.cwd = dir.path;
    shown_name(); // learnt before the threads, which would race to learn it
    const std::string a = random_bytes(std::size_t{4} << 20, 21);
    const std::string b = random_bytes((std::size_t{4} << 20) + 1, 22);
    const auto both = [&](const std::vector<std::string> &one,
                          const std::vector<std::string> &other) {
        write_file(dir.path / "a", a);
        write_file(dir.path / "b", b);
        Outcome first;
        std::thread side([&] { first = byteneg(one, opts); });
        const Outcome second = byteneg(other, opts);
        side.join();
        // A new OUT that the other run made meanwhile is not replaced unseen.
        const auto beaten = [](const Outcome &r) {
            const std::string taken = "byteneg: o: File exists\n";
#ifdef BYTENEG_WINDOWS
            // ReplaceFileW takes the old file's name away for a moment, in
            // which the other run finds no IN there.
            if (r.status == 2 && r.err.find(": File not found.") != std::string::npos) {
                return true;
            }
#endif
            return r.status == 2 && with_reason_of(taken, r.err) == taken;
        };
        EXPECT_TRUE((first.status == 0 || beaten(first)) &&
                    (second.status == 0 || beaten(second)) &&
                    (first.status == 0 || second.status == 0))
            << first.err << second.err;
    };
    for (int round = 0; round < 3; ++round) {
        both({"byteneg", "a", "b"}, {"byteneg", "b", "a"});
        const std::string got_a = read_file(dir.path / "a");
        const std::string got_b = read_file(dir.path / "b");
        EXPECT_TRUE((got_a == negated(b) && got_b == negated(a)) ||
                    (got_a == a && got_b == negated(a)) || (got_a == negated(b) && got_b == b))
            << "a: " << got_a.size() << " bytes, b: " << got_b.size();
        both({"byteneg", "a", "o"}, {"byteneg", "b", "o"});
        const std::string got_o = read_file(dir.path / "o");
        EXPECT_TRUE(got_o == negated(a) || got_o == negated(b))
            << "o: " << got_o.size() << " bytes";
        std::vector<std::string> names = listing(dir.path);
#ifdef BYTENEG_WINDOWS
        // Wine's ReplaceFileW may leave a name of its own when two meet.
        std::erase_if(
            names, [](const std::string &n) { return n.starts_with("rf") && n.ends_with(".tmp"); });
#endif
        EXPECT_EQ(names, (std::vector<std::string>{"a", "b", "o"}));
    }
}

#ifndef BYTENEG_WINDOWS
// IN cut short while it is read: the run fails rather than take what it got
// for a copy. OUT is a FIFO the test reads, so that the run waits there,
// part way through IN, while the test cuts it.
TEST(Shrinking, InCutShortIsAFailure) {
    TempDir dir;
    write_file(dir.path / "in", blocks_and_a_part);
    ASSERT_EQ(mkfifo((dir.path / "out").c_str(), 0600), 0);
    Fd reader = open_fd(dir.path / "out", O_RDONLY | O_NONBLOCK);
    ASSERT_EQ(fcntl(reader.get(), F_SETFL, 0), 0);
    const int room = fcntl(reader.get(), F_GETPIPE_SZ);
    RunOptions opts;
    opts.cwd = dir.path;
    opts.while_running = [&](int /*pid*/) {
        int held = 0;
        while (ioctl(reader.get(), FIONREAD, &held) == 0 && held < room) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        fs::resize_file(dir.path / "in", 1000);
        read_rest(reader.get());
    };
    const Outcome r = byteneg({"byteneg", "in", "out"}, opts);
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, "byteneg: in: file shrank while being read\n");
}
#endif

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
