// Baseline for the benchmark: the tool as first written, one byte at a time
// through the standard library's buffered streams. Kept only to measure
// against; it checks nothing, as that first version did not.
#include "negate.hpp"

#include <cstdio>

int main(int argc, char *argv[]) {
    if (argc < 3) {
        std::printf("%s <in> <out>\n", argv[0]);
        return 1;
    }
    std::FILE *in = std::fopen(argv[1], "rb");
    std::FILE *out = std::fopen(argv[2], "wb");
    if (in == nullptr || out == nullptr) {
        return 2;
    }
    for (;;) {
        const int c = std::fgetc(in);
        if (c == EOF) {
            break;
        }
        std::fputc(negate_byte(static_cast<unsigned char>(c)), out);
    }
    std::fclose(in);
    std::fclose(out);
    return 0;
}
