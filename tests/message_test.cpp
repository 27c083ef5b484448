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
         "es-\xe6\x97\xa5\xe6\x9c\xac \x80\xff",
         "donn\xc3\xa9"
         "es-\xe6\x97\xa5\xe6\x9c\xac \x80\xff"},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(line("p: ", c.name), std::string("p: ") + c.shown + "\n") << c.shown;
    }
    // Text that is not a name is kept raw.
    EXPECT_EQ(line("a\tb", ""), "a\tb\n");
}

// However long the names, the message stays one line that ends in a newline,
// and says it was cut.
TEST(Message, OverlongNamesAreCutAndStillEndTheLine) {
    const std::string huge(message::capacity, '\n');
    const std::string shown = line("p: ", huge.c_str());
    ASSERT_LE(shown.size(), message::capacity);
    EXPECT_EQ(shown.substr(0, 5), "p: \\n");
    EXPECT_EQ(shown.substr(shown.size() - 4), "...\n");
    EXPECT_EQ(shown.find('\n'), shown.size() - 1);
}

} // namespace
