// The block kernel. Written with the compilers' vector types rather than left
// to the auto-vectorizer, which g++ runs on a plain byte loop only at -O3 and
// only where its cost model agrees: here the packed subtractions are in the
// source, so every optimisation level from -O1 up and every packager's flags
// get them. x86 CPUs choose at run time between the baseline variant and a
// wider one, so that one binary runs on any of them and uses AVX2 where it
// exists; a check per block costs nothing beside a 128 KiB read and write.
#include "negate.hpp"

#include <cstring>

namespace {

template <typename Lane, std::size_t Bytes> struct vector_of {
    using type __attribute__((vector_size(Bytes))) = Lane;
};
template <typename Lane, std::size_t Bytes> using vector = typename vector_of<Lane, Bytes>::type;

// Negates every lane of v, in place: a vector passed by value would need the
// wider registers in every function it passes through. Where the target's
// registers hold bytes as lanes, that is one subtraction from zero. A target
// without 16-byte SIMD registers (32-bit x86 without SSE2) would have the
// compilers split byte lanes into single bytes, so there the lanes are words,
// each negated as a row of bytes: in every byte, 0x80 minus its low 7 bits
// cannot borrow from the next, and the top bit is then flipped where it was
// clear.
template <typename Lane, typename V>
[[gnu::always_inline]] inline void negate_lanes(V &v) noexcept {
    if constexpr (sizeof(Lane) == 1) {
        v = V{} - v;
    } else {
        constexpr Lane top = static_cast<Lane>(~Lane{0} / 0xFFU * 0x80U);
        v = (top - (v & ~top)) ^ (~v & top);
    }
}

// Four vectors a step, so that their loads, subtractions and stores overlap;
// then single vectors; then single bytes. memcpy, which compiles to one
// unaligned load or store, because the block may start at any address.
template <typename Lane, std::size_t Bytes>
[[gnu::always_inline]] inline void negate_all(unsigned char *p, std::size_t n) noexcept {
    using V = vector<Lane, Bytes>;
    std::size_t i = 0;
    for (; n - i >= 4 * Bytes; i += 4 * Bytes) {
        V a;
        V b;
        V c;
        V d;
        std::memcpy(&a, p + i, Bytes);
        std::memcpy(&b, p + i + Bytes, Bytes);
        std::memcpy(&c, p + i + 2 * Bytes, Bytes);
        std::memcpy(&d, p + i + 3 * Bytes, Bytes);
        negate_lanes<Lane>(a);
        negate_lanes<Lane>(b);
        negate_lanes<Lane>(c);
        negate_lanes<Lane>(d);
        std::memcpy(p + i, &a, Bytes);
        std::memcpy(p + i + Bytes, &b, Bytes);
        std::memcpy(p + i + 2 * Bytes, &c, Bytes);
        std::memcpy(p + i + 3 * Bytes, &d, Bytes);
    }
    for (; n - i >= Bytes; i += Bytes) {
        V v;
        std::memcpy(&v, p + i, Bytes);
        negate_lanes<Lane>(v);
        std::memcpy(p + i, &v, Bytes);
    }
    for (; i < n; ++i) {
        p[i] = negate_byte(p[i]);
    }
}

#if defined(__SSE2__) || defined(__ARM_NEON)
using portable_lane = unsigned char;
#else
using portable_lane = std::size_t;
#endif

void negate_block_portable(unsigned char *p, std::size_t n) noexcept {
    negate_all<portable_lane, 16>(p, n);
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
