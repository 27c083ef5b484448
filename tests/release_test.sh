#!/usr/bin/env bash
# Runs packaging/release.sh in two clones of the last commit, at different
# paths and times, checks that their dist/ folders are identical, then uses
# each artefact of one as a user would: unpacked or installed into a scratch
# root, run natively, under qemu with no sysroot or under Wine, then removed.
# The source tarball, unpacked where there is no clone, must pass the default
# tests and rebuild every binary artefact bit for bit.
#   release_test.sh [REPOSITORY]
set -euo pipefail
export LC_ALL=C
repo=$(cd "${1:-$(dirname "$0")/..}" && pwd)
tests=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
export WINEPREFIX=$work/wine
trap '"$(command -v wineserver || echo /usr/lib/wine/wineserver64)" -k 2>/dev/null; rm -rf "$work"' EXIT

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
(cd "$dist" && sha256sum --quiet -c SHA256SUMS)
listed=$(find "$dist" -mindepth 1 ! -name SHA256SUMS -printf '%f\n' | sort)
[[ $listed == "$(awk '{print $2}' "$dist/SHA256SUMS" | sort)" ]] || { echo "SHA256SUMS lists other files"; exit 1; }
[[ $(wc -l <<<"$listed") == 10 ]] || { printf 'dist holds:\n%s\n' "$listed"; exit 1; }

# The source tarball: the commit's files, no more, in byteneg-VERSION/. Built
# and tested where no clone is, then released again there with the commit's
# time: a static binary cannot be compared with a build of the default preset,
# but the same flags must give the same bytes, so every binary artefact must
# come out identical, the static tarball of this architecture included.
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
(cd "$src" && SOURCE_DATE_EPOCH=$(git -C "$work/first" log -1 --format=%ct) packaging/release.sh >/dev/null)
rm "$src/dist/SHA256SUMS"
mkdir "$work/binaries"
find "$dist" -mindepth 1 ! -name SHA256SUMS ! -name "byteneg-$version.tar.gz" -exec cp -t "$work/binaries" {} +
same "$work/binaries" "$src/dist"

# negates DIR RUN...: RUN in OUT, started in DIR, writes each byte negated,
# and the same again gives the input back.
printf '\0\1\2\n\r\032\177\200\376\377' >"$work/in"
negates() {
    local dir=$1
    shift
    cp "$work/in" "$dir/in"
    (cd "$dir" && "$@" in neg && "$@" neg back)
    [[ $(od -An -tx1 "$dir/neg" | tr -d ' \n') == 00fffef6f3e681800201 ]] ||
        { echo "$*: wrong bytes: $(od -An -tx1 "$dir/neg")"; exit 1; }
    cmp "$work/in" "$dir/back"
}

# The static binaries, each run in a folder that holds nothing else: the
# x86-64 one as the whole of a chroot, the others under qemu without a sysroot.
for row in "x86_64 x86-64" "i686 Intel 80386" "aarch64 ARM aarch64"; do
    arch=${row%% *} top=byteneg-$version-linux-${row%% *}
    [[ $(tar -tzf "$dist/$top.tar.gz" | sort | tr '\n' ' ') == "$top/ $top/LICENSE $top/README.md $top/byteneg $top/byteneg.1 " ]] ||
        { echo "$top.tar.gz holds:"; tar -tzf "$dist/$top.tar.gz"; exit 1; }
    tar -xzf "$dist/$top.tar.gz" -C "$work"
    bin=$work/$top/byteneg
    [[ $(file -b "$bin") == *"${row#* }"*"static-pie linked"*stripped ]] || { file "$bin"; exit 1; }
    ! readelf -l "$bin" | grep -q INTERP || { echo "$bin asks for a program interpreter"; exit 1; }
    mkdir "$work/$arch"
    mv "$bin" "$work/$arch/"
    case $arch in
    x86_64) run=(chroot "$work/$arch" /byteneg)
        ((EUID == 0)) || run=(unshare --map-root-user "${run[@]}") ;;
    i686) run=(env -u QEMU_LD_PREFIX qemu-i386 ./byteneg) ;;
    aarch64) run=(env -u QEMU_LD_PREFIX qemu-aarch64 ./byteneg) ;;
    esac
    negates "$work/$arch" "${run[@]}"
done

# The packages, each installed into a scratch root, run there, and removed.
for row in amd64: i386:qemu-i386 "arm64:qemu-aarch64 -L /usr/aarch64-linux-gnu"; do
    arch=${row%%:*} root=$work/root-${row%%:*}
    read -ra emulator <<<"${row#*:}"
    deb=$dist/byteneg_${version}-1_$arch.deb
    "$tests/package_test.sh" "$deb" "$version" ON
    mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates"
    touch "$root/var/lib/dpkg/status"
    [[ $arch == "$(dpkg --print-architecture)" ]] || dpkg --root="$root" --add-architecture "$arch"
    dpkg --root="$root" --force-depends --force-not-root -i "$deb" >/dev/null 2>&1
    negates "$root" "${emulator[@]}" "$root/usr/bin/byteneg"
    dpkg --root="$root" --force-not-root -P "byteneg:$arch" >/dev/null
    [[ ! -e $root/usr/bin/byteneg ]] || { echo "$deb: purged, yet usr/bin/byteneg is left"; exit 1; }
done
for row in x86_64: "aarch64:qemu-aarch64 -L /usr/aarch64-linux-gnu"; do
    arch=${row%%:*} root=$work/rpm-${row%%:*}
    read -ra emulator <<<"${row#*:}"
    rpm=$dist/byteneg-$version-1.$arch.rpm
    # No URL until the project has an address of its own.
    [[ $(rpm -qp --qf '%{ARCH} %{LICENSE} %{URL} %{PACKAGER}' "$rpm") == "$arch MIT (none) "*@* ]] ||
        { rpm -qpi "$rpm"; exit 1; }
    [[ $(rpm -qpl "$rpm" | tr '\n' ' ') == "/usr/bin/byteneg /usr/share/doc/byteneg /usr/share/doc/byteneg/changelog.gz /usr/share/doc/byteneg/copyright /usr/share/man/man1/byteneg.1.gz " ]] ||
        { rpm -qpl "$rpm"; exit 1; }
    rpm -qp --requires "$rpm" | grep -q '^libc\.so\.6(GLIBC_2\.[0-9]*)(64bit)$' || { rpm -qp --requires "$rpm"; exit 1; }
    lint=$(rpmlint "$rpm" 2>&1 || true)
    ! grep ': E: ' <<<"$lint" | grep -v ': E: no-signature$' || exit 1
    rpm --root "$root" --dbpath /var/lib/rpm --nodeps --ignorearch -i "$rpm" 2>/dev/null
    negates "$root" "${emulator[@]}" "$root/usr/bin/byteneg"
    rpm --root "$root" --dbpath /var/lib/rpm -e byteneg 2>/dev/null
    [[ ! -e $root/usr/bin/byteneg ]] || { echo "$rpm: erased, yet usr/bin/byteneg is left"; exit 1; }
done

# The runner makes the prefix and starts Wine's services on /dev/null itself.
"$tests/zip_test.sh" "$dist/byteneg-$version-win64.zip" "$version" sh "$repo/cmake/wine-run.sh" "$WINEPREFIX"
echo "dist/ built twice, identical, and its binaries again from the source tarball; $(wc -l <<<"$listed") artefacts checked"
