// windows_launcher [OPTION...] PROGRAM ARGS...: runs the Windows program
// PROGRAM with ARGS, quoted word by word, and exits with its status. It does
// for the tests what a Unix caller under Wine cannot:
//   -surrogates       each U+FFFD in ARGS becomes the lone surrogate U+DC00
//                     (Wine turns a Unix argument that is not UTF-8 into
//                     U+FFFD, so none can come from the harness directly)
//   -raw              ARGS is one piece of command line, passed as it stands
//   -cd DIR           starts PROGRAM in DIR, leaving the launcher's folder as
//                     its drive's current one (=X: in the environment), as
//                     cmd does on a change of drive
//   -serve PIPE FILE  creates the named pipe PIPE and, once PROGRAM has
//                     connected, writes FILE's bytes into it in one piece,
//                     then closes it
//   -message          ... in message mode, as one message
//   -disconnect       ... and ends by flushing and disconnecting, as servers
//                     do that serve the next client, rather than by closing
//   -stdin            ... to PROGRAM's standard input, a client end in the
//                     pipe's read mode, rather than to PROGRAM opening PIPE
//   -empty            ... in two halves with a write of nothing between them
//   -nowait           ... to a standard input set not to wait for data
//                     (PIPE_NOWAIT), only half a second after PROGRAM started,
//                     so that PROGRAM first finds the pipe empty
// A launcher that cannot do what it was asked exits with 125.
#include <windows.h>

#include <shellapi.h>

#include <span>
#include <string>
#include <string_view>

namespace {

// arg quoted as the C run-time reads it back: backslashes are literal except
// before a quote, where they and the quote are escaped.
void append_quoted(std::wstring &line, std::wstring_view arg) {
    line += L'"';
    std::size_t backslashes = 0;
    for (const wchar_t c : arg) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        line.append(c == L'"' ? 2 * backslashes + 1 : backslashes, L'\\');
        line += c;
        backslashes = 0;
    }
    line.append(2 * backslashes, L'\\');
    line += L'"';
}

// What a call of the form f(size, buffer) -> length fills in, asked for its
// size first.
template <class Call> std::wstring sized(Call call) {
    std::wstring text(call(0, nullptr), L'\0');
    text.resize(text.empty() ? 0 : call(static_cast<DWORD>(text.size()), text.data()));
    return text;
}

// The bytes of the file at path, or false.
bool read_all(const wchar_t *path, std::string &bytes) {
    const HANDLE h = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                 FILE_ATTRIBUTE_NORMAL, nullptr);
    LARGE_INTEGER size{};
    if (h == INVALID_HANDLE_VALUE || !GetFileSizeEx(h, &size)) {
        return false;
    }
    bytes.resize(static_cast<std::size_t>(size.QuadPart));
    DWORD got = 0;
    const bool read = ReadFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &got, nullptr);
    return CloseHandle(h) && read && got == bytes.size();
}

// Waits on an overlapped operation on h until it is done or child has ended.
bool finish(HANDLE h, OVERLAPPED &o, BOOL started, HANDLE child) {
    if (!started && GetLastError() != ERROR_IO_PENDING) {
        return GetLastError() == ERROR_PIPE_CONNECTED;
    }
    HANDLE both[] = {o.hEvent, child};
    DWORD done = 0;
    if (WaitForMultipleObjects(2, both, FALSE, INFINITE) != WAIT_OBJECT_0) {
        CancelIo(h);
        return false;
    }
    return GetOverlappedResult(h, &o, &done, FALSE);
}

// Writes each piece through the pipe server once the child has connected.
bool serve(HANDLE server, HANDLE child, std::span<const std::string_view> pieces, bool disconnect) {
    OVERLAPPED o{};
    o.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (o.hEvent == nullptr || !finish(server, o, ConnectNamedPipe(server, &o), child)) {
        return false;
    }
    for (const std::string_view piece : pieces) {
        const auto size = static_cast<DWORD>(piece.size());
        if (!ResetEvent(o.hEvent) ||
            !finish(server, o, WriteFile(server, piece.data(), size, nullptr, &o), child)) {
            return false;
        }
    }
    return (!disconnect || (FlushFileBuffers(server) && DisconnectNamedPipe(server))) &&
           CloseHandle(server) && CloseHandle(o.hEvent);
}

} // namespace

int main() {
    int count = 0;
    wchar_t **args = CommandLineToArgvW(GetCommandLineW(), &count);
    if (args == nullptr) {
        return 125;
    }
    bool surrogates = false;
    bool raw = false;
    bool message = false;
    bool disconnect = false;
    bool to_stdin = false;
    bool empty = false;
    bool nowait = false;
    const wchar_t *dir = nullptr;
    const wchar_t *pipe = nullptr;
    const wchar_t *source = nullptr;
    int i = 1;
    for (; i < count && args[i][0] == L'-'; ++i) {
        const std::wstring_view option = args[i];
        if (option == L"-surrogates") {
            surrogates = true;
        } else if (option == L"-raw") {
            raw = true;
        } else if (option == L"-message") {
            message = true;
        } else if (option == L"-disconnect") {
            disconnect = true;
        } else if (option == L"-stdin") {
            to_stdin = true;
        } else if (option == L"-empty") {
            empty = true;
        } else if (option == L"-nowait") {
            nowait = true;
        } else if (option == L"-cd" && i + 1 < count) {
            dir = args[++i];
        } else if (option == L"-serve" && i + 2 < count) {
            pipe = args[++i];
            source = args[++i];
        } else {
            return 125;
        }
    }
    if (i == count) {
        return 125;
    }
    // The program by its full Windows path, as Wine names a program it starts.
    const wchar_t *const name = args[i];
    const std::wstring program =
        sized([&](DWORD n, wchar_t *buf) { return GetFullPathNameW(name, n, buf, nullptr); });
    std::wstring line;
    append_quoted(line, program);
    for (++i; i < count; ++i) {
        line += L' ';
        if (raw) {
            line += args[i];
        } else {
            append_quoted(line, args[i]);
        }
    }
    if (surrogates) {
        for (wchar_t &c : line) {
            c = c == 0xFFFD ? wchar_t{0xDC00} : c;
        }
    }
    if (dir != nullptr) {
        const std::wstring here =
            sized([](DWORD n, wchar_t *buf) { return GetCurrentDirectoryW(n, buf); });
        const wchar_t drive[] = {L'=', here.empty() ? L'?' : here[0], L':', L'\0'};
        if (here.size() < 2 || here[1] != L':' || !SetEnvironmentVariableW(drive, here.c_str())) {
            return 125;
        }
    }
    std::string bytes;
    HANDLE server = INVALID_HANDLE_VALUE;
    if (pipe != nullptr) {
        const DWORD mode = message ? PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE : PIPE_TYPE_BYTE;
        server = CreateNamedPipeW(
            pipe, PIPE_ACCESS_OUTBOUND | FILE_FLAG_FIRST_PIPE_INSTANCE | FILE_FLAG_OVERLAPPED,
            mode | PIPE_WAIT, 1, 65536, 65536, 0, nullptr);
        if (!read_all(source, bytes) || server == INVALID_HANDLE_VALUE) {
            return 125;
        }
    }
    STARTUPINFOW start{};
    start.cb = sizeof start;
    start.dwFlags = STARTF_USESTDHANDLES;
    start.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    if (to_stdin) {
        SECURITY_ATTRIBUTES inherited{sizeof inherited, nullptr, TRUE};
        DWORD mode = (message ? PIPE_READMODE_MESSAGE : PIPE_READMODE_BYTE) |
                     (nowait ? PIPE_NOWAIT : PIPE_WAIT);
        start.hStdInput = CreateFileW(pipe, GENERIC_READ | FILE_WRITE_ATTRIBUTES, 0, &inherited,
                                      OPEN_EXISTING, 0, nullptr);
        if (start.hStdInput == INVALID_HANDLE_VALUE ||
            !SetNamedPipeHandleState(start.hStdInput, &mode, nullptr, nullptr)) {
            return 125;
        }
    }
    start.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    start.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION child{};
    if (!CreateProcessW(program.c_str(), line.data(), nullptr, nullptr, TRUE, 0, nullptr, dir,
                        &start, &child) ||
        (to_stdin && !CloseHandle(start.hStdInput))) {
        return 125;
    }
    if (nowait) {
        Sleep(500);
    }
    const std::string_view all = bytes;
    const std::size_t half = empty ? all.size() / 2 : all.size();
    const std::string_view pieces[] = {all.substr(0, half), {}, all.substr(half)};
    const bool served = pipe == nullptr ||
                        serve(server, child.hProcess, std::span(pieces, empty ? 3 : 1), disconnect);
    DWORD status = 0;
    if (WaitForSingleObject(child.hProcess, INFINITE) != WAIT_OBJECT_0 ||
        !GetExitCodeProcess(child.hProcess, &status)) {
        return 125;
    }
    // A program that failed is what the test wants to see, not the pipe it
    // broke off.
    return served || status != 0 ? static_cast<int>(status) : 125;
}
