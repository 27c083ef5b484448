// Building the one-line failure messages. Pure: no I/O, no state.
#pragma once

#include <cstddef>

// How byte c of a name appears in a message. A name may hold any byte but the
// null byte; a newline would break the one-line promise and an escape byte
// would reach the user's terminal as a command. So control bytes are shown as
// C escapes, \n or \033, and every other byte as it is, which keeps UTF-8
// names readable. Returns the number of characters written to out.
constexpr std::size_t escape_byte(unsigned char c, char (&out)[4]) noexcept {
    if (c >= 0x20 && c != 0x7F) {
        out[0] = static_cast<char>(c);
        return 1;
    }
    out[0] = '\\';
    constexpr char named[] = "abtnvfr"; // \a is 7, \r is 13
    if (c >= 7 && c <= 13) {
        out[1] = named[c - 7];
        return 2;
    }
    out[1] = static_cast<char>('0' + (c >> 6));
    out[2] = static_cast<char>('0' + ((c >> 3) & 7));
    out[3] = static_cast<char>('0' + (c & 7));
    return 4;
}

// A message line, built whole so that it can be written in one call and so
// does not interleave with other writers of standard error. Big enough for
// any path the system accepts, escaped; longer text is cut and marked "...".
struct message {
    static constexpr std::size_t capacity = 16384;
    static constexpr std::size_t reserve = 4; // "...\n" always fits
    char text[capacity];
    std::size_t len = 0;
    bool cut = false;
};

// Appends s, with control bytes escaped if escape is set.
constexpr void append(message &m, const char *s, bool escape = false) noexcept {
    for (; *s != '\0' && !m.cut; ++s) {
        char shown[4] = {};
        const std::size_t n =
            escape ? escape_byte(static_cast<unsigned char>(*s), shown) : (shown[0] = *s, 1);
        if (m.len + n > message::capacity - message::reserve) {
            m.cut = true;
            break;
        }
        for (std::size_t i = 0; i < n; ++i) {
            m.text[m.len++] = shown[i];
        }
    }
}

// Ends the line, marking a cut one.
constexpr void end_line(message &m) noexcept {
    if (m.cut) {
        for (int i = 0; i < 3; ++i) {
            m.text[m.len++] = '.';
        }
    }
    m.text[m.len++] = '\n';
}
