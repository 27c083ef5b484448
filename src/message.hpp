// Building the one-line failure messages. Pure: no I/O, no state.
#pragma once

#include <cstddef>

// How byte c of a name appears when it must be escaped: as a C escape, \n
// or \033. Returns the number of characters written to out.
constexpr std::size_t escape_byte(unsigned char c, char (&out)[4]) noexcept {
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

// Which bytes of a name are escaped. A name may hold any byte but the null
// byte; a newline would break the one-line promise, and a control byte would
// reach the user's terminal as a command. That includes the C1 controls,
// 0x80 to 0x9F, which 8-bit terminals obey as raw bytes and some UTF-8
// terminals as the characters U+0080 to U+009F (0xC2 0x80 to 0xC2 0x9F).
// Every other byte is shown as it is, so UTF-8 names stay readable: a byte
// of 0x80 to 0xBF that continues a UTF-8 character is not a control.
// c is the byte, next the one after it (0 at the end), continuing the count of
// continuation bytes still expected.
constexpr bool escapes(unsigned char c, unsigned char next, int &continuing) noexcept {
    if (continuing > 0 && c >= 0x80 && c <= 0xBF) {
        --continuing;
        return false;
    }
    continuing = c >= 0xF0 && c <= 0xF4   ? 3
                 : c >= 0xE0 && c <= 0xEF ? 2
                 : c >= 0xC2 && c <= 0xDF ? 1
                                          : 0;
    if (c == 0xC2 && next >= 0x80 && next <= 0x9F) {
        continuing = 0; // both bytes are shown escaped
        return true;
    }
    return c < 0x20 || (c >= 0x7F && c <= 0x9F);
}

// A message line, built whole so that it can be written in one call and so
// does not interleave with other writers of standard error.
struct message {
    static constexpr std::size_t capacity = 16384;
    char text[capacity];
    std::size_t len = 0;
};

// Room that a name leaves for the rest of its line: a name may be longer than
// any path the system accepts, but the reason after it must not be lost.
constexpr std::size_t room_after_name = 1024;

// Room that the program's name leaves: argv[0] may be any string of any
// length, and the path and the reason after it must not be lost.
constexpr std::size_t room_after_program = message::capacity / 2;

// Drops the last UTF-8 character of the text since begin if it is
// unfinished, as a cut may leave it, so that the line stays valid UTF-8.
constexpr void drop_unfinished_character(message &m, std::size_t begin) noexcept {
    const auto byte = [&m](std::size_t i) { return static_cast<unsigned char>(m.text[i]); };
    std::size_t tail = 0; // continuation bytes at the end
    while (tail < 3 && m.len - tail > begin && (byte(m.len - 1 - tail) & 0xC0U) == 0x80U) {
        ++tail;
    }
    if (m.len - tail == begin) {
        return;
    }
    const unsigned char lead = byte(m.len - 1 - tail);
    const std::size_t length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
    if (length > tail + 1) {
        m.len -= tail + 1;
    }
}

// Appends s, with control bytes escaped if escape is set, leaving at least
// keep bytes free (one, for the newline, at the least). What does not fit is
// cut, and the cut marked with "...".
constexpr void append(message &m, const char *s, bool escape = false,
                      std::size_t keep = 1) noexcept {
    constexpr std::size_t mark = 3;
    const std::size_t limit = message::capacity - (keep > 1 ? keep : 1) - mark;
    const std::size_t begin = m.len;
    int continuing = 0;
    bool escape_next = false; // the second byte of a C1 control in UTF-8
    for (; *s != '\0'; ++s) {
        char shown[4] = {};
        const bool escaped =
            escape && (escape_next || escapes(static_cast<unsigned char>(s[0]),
                                              static_cast<unsigned char>(s[1]), continuing));
        escape_next = escaped && !escape_next && static_cast<unsigned char>(*s) == 0xC2;
        const std::size_t n =
            escaped ? escape_byte(static_cast<unsigned char>(*s), shown) : (shown[0] = *s, 1);
        if (m.len + n > limit) {
            drop_unfinished_character(m, begin);
            for (std::size_t i = 0; i < mark && m.len < message::capacity - 1; ++i) {
                m.text[m.len++] = '.';
            }
            return;
        }
        for (std::size_t i = 0; i < n; ++i) {
            m.text[m.len++] = shown[i];
        }
    }
}

// Ends the line; there is always room for it.
constexpr void end_line(message &m) noexcept {
    m.text[m.len++] = '\n';
}
