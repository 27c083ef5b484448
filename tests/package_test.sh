#!/usr/bin/env bash
# Checks Debian packages: name, architecture, file list, dependencies and
# lintian's verdict. Given a build folder, it builds that folder's package.
# lintian takes its time starting, so it checks all the packages at once.
#   package_test.sh VERSION LINTIAN(ON|OFF) BUILD_DIR|DEB...
# LINTIAN_SUPPRESS in the environment names lintian tags not to count.
set -euo pipefail
version=$1 lint=$2
shift 2
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT

native=() foreign=()
for from in "$@"; do
    if [[ -d $from ]]; then
        # CPack computes the dependencies with dpkg-shlibdeps, from dpkg-dev.
        command -v dpkg-shlibdeps >/dev/null || { echo "skipped: dpkg-shlibdeps not found (Debian package dpkg-dev)"; exit 77; }
        cpack --config "$from/CPackConfig.cmake" -G DEB -B "$out" >/dev/null
        from=$out/byteneg_${version}-1_$(dpkg --print-architecture).deb
    fi
    deb=$from
    [[ -f $deb ]] || { echo "no package named $(basename "$deb")"; ls "$(dirname "$deb")"; exit 1; }
    [[ $(basename "$deb") =~ ^byteneg_${version//./\\.}-1_([a-z0-9]+)\.deb$ ]] ||
        { echo "not named byteneg_${version}-1_ARCH.deb: $(basename "$deb")"; exit 1; }
    arch=${BASH_REMATCH[1]}
    [[ $(dpkg-deb -f "$deb" Architecture) == "$arch" ]] ||
        { echo "$deb: Architecture is $(dpkg-deb -f "$deb" Architecture)"; exit 1; }

    files=$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ {print $6}' | sort)
    expected=$(printf '%s\n' ./usr/bin/byteneg ./usr/share/doc/byteneg/changelog.Debian.gz \
        ./usr/share/doc/byteneg/copyright ./usr/share/lintian/overrides/byteneg \
        ./usr/share/man/man1/byteneg.1.gz | sort)
    if [[ $files != "$expected" ]]; then
        printf '%s holds:\n%s\nexpected:\n%s\n' "$deb" "$files" "$expected"
        exit 1
    fi
    # The C library alone, from the version that has the newest symbol version
    # the binary calls for. Nothing of the C++ run-time library: loading it
    # would double the start-up cost that dominates small files.
    root=$out/root-$arch
    dpkg-deb -x "$deb" "$root"
    need=$(readelf -V "$root/usr/bin/byteneg" | grep -o 'GLIBC_[0-9.]*' | sort -uV | tail -n1)
    depends=$(dpkg-deb -f "$deb" Depends)
    [[ $depends == "libc6 (>= ${need#GLIBC_})" ]] ||
        { echo "$deb: Depends is '$depends', the binary needs $need"; exit 1; }
    # Which the package can say only if the binary needs no other library.
    needed=$(readelf -d "$root/usr/bin/byteneg" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p')
    [[ $needed == libc.so.6 ]] || { echo "$deb: the binary needs ${needed//$'\n'/ }"; exit 1; }
    gzip -t "$root/usr/share/man/man1/byteneg.1.gz"
    echo "$(basename "$deb"): ${depends}; $(wc -l <<<"$files") files"
    if [[ $arch == $(dpkg --print-architecture) ]]; then
        native+=("$deb")
    else
        foreign+=("$deb")
    fi
done

# Every tag counts, and is shown, for the build machine's own packages; a cross-built one
# cannot show lintian the libraries of its architecture, so errors and
# warnings count there.
if [[ $lint == ON ]] && command -v lintian >/dev/null; then
    ((${#native[@]} == 0)) || lintian --fail-on error,warning,info,pedantic --pedantic --display-info \
        ${LINTIAN_SUPPRESS:+--suppress-tags "$LINTIAN_SUPPRESS"} "${native[@]}"
    ((${#foreign[@]} == 0)) || lintian --fail-on error,warning "${foreign[@]}"
fi
