// How the Windows build turns names between the system's UTF-16 and the
// tool's UTF-8, and when it must spell a path in the \\?\ form. Pure: no I/O,
// no state, and no Windows header, so that the unit tests run it anywhere.
#pragma once

#include <cstddef>

// Writes the UTF-16 name s as UTF-8 to out (when out is not null) and returns
// the number of bytes, the terminating null byte not counted. A lone
// surrogate, which NTFS allows in a name but UTF-8 cannot hold, is written as
// the six characters \uXXXX, and exact set to false: the text then shows the
// name but no longer names it, and must not be used to open anything.
template <class Char>
constexpr std::size_t utf8_of(const Char *s, char *out, bool &exact) noexcept {
    std::size_t n = 0;
    const auto put = [&](unsigned value) {
        if (out != nullptr) {
            out[n] = static_cast<char>(value);
        }
        ++n;
    };
    exact = true;
    for (; *s != 0; ++s) {
        unsigned c = static_cast<unsigned>(*s) & 0xFFFFU;
        const bool high = c >= 0xD800 && c < 0xDC00;
        const unsigned next = high ? static_cast<unsigned>(s[1]) & 0xFFFFU : 0;
        if (high && next >= 0xDC00 && next < 0xE000) {
            c = 0x10000 + ((c - 0xD800) << 10) + (next - 0xDC00);
            ++s;
        } else if (c >= 0xD800 && c < 0xE000) {
            constexpr char hex[] = "0123456789ABCDEF";
            put('\\');
            put('u');
            for (int shift = 12; shift >= 0; shift -= 4) {
                put(static_cast<unsigned char>(hex[(c >> shift) & 0xFU]));
            }
            exact = false;
            continue;
        }
        if (c < 0x80) {
            put(c);
        } else if (c < 0x800) {
            put(0xC0 | (c >> 6));
            put(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            put(0xE0 | (c >> 12));
            put(0x80 | ((c >> 6) & 0x3F));
            put(0x80 | (c & 0x3F));
        } else {
            put(0xF0 | (c >> 18));
            put(0x80 | ((c >> 12) & 0x3F));
            put(0x80 | ((c >> 6) & 0x3F));
            put(0x80 | (c & 0x3F));
        }
    }
    if (out != nullptr) {
        out[n] = '\0';
    }
    return n;
}

// How a full path (as GetFullPathNameW makes it, so absolute, with its dots
// and trailing spaces already resolved) must be spelt to open. The limit is on
// the full path, not on the name as typed: a short relative name in a deep
// folder is as long to the system as the folder plus the name.
enum class spelling {
    as_is,        // short enough, or already in the \\?\ or \\.\ form
    prefixed,     // C:\... becomes \\?\C:\...
    prefixed_unc, // \\server\share\... becomes \\?\UNC\server\share\...
};

// A full path of this many characters or more opens only in the \\?\ form,
// unless the machine has long paths turned on. MAX_PATH is 260 with the null
// character; 12 less, as a folder's name must leave room for an 8.3 file name,
// and a little margin costs nothing: the \\?\ form opens any path.
constexpr std::size_t long_path = 260 - 12;

template <class Char>
constexpr spelling spelling_of(const Char *full, std::size_t length) noexcept {
    const auto starts = [&](const char *prefix) {
        for (std::size_t i = 0; prefix[i] != '\0'; ++i) {
            if (i >= length || full[i] != static_cast<Char>(prefix[i])) {
                return false;
            }
        }
        return true;
    };
    if (length < long_path || starts("\\\\?\\") || starts("\\\\.\\")) {
        return spelling::as_is;
    }
    return starts("\\\\") ? spelling::prefixed_unc : spelling::prefixed;
}
