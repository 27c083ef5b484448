// surrogate_launcher PROGRAM ARGS...: runs the Windows program PROGRAM with
// ARGS, each U+FFFD in them turned into the lone surrogate U+DC00, and exits
// with its status. NTFS names may hold lone surrogates, but Wine turns a Unix
// argument that is not UTF-8 into U+FFFD, so none can come from the harness
// directly: it writes U+FFFD where the name needs one.
#include <windows.h>

#include <shellapi.h>

#include <string>

namespace {

// arg quoted as CommandLineToArgvW reads it back: backslashes are literal
// except before a quote, where they and the quote are escaped.
void append_quoted(std::wstring &line, const wchar_t *arg) {
    line += L'"';
    std::size_t backslashes = 0;
    for (const wchar_t *p = arg; *p != L'\0'; ++p) {
        if (*p == L'\\') {
            ++backslashes;
            continue;
        }
        line.append(*p == L'"' ? 2 * backslashes + 1 : backslashes, L'\\');
        line += *p == 0xFFFD ? wchar_t{0xDC00} : *p;
        backslashes = 0;
    }
    line.append(2 * backslashes, L'\\');
    line += L'"';
}

} // namespace

int main() {
    int count = 0;
    wchar_t **args = CommandLineToArgvW(GetCommandLineW(), &count);
    if (args == nullptr || count < 2) {
        return 125;
    }
    // The program by its full Windows path, as Wine names a program it starts.
    wchar_t program[MAX_PATH];
    const DWORD got = GetFullPathNameW(args[1], MAX_PATH, program, nullptr);
    if (got == 0 || got >= MAX_PATH) {
        return 125;
    }
    std::wstring line;
    append_quoted(line, program);
    for (int i = 2; i < count; ++i) {
        line += L' ';
        append_quoted(line, args[i]);
    }
    STARTUPINFOW start{};
    start.cb = sizeof start;
    start.dwFlags = STARTF_USESTDHANDLES;
    start.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    start.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    start.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION child{};
    DWORD status = 125;
    if (!CreateProcessW(program, line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &start,
                        &child) ||
        WaitForSingleObject(child.hProcess, INFINITE) != WAIT_OBJECT_0 ||
        !GetExitCodeProcess(child.hProcess, &status)) {
        return 125;
    }
    return static_cast<int>(status);
}
