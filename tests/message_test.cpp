#include "message.hpp"

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

} // namespace
