#include "negate.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

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

namespace {

// Each variant of the kernel, and the one negate_block picks, works on whole
// vectors, four a step, then single vectors, then bytes: every length up to
// several steps of the widest and every alignment must come out as negate_byte
// would have it, with no byte outside touched.
TEST(NegateBlock, EqualsNegateByteAtEveryLengthAndOffset) {
    std::vector<negate_variant> kernels(negate_variants().begin(), negate_variants().end());
    kernels.push_back({"negate_block", negate_block});
    std::vector<unsigned char> original(64 + 1024 + 64);
    std::vector<unsigned char> negated(original.size());
    for (std::size_t i = 0; i < original.size(); ++i) {
        original[i] = static_cast<unsigned char>(i * 167 + 13);
        negated[i] = negate_byte(original[i]);
    }
    std::vector<unsigned char> buf;
    std::vector<unsigned char> want;
    for (const auto &kernel : kernels) {
        for (std::size_t offset = 0; offset < 64; ++offset) {
            for (std::size_t len = 0; len <= 1024; ++len) {
                buf = original;
                kernel.negate(buf.data() + offset, len);
                want = original;
                std::memcpy(want.data() + offset, negated.data() + offset, len);
                if (buf != want) {
                    FAIL() << kernel.name << ": offset " << offset << " length " << len;
                }
            }
        }
    }
}

} // namespace
