#!/usr/bin/env bash
# Builds the Debian package and checks what it holds.
#   package_test.sh BUILD_DIR VERSION LINTIAN(ON|OFF)
set -euo pipefail
build=$1 version=$2 lint=$3
# CPack computes the dependencies with dpkg-shlibdeps, from dpkg-dev.
command -v dpkg-shlibdeps >/dev/null || { echo "dpkg-shlibdeps not installed: skipped"; exit 77; }
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT

cpack --config "$build/CPackConfig.cmake" -G DEB -B "$out" >/dev/null
deb=$out/byteneg_${version}_$(dpkg --print-architecture).deb
[[ -f $deb ]] || { echo "no package named $(basename "$deb")"; ls "$out"; exit 1; }

files=$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ {print $6}' | sort)
expected=$(printf '%s\n' ./usr/bin/byteneg ./usr/share/doc/byteneg/changelog.gz \
    ./usr/share/doc/byteneg/copyright ./usr/share/man/man1/byteneg.1.gz | sort)
if [[ $files != "$expected" ]]; then
    printf 'package holds:\n%s\nexpected:\n%s\n' "$files" "$expected"
    exit 1
fi
depends=$(dpkg-deb -f "$deb" Depends)
[[ $depends == *libc6* ]] || { echo "Depends lacks libc6: '$depends'"; exit 1; }
# The tool needs nothing of the C++ run-time library; loading it would double
# the start-up cost that dominates small files.
[[ $depends != *libstdc++* ]] || { echo "Depends on libstdc++: '$depends'"; exit 1; }
dpkg-deb --fsys-tarfile "$deb" | tar -xOf - ./usr/share/man/man1/byteneg.1.gz | gzip -t

if [[ $lint == ON ]] && command -v lintian >/dev/null; then
    lintian --fail-on error,warning,info,pedantic --pedantic "$deb"
fi
echo "$(basename "$deb"): ${depends}; $(wc -l <<<"$files") files"
