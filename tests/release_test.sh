#!/usr/bin/env bash
# Runs packaging/release.sh in two clones of the last commit, at different
# paths and times, checks that their dist/ folders are identical, then uses
# each artefact of one as a user would: unpacked or installed into a scratch
# root, run natively, under qemu with no sysroot or under Wine, then removed.
# The source tarball, unpacked where there is no clone, must pass the default
# tests and rebuild this machine's artefacts bit for bit. Skips (status 77)
# outside a git clone or without git.
#   release_test.sh [REPOSITORY]
set -Eeuo pipefail
export LC_ALL=C
repo=$(cd "${1:-$(dirname "$0")/..}" && pwd)
tests=$(cd "$(dirname "$0")" && pwd)
# The release is made from a clone's last commit: an unpacked source tarball
# has none, and without git no clone can be read.
[[ -e $repo/.git ]] || { echo "skipped: $repo is not a git clone, and a release is made from one"; exit 77; }
command -v git >/dev/null || { echo "skipped: git not found: a release is made from a clone (Debian package git)"; exit 77; }
work=$(mktemp -d)
export WINEPREFIX=$work/wine
trap '"$(command -v wineserver || echo /usr/lib/wine/wineserver64)" -k 2>/dev/null; rm -rf "$work"' EXIT
# A step that fails without a word of its own still names itself.
trap 'echo "release_test.sh: line $LINENO failed: $BASH_COMMAND" >&2' ERR
# quietly CMD...: CMD's chatter, shown only if it fails.
quietly() {
    "$@" >"$work/quietly.log" 2>&1 || { cat "$work/quietly.log"; return 1; }
}

git clone -q "$repo" "$work/first"
(cd "$work/first" && packaging/release.sh >/dev/null)
# Another path, umask and age: as in a long-lived checkout, the files are
# older than the commit.
(umask 002 && git clone -q "$repo" "$work/second/at/another/path")
find "$work/second/at/another/path" -path '*/.git' -prune -o -exec touch -h -d 2001-01-01 {} +
(cd "$work/second/at/another/path" && packaging/release.sh >/dev/null)
dist=$work/first/dist
# same DIR DIR: the two folders hold the same files, byte for byte.
same() {
    diff -r "$1" "$2" && return
    ! command -v diffoscope >/dev/null || diffoscope --exclude-directory-metadata=yes "$1" "$2"
    exit 1
}
same "$dist" "$work/second/at/another/path/dist"
version=$(sed -n 's/^ *VERSION \([0-9][0-9.]*\).*/\1/p' "$repo/CMakeLists.txt" | head -n1)

# The Linux targets, one a line: the architecture as the tarball, the .deb and
# the .rpm (- for none) name it; qemu-user's name for it (- for this machine)
# and the cross root that holds its C library (- for none); and a pattern for
# what file(1) and the ELF header's flags say of the static binary.
targets=(
    "x86_64   amd64    x86_64  -        -                       *x86-64,*static-pie?linked*"
    "i686     i386     -       i386     -                       *Intel?80386,*static-pie?linked*"
    "aarch64  arm64    aarch64 aarch64  aarch64-linux-gnu       *ARM?aarch64,*static-pie?linked*"
    "armv7hl  armhf    -       arm      arm-linux-gnueabihf     *32-bit?LSB*ARM,*statically?linked*hard-float?ABI*"
    "armv5tel armel    -       arm      arm-linux-gnueabi       *32-bit?LSB*ARM,*statically?linked*soft-float?ABI*"
    "riscv64  riscv64  -       riscv64  riscv64-linux-gnu       *64-bit?LSB*RISC-V,*statically?linked*"
    "ppc64le  ppc64el  ppc64le ppc64le  powerpc64le-linux-gnu   *64-bit?LSB*PowerPC*statically?linked*"
    "s390x    s390x    s390x   s390x    s390x-linux-gnu         *64-bit?MSB*IBM?S/390,*statically?linked*"
    "mips64el mips64el -       mips64el mips64el-linux-gnuabi64 *64-bit?LSB*MIPS64*statically?linked*"
)
expected=(SHA256SUMS "byteneg-$version-win64.zip" "byteneg-$version.tar.gz")
for row in "${targets[@]}"; do
    read -r tar deb rpm _ <<<"$row"
    expected+=("byteneg-$version-linux-$tar.tar.gz" "byteneg_${version}-1_$deb.deb")
    [[ $rpm == - ]] || expected+=("byteneg-$version-1.$rpm.rpm")
done
(cd "$dist" && sha256sum --quiet -c SHA256SUMS)
listed=$(find "$dist" -mindepth 1 ! -name SHA256SUMS -printf '%f\n' | sort)
[[ $listed == "$(awk '{print $2}' "$dist/SHA256SUMS" | sort)" ]] || { echo "SHA256SUMS lists other files"; exit 1; }
[[ $(ls "$dist") == "$(printf '%s\n' "${expected[@]}" | sort)" ]] ||
    { printf 'dist holds:\n%s\nexpected:\n' "$(ls "$dist")"; printf '%s\n' "${expected[@]}" | sort; exit 1; }

# The source tarball: the commit's files, no more, in byteneg-VERSION/. Built
# and tested where no clone is, then released again there with the commit's
# time for this machine: a static binary cannot be compared with a build of
# the default preset, but the same flags must give the same bytes, so this
# machine's tarball, .deb and .rpm must come out identical.
src=byteneg-$version
[[ $(tar -tzf "$dist/$src.tar.gz" | grep -v '/$' | sort) == "$(git -C "$work/first" ls-files | sed "s|^|$src/|" | sort)" ]] ||
    { echo "$src.tar.gz holds other files than the commit"; tar -tzf "$dist/$src.tar.gz"; exit 1; }
mkdir "$work/source"
tar -xzf "$dist/$src.tar.gz" -C "$work/source"
src=$work/source/$src
[[ ! -e $src/.git ]] || { echo "$src is a git clone"; exit 1; }
(cd "$src" && cmake --workflow --preset default >"$work/source.log" 2>&1) ||
    { tail -n 40 "$work/source.log"; echo "the source tarball's tests failed"; exit 1; }
grep '% tests passed' "$work/source.log"
(cd "$src" && SOURCE_DATE_EPOCH=$(git -C "$work/first" log -1 --format=%ct) packaging/release.sh native >/dev/null)
rm "$src/dist/SHA256SUMS"
mkdir "$work/native"
cp -t "$work/native" "$dist"/*_amd64.deb "$dist"/*.x86_64.rpm "$dist"/*-linux-x86_64.tar.gz
same "$work/native" "$src/dist"

# negates DIR RUN...: RUN in OUT, started in DIR, writes every byte value
# negated, and the same again gives the input back.
in='' neg=''
for b in {0..255}; do
    printf -v in '%s\\0%03o' "$in" "$b"
    printf -v neg '%s\\0%03o' "$neg" $(((256 - b) % 256))
done
printf '%b' "$in" >"$work/in"
printf '%b' "$neg" >"$work/neg"
negates() {
    local dir=$1
    shift
    cp "$work/in" "$dir/in"
    (cd "$dir" && "$@" in neg && "$@" neg back)
    cmp "$work/neg" "$dir/neg" || { echo "$*: wrong bytes"; exit 1; }
    cmp "$work/in" "$dir/back"
}

"$tests/package_test.sh" "$version" ON "$dist"/*.deb
for row in "${targets[@]}"; do
    read -r tar deb rpm qemu cross pattern <<<"$row"
    top=byteneg-$version-linux-$tar
    emulator=()
    [[ $qemu == - ]] || emulator=("qemu-$qemu")
    [[ $cross == - ]] || emulator+=(-L "/usr/$cross")

    # The static binary, run in a folder that holds nothing else: this
    # machine's as the whole of a chroot, the others under qemu without a sysroot.
    [[ $(tar -tzf "$dist/$top.tar.gz" | sort | tr '\n' ' ') == "$top/ $top/LICENSE $top/README.md $top/byteneg $top/byteneg.1 " ]] ||
        { echo "$top.tar.gz holds:"; tar -tzf "$dist/$top.tar.gz"; exit 1; }
    tar -xzf "$dist/$top.tar.gz" -C "$work"
    bin=$work/$top/byteneg
    desc="$(file -b "$bin"), flags $(readelf -h "$bin" | sed -n 's/^ *Flags: *//p')"
    # shellcheck disable=SC2053 # the pattern is one
    [[ $desc == $pattern && $desc == *stripped,\ flags* ]] ||
        { file "$bin"; readelf -h "$bin" | grep Flags; echo "expected $pattern, stripped"; exit 1; }
    ! readelf -l "$bin" | grep -q INTERP || { echo "$bin asks for a program interpreter"; exit 1; }
    mkdir "$work/$tar"
    mv "$bin" "$work/$tar/"
    if [[ $qemu == - ]]; then
        run=(chroot "$work/$tar" /byteneg)
        ((EUID == 0)) || run=(unshare --map-root-user "${run[@]}")
    else
        run=(env -u QEMU_LD_PREFIX "qemu-$qemu" ./byteneg)
    fi
    negates "$work/$tar" "${run[@]}"

    # The packages, each installed into a scratch root, run there, and removed.
    root=$work/root-$deb
    debfile=$dist/byteneg_${version}-1_$deb.deb
    mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates"
    touch "$root/var/lib/dpkg/status"
    [[ $deb == "$(dpkg --print-architecture)" ]] || dpkg --root="$root" --add-architecture "$deb"
    quietly dpkg --root="$root" --force-depends --force-not-root -i "$debfile"
    negates "$root" "${emulator[@]}" "$root/usr/bin/byteneg"
    quietly dpkg --root="$root" --force-not-root -P "byteneg:$deb"
    [[ ! -e $root/usr/bin/byteneg ]] || { echo "$debfile: purged, yet usr/bin/byteneg is left"; exit 1; }

    [[ $rpm != - ]] || continue
    root=$work/rpm-$rpm
    rpmfile=$dist/byteneg-$version-1.$rpm.rpm
    # No URL until the project has an address of its own.
    [[ $(rpm -qp --qf '%{ARCH} %{LICENSE} %{URL} %{PACKAGER}' "$rpmfile") == "$rpm MIT (none) "*@* ]] ||
        { rpm -qpi "$rpmfile"; exit 1; }
    [[ $(rpm -qpl "$rpmfile" | tr '\n' ' ') == "/usr/bin/byteneg /usr/share/doc/byteneg /usr/share/doc/byteneg/changelog.gz /usr/share/doc/byteneg/copyright /usr/share/man/man1/byteneg.1.gz " ]] ||
        { rpm -qpl "$rpmfile"; exit 1; }
    rpm -qp --requires "$rpmfile" | grep -q '^libc\.so\.6(GLIBC_2\.[0-9]*)(64bit)$' || { rpm -qp --requires "$rpmfile"; exit 1; }
    lint=$(rpmlint "$rpmfile" 2>&1 || true)
    ! grep ': E: ' <<<"$lint" | grep -v ': E: no-signature$' || exit 1
    quietly rpm --root "$root" --dbpath /var/lib/rpm --nodeps --ignorearch -i "$rpmfile"
    negates "$root" "${emulator[@]}" "$root/usr/bin/byteneg"
    quietly rpm --root "$root" --dbpath /var/lib/rpm -e byteneg
    [[ ! -e $root/usr/bin/byteneg ]] || { echo "$rpmfile: erased, yet usr/bin/byteneg is left"; exit 1; }
done

# The runner makes the prefix and starts Wine's services on /dev/null itself.
"$tests/zip_test.sh" "$dist/byteneg-$version-win64.zip" "$version" sh "$repo/cmake/wine-run.sh" "$WINEPREFIX"
echo "dist/ built twice, identical, and this machine's again from the source tarball; $(wc -l <<<"$listed") artefacts checked"
