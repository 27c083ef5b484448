#!/usr/bin/env bash
# Builds every release artefact of this checkout's last commit into dist/:
# the source tarball; for each Linux target below a static tarball and a .deb
# package, and .rpm packages for some; the Windows zip; and SHA256SUMS. The
# same commit gives the same bytes, whatever the checkout's path and whenever
# it runs. In an unpacked source tarball, which is no git clone, it builds the
# same binary artefacts given the commit's time as SOURCE_DATE_EPOCH, and no
# source tarball.
#   packaging/release.sh [TARGET...]
# Given targets (the first word of a row of the table below, or windows), it
# builds those alone, and no source tarball: a check of one architecture.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

# The Linux targets, one a line: how the tool is built (this machine's g++, its
# 32-bit mode, or Debian's cross g++ for a GNU triple) and whether an .rpm is
# made besides the static tarball and the .deb. packaging.cmake names each
# architecture: Debian's name for the .deb, RPM's for the .rpm and the tarball.
targets=(
    "native                  rpm"
    "i386                    -"
    "aarch64-linux-gnu       rpm"
    "arm-linux-gnueabihf     -"
    "arm-linux-gnueabi       -"
    "riscv64-linux-gnu       -"
    "powerpc64le-linux-gnu   rpm"
    "s390x-linux-gnu         rpm"
    "mips64el-linux-gnuabi64 -"
)

tools=(cmake cpack g++ x86_64-w64-mingw32-g++-posix dpkg-shlibdeps rpmbuild strip-nondeterminism)
for how in "${targets[@]%% *}"; do
    [[ $how != *-* ]] || tools+=("$how-g++")
done
for tool in "${tools[@]}"; do
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
    # The binaries are built from the working tree: it must hold the commit
    # whose time and source the release carries.
    [[ -z $(git status --porcelain --untracked-files=no) ]] ||
        { echo "release.sh: uncommitted changes: the release is made from the last commit; commit or stash them" >&2; exit 2; }
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
    local log=$stage/log.$BASHPID
    "$@" >"$log" 2>&1 || { cat "$log" >&2; echo "release.sh: failed: $*" >&2; exit 2; }
}

# build NAME LDFLAGS CMAKE_ARGS...: the tool alone, in Release, hardened as
# Debian's packages are, in build/release-NAME.
build() {
    local dir=build/release-$1 ldflags=$2
    shift 2
    rm -rf "$dir"
    CXXFLAGS=$prefix_map LDFLAGS=$ldflags quiet cmake -S . -B "$dir" "$@" \
        -DCMAKE_BUILD_TYPE=Release -DBYTENEG_HARDEN=ON -DBYTENEG_TESTS=OFF
    quiet cmake --build "$dir" --target byteneg --parallel 2
}

# cpack_to_dist NAME GENERATOR...: the packages of build/release-NAME, into dist/.
cpack_to_dist() {
    local dir=build/release-$1 out=$stage/cpack-$1 generator
    shift
    for generator in "$@"; do
        quiet cpack --config "$dir/CPackConfig.cmake" -G "$generator" -B "$out"
        mv "$out"/byteneg*."${generator,,}" "$dist/"
        rm -rf "$out"
    done
}

# cache NAME VARIABLE: the value build/release-NAME's CMake cache holds.
cache() {
    sed -n "s/^$2:[A-Z]*=//p" "build/release-$1/CMakeCache.txt"
}

# windows: the zip, whose files keep their times: set to the commit's. The
# Windows linker stamps the build time into the program unless told not to.
windows() {
    build windows -Wl,--no-insert-timestamp -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-windows.cmake
    cpack_to_dist windows ZIP
    quiet strip-nondeterminism -t zip -T "$SOURCE_DATE_EPOCH" "$dist/byteneg-$version-win64.zip"
}

# linux HOW RPM: one Linux target of the table: the tool linked dynamically,
# as distributions want, for the .deb (and the .rpm); then the same objects
# linked statically for the tarball.
linux() {
    local how=$1 dir=build/release-$1 generators=(DEB) arch top
    case $how in
    native) build "$how" "" -DCMAKE_CXX_COMPILER=g++ ;;
    i386) build "$how" "" -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-i386.cmake ;;
    *) build "$how" "" -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-linux.cmake -DBYTENEG_TRIPLE="$how" ;;
    esac
    [[ $2 == - ]] || generators+=(RPM)
    cpack_to_dist "$how" "${generators[@]}"

    quiet cmake "$dir" -DBYTENEG_STATIC=ON
    quiet cmake --build "$dir" --target byteneg
    arch=$(sed -n 's/^set(CPACK_RPM_PACKAGE_ARCHITECTURE "\(.*\)")$/\1/p' "$dir/CPackConfig.cmake")
    [[ -n $arch ]] || { echo "release.sh: no architecture known for $how" >&2; exit 2; }
    top=byteneg-$version-linux-$arch
    mkdir "$stage/$top"
    "$(cache "$how" CMAKE_STRIP)" --strip-all --remove-section=.comment --remove-section=.note \
        -o "$stage/$top/byteneg" "$dir/byteneg"
    install -m 644 man/byteneg.1 README.md LICENSE "$stage/$top/"
    tar --sort=name --owner=0 --group=0 --numeric-owner --mtime="@$SOURCE_DATE_EPOCH" \
        --format=gnu -C "$stage" -cf - "$top" | gzip -9n >"$dist/$top.tar.gz"
}

# Configuring is mostly one process waiting on the compiler's checks, so the
# targets are made two at a time, which keeps both cores of a small machine
# busy. Each is a background job; the first to fail ends the others and the
# release.
pids=()
reap() {
    wait -n || { kill "${pids[@]}" 2>/dev/null; wait; exit 2; }
}
running=0
for row in windows "${targets[@]}"; do
    if (($#)) && [[ " $* " != *" ${row%% *} "* ]]; then
        continue
    fi
    ((running < 2)) || { reap; running=$((running - 1)); }
    if [[ $row == windows ]]; then
        windows &
    else
        # shellcheck disable=SC2086 # the row's words are the arguments
        linux $row &
    fi
    pids+=($!)
    running=$((running + 1))
done
for ((; running > 0; running--)); do
    reap
done

# The source: the commit's tracked files under byteneg-VERSION/, with the
# commit's time and fixed modes whatever the umask, and the commit's id for
# `git get-tar-commit-id`.
if [[ -n $clone ]] && (($# == 0)); then
    git archive --format=tar --prefix="byteneg-$version/" HEAD | gzip -9n >"$dist/byteneg-$version.tar.gz"
fi

cd "$dist"
sha256sum -- byteneg* >SHA256SUMS
ls -l
