// The few file operations a run needs, one implementation per platform:
// file_posix.cpp and file_windows.cpp. Paths and messages are UTF-8 on every
// platform. Every operation that can fail returns 0 or the system's error code
// (errno, or GetLastError() on Windows), which describe() turns into text.
#pragma once

#include <cstddef>
#include <cstdint>

namespace sys {

// How the copy reaches OUT.
enum class way {
    // Into OUT itself: pipes, devices, an inherited /dev/stdout, and a regular
    // OUT that replacing would change for others (other links, an owner or
    // attribute the run cannot give a new file, a folder it may not add to).
    in_place,
    // Into a new file beside OUT, which takes OUT's name in one step once it
    // is whole: until then OUT's name shows what it showed before the run.
    replace,
    // Into a new file first, which is then written into OUT itself: OUT is
    // written in place, but may be IN under a name the system cannot compare,
    // so IN must be read to its end before OUT's first byte changes.
    staged,
};

// An open IN or OUT, and what the run needs to know of it.
struct file {
    std::intptr_t handle = -1; // a descriptor, or a HANDLE on Windows; -1 once closed
    // One of the standard streams the caller handed us (/dev/stdin, /dev/stdout):
    // used as it is, at its own position, never truncated, closed or removed.
    bool inherited = false;
    bool regular = false; // a regular file, as opposed to a pipe, socket, terminal or device
    bool block_device = false;
    // What the storage check needs of it on POSIX systems: the mode bits,
    // the device number of a device, the number of links.
    std::uint32_t mode = 0;
    std::uint64_t device = 0;
    std::uint64_t links = 0;
    // Identity, for the same-file test: device and inode, or volume serial
    // and file index.
    std::uint64_t volume = 0;
    std::uint64_t index = 0;
    // IN: a regular file's length when opened, and how far it has been read
    // (its holes passed over included), so that one cut short while it is
    // read is not taken for a whole copy.
    std::int64_t size = 0;
    std::int64_t got = 0;
    // IN: where the data being read ends, if known (-1 if not), and whether
    // its file system can say where its holes are.
    std::int64_t data_end = -1;
    bool no_hole_queries = false;
    // OUT: how the copy reaches it. While it goes to a new file, handle is
    // that file's, held in folder (by a name of the run's own if named), and
    // target is OUT itself where the copy is then written into it.
    way how = way::in_place;
    std::intptr_t folder = -1;
    std::intptr_t target = -1;
    bool named = false;
    // An OUT emptied in place (or found empty): only then may a failure empty it.
    bool emptied = false;
    bool missing = false;   // an OUT not made yet: handle is the folder it goes in
    bool executing = false; // an OUT being run as a program: it can be replaced, not written
    // For an inherited regular OUT, what a failure must restore: where our
    // output began (the position at the start of the run, or the end if the
    // stream appends) and the file's length then.
    std::int64_t start = 0;
    std::int64_t length = 0;
    bool appends = false;
    std::int64_t written = 0; // bytes write_all has written
    // OUT: bytes left as holes, and a hole yet to be left before the next
    // write (or, at the end, by the file's length).
    std::int64_t skipped = 0;
    std::int64_t hole = 0;
};

// What discard_out returns when others have written to an inherited OUT since
// the run began: cutting it back would take their bytes too.
constexpr int error_shared_output = -1;

// Puts a stand-in on any standard stream that is closed, so that no file the
// run opens takes its place and no message lands in IN or OUT; IN or OUT that
// turns out to be a stand-in is refused when opened. Call before anything
// else. On failure, stand_in names what could not be made.
int guard_std_streams();
extern const char *const stand_in;

// Refuses, with EBADF, a path that leads (through /dev/fd/N, /proc/self/fd/N or
// a link to either) to a descriptor that the caller did not hand over: one
// closed when the run began, which a file the run opens could take. Call for
// IN and for OUT before opening either.
int check_descriptor_name(const char *path);

// The arguments as UTF-8. On Windows they come from the wide command line;
// elsewhere argv is returned as it is.
char **utf8_arguments(int &argc, char **argv);

// Opens IN for reading. A directory is refused here, before OUT is touched.
int open_in(const char *path, file &f);

// Opens OUT for writing, without truncating it: it must first be compared
// with IN. A missing OUT is not made yet: f then holds the folder it would be
// made in (f.missing), which IN is compared with instead, so that a refused
// run writes nothing anywhere.
int open_out(const char *path, file &f);

// How IN and OUT meet: apart; as one file (a regular file, FIFO, pipe or
// block device); or sharing storage, so that writing OUT would change the
// storage beneath IN or IN lie beneath OUT (a loop device and its backing
// file, a block device and a file system on it, partitions of one disk). The
// same terminal or character device on both sides is a filter, not a clash.
enum class overlap { none, same_file, shared_storage };

// Finds how IN and OUT meet. Returns 0, or the error that kept the system
// from telling, when what it would not tell could be IN: then the run must
// refuse.
int find_overlap(const file &in, const file &out, overlap &found);

// Decides how the copy reaches OUT (path, as open_out got it) and makes
// ready what it is written to: for a regular OUT, new or existing, a new file
// beside it (in the folder its symbolic links lead to) with everything the
// old one had that others see (mode, owner, group, extended attributes and
// ACLs); an OUT that must be written in place is emptied, unless the copy is
// staged first. From here on, a signal that would end the run discards what
// it has made, as a failure does, and then ends it as that signal would.
int prepare_out(const char *path, file &out, const file &in);

// Makes a finished copy hold exactly our output: a regular file we emptied is
// cut where our output ended, as a file system that caches a file's length
// may have shown an old, longer file as empty, and one that ends in a hole is
// given its full length; a block device is made to write out what it holds,
// as its close does not report a failed write.
int finish_out(const file &out);

// Puts the whole copy in OUT's place: the new file takes OUT's name in one
// step (never replacing a file that appeared at a new OUT's name meanwhile),
// or a staged copy is written into OUT itself. Signals are held off from
// here to the end of the run: once OUT has its copy, the run has succeeded.
int commit_out(const char *path, file &out);

// What check_length returns for an IN that another program cut short while
// it was read: the copy would be of no state the file ever had.
constexpr int error_shrank = -3;

// Returns error_shrank if a regular IN ended before the length it had when
// opened, else 0; but for files whose length is a mere claim (attributes of
// /sys and its like), taken as they read.
int check_length(const file &in);

// Whether pass_hole has a question for the file system: IN is a regular file
// the run opened, whose file system has not refused such questions, and OUT
// reads as zero wherever the run does not write it (a file it made, or
// emptied itself); and the copy is neither inside data already found nor at
// the length IN had when opened, where the next read tells whether there is
// more.
inline bool hole_to_ask(const file &in, const file &out) {
    return in.regular && !in.inherited && !in.no_hole_queries && out.regular && !out.inherited &&
           (out.how != way::in_place || out.emptied) && in.data_end <= in.got &&
           (in.data_end != in.size || in.got != in.size);
}

// Where IN is at a hole (a range that its file system stores as nothing and
// reads as zeros, which negate to zeros) and OUT can keep it as one, passes
// over it: IN is read on from its next data, and OUT gets the hole before its
// next byte or at its end. Only a regular IN that the run opened itself, on a
// file system that tells where its data lies, and a regular OUT that the run
// made or emptied, so that every byte it does not write reads as zero.
int pass_hole(file &in, file &out);

// Reads up to size bytes; got is 0 at the end of the input. Retries
// interrupted calls, and counts what it read in in.got. Where IN's holes are
// passed over, reads no further than where its data ends.
int read_some(file &in, unsigned char *buf, std::size_t size, std::size_t &got);

// Writes all n bytes, across short writes and interruptions, and counts them
// in out.written.
int write_all(file &out, const unsigned char *buf, std::size_t n);

// Closes f, reporting errors that surface only at close (NFS, quotas). A new
// file that is still to take OUT's place stays open for commit_out, which
// needs it, once that check has been made.
int close_file(file &f);

// Leaves no partial copy of OUT, and OUT as it was wherever it can: a new
// file that was to take OUT's place goes, with any name the run gave it; a
// regular OUT emptied in place is emptied again, never removed; one the run
// has not emptied is left as it was. An inherited regular file is cut back to
// its length at the start of the run, and its position set back to
// out.start; bytes it had that we overwrote cannot be restored. Pipes,
// sockets, terminals and devices are left alone. Returns 0 once the partial
// copy is gone. Works also after a failed close_file, and from a signal's
// handler. Signals are held off from here to the end of the run.
int discard_out(const char *path, file &out);

// What discard_out returns where the new file holds the whole copy but could
// not take OUT's name, which the old file may have left already (Windows):
// the copy is kept, under its own name.
constexpr int error_copy_kept = -4;

// The name of what discard_out left beside OUT (the new file the run named),
// in UTF-8, for the message; null where OUT itself is what is left.
const char *partial_name(const file &out);

// Writes text in one piece where the system allows, so that a line does not
// interleave with other writers' lines. Failures are ignored: there is nowhere
// left to report them, and the exit status already tells the outcome.
void write_stdout(const char *text, std::size_t n);
void write_stderr(const char *text, std::size_t n);

// The words for the errors above, which the tool names itself on every
// system; null for any other.
inline const char *own_words(int err) {
    switch (err) {
    case error_shared_output:
        return "others have written to it since";
    case error_shrank:
        return "file shrank while being read";
    default:
        return nullptr;
    }
}

// The system's description of err (or the tool's own words for it), in UTF-8.
const char *describe(int err);

} // namespace sys
