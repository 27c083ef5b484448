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

// The length of the well-formed UTF-8 character at s, or 0 if s starts none:
// a stray continuation byte, an overlong or cut sequence, a surrogate or a
// code point past U+10FFFF. Reads no further than the first byte that fails,
// so never past the end of s.
constexpr std::size_t utf8_length(const char *s) noexcept {
    const auto c = static_cast<unsigned char>(s[0]);
    if (c < 0x80) {
        return 1;
    }
    const std::size_t n = c >= 0xC2 && c <= 0xDF   ? 2
                          : c >= 0xE0 && c <= 0xEF ? 3
                          : c >= 0xF0 && c <= 0xF4 ? 4
                                                   : 0;
    // The second byte's range is what rules out the overlong forms, the
    // surrogates and what lies past U+10FFFF.
    const unsigned lowest = c == 0xE0 ? 0xA0 : c == 0xF0 ? 0x90 : 0x80;
    const unsigned highest = c == 0xED ? 0x9F : c == 0xF4 ? 0x8F : 0xBF;
    for (std::size_t i = 1; i < n; ++i) {
        const auto b = static_cast<unsigned char>(s[i]);
        if (b < (i == 1 ? lowest : 0x80U) || b > (i == 1 ? highest : 0xBFU)) {
            return 0;
        }
    }
    return n;
}

// Whether the character or stray byte at s, utf8_length(s) bytes or one, is
// shown escaped. A name may hold any byte but the null byte; a newline would
// break the one-line promise, and a control would reach the user's terminal
// as a command. That includes the C1 controls, which 8-bit terminals obey as
// the raw bytes 0x80 to 0x9F and some UTF-8 terminals as the characters
// U+0080 to U+009F (0xC2 0x80 to 0xC2 0x9F). Every other character, UTF-8 of
// any script included, is shown as it is, so names stay readable; within one,
// 0x80 to 0x9F are not controls.
constexpr bool escapes(const char *s) noexcept {
    const auto c = static_cast<unsigned char>(s[0]);
    if (utf8_length(s) > 1) {
        return c == 0xC2 && static_cast<unsigned char>(s[1]) <= 0x9F;
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
    std::size_t left = 0; // bytes left of the character being shown
    bool escaped = false; // whether that character is shown escaped
    for (; *s != '\0'; ++s) {
        if (left == 0) {
            const std::size_t length = utf8_length(s);
            left = length > 1 ? length : 1;
            escaped = escape && escapes(s);
        }
        --left;
        char shown[4] = {};
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
