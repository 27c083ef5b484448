// byteneg IN OUT: writes to OUT the negation modulo 256 of every byte of IN.
//
// Every failure is reported as "PROG: PATH: reason" on standard error and ends
// the run with status 2; status 1 is kept for the usage line alone. A regular
// OUT is written as a new file beside it, which takes OUT's name only once it
// is whole, so that a failure or a signal leaves OUT as it was; where OUT must
// be written in place, a failure discards what was written to it. Either way
// a partial copy is never left looking like a good one. IN is only ever read.

#include "file.hpp"
#include "message.hpp"
#include "negate.hpp"

#include <cstring>

namespace {

constexpr int status_usage = 1;
constexpr int status_failure = 2;

// Static rather than on the stack or the heap: fixed memory, no allocation.
// Page-aligned, as reading a descriptor opened for direct I/O (O_DIRECT)
// into it requires.
alignas(4096) unsigned char block[block_size];

const char *prog = "byteneg";

// One line at a time; at namespace scope, as a function's static would need
// a guard from the C++ run-time library, which the tool does not otherwise load.
message line;

// Reports "PROG: PATH: WHAT[NAME][: REASON]" as one line. Names are escaped,
// as they may hold any byte; the system's reason is printed as it is.
int report(const char *path, const char *what, const char *name = "",
           const char *reason = nullptr) {
    line = message{};
    append(line, prog, true, room_after_program);
    append(line, ": ");
    append(line, path, true, room_after_name);
    append(line, ": ");
    append(line, what);
    append(line, name, true, reason == nullptr ? 1 : room_after_name);
    if (reason != nullptr) {
        append(line, ": ");
        append(line, reason);
    }
    end_line(line);
    sys::write_stderr(line.text, line.len);
    return status_failure;
}

int fail(const char *path, int err) {
    return report(path, sys::describe(err));
}

// For failures once OUT is open: discard what the run made of OUT (a new file
// beside it, or OUT emptied or written in place), then report the failure on PATH, in WHAT and
// NAME or, by default, the system's words for err. Discarding first means
// that neither a full disk that would take the message nor a broken standard
// error pipe can leave a partial copy. A second line only if the partial copy
// could not be discarded at all.
int fail_discarding(const char *path, int err, const char *out, sys::file &out_file,
                    const char *what = nullptr, const char *name = "") {
    const int lost = sys::discard_out(out, out_file);
    if (what == nullptr) {
        report(path, sys::describe(err));
    } else {
        report(path, what, name, err == 0 ? nullptr : sys::describe(err));
    }
    const char *const left = sys::partial_name(out_file);
    const char *const where = left != nullptr ? left : out;
    if (lost == sys::error_copy_kept) {
        report(where, "the whole copy is kept here, as OUT may be gone");
    } else if (lost != 0) {
        report(where, "cannot discard partial output: ", sys::describe(lost));
    }
    return status_failure;
}

// The usage line, exactly as it stands: in one piece where it fits.
int usage() {
    constexpr char rest[] = " <in> <out>\n";
    const std::size_t len = std::strlen(prog);
    if (len < message::capacity / 2) {
        line = message{};
        append(line, prog);
        append(line, rest);
        sys::write_stdout(line.text, line.len);
    } else {
        sys::write_stdout(prog, len);
        sys::write_stdout(rest, sizeof rest - 1);
    }
    return status_usage;
}

// Streams IN to OUT through negate_block, in order, so that pipes, FIFOs and
// devices work on either side; IN's holes stay holes where OUT can keep them.
// Returns 0, or the error and in failed the path it concerns.
int copy(sys::file &in_file, const char *in, sys::file &out_file, const char *out,
         const char *&failed) {
    for (;;) {
        if (const int err = sys::pass_hole(in_file, out_file); err != 0) {
            failed = in;
            return err;
        }
        std::size_t got = 0;
        if (const int err = sys::read_some(in_file, block, sizeof block, got); err != 0) {
            failed = in;
            return err;
        }
        if (got == 0) {
            return 0;
        }
        negate_block(block, got);
        if (const int err = sys::write_all(out_file, block, got); err != 0) {
            failed = out;
            return err;
        }
    }
}

} // namespace

int main(int argc, char *argv[]) {
    argv = sys::utf8_arguments(argc, argv);
    // An empty argument vector is possible with execve; fall back to our name.
    if (argc > 0 && argv[0] != nullptr && argv[0][0] != '\0') {
        prog = argv[0];
    }
    // 0. Standard streams before any file is opened: a closed one would
    // otherwise be taken by IN or OUT, and a message or the usage line would
    // land in that file.
    if (const int err = sys::guard_std_streams(); err != 0) {
        return fail(sys::stand_in, err);
    }

    // 1. Argument check; arguments after the second are ignored.
    if (argc < 3) {
        return usage();
    }
    const char *in = argv[1];
    const char *out = argv[2];

    // 2. Names that lead to a descriptor of ours, not the caller's: once IN
    // is open, /dev/fd/3 may be IN itself.
    if (const int err = sys::check_descriptor_name(in); err != 0) {
        return fail(in, err);
    }
    if (const int err = sys::check_descriptor_name(out); err != 0) {
        return fail(out, err);
    }

    // 3. Open IN. If it cannot be opened, OUT is not touched. An IN that opens
    // but then fails to read (/proc/self/mem) is found out only at the first
    // read, after OUT has been opened and emptied, and OUT is then discarded.
    sys::file in_file;
    if (const int err = sys::open_in(in, in_file); err != 0) {
        return fail(in, err);
    }

    // 4. Open OUT without truncating it (or, if it is missing, the folder it
    // goes in), and compare it with IN before anything is written. Comparing
    // the open files rather than the paths leaves no window in which OUT
    // could be swapped for IN between the check and the use.
    sys::file out_file;
    if (const int err = sys::open_out(out, out_file); err != 0) {
        return fail_discarding(out, err, out, out_file);
    }
    sys::overlap meeting = sys::overlap::none;
    if (const int err = sys::find_overlap(in_file, out_file, meeting); err != 0) {
        return fail_discarding(out, err, out, out_file,
                               "cannot tell whether it shares storage with ", in);
    }
    if (meeting != sys::overlap::none) {
        return fail_discarding(
            out, 0, out, out_file,
            meeting == sys::overlap::same_file ? "same file as " : "shares storage with ", in);
    }

    // 5. Make ready what the copy is written to: a new file beside OUT, or
    // OUT itself, emptied, where replacing it would change what others see.
    if (const int err = sys::prepare_out(out, out_file, in_file); err != 0) {
        return fail_discarding(out, err, out, out_file);
    }

    // 6. Copy, and make sure IN was not cut short meanwhile.
    const char *failed = nullptr;
    if (const int err = copy(in_file, in, out_file, out, failed); err != 0) {
        return fail_discarding(failed, err, out, out_file);
    }
    if (const int err = sys::check_length(in_file); err != 0) {
        return fail_discarding(in, err, out, out_file);
    }

    // 7. Make the copy hold exactly our output, then close IN and the copy,
    // whose close may be the first to report a failed write.
    if (const int err = sys::finish_out(out_file); err != 0) {
        return fail_discarding(out, err, out, out_file);
    }
    if (const int err = sys::close_file(in_file); err != 0) {
        return fail_discarding(in, err, out, out_file);
    }
    if (const int err = sys::close_file(out_file); err != 0) {
        return fail_discarding(out, err, out, out_file);
    }

    // 8. Put the whole copy in OUT's place.
    if (const int err = sys::commit_out(out, out_file); err != 0) {
        return fail_discarding(out, err, out, out_file);
    }
    return 0;
}
