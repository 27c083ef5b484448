#include "negate.hpp"

#include <gtest/gtest.h>

namespace {

// Compile-time checks: a wrong mapping does not even build.
static_assert(negate_byte(0x00) == 0x00);
static_assert(negate_byte(0x01) == 0xFF);
static_assert(negate_byte(0x80) == 0x80);

struct Pair {
    unsigned in;
    unsigned out;
};

TEST(NegateByte, TellingValues) {
    const Pair table[] = {{0x00, 0x00}, {0x01, 0xFF}, {0x02, 0xFE}, {0x0A, 0xF6},
                          {0x0D, 0xF3}, {0x1A, 0xE6}, {0x7F, 0x81}, {0x80, 0x80},
                          {0x81, 0x7F}, {0xFE, 0x02}, {0xFF, 0x01}};
    for (const auto &p : table) {
        EXPECT_EQ(negate_byte(static_cast<unsigned char>(p.in)), p.out) << "byte " << p.in;
    }
}

TEST(NegateByte, EveryValueIsItsOwnInverseAndOnlyZeroAndHalfAreFixed) {
    for (unsigned b = 0; b < 256; ++b) {
        const auto c = static_cast<unsigned char>(b);
        EXPECT_EQ((b + negate_byte(c)) % 256, 0U) << "byte " << b;
        EXPECT_EQ(negate_byte(negate_byte(c)), c) << "byte " << b;
        EXPECT_EQ(negate_byte(c) == c, b == 0x00 || b == 0x80) << "byte " << b;
    }
}

} // namespace
