#!/usr/bin/env bash
# The README's two code blocks, Quick start and Tests, as a newcomer runs them
# on a new Debian 12: a minbase system made with mmdebstrap from this
# machine's Debian sources, holding a clone of the last commit. The blocks are
# read from that commit's README and run as they stand, as root; then, less
# their apt-get lines, which root has run for everyone, as an ordinary user in
# a clone of their own. Also installs from source and from the tarball's
# folder as the Install section says, and takes both out again as the
# Uninstall table says, which must leave /usr/local as it was. Fails if a line
# fails, a test fails (a skipped one says why), or a block prints a warning
# past its apt-get lines.
#   .ci/fresh.sh [REPOSITORY]
set -euo pipefail
((EUID == 0)) || { echo "not root: making a system and entering it needs root"; exit 77; }
for tool in mmdebstrap git unshare; do
    command -v "$tool" >/dev/null || { echo "fresh.sh: $tool not found: see .ci/run's packages" >&2; exit 2; }
done

if [[ ${1:-} != --inside ]]; then
    repo=$(cd "${1:-$(dirname "$0")/..}" && pwd)
    work=$(mktemp -d)
    # Every mount is made inside a mount namespace of its own, which the
    # kernel takes down with its last process, so that even a killed run
    # leaves none: nothing is mounted here, and removing cannot reach /dev.
    # The new system itself is such a mount, a tmpfs, so that it takes no
    # removing at all, and dpkg and the builds write to memory.
    trap 'rm -rf --one-file-system "$work"' EXIT
    # A PID namespace too: whatever the runs leave behind ends with them.
    unshare --mount --propagation unchanged --pid --fork --kill-child "$0" --inside "$repo" "$work"
    exit
fi
repo=$2 work=$3
# No mount of ours may reach the machine's other namespaces. In a chroot, /
# is no mount point and cannot be made private: there that is up to whoever
# made the chroot, and the traps below unmount all the same.
! mountpoint -q / || mount --make-rprivate /
root=$work/root
user=newcomer
trap 'umount -R "$root" 2>/dev/null || true' EXIT
started=$SECONDS
step() { echo "=== fresh, $((SECONDS - started)) s: $*"; }

# This machine's Debian 12 sources, whatever their format, as apt reads them.
# shellcheck disable=SC2016 # apt's fields, for apt to expand
sources() {
    apt-get indextargets --format '$(TARGET_OF) $(REPO_URI) $(RELEASE) $(COMPONENT) $(ORIGIN)' \
        'Identifier: Packages' |
        awk '$1 == "deb" && $3 ~ /^bookworm(-updates|-security)?$/ && $5 == "Debian" {print "deb", $2, $3, $4}' |
        sort -u
}
mapfile -t mirrors < <(sources)
((${#mirrors[@]})) || { apt-get update -q >/dev/null && mapfile -t mirrors < <(sources); }
((${#mirrors[@]})) || { echo "fresh.sh: apt lists no Debian 12 (bookworm) source here" >&2; exit 2; }

step "a minbase bookworm system from: ${mirrors[*]}"
mkdir "$root"
mount -t tmpfs -o size=6G,mode=755 tmpfs "$root"
# Its apt answers yes, as the person typing would, and installs no recommended
# packages, so that the blocks' package lists must be complete. Unsafe I/O
# skips dpkg's syncs of a system that is thrown away.
mmdebstrap --variant=minbase --quiet --dpkgopt=force-unsafe-io \
    --aptopt='APT::Get::Assume-Yes "true"' --aptopt='APT::Install-Recommends "false"' \
    --customize-hook="chroot \"\$1\" useradd --create-home --shell /bin/bash $user" \
    bookworm "$root" "${mirrors[@]}"
git clone -q "$repo" "$root/root/byteneg"
git clone -q "$repo" "$root/home/$user/byteneg"
chown -R "$(stat -c %u:%g "$root/home/$user")" "$root/home/$user/byteneg"

# What the tests need of a running system: /proc, /sys, /dev with its loop
# devices, and a /tmp to write in.
mount -t proc proc "$root/proc"
mount --rbind /dev "$root/dev"
mount --rbind /sys "$root/sys"
mount -t tmpfs -o mode=1777 tmpfs "$root/tmp"

readme=$root/root/byteneg/README.md
# lines TITLE: the lines of the first code block under the README's heading
# `## TITLE`, a line ending in \ joined with the next, one per line, NUL-ended.
lines() {
    awk -v title="## $1" '$0 == title {inside = 1; next}
        inside && /^## / {exit}
        inside && /^    / {sub(/^    /, ""); line = line $0; code = 1
            if (/\\$/) {line = line "\n"; next}
            printf "%s%c", line, 0; line = ""; next}
        inside && code && NF {exit}' "$readme"
}
# split TITLE: the block's apt-get lines into install, the others into rest.
# The apt-get lines must come first, for another user to be able to have root
# run them alone.
split() {
    local line
    install=() rest=()
    while IFS= read -r -d '' line; do
        if [[ $line == apt-get* ]]; then
            ((${#rest[@]} == 0)) || { echo "README.md: $1: an apt-get line after the others" >&2; exit 1; }
            install+=("$line")
        else
            rest+=("$line")
        fi
    done < <(lines "$1")
    ((${#rest[@]})) || { echo "README.md: no code block under ## $1" >&2; exit 1; }
}
# as WHO LINE...: runs the lines one by one in one shell, as typed in WHO's
# clone after logging in, each shown before it runs and its time after;
# stops at the first that fails.
# shellcheck disable=SC2016 # for the shell in the new system to expand
as() {
    local who=$1 home=/root
    shift
    [[ $who == root ]] || home=/home/$who
    chroot --userspec="$who:$who" "$root" /usr/bin/env -i HOME="$home" USER="$who" LOGNAME="$who" \
        SHELL=/bin/bash PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
        DEBIAN_FRONTEND=noninteractive /bin/bash -c \
        'cd ~/byteneg || exit; for line; do printf "%s\n" "\$ $line"; line_started=$SECONDS; eval "$line" || exit; echo "  ($((SECONDS - line_started)) s)"; done' as "$@"
}
# quiet WHO LINE...: as above, and no line of the output may warn.
quiet() {
    as "$@" 2>&1 | tee "$work/log"
    ! grep -i 'warning' "$work/log" || { echo "fresh.sh: a warning the README does not explain" >&2; exit 1; }
}

for title in "Quick start" Tests; do
    split "$title"
    step "$title as root"
    as root "${install[@]}"
    quiet root "${rest[@]}"
done
for title in "Quick start" Tests; do
    split "$title"
    step "$title as $user, less its apt-get lines"
    quiet "$user" "${rest[@]}"
done

# The Install section's ways into /usr/local, each followed by its row of the
# Uninstall table, must leave /usr/local as they found it, empty folders too.
step "installs into /usr/local taken out as the README says"
# matching REGEX: the README's code lines that match, without their indent.
matching() { sed -n "s/^    \($1\)\$/\1/p" "$readme"; }
# row NAME: the command in the Uninstall table's row for NAME.
row() { sed -n "s/^| $1 | \`\([^\`]*\)\`.*/\1/p" "$readme"; }
find "$root/usr/local" | sort >"$work/before"
mkdir "$root/root/byteneg/unpacked"
cp "$root/root/byteneg/build/byteneg" "$root/root/byteneg/man/byteneg.1" "$root/root/byteneg/unpacked/"
for way in "source|.|cmake --preset default .*cmake --install build" "the tarball|unpacked|install -D .*"; do
    IFS='|' read -r name folder regex <<<"$way"
    mapfile -t install < <(matching "$regex")
    uninstall=$(row "$name")
    if ((${#install[@]} == 0)) || [[ -z $uninstall ]]; then
        echo "README.md: no install lines or Uninstall row for $name" >&2
        exit 1
    fi
    as root "cd $folder" "${install[@]}" >/dev/null
    as root 'byteneg README.md /tmp/neg && byteneg /tmp/neg /tmp/back && cmp README.md /tmp/back' "$uninstall"
    find "$root/usr/local" | sort | diff "$work/before" - ||
        { echo "fresh.sh: the Uninstall row for $name leaves the above in /usr/local" >&2; exit 1; }
done
step "passed"
