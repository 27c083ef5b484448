#!/usr/bin/env bash
# Checks what the Windows zip holds, and runs the byteneg.exe it unpacks to,
# alone in its folder, so that a missing DLL would show. Given a build folder,
# it builds that folder's zip.
#   zip_test.sh BUILD_DIR|ZIP VERSION EMULATOR...
set -euo pipefail
from=$1 version=$2
shift 2
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT

zip=$(realpath "$from")
if [[ -d $from ]]; then
    cpack --config "$from/CPackConfig.cmake" -G ZIP -B "$out" >/dev/null
    zip=$out/byteneg-$version-win64.zip
fi
[[ -f $zip && $(basename "$zip") == byteneg-$version-win64.zip ]] ||
    { echo "no byteneg-$version-win64.zip: $zip"; exit 1; }

top=byteneg-$version-win64
files=$(cmake -E tar tf "$zip" | grep -v '/$' | sort)
expected=$(printf '%s\n' "$top/LICENSE" "$top/README.md" "$top/byteneg.exe" | sort)
if [[ $files != "$expected" ]]; then
    printf 'zip holds:\n%s\nexpected:\n%s\n' "$files" "$expected"
    exit 1
fi

mkdir "$out/unpacked"
(cd "$out/unpacked" && cmake -E tar xf "$zip")
exe=$out/unpacked/$top/byteneg.exe
printf 'zip \001\032\r\n\200\377' >"$out/in"
# A run that fails without a word (a crash under Wine, whose own messages are
# off) still shows how it ended.
"$@" "$exe" "$out/in" "$out/neg" || { echo "byteneg.exe in neg, run by $*: status $?"; exit 1; }
"$@" "$exe" "$out/neg" "$out/back" || { echo "byteneg.exe neg back, run by $*: status $?"; exit 1; }
cmp "$out/in" "$out/back"
[[ $(od -An -tx1 "$out/neg" | tr -d ' \n') == 869790e0ffe6f3f68001 ]] ||
    { echo "the unpacked byteneg.exe gave the wrong bytes: $(od -An -tx1 "$out/neg")"; exit 1; }
echo "$(basename "$zip"): $(wc -l <<<"$files") files; the unpacked byteneg.exe runs alone"
