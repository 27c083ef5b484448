// A file past 4 GiB: offsets and lengths must not wrap at 32 bits anywhere,
// holes passed over included. Not run by default (where holes cannot be
// kept, it writes 4 GiB); run with: ctest --test-dir build -L large
#include "negate.hpp"
#include "support.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

namespace {

void pwrite_all(int fd, const std::string &bytes, off_t at) {
    ASSERT_EQ(pwrite(fd, bytes.data(), bytes.size(), at), static_cast<ssize_t>(bytes.size()));
}

std::string pread_n(int fd, std::size_t n, off_t at) {
    std::string s(n, '\0');
    EXPECT_EQ(pread(fd, s.data(), n, at), static_cast<ssize_t>(n)) << "at " << at;
    return s;
}

TEST(LargeFile, SparseInputPastFourGiB) {
    constexpr off_t four_gib = off_t{1} << 32;
    constexpr off_t size = four_gib + 3 * static_cast<off_t>(block_size) + 12345;
    TempDir dir;
    struct statvfs fsinfo {};
    ASSERT_EQ(statvfs(dir.path.c_str(), &fsinfo), 0);
    if (static_cast<double>(fsinfo.f_bavail) * static_cast<double>(fsinfo.f_frsize) <
        static_cast<double>(size) * 1.1) {
        GTEST_SKIP() << "needs " << size << " bytes free in " << dir.path;
    }

    // Sparse IN of zeros, with data written on both sides of the 4 GiB mark.
    const std::string straddle = random_bytes(8192, 21);
    const off_t marks[] = {0, four_gib - 1, four_gib, four_gib + 1, size - 1};
    const fs::path in = dir.path / "in";
    const int in_fd = open(in.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ASSERT_GE(in_fd, 0);
    ASSERT_EQ(ftruncate(in_fd, size), 0);
    pwrite_all(in_fd, straddle, four_gib - 4096);
    for (const off_t at : marks) {
        pwrite_all(in_fd, std::string(1, static_cast<char>(1 + at % 100)), at);
    }
    ASSERT_EQ(close(in_fd), 0);
    const std::string in_sample = [&] {
        const int fd = open(in.c_str(), O_RDONLY);
        std::string s = pread_n(fd, straddle.size(), four_gib - 4096);
        close(fd);
        return s;
    }();

    RunOptions opts;
    opts.cwd = dir.path;
    const Outcome r = byteneg({"byteneg", "in", "out"}, opts);
    ASSERT_EQ(r.status, 0) << r.err;

    EXPECT_EQ(fs::file_size(dir.path / "out"), static_cast<std::uintmax_t>(size));
    const int out_fd = open((dir.path / "out").c_str(), O_RDONLY);
    ASSERT_GE(out_fd, 0);
    EXPECT_TRUE(pread_n(out_fd, straddle.size(), four_gib - 4096) == negated(in_sample));
    for (const off_t at : marks) {
        EXPECT_EQ(pread_n(out_fd, 1, at), negated(std::string(1, static_cast<char>(1 + at % 100))))
            << "at " << at;
    }
    EXPECT_EQ(pread_n(out_fd, 4096, four_gib + 65536), std::string(4096, '\0'));
#ifndef BYTENEG_WINDOWS // Wine tells no holes: IN is copied in full
    // Its holes are IN's: no more room than IN, but for a block per data range.
    struct stat in_st {};
    struct stat out_st {};
    ASSERT_EQ(stat(in.c_str(), &in_st), 0);
    ASSERT_EQ(fstat(out_fd, &out_st), 0);
    EXPECT_LE(out_st.st_blocks, in_st.st_blocks + 6 * (in_st.st_blksize / 512));
#endif
    close(out_fd);
}

} // namespace
