// The byte mapping and the block kernel built on it. Pure: no I/O, no state.
#pragma once

#include <cstddef>
#include <span>

// (256 - b) mod 256, the two's-complement negation of b in 8 bits. Applying it
// twice gives b back, which is why one tool both encodes and decodes.
constexpr unsigned char negate_byte(unsigned char b) noexcept {
    return static_cast<unsigned char>(((b ^ 0xFFU) + 1U) & 0xFFU);
}

// The tool reads, negates and writes in blocks of this size. Measured on tmpfs:
// 64 KiB pays visibly more per call; 256 KiB to 1 MiB gain nothing over this
// and leave the CPU's L2 cache, which holds the block between the read, the
// negation and the write.
constexpr std::size_t block_size = std::size_t{128} * 1024;

// Negates the n bytes at p in place, with the widest of the variants below
// that this CPU runs.
void negate_block(unsigned char *p, std::size_t n) noexcept;

// One whole kernel, written for one instruction set.
struct negate_variant {
    const char *name;
    void (*negate)(unsigned char *p, std::size_t n) noexcept;
};

// The variants this CPU runs, narrowest first; negate_block uses the last.
// Listed so that the tests and the benchmark can try each one, whichever the
// CPU would pick.
std::span<const negate_variant> negate_variants() noexcept;
