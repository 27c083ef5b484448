// The block kernel. Written with the compilers' vector types rather than left
// to the auto-vectorizer, which g++ runs on a plain byte loop only at -O3 and
// only where its cost model agrees: here the packed subtractions are in the
// source, so every optimisation level from -O1 up and every packager's flags
// get them. x86 CPUs choose at run time between the baseline variant and a
// wider one, so that one binary runs on any of them and uses AVX2 where it
// exists; a check per block costs nothing beside a 128 KiB read and write.
#include "negate.hpp"

#include <cstdint>
#include <cstring>

namespace {

// A unit of Bytes bytes in Lanes: a vector of them, or one word on its own.
template <typename Lane, std::size_t Bytes> struct unit_of {
    using type __attribute__((vector_size(Bytes))) = Lane;
};
template <typename Lane> struct unit_of<Lane, sizeof(Lane)> { using type = Lane; };
template <typename Lane, std::size_t Bytes> using unit = typename unit_of<Lane, Bytes>::type;

// Negates every lane of v, in place: a vector passed by value would need the
// wider registers in every function it passes through. Where the target's
// registers hold bytes as lanes, that is one subtraction from zero. A target
// without 16-byte vector registers would have the compilers split byte lanes
// into single bytes, so there the lanes are words, each negated as a row of
// bytes: in every byte, 0x80 minus its low 7 bits cannot borrow from the next,
// and the top bit is then flipped where it was clear. No carry crosses a byte,
// so the byte order of the word does not matter.
template <typename Lane, typename V>
[[gnu::always_inline]] inline void negate_lanes(V &v) noexcept {
    if constexpr (sizeof(Lane) == 1) {
        v = V{} - v;
    } else {
        constexpr Lane top = static_cast<Lane>(~Lane{0} / 0xFFU * 0x80U);
        v = (top - (v & ~top)) ^ (~v & top);
    }
}

// Single bytes up to the first address that is a multiple of the unit, so that
// every load and store after them is aligned: targets that are slow at or
// incapable of unaligned words (32-bit ARM before v6, MIPS, RISC-V) would
// otherwise build each word from its bytes. Then four units a step, so that
// their loads, subtractions and stores overlap; then single units; then single
// bytes. memcpy, which compiles to one aligned load or store.
template <typename Lane, std::size_t Bytes>
[[gnu::always_inline]] inline void negate_all(unsigned char *p, std::size_t n) noexcept {
    using V = unit<Lane, Bytes>;
    const std::size_t to_boundary = (Bytes - reinterpret_cast<std::uintptr_t>(p) % Bytes) % Bytes;
    const std::size_t head = to_boundary < n ? to_boundary : n;
    std::size_t i = 0;
    for (; i < head; ++i) {
        p[i] = negate_byte(p[i]);
    }
    for (; n - i >= 4 * Bytes; i += 4 * Bytes) {
        auto *q = static_cast<unsigned char *>(__builtin_assume_aligned(p + i, Bytes));
        V a;
        V b;
        V c;
        V d;
        std::memcpy(&a, q, Bytes);
        std::memcpy(&b, q + Bytes, Bytes);
        std::memcpy(&c, q + 2 * Bytes, Bytes);
        std::memcpy(&d, q + 3 * Bytes, Bytes);
        negate_lanes<Lane>(a);
        negate_lanes<Lane>(b);
        negate_lanes<Lane>(c);
        negate_lanes<Lane>(d);
        std::memcpy(q, &a, Bytes);
        std::memcpy(q + Bytes, &b, Bytes);
        std::memcpy(q + 2 * Bytes, &c, Bytes);
        std::memcpy(q + 3 * Bytes, &d, Bytes);
    }
    for (; n - i >= Bytes; i += Bytes) {
        auto *q = static_cast<unsigned char *>(__builtin_assume_aligned(p + i, Bytes));
        V v;
        std::memcpy(&v, q, Bytes);
        negate_lanes<Lane>(v);
        std::memcpy(q, &v, Bytes);
    }
    for (; i < n; ++i) {
        p[i] = negate_byte(p[i]);
    }
}

// The portable variant: 16-byte vectors of bytes where the baseline has such
// registers (SSE2, NEON, AltiVec and VSX, IBM Z's vector facility, MIPS MSA);
// single words elsewhere (32-bit x86 without SSE2, ARM without NEON, RISC-V,
// MIPS, IBM Z before z13).
#if defined(__SSE2__) || defined(__ARM_NEON) || defined(__ALTIVEC__) || defined(__VX__) ||         \
    defined(__mips_msa)
using portable_lane = unsigned char;
constexpr std::size_t portable_bytes = 16;
#else
using portable_lane = std::size_t;
constexpr std::size_t portable_bytes = sizeof(std::size_t);
#endif

void negate_block_portable(unsigned char *p, std::size_t n) noexcept {
    negate_all<portable_lane, portable_bytes>(p, n);
}

#if defined(__x86_64__) || defined(__i386__)
#if defined(__i386__)
[[gnu::target("sse2")]] void negate_block_sse2(unsigned char *p, std::size_t n) noexcept {
    negate_all<unsigned char, 16>(p, n);
}
#endif
[[gnu::target("avx2")]] void negate_block_avx2(unsigned char *p, std::size_t n) noexcept {
    negate_all<unsigned char, 32>(p, n);
}
#endif

} // namespace

std::span<const negate_variant> negate_variants() noexcept {
    static constexpr negate_variant all[] = {
        {"portable", negate_block_portable},
#if defined(__i386__)
        {"sse2", negate_block_sse2},
#endif
#if defined(__x86_64__) || defined(__i386__)
        {"avx2", negate_block_avx2},
#endif
    };
    // Each set implies those before it. The run-time library reads the CPU's
    // features before main, the operating system's support for the wider
    // registers included.
    std::size_t usable = 1;
#if defined(__i386__)
    usable += __builtin_cpu_supports("sse2") ? 1 : 0;
#endif
#if defined(__x86_64__) || defined(__i386__)
    usable += __builtin_cpu_supports("avx2") ? 1 : 0;
#endif
    return {all, usable};
}

void negate_block(unsigned char *p, std::size_t n) noexcept {
    negate_variants().back().negate(p, n);
}
