// The storage beneath an open file on Linux, and whether IN and OUT share any.
//
// A file's bytes lie in its file system, which lies on block devices; a
// partition lies within its disk, a loop device within its backing file (and
// that file within its own file system, and so on down), a device-mapper or md
// volume within the devices it is built on. Writing OUT changes IN when the
// two meet anywhere on the way down, unless they are kept apart there: two
// files of one file system, two partitions of one disk, two volumes of one
// device. The system tells all of it through /proc and /sys; where it will
// not, the question has no answer, and the caller must not guess "apart".
#pragma once

#include <cstdint>

#include <sys/stat.h>

namespace sys {

enum class meeting {
    apart,
    same_file, // one regular file, FIFO, pipe or block device
    shared,    // writing OUT would change the storage beneath IN, or the other way round
};

// The error for a file of an overlay whose layers cannot be found, compared
// with a file that overlayfs copied up into a layer of some overlay.
constexpr int error_layers_unknown = -2;

// The error for a file that has the inode number an overlay shows for the
// other, where the overlay's layers do not tell which file that is.
constexpr int error_number_only = -5;

// The error for a file of an overlay that keeps data in layers that only its
// own records lead to (data-only layers).
constexpr int error_data_layers = -6;

// The error for a device whose folder in /sys/dev/block cannot be read, as
// /sys is missing (a bare chroot).
constexpr int error_no_sys = -7;

// The number of the mount the open file fd is on, as the kernel tells it.
int mount_id_of(int fd, std::uint64_t &id);

// Undoes the mount table's octal escapes (\040 for a space), in place.
void unescape(char *text);

// The words for the errors above; null for any other.
const char *storage_words(int err);

// Compares IN and OUT, open as in_fd and out_fd with these stats. Returns 0
// with the answer, or the error that kept it from being found.
int storage_meeting(int in_fd, const struct stat &in, int out_fd, const struct stat &out,
                    meeting &found);

} // namespace sys
