// libFuzzer target for the block kernel: for any bytes at any alignment, each
// variant this CPU runs must agree with negate_byte, touch nothing outside its
// range, and give the input back when applied twice.
#include "negate.hpp"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    // The first byte picks the alignment and the variant; the rest is the block.
    const std::size_t offset = data[0] % 64;
    const auto variants = negate_variants();
    const auto negate = variants[data[0] / 64 % variants.size()].negate;
    const unsigned char *input = data + 1;
    const std::size_t len = size - 1;

    constexpr unsigned char guard = 0xA5;
    std::vector<unsigned char> buf(offset + len + 64, guard);
    std::memcpy(buf.data() + offset, input, len);

    negate(buf.data() + offset, len);
    for (std::size_t i = 0; i < buf.size(); ++i) {
        const bool inside = i >= offset && i < offset + len;
        if (buf[i] != (inside ? negate_byte(input[i - offset]) : guard)) {
            std::abort();
        }
    }
    negate(buf.data() + offset, len);
    if (std::memcmp(buf.data() + offset, input, len) != 0) {
        std::abort();
    }
    return 0;
}
