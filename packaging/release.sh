#!/usr/bin/env bash
# Builds every release artefact of this checkout's last commit into dist/:
# the source tarball, static tarballs for x86-64, i686 and aarch64 Linux, .deb
# packages for amd64, i386 and arm64, .rpm packages for x86_64 and aarch64, the
# Windows zip, and SHA256SUMS. The same commit gives the same bytes, whatever
# the checkout's path and whenever it runs. In an unpacked source tarball,
# which is no git clone, it builds the same binary artefacts given the commit's
# time as SOURCE_DATE_EPOCH, and no source tarball.
#   packaging/release.sh
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

for tool in cmake cpack g++ aarch64-linux-gnu-g++ x86_64-w64-mingw32-g++-posix \
    dpkg-shlibdeps rpmbuild strip-nondeterminism; do
    command -v "$tool" >/dev/null || { echo "release.sh: $tool not found; see CONTRIBUTING.md" >&2; exit 2; }
done
version=$(sed -n 's/^ *VERSION \([0-9][0-9.]*\).*/\1/p' CMakeLists.txt | head -n1)
[[ -n $version ]] || { echo "release.sh: no VERSION in CMakeLists.txt" >&2; exit 2; }

# Everything that could differ between two builds of one commit is pinned:
# time stamps, the checkout's path in the objects, file modes, locale, zone.
# A clone gives the commit's time and its files; a folder in some other clone
# must not, hence .git here rather than asking git where the clone is.
clone=
if [[ -e .git ]]; then
    command -v git >/dev/null ||
        { echo "release.sh: git not found: the release is made from this clone's last commit (Debian package git)" >&2; exit 2; }
    clone=yes
    SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-$(git log -1 --format=%ct)}
fi
[[ -n ${SOURCE_DATE_EPOCH:-} ]] ||
    { echo "release.sh: not a git clone: set SOURCE_DATE_EPOCH to the commit's time" >&2; exit 2; }
export SOURCE_DATE_EPOCH LC_ALL=C TZ=UTC
umask 022
prefix_map="-ffile-prefix-map=$root=."
dist=$root/dist
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
rm -rf "$dist"
mkdir "$dist"

# quiet COMMAND...: runs it, showing its output only if it fails.
quiet() {
    "$@" >"$stage/log" 2>&1 || { cat "$stage/log" >&2; echo "release.sh: failed: $*" >&2; exit 2; }
}

# build NAME TOOLCHAIN LDFLAGS: the tool alone, in Release, in build/release-NAME.
build() {
    local dir=build/release-$1 compiler=(-DCMAKE_CXX_COMPILER=g++)
    [[ -z $2 ]] || compiler=("-DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-$2.cmake")
    rm -rf "$dir"
    CXXFLAGS=$prefix_map LDFLAGS=$3 quiet cmake -S . -B "$dir" \
        "${compiler[@]}" \
        -DCMAKE_BUILD_TYPE=Release -DBYTENEG_TESTS=OFF -DBYTENEG_BENCH=OFF
    quiet cmake --build "$dir" --target byteneg --parallel 2
}

# cpack_to_dist NAME GENERATOR...: the packages of build/release-NAME, into dist/.
cpack_to_dist() {
    local dir=build/release-$1 generator
    shift
    for generator in "$@"; do
        quiet cpack --config "$dir/CPackConfig.cmake" -G "$generator" -B "$stage/$generator"
        mv "$stage/$generator"/byteneg*."${generator,,}" "$dist/"
        rm -rf "${stage:?}/$generator"
    done
}

# A statically linked, position-independent binary runs on any Linux kernel
# of its architecture, with no C library; the tool needs nothing of NSS or
# dlopen, which static glibc cannot give.
for target in x86_64: i686:i386 aarch64:arm64; do
    arch=${target%%:*} toolchain=${target#*:}
    build "static-$arch" "$toolchain" -static-pie
    top=byteneg-$version-linux-$arch
    mkdir "$stage/$top"
    strip=$(sed -n 's/^CMAKE_STRIP:FILEPATH=//p' "build/release-static-$arch/CMakeCache.txt")
    "$strip" --strip-all --remove-section=.comment --remove-section=.note \
        -o "$stage/$top/byteneg" "build/release-static-$arch/byteneg"
    install -m 644 man/byteneg.1 README.md LICENSE "$stage/$top/"
    tar --sort=name --owner=0 --group=0 --numeric-owner --mtime="@$SOURCE_DATE_EPOCH" \
        --format=gnu -C "$stage" -cf - "$top" | gzip -9n >"$dist/$top.tar.gz"
done

# The packages link the C library dynamically, as distributions want.
build deb-amd64 "" ""
cpack_to_dist deb-amd64 DEB RPM
build deb-i386 i386 ""
cpack_to_dist deb-i386 DEB
build deb-arm64 arm64 ""
cpack_to_dist deb-arm64 DEB RPM

# The Windows linker stamps the build time into the program unless told not
# to, and the zip keeps each file's time: both are set to the commit's.
build win64 windows -Wl,--no-insert-timestamp
cpack_to_dist win64 ZIP
quiet strip-nondeterminism -t zip -T "$SOURCE_DATE_EPOCH" "$dist/byteneg-$version-win64.zip"

# The source: the commit's tracked files under byteneg-VERSION/, with the
# commit's time and fixed modes whatever the umask, and the commit's id for
# `git get-tar-commit-id`.
if [[ -n $clone ]]; then
    git archive --format=tar --prefix="byteneg-$version/" HEAD | gzip -9n >"$dist/byteneg-$version.tar.gz"
fi

cd "$dist"
sha256sum -- byteneg* >SHA256SUMS
ls -l
