#include "message.hpp"
#include "wide_names.hpp"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string line(const char *raw, const char *name) {
    message m;
    append(m, raw);
    append(m, name, true);
    end_line(m);
    return {m.text, m.len};
}

TEST(Message, ControlBytesInNamesAreEscapedAndEverythingElseKept) {
    struct Case {
        const char *name;
        const char *shown;
    };
    const Case cases[] = {
        {"plain", "plain"},
        {"a\nb", "a\\nb"},
        {"\a\b\t\v\f\r", "\\a\\b\\t\\v\\f\\r"},
        {"\033[31mred", "\\033[31mred"},
        {"\x01\x1f\x7f", "\\001\\037\\177"},
        {"back\\slash and space", "back\\slash and space"},
        {"donn\xc3\xa9"
         "es-\xe6\x97\xa5\xe6\x9c\xac \xe2\x80\x9c\xf0\x9f\x98\x80\xa0\xff",
         "donn\xc3\xa9"
         "es-\xe6\x97\xa5\xe6\x9c\xac \xe2\x80\x9c\xf0\x9f\x98\x80\xa0\xff"},
        // C1 controls, raw or as UTF-8, and stray bytes that look like them.
        {"x\xc2\x9b"
         "31m \x9b"
         "2J \x80\xc2\xa0\xc2",
         "x\\302\\23331m \\2332J \\200\xc2\xa0\xc2"},
        {"\xe2\x9b\x9b\x85\xc3\x80", "\xe2\x9b\x9b\\205\xc3\x80"},
        // Bytes that only look like a character's: cut, overlong, past U+10FFFF.
        {"a\xe2\x9b"
         "b \xe0\x9b\x80 \xf4\x9b\x80\x80 \xe0\x82\x80",
         "a\xe2\\233b \xe0\\233\\200 \xf4\\233\\200\\200 \xe0\\202\\200"},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(line("p: ", c.name), std::string("p: ") + c.shown + "\n") << c.shown;
    }
    // Text that is not a name is kept raw.
    EXPECT_EQ(line("a\tb", ""), "a\tb\n");
}

// However long a name, the message stays one line that ends in the reason,
// and shows where the name was cut.
TEST(Message, OverlongNamesAreCutButTheReasonSurvives) {
    const std::string huge(message::capacity, '\n');
    message m;
    append(m, "p: ");
    append(m, huge.c_str(), true, room_after_name);
    append(m, ": No such file or directory");
    end_line(m);
    const std::string shown(m.text, m.len);
    EXPECT_EQ(shown.substr(0, 5), "p: \\n");
    EXPECT_EQ(shown.find('\n'), shown.size() - 1);
    EXPECT_NE(shown.find("\\n...: No such file or directory\n"), std::string::npos);
}

// A cut never splits a UTF-8 character, whichever byte of it the cut meets.
TEST(Message, CutNamesStayValidUtf8) {
    for (std::size_t shift = 0; shift < 3; ++shift) {
        std::string name(shift, 'a');
        while (name.size() < message::capacity) {
            name += "\xe6\x97\xa5"; // one three-byte character
        }
        message m;
        append(m, name.c_str(), true, room_after_name);
        const std::string shown(m.text, m.len);
        ASSERT_EQ(shown.substr(shown.size() - 3), "...");
        EXPECT_EQ((shown.size() - 3 - shift) % 3, 0U) << "shift " << shift;
        EXPECT_EQ(static_cast<unsigned char>(shown[shown.size() - 4]), 0xA5) << "shift " << shift;
    }
}

// Windows names reach the tool as UTF-16. A lone surrogate cannot become
// UTF-8: it is shown as \uXXXX and the name marked as not exact.
TEST(WideNames, ConvertedToUtf8WithLoneSurrogatesShown) {
    struct Case {
        const char16_t *wide;
        const char *utf8;
        bool exact;
    };
    const Case cases[] = {
        {u"plain", "plain", true},
        {u"\x7F\x80\x7FF\x800\xFFFF", "\x7F\xC2\x80\xDF\xBF\xE0\xA0\x80\xEF\xBF\xBF", true},
        {u"donn\u00e9es-\u65e5\u672c",
         "donn\xc3\xa9"
         "es-\xe6\x97\xa5\xe6\x9c\xac",
         true},
        {u"\U0001F600\U0010FFFF", "\xF0\x9F\x98\x80\xF4\x8F\xBF\xBF", true},
        {u"out_\xDC00.bin", "out_\\uDC00.bin", false},
        {u"\xD800", "\\uD800", false},
        {u"\xD83D"
         "x",
         "\\uD83Dx", false},
        {u"\xD83D\xD83D\xDE00\xDE00", "\\uD83D\xF0\x9F\x98\x80\\uDE00", false},
    };
    for (const auto &c : cases) {
        char out[64] = {};
        bool exact = !c.exact;
        const std::size_t n = utf8_of(c.wide, out, exact);
        EXPECT_EQ(std::string(out, n), c.utf8);
        EXPECT_EQ(out[n], '\0');
        EXPECT_EQ(exact, c.exact) << c.utf8;
        EXPECT_EQ(utf8_of(c.wide, nullptr, exact), n) << c.utf8;
    }
}

// The \\?\ form is chosen by the length of the full path: the name typed may
// be short and its folder deep.
TEST(WideNames, LongFormChosenByTheFullPathsLength) {
    const auto path = [](std::u16string start, std::size_t length) {
        start.resize(length, u'x');
        return start;
    };
    struct Case {
        std::u16string full;
        spelling want;
    };
    const Case cases[] = {
        {u"C:\\x", spelling::as_is},
        {path(u"C:\\deep\\", long_path - 1), spelling::as_is},
        {path(u"C:\\deep\\", long_path), spelling::prefixed},
        {path(u"\\\\server\\share\\", long_path - 1), spelling::as_is},
        {path(u"\\\\server\\share\\", long_path), spelling::prefixed_unc},
        {path(u"\\\\?\\C:\\", 1000), spelling::as_is},
        {path(u"\\\\.\\pipe\\", 1000), spelling::as_is},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(spelling_of(c.full.c_str(), c.full.size()), c.want) << c.full.size();
    }
}

} // namespace
