#!/usr/bin/env bash
# Installs the build into a scratch DESTDIR and runs the installed binary.
#   install_test.sh BUILD_DIR
set -euo pipefail
build=$1
dest=$(mktemp -d)
trap 'rm -rf "$dest"' EXIT

DESTDIR=$dest cmake --install "$build" --prefix /usr/local >/dev/null
bin=$dest/usr/local/bin/byteneg
page=$dest/usr/local/share/man/man1/byteneg.1
[[ -x $bin ]] || { echo "not installed: bin/byteneg"; exit 1; }
[[ -f $page ]] || { echo "not installed: share/man/man1/byteneg.1"; exit 1; }
# The project's own documents; a distribution's package brings its own
# copyright and changelog.
docs=$(cd "$dest/usr/local/share/doc/byteneg" && echo *)
[[ $docs == "LICENSE README.md" ]] || { echo "share/doc/byteneg holds: $docs"; exit 1; }

printf 'installed \001\200\377' >"$dest/in"
"$bin" "$dest/in" "$dest/neg"
"$bin" "$dest/neg" "$dest/back"
cmp "$dest/in" "$dest/back"
[[ $(od -An -tx1 "$dest/neg" | tr -d ' \n') == 97928d8c9f94949b9ce0ff8001 ]] ||
    { echo "installed binary gave the wrong bytes"; exit 1; }
echo "installed and ran $bin"
