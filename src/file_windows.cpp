// The file operations of file.hpp on Windows. Paths arrive as UTF-8 and go to
// the wide (UTF-16) API, so that every name the file system allows works
// whatever the ANSI code page. All I/O is on raw handles: the C runtime's text
// mode, which rewrites LF as CRLF and stops at 0x1A, is never in the way.
#include "file.hpp"
#include "wide_names.hpp"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <iterator>

#include <windows.h>
#include <winioctl.h>

// The C runtime's start-up call that splits the command line into wide
// arguments; msvcrt.dll exports it, and mingw-w64 declares it in no public
// header. Its last parameter points to the one int of its start-up
// information: the mode of operator new, 0 as at start. Wildcards are left as
// they are, as the usual run-time leaves them.
extern "C" int __wgetmainargs(int *argc, wchar_t ***argv, wchar_t ***environment,
                              int expand_wildcards, int *new_mode);

namespace sys {

const char *const stand_in = "NUL";

namespace {

// Windows has no code for "is a directory": opening one for writing says
// "Access is denied", which sends the user looking at permissions. Bit 29
// marks codes that an application defines, so this one clashes with no
// system code.
constexpr int error_is_directory = 0x20000001;
// A name that UTF-8 cannot carry, so that the run cannot pass it on exactly.
constexpr int error_lone_surrogate = 0x20000002;

HANDLE handle_of(const file &f) {
    return reinterpret_cast<HANDLE>(f.handle);
}

int last_error() {
    return static_cast<int>(GetLastError());
}

// The exact paths that name a standard handle the caller gave us, spelt as on
// POSIX systems so that scripts and tests work unchanged.
DWORD inherited_handle(const char *path) {
    if (std::strcmp(path, "/dev/stdin") == 0 || std::strcmp(path, "/dev/fd/0") == 0) {
        return STD_INPUT_HANDLE;
    }
    if (std::strcmp(path, "/dev/stdout") == 0 || std::strcmp(path, "/dev/fd/1") == 0) {
        return STD_OUTPUT_HANDLE;
    }
    return 0;
}

// The arguments that hold a lone surrogate: their UTF-8 text only shows the
// name, and opening it would open another file.
char **inexact_arguments = nullptr;
int inexact_count = 0;

// Storage for what the system hands back, grown as it needs and kept for the
// next call: the run asks about two names at most.
struct buffer {
    void *data = nullptr;
    std::size_t room = 0; // bytes
};

// Makes buf hold at least bytes; false if memory is short.
bool reserve(buffer &buf, std::size_t bytes) {
    if (bytes <= buf.room) {
        return true;
    }
    void *const grown = std::realloc(buf.data, bytes);
    if (grown == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return false;
    }
    buf.data = grown;
    buf.room = bytes;
    return true;
}

wchar_t *text_of(const buffer &buf) {
    return static_cast<wchar_t *>(buf.data);
}

// Room for the longest path the system takes, with its null character.
constexpr DWORD path_room = 32767;

// The full path of path as the system resolves it, placed at character at of
// buf, with part set where its last component begins: its length, or 0 with
// the reason in GetLastError(). Given the room of the longest path rather
// than asked for its size: Wine, resolving a name relative to another drive's
// current folder (C:x, through =C: in the environment), writes past a buffer
// too small for that folder, the size query's empty one included, and with
// room for 32768 characters or more it counts the bytes in 16 bits and
// returns garbage.
DWORD full_path(const wchar_t *path, buffer &buf, std::size_t at, wchar_t **part) {
    if (!reserve(buf, (at + path_room) * sizeof(wchar_t))) {
        return 0;
    }
    const DWORD got = GetFullPathNameW(path, path_room, text_of(buf) + at, part);
    if (got >= path_room) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return 0;
    }
    return got;
}

// A UTF-8 path as UTF-16, in the \\?\ form if its full path is too long
// for the other, in storage that lives until the next call. Paths are short
// and the run opens at most two, so one growing buffer serves.
int wide_path(const char *path, const wchar_t *&wide) {
    for (int i = 0; i < inexact_count; ++i) {
        if (inexact_arguments[i] == path) {
            return error_lone_surrogate;
        }
    }
    static buffer name;
    const int need = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path, -1, nullptr, 0);
    if (need == 0 || !reserve(name, static_cast<std::size_t>(need) * sizeof(wchar_t)) ||
        MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path, -1, text_of(name), need) == 0) {
        return last_error();
    }
    wide = text_of(name);
    // The length that counts is the full path's: the current folder may be
    // deep. A name the system cannot make full is left for CreateFileW to
    // refuse with its own reason. Room for \\?\UN before the full path,
    // whose first \ becomes the C of UNC when it is a \\server\share path.
    static buffer full_buf;
    constexpr DWORD prefix = 6;
    const DWORD got = full_path(wide, full_buf, prefix, nullptr);
    if (got == 0) {
        return GetLastError() == ERROR_NOT_ENOUGH_MEMORY ? ERROR_NOT_ENOUGH_MEMORY : 0;
    }
    wchar_t *const full = text_of(full_buf);
    wchar_t *const rest = full + prefix;
    switch (spelling_of(rest, got)) {
    case spelling::as_is:
        break;
    case spelling::prefixed_unc:
        std::wmemcpy(full, L"\\\\?\\UN", prefix);
        rest[0] = L'C';
        wide = full;
        break;
    case spelling::prefixed:
        std::wmemcpy(full + 2, L"\\\\?\\", 4);
        wide = full + 2;
        break;
    }
    return 0;
}

// Whether path names a directory, to tell that apart from a real denial.
bool is_directory(const wchar_t *path) {
    const DWORD attributes = GetFileAttributesW(path);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// The identity of a file on disk: volume serial and file index.
struct identity {
    std::uint64_t volume = 0;
    std::uint64_t index = 0;
};

// FILE_ID_INFO carries the full 128-bit file ID that ReFS needs, and Wine
// answers it for a standard handle made from a Unix descriptor, where the
// older GetFileInformationByHandle fails. File systems that lack it (FAT)
// still answer the older call; one run sees one or the other for a volume.
int identify_disk(HANDLE h, identity &id) {
    FILE_ID_INFO info{};
    if (GetFileInformationByHandleEx(h, FileIdInfo, &info, sizeof info)) {
        std::uint64_t half[2] = {};
        static_assert(sizeof half == sizeof info.FileId.Identifier);
        std::memcpy(half, info.FileId.Identifier, sizeof half);
        id.volume = info.VolumeSerialNumber;
        id.index = half[0] ^ half[1]; // NTFS uses the low half alone
        return 0;
    }
    BY_HANDLE_FILE_INFORMATION old{};
    if (!GetFileInformationByHandle(h, &old)) {
        return last_error();
    }
    id.volume = old.dwVolumeSerialNumber;
    id.index = (std::uint64_t{old.nFileIndexHigh} << 32) | old.nFileIndexLow;
    return 0;
}

// Fills in what kind of file h is and, for a file on disk, its identity.
// Returns error_is_directory for a directory, which neither side can use.
int identify(HANDLE h, file &f) {
    f.handle = reinterpret_cast<std::intptr_t>(h);
    SetLastError(NO_ERROR);
    const DWORD type = GetFileType(h);
    if (type == FILE_TYPE_UNKNOWN && GetLastError() != NO_ERROR) {
        return last_error();
    }
    if (type != FILE_TYPE_DISK) {
        return 0;
    }
    FILE_STANDARD_INFO standard{};
    if (!GetFileInformationByHandleEx(h, FileStandardInfo, &standard, sizeof standard)) {
        return last_error();
    }
    if (standard.Directory) {
        return error_is_directory;
    }
    identity id;
    if (const int err = identify_disk(h, id); err != 0) {
        return err;
    }
    f.regular = true;
    f.volume = id.volume;
    f.index = id.index;
    return 0;
}

int use_inherited(DWORD which, file &f) {
    const HANDLE h = GetStdHandle(which);
    if (h == nullptr || h == INVALID_HANDLE_VALUE) {
        return ERROR_INVALID_HANDLE;
    }
    f.inherited = true;
    return identify(h, f);
}

// Cuts the file back to size, leaving its position alone: a caller sharing
// the handle must not find it moved if the cut fails. One that is not longer
// is left alone: setting the end there would extend a shorter one, and Wine,
// asked for the size the file has, writes a byte past it, which fails on a
// full disk.
int cut_back(HANDLE h, std::int64_t size) {
    LARGE_INTEGER now{};
    if (!GetFileSizeEx(h, &now)) {
        return last_error();
    }
    if (now.QuadPart <= size) {
        return 0;
    }
    FILE_END_OF_FILE_INFO end{};
    end.EndOfFile.QuadPart = size;
    return SetFileInformationByHandle(h, FileEndOfFileInfo, &end, sizeof end) ? 0 : last_error();
}

void write_text(DWORD which, const char *text, std::size_t n) {
    const HANDLE h = GetStdHandle(which);
    if (h == nullptr || h == INVALID_HANDLE_VALUE) {
        return;
    }
    // A console shows UTF-8 bytes through its own code page, which garbles
    // any name outside ASCII; it takes UTF-16 as it is.
    DWORD mode = 0;
    if (GetConsoleMode(h, &mode)) {
        static wchar_t wide[16384];
        const int len = MultiByteToWideChar(CP_UTF8, 0, text, static_cast<int>(n), wide,
                                            static_cast<int>(sizeof wide / sizeof wide[0]));
        DWORD put = 0;
        if (len > 0 && WriteConsoleW(h, wide, static_cast<DWORD>(len), &put, nullptr)) {
            return;
        }
    }
    while (n > 0) {
        DWORD put = 0;
        if (!WriteFile(h, text, static_cast<DWORD>(n), &put, nullptr) || put == 0) {
            return;
        }
        text += put;
        n -= put;
    }
}

} // namespace

int guard_std_streams() {
    // Nothing to do: unlike a descriptor, a missing standard handle is not
    // taken by the next file opened, and the operations that use one check
    // that it is there. Output never goes through the C runtime's streams,
    // whose text mode would turn LF into CRLF.
    return 0;
}

int check_descriptor_name(const char * /*path*/) {
    return 0; // no names lead to descriptors
}

char **utf8_arguments(int &argc, char **argv) {
    // The C runtime's argv went through the ANSI code page, which turns any
    // character outside it into '?'. Its wide arguments have the real names,
    // split by its own rules, as any program built with it splits them
    // (CommandLineToArgvW's differ), and lone surrogates as they are.
    int count = 0;
    wchar_t **wide = nullptr;
    wchar_t **environment = nullptr;
    int new_mode = 0;
    if (__wgetmainargs(&count, &wide, &environment, 0, &new_mode) != 0 || wide == nullptr) {
        return argv;
    }
    // One block: the pointer arrays, then the strings.
    const std::size_t pointers = (static_cast<std::size_t>(count) + 1) * sizeof(char *);
    std::size_t bytes = 2 * pointers;
    bool exact = true;
    for (int i = 0; i < count; ++i) {
        bytes += utf8_of(wide[i], nullptr, exact) + 1;
    }
    auto *block = static_cast<char *>(std::malloc(bytes));
    if (block == nullptr) {
        return argv;
    }
    auto **args = reinterpret_cast<char **>(block);
    inexact_arguments = reinterpret_cast<char **>(block + pointers);
    char *next = block + 2 * pointers;
    for (int i = 0; i < count; ++i) {
        args[i] = next;
        next += utf8_of(wide[i], next, exact) + 1;
        if (!exact) {
            inexact_arguments[inexact_count++] = args[i];
        }
    }
    args[count] = nullptr;
    argc = count;
    return args;
}

namespace {

// What is left of a regular IN from where its reading stands, so that one
// cut short while it is read can be told.
int note_size(file &f) {
    LARGE_INTEGER at{};
    LARGE_INTEGER size{};
    if (!f.regular) {
        return 0;
    }
    if (!SetFilePointerEx(handle_of(f), LARGE_INTEGER{}, &at, FILE_CURRENT) ||
        !GetFileSizeEx(handle_of(f), &size)) {
        return last_error();
    }
    f.size = size.QuadPart - at.QuadPart;
    return 0;
}

} // namespace

int open_in(const char *path, file &f) {
    if (const DWORD which = inherited_handle(path); which != 0) {
        const int err = use_inherited(which, f);
        return err != 0 ? err : note_size(f);
    }
    const wchar_t *wide = nullptr;
    if (const int err = wide_path(path, wide); err != 0) {
        return err;
    }
    // Others may go on reading, writing, renaming or deleting IN meanwhile, as
    // they may on POSIX systems.
    const HANDLE h =
        CreateFileW(wide, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        const int err = last_error();
        return err == ERROR_ACCESS_DENIED && is_directory(wide) ? error_is_directory : err;
    }
    const int err = identify(h, f);
    return err != 0 ? err : note_size(f);
}

int open_out(const char *path, file &f) {
    if (const DWORD which = inherited_handle(path); which != 0) {
        if (const int err = use_inherited(which, f); err != 0) {
            return err;
        }
        if (f.regular) {
            // Our output begins wherever the caller left the handle. Windows
            // has no append mode to find out about: a shell's >> moves the
            // position to the end before the run.
            LARGE_INTEGER at{};
            LARGE_INTEGER size{};
            if (!SetFilePointerEx(handle_of(f), LARGE_INTEGER{}, &at, FILE_CURRENT) ||
                !GetFileSizeEx(handle_of(f), &size)) {
                return last_error();
            }
            f.start = at.QuadPart;
            f.length = size.QuadPart;
        }
        return 0;
    }
    const wchar_t *wide = nullptr;
    if (const int err = wide_path(path, wide); err != 0) {
        return err;
    }
    // Opened for writing, as a file the user may not write is refused, but
    // not made: a new file beside it takes its name once the copy is whole.
    const HANDLE h =
        CreateFileW(wide, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        const int err = last_error();
        if (err == ERROR_FILE_NOT_FOUND) {
            f.missing = true;
            return 0;
        }
        return err == ERROR_ACCESS_DENIED && is_directory(wide) ? error_is_directory : err;
    }
    return identify(h, f);
}

int find_overlap(const file &in, const file &out, overlap &found) {
    found = overlap::none;
    if (!in.regular || !out.regular || in.index != out.index) {
        return 0;
    }
    // Serial 0 means the system could not tell the volume: Wine does so for a
    // standard handle made from a Unix descriptor, and so do some virtual
    // file systems. The index alone then decides, erring towards a refusal,
    // which costs a rerun, rather than towards emptying IN.
    if (in.volume == out.volume || in.volume == 0 || out.volume == 0) {
        found = overlap::same_file;
    }
    return 0;
}

int finish_out(const file &out) {
    // A new file holds nothing but what was written to it, and needs its
    // length set only where it ends in a hole.
    if (out.inherited || !out.regular || (out.how != way::in_place && out.hole == 0)) {
        return 0;
    }
    if (out.hole == 0) {
        return cut_back(handle_of(out), out.written + out.skipped);
    }
    FILE_END_OF_FILE_INFO end{};
    end.EndOfFile.QuadPart = out.written + out.skipped + out.hole;
    return SetFileInformationByHandle(handle_of(out), FileEndOfFileInfo, &end, sizeof end)
               ? 0
               : last_error();
}

int pass_hole(file &in, file &out) {
    if (!hole_to_ask(in, out)) {
        return 0;
    }
    const HANDLE h = handle_of(in);
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(h, &size)) {
        return last_error();
    }
    if (in.got >= size.QuadPart) {
        in.data_end = in.got; // a read tells
        return 0;
    }
    // The first range of data from here on, as NTFS and ReFS tell it.
    FILE_ALLOCATED_RANGE_BUFFER query{};
    FILE_ALLOCATED_RANGE_BUFFER first{};
    query.FileOffset.QuadPart = in.got;
    query.Length.QuadPart = size.QuadPart - in.got;
    DWORD answer = 0;
    if (!DeviceIoControl(h, FSCTL_QUERY_ALLOCATED_RANGES, &query, sizeof query, &first,
                         sizeof first, &answer, nullptr) &&
        GetLastError() != ERROR_MORE_DATA) {
        const int err = last_error();
        if (err == ERROR_NOT_SUPPORTED || err == ERROR_INVALID_FUNCTION ||
            err == ERROR_INVALID_PARAMETER) {
            in.no_hole_queries = true; // read in full, as a stream
            return 0;
        }
        return err;
    }
    const std::int64_t data =
        answer == 0 ? size.QuadPart : std::max<std::int64_t>(first.FileOffset.QuadPart, in.got);
    in.data_end = answer == 0 ? data : first.FileOffset.QuadPart + first.Length.QuadPart;
    if (data > in.got) {
        // A sparse OUT keeps the hole as one; any other has it filled with
        // zeros by the file system, which reads the same.
        if (out.hole == 0 && out.skipped == 0) {
            DWORD none = 0;
            DeviceIoControl(handle_of(out), FSCTL_SET_SPARSE, nullptr, 0, nullptr, 0, &none,
                            nullptr);
        }
        LARGE_INTEGER at{};
        at.QuadPart = data;
        if (!SetFilePointerEx(h, at, nullptr, FILE_BEGIN)) {
            return last_error();
        }
        out.hole += data - in.got;
        in.got = data;
    }
    return 0;
}

int check_length(const file &in) {
    if (!in.regular || in.got >= in.size) {
        return 0;
    }
    LARGE_INTEGER now{};
    if (!GetFileSizeEx(handle_of(in), &now)) {
        return last_error();
    }
    return now.QuadPart < in.size ? error_shrank : 0;
}

// Whether h is a pipe that a caller set not to wait (PIPE_NOWAIT): reading
// it when it is empty, or writing it when it is full, does nothing at once.
// The run waits for the other end instead, as it would on any other pipe;
// Windows has no call that waits for a pipe to be ready, so a short sleep
// between tries stands in for one.
bool wait_for_pipe(HANDLE h) {
    DWORD state = 0;
    if (!GetNamedPipeHandleStateW(h, &state, nullptr, nullptr, nullptr, nullptr, 0) ||
        (state & PIPE_NOWAIT) == 0) {
        return false;
    }
    Sleep(1);
    return true;
}

int read_some(file &in, unsigned char *buf, std::size_t size, std::size_t &got) {
    if (in.data_end > in.got && static_cast<std::uint64_t>(in.data_end - in.got) < size) {
        size = static_cast<std::size_t>(in.data_end - in.got);
    }
    const HANDLE h = handle_of(in);
    const DWORD want = size > MAXDWORD ? MAXDWORD : static_cast<DWORD>(size);
    got = 0;
    for (;;) {
        DWORD n = 0;
        if (ReadFile(h, buf, want, &n, nullptr)) {
            // A pipe of the system's own, named or anonymous, ends with an
            // error (below): reading nothing from it is a message of no
            // bytes, and more may follow. Wine's pipes made from Unix
            // descriptors are not such pipes, and end by reading nothing.
            if (n == 0 && GetNamedPipeInfo(h, nullptr, nullptr, nullptr, nullptr)) {
                continue;
            }
            got = n;
            in.got += n;
            return 0;
        }
        const int err = last_error();
        // A message longer than the buffer fills it, and the rest comes with
        // the next read: what came is data like any other.
        if (err == ERROR_MORE_DATA && n > 0) {
            got = n;
            in.got += n;
            return 0;
        }
        if (err == ERROR_NO_DATA && wait_for_pipe(h)) {
            continue;
        }
        // A pipe ends when its writer closes it, or when a server disconnects
        // once it has flushed what it wrote: every byte has come either way.
        // On a file (on a share whose connection broke) the same codes are
        // failures.
        if ((err == ERROR_BROKEN_PIPE || err == ERROR_PIPE_NOT_CONNECTED) &&
            GetFileType(h) == FILE_TYPE_PIPE) {
            return 0;
        }
        return err;
    }
}

namespace {

int write_handle(file &out, const unsigned char *buf, std::size_t n) {
    if (out.hole > 0) {
        LARGE_INTEGER by{};
        by.QuadPart = out.hole;
        if (!SetFilePointerEx(handle_of(out), by, nullptr, FILE_CURRENT)) {
            return last_error();
        }
        out.skipped += out.hole;
        out.hole = 0;
    }
    while (n > 0) {
        const DWORD want = n > MAXDWORD ? MAXDWORD : static_cast<DWORD>(n);
        DWORD put = 0;
        if (!WriteFile(handle_of(out), buf, want, &put, nullptr)) {
            return last_error();
        }
        if (put == 0) {
            if (wait_for_pipe(handle_of(out))) {
                continue;
            }
            return ERROR_WRITE_FAULT; // no progress and no error: give up rather than spin
        }
        // A handle may append without our knowing (a shell's >>, or a handle
        // with append access alone): the first write shows where it went,
        // which is where our output began.
        if (out.inherited && out.regular && out.written == 0) {
            LARGE_INTEGER at{};
            if (SetFilePointerEx(handle_of(out), LARGE_INTEGER{}, &at, FILE_CURRENT) &&
                at.QuadPart - put != out.start) {
                out.start = at.QuadPart - put;
                out.appends = true;
            }
        }
        buf += put;
        n -= put;
        out.written += put;
    }
    return 0;
}

} // namespace

int close_file(file &f) {
    // A standard handle is also the process's own, which messages may still
    // use: the caller can hand the same handle as output and error. A new
    // file is yet to take OUT's name.
    if (f.inherited || f.how != way::in_place) {
        return 0;
    }
    const HANDLE h = handle_of(f);
    f.handle = -1;
    return CloseHandle(h) ? 0 : last_error();
}

namespace {

// Gives an inherited file back its length at the start of the run and sets
// its position where our output began, unless others have written to it
// since: the file must end where our output ended or where it ended before.
int restore(HANDLE h, const file &out) {
    if (out.written == 0) {
        return 0; // nothing of ours is there
    }
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(h, &size)) {
        return last_error();
    }
    const std::int64_t ours_end = out.start + out.written;
    if (size.QuadPart != (ours_end > out.length ? ours_end : out.length)) {
        return error_shared_output;
    }
    if (const int err = cut_back(h, out.length); err != 0) {
        return err;
    }
    LARGE_INTEGER at{};
    at.QuadPart = out.start;
    return SetFilePointerEx(h, at, nullptr, FILE_BEGIN) ? 0 : last_error();
}

} // namespace

namespace {

// The last component of a Windows or Unix-style path.
const wchar_t *leaf(const wchar_t *path) {
    const wchar_t *last = path;
    for (const wchar_t *p = path; *p != L'\0'; ++p) {
        if (*p == L'\\' || *p == L'/') {
            last = p + 1;
        }
    }
    return last;
}

// The system's name for the open file or folder h, in buf: its final path or,
// where the system cannot give that (some cannot with a long path), its path
// on its volume. Returns the length, or 0 if neither is known. Two names made
// in different ways differ, which errs towards keeping OUT.
std::size_t name_of(HANDLE h, buffer &buf) {
    constexpr DWORD flags = FILE_NAME_NORMALIZED | VOLUME_NAME_DOS;
    const DWORD need = GetFinalPathNameByHandleW(h, nullptr, 0, flags);
    if (need != 0 && reserve(buf, need * sizeof(wchar_t))) {
        const DWORD len = GetFinalPathNameByHandleW(h, text_of(buf), need, flags);
        if (len != 0 && len < need) {
            return len;
        }
    }
    // Asked with no room for the name, the system says how long it is.
    FILE_NAME_INFO probe{};
    if (!GetFileInformationByHandleEx(h, FileNameInfo, &probe, sizeof probe) &&
        GetLastError() != ERROR_MORE_DATA) {
        return 0;
    }
    const std::size_t n = probe.FileNameLength / sizeof(wchar_t);
    if (!reserve(buf, sizeof(FILE_NAME_INFO) + n * sizeof(wchar_t))) {
        return 0;
    }
    auto *const info = static_cast<FILE_NAME_INFO *>(buf.data);
    if (!GetFileInformationByHandleEx(h, FileNameInfo, info, static_cast<DWORD>(buf.room)) ||
        info->FileNameLength != probe.FileNameLength) {
        return 0;
    }
    // The name, which has no null character, moved to the front to get one.
    std::memmove(buf.data, info->FileName, n * sizeof(wchar_t));
    text_of(buf)[n] = L'\0';
    return n;
}

} // namespace

namespace {

// What Ctrl-C, Ctrl-Break or a closed console must discard: OUT as the run has
// left it so far. The handler runs on a thread of its own; the run's thread
// holds guard while it changes what a handler would discard, and for good
// once the outcome is settled.
CRITICAL_SECTION guard;
file *volatile guarded = nullptr;
const char *volatile guarded_path = nullptr;
HANDLE run_thread = nullptr;
bool guarding = false;

BOOL WINAPI on_console_event(DWORD event) {
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && event != CTRL_CLOSE_EVENT) {
        return FALSE;
    }
    EnterCriticalSection(&guard);
    // The run's thread stops where it is, so that nothing it does races the
    // discarding; the process then ends as Windows ends it on Ctrl-C.
    SuspendThread(run_thread);
    if (file *const f = guarded; f != nullptr) {
        discard_out(guarded_path, *f);
    }
    ExitProcess(STATUS_CONTROL_C_EXIT);
}

int start_guarding() {
    if (guarding) {
        return 0;
    }
    InitializeCriticalSection(&guard);
    if (!DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &run_thread,
                         0, FALSE, DUPLICATE_SAME_ACCESS) ||
        !SetConsoleCtrlHandler(on_console_event, TRUE)) {
        return last_error();
    }
    guarding = true;
    return 0;
}

// The new file beside OUT, and the name it is to take: OUT's own, as the
// system resolves it.
buffer new_name;
buffer out_name;
// The new file is left under its name: it could not be removed, or it holds
// the whole copy where OUT's name could not take it.
bool new_file_left = false;
bool copy_kept = false;

// Marks the new file h for deletion, or takes the mark away: marked, it goes
// when its handle closes, however the run ends (a crash, taskkill /F).
int mark_for_deletion(HANDLE h, bool gone) {
    FILE_DISPOSITION_INFO info{};
    info.DeleteFile = gone ? TRUE : FALSE;
    return SetFileInformationByHandle(h, FileDispositionInfo, &info, sizeof info) ? 0
                                                                                  : last_error();
}

// Makes the new file in the folder of out_name, under a name of the run's own.
int make_new_file(HANDLE &h) {
    const wchar_t *const name = text_of(out_name);
    const std::size_t folder = static_cast<std::size_t>(leaf(name) - name);
    constexpr wchar_t prefix[] = L".byteneg-";
    constexpr std::size_t digits = 8;
    if (!reserve(new_name, (folder + std::size(prefix) + digits) * sizeof(wchar_t))) {
        return last_error();
    }
    wchar_t *const made = text_of(new_name);
    std::wmemcpy(made, name, folder);
    std::wmemcpy(made + folder, prefix, std::size(prefix));
    LARGE_INTEGER tick{};
    QueryPerformanceCounter(&tick);
    auto mix = static_cast<std::uint64_t>(tick.QuadPart) ^
               (static_cast<std::uint64_t>(GetCurrentProcessId()) << 32U);
    for (int tries = 0; tries < 100; ++tries) {
        mix = mix * 6364136223846793005U + 1442695040888963407U;
        std::swprintf(made + folder + std::size(prefix) - 1, digits + 1, L"%08x",
                      static_cast<unsigned>(mix >> 32U));
        h = CreateFileW(made, GENERIC_READ | GENERIC_WRITE | DELETE,
                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, CREATE_NEW,
                        FILE_ATTRIBUTE_NORMAL, nullptr);
        if (h != INVALID_HANDLE_VALUE) {
            const int err = mark_for_deletion(h, true);
            if (err != 0) {
                CloseHandle(h);
                DeleteFileW(made);
            }
            return err;
        }
        if (GetLastError() != ERROR_FILE_EXISTS && GetLastError() != ERROR_ALREADY_EXISTS) {
            return last_error();
        }
    }
    return ERROR_FILE_EXISTS;
}

// Gives the new file to what ReplaceFileW does not carry over from the old
// one: whether it is hidden, a system file, or left out of indexing.
int give_attributes(HANDLE old, HANDLE to) {
    constexpr DWORD kept =
        FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;
    FILE_BASIC_INFO had{};
    FILE_BASIC_INFO has{};
    if (!GetFileInformationByHandleEx(old, FileBasicInfo, &had, sizeof had) ||
        !GetFileInformationByHandleEx(to, FileBasicInfo, &has, sizeof has)) {
        return last_error();
    }
    if ((had.FileAttributes & kept) == 0) {
        return 0;
    }
    // Only those a program may set: compression and the like are the file
    // system's to give.
    constexpr DWORD settable = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_ARCHIVE |
                               FILE_ATTRIBUTE_TEMPORARY | FILE_ATTRIBUTE_OFFLINE | kept;
    FILE_BASIC_INFO set{}; // times of 0 are left as they are
    set.FileAttributes = (has.FileAttributes & settable) | (had.FileAttributes & kept);
    return SetFileInformationByHandle(to, FileBasicInfo, &set, sizeof set) ? 0 : last_error();
}

// prepare_out's choice, made while guard is held. A regular OUT with no other
// name is replaced: under the name the system knows it by, its links
// followed, which ReplaceFileW gives the new file with what the old one had
// (ACLs, streams), and the attributes it does not give.
int choose_and_make(const char *path, file &out) {
    if (out.inherited) {
        return 0;
    }
    const wchar_t *wide = nullptr;
    if (const int err = wide_path(path, wide); err != 0) {
        return err;
    }
    bool replaceable = out.missing;
    if (!out.missing) {
        FILE_STANDARD_INFO standard{};
        if (!GetFileInformationByHandleEx(handle_of(out), FileStandardInfo, &standard,
                                          sizeof standard)) {
            return last_error();
        }
        replaceable = standard.NumberOfLinks == 1 && name_of(handle_of(out), out_name) != 0;
    } else if (full_path(wide, out_name, 0, nullptr) == 0) {
        return last_error();
    }
    if (replaceable) {
        HANDLE h = INVALID_HANDLE_VALUE;
        int err = make_new_file(h);
        if (err == 0 && !out.missing) {
            err = give_attributes(handle_of(out), h);
            if (err != 0) {
                CloseHandle(h); // marked for deletion: it goes
                return err;
            }
        }
        if (err == 0) {
            if (!out.missing && !CloseHandle(handle_of(out))) {
                const int closed = last_error();
                CloseHandle(h);
                return closed;
            }
            out.handle = reinterpret_cast<std::intptr_t>(h);
            out.how = way::replace;
            out.regular = true;
            return 0;
        }
        if (out.missing || err != ERROR_ACCESS_DENIED) {
            return err;
        }
    }
    const int err = cut_back(handle_of(out), 0);
    out.emptied = err == 0;
    return err;
}

} // namespace

int prepare_out(const char *path, file &out, const file & /*in*/) {
    if (!out.regular && !out.missing) {
        return 0; // pipes, consoles and devices: nothing to discard
    }
    if (const int err = start_guarding(); err != 0) {
        return err;
    }
    EnterCriticalSection(&guard);
    guarded_path = path;
    guarded = &out;
    const int err = choose_and_make(path, out);
    LeaveCriticalSection(&guard);
    return err;
}

int write_all(file &out, const unsigned char *buf, std::size_t n) {
    // What Ctrl-C cuts an inherited file back to rests on the count of what
    // the run wrote: the handler waits while a write and its count are made.
    const bool counted = out.inherited && out.regular && guarded != nullptr;
    if (counted) {
        EnterCriticalSection(&guard);
    }
    const int err = write_handle(out, buf, n);
    if (counted) {
        LeaveCriticalSection(&guard);
    }
    return err;
}

int commit_out(const char * /*path*/, file &out) {
    if (guarded == nullptr) {
        return 0;
    }
    EnterCriticalSection(&guard); // for good: once OUT has its copy, the run has succeeded
    if (out.how == way::replace) {
        // Closed first, as Wine's ReplaceFileW opens the new file for itself
        // alone; from here a failure removes it by its name.
        const HANDLE h = handle_of(out);
        if (const int err = mark_for_deletion(h, false); err != 0) {
            return err;
        }
        out.handle = -1;
        if (!CloseHandle(h)) {
            return last_error();
        }
        // A new OUT takes a name nobody has taken meanwhile; an old one is
        // replaced in one step, keeping what it had.
        const BOOL put = out.missing ? MoveFileExW(text_of(new_name), text_of(out_name), 0)
                                     : ReplaceFileW(text_of(out_name), text_of(new_name), nullptr,
                                                    0, nullptr, nullptr);
        if (!put) {
            const int err = last_error();
            if (err != ERROR_UNABLE_TO_MOVE_REPLACEMENT &&
                err != ERROR_UNABLE_TO_MOVE_REPLACEMENT_2) {
                return err;
            }
            // The old OUT may be gone from its name already: the copy takes
            // it if it can, and is never discarded, whatever name it has.
            if (!MoveFileExW(text_of(new_name), text_of(out_name), MOVEFILE_REPLACE_EXISTING)) {
                out.how = way::in_place;
                out.regular = false;
                copy_kept = true;
                return err;
            }
        }
    }
    guarded = nullptr;
    return 0;
}

int discard_out(const char *path, file &out) {
    if (guarding) {
        EnterCriticalSection(&guard); // for good: the run is ending
    }
    guarded = nullptr;
    if (copy_kept) {
        return error_copy_kept;
    }
    if (out.how == way::replace) {
        // The new file is all the partial copy: OUT is as it was.
        // Closed, it goes if marked; else, or if marking failed, by its name.
        const HANDLE h = handle_of(out);
        int err = ERROR_INVALID_HANDLE;
        if (h != INVALID_HANDLE_VALUE) {
            out.handle = -1;
            err = mark_for_deletion(h, true);
            if (!CloseHandle(h) && err == 0) {
                return last_error();
            }
        }
        if (err != 0 && !DeleteFileW(text_of(new_name))) {
            new_file_left = true;
            return h == INVALID_HANDLE_VALUE ? last_error() : err;
        }
        return 0;
    }
    if (!out.regular) {
        return 0;
    }
    if (out.inherited) {
        // Its handle is the only way to it.
        return out.handle == -1 ? ERROR_INVALID_HANDLE : restore(handle_of(out), out);
    }
    if (!out.emptied) {
        return 0; // it holds what it held before the run
    }
    HANDLE h = handle_of(out);
    if (out.handle == -1) {
        // The handle went with a failed close; find the file again by its
        // path, making sure it is still ours.
        const wchar_t *wide = nullptr;
        if (const int err = wide_path(path, wide); err != 0) {
            return err;
        }
        h = CreateFileW(wide, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                        nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (h == INVALID_HANDLE_VALUE) {
            return last_error();
        }
        out.handle = reinterpret_cast<std::intptr_t>(h);
        identity id;
        if (const int err = identify_disk(h, id); err != 0) {
            return err;
        }
        if (id.volume != out.volume || id.index != out.index) {
            return ERROR_FILE_INVALID;
        }
    }
    // Emptied, never removed: the file is not the run's own, and others may
    // reach it by other names.
    return cut_back(h, 0);
}

void write_stdout(const char *text, std::size_t n) {
    write_text(STD_OUTPUT_HANDLE, text, n);
}

void write_stderr(const char *text, std::size_t n) {
    write_text(STD_ERROR_HANDLE, text, n);
}

const char *partial_name(const file & /*out*/) {
    if (!new_file_left && !copy_kept) {
        return nullptr;
    }
    static char name[4 * 32768];
    bool exact = true;
    const wchar_t *const wide = text_of(new_name);
    if (utf8_of(wide, nullptr, exact) >= sizeof name) {
        return nullptr;
    }
    utf8_of(wide, name, exact);
    return name;
}

const char *describe(int err) {
    static char text[1024];
    if (err == error_is_directory) {
        return "Is a directory";
    }
    if (err == error_lone_surrogate) {
        return "Name holds a lone UTF-16 surrogate";
    }
    if (const char *words = own_words(err); words != nullptr) {
        return words;
    }
    // English where the system has it, like the rest of the tool's words;
    // the user's language otherwise.
    wchar_t wide[512];
    constexpr DWORD flags = FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS;
    const auto code = static_cast<DWORD>(err);
    DWORD len = FormatMessageW(flags, nullptr, code, MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US),
                               wide, sizeof wide / sizeof wide[0], nullptr);
    if (len == 0) {
        len = FormatMessageW(flags, nullptr, code, 0, wide, sizeof wide / sizeof wide[0], nullptr);
    }
    while (len > 0 && (wide[len - 1] == L'\r' || wide[len - 1] == L'\n' || wide[len - 1] == L' ')) {
        --len;
    }
    // Some system texts run over two lines; a message is one.
    for (DWORD i = 0; i < len; ++i) {
        if (wide[i] == L'\r' || wide[i] == L'\n') {
            wide[i] = L' ';
        }
    }
    const int n = len == 0 ? 0
                           : WideCharToMultiByte(CP_UTF8, 0, wide, static_cast<int>(len), text,
                                                 sizeof text - 1, nullptr, nullptr);
    if (n <= 0) {
        std::snprintf(text, sizeof text, "error %d", err);
        return text;
    }
    text[n] = '\0';
    return text;
}

} // namespace sys
