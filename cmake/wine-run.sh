#!/bin/sh
# Runs a Windows program under Wine for CMake and CTest:
#   wine-run.sh PREFIX PROGRAM ARGS...
# PREFIX is the build's own Wine prefix, made on first use: the user's
# ~/.wine is never touched, and a Wine server running there (or anywhere
# else) never serves these programs, as each prefix has a server of its own.
#
# Wine's server, and the services that the first program of a session starts,
# outlive that program and keep the standard streams it was given. A caller
# that reads the program's output through a pipe, as CTest and test discovery
# do, would wait for them, up to the server's whole lifetime. So the server
# and its services are started here first, on /dev/null, and kept a few
# seconds past their last program: long enough for a test run to reuse them,
# short enough that nothing of Wine outlives it for long.
prefix=${1:?usage: wine-run.sh PREFIX PROGRAM ARGS...}
shift
export WINEPREFIX="$prefix"
export WINEDEBUG=-all
# Neither menu entries in the user's home nor the Mono and Gecko installers,
# which a console program does not need and which would slow the first run.
export WINEDLLOVERRIDES='winemenubuilder.exe=d;mscoree=;mshtml='
# Wine turns Unix names and arguments into Windows ones through the locale's
# character set: in the C locale a UTF-8 name comes out garbled.
export LC_ALL=C.UTF-8
wine=$(command -v wine64 || echo /usr/lib/wine/wine64)
server=$(command -v wineserver || echo /usr/lib/wine/wineserver64)
linger=${BYTENEG_WINE_LINGER:-10}
# Only one caller may start them; CTest runs tests in parallel. The lock's
# descriptor is not for them to keep, or the lock would last as long as they do.
mkdir -p "$prefix" || exit 125
(
    flock 9 || { echo "wine-run.sh: cannot lock $prefix.lock" >&2; exit 1; }
    # Exits with 0 only when it has started a server, none being up. Then the
    # first program makes the prefix if it is new, and starts the services.
    # Should that fail, the program below starts them itself, or says why not.
    if "$server" -p"$linger" </dev/null >/dev/null 2>&1 9>&-; then
        "$wine" wineboot </dev/null >/dev/null 2>&1 9>&- ||
            echo "wine-run.sh: wineboot failed in $prefix (status $?); going on" >&2
    fi
) 9>"$prefix.lock" || exit 125
# Wine puts descriptors of its own on closed standard ones, and the program
# then takes them for its standard handles: its messages would go to Wine's
# server, which ends it. A closed one gets /dev/null, as a missing handle would.
(: 3<&0) 2>/dev/null || exec 0</dev/null
(: 3>&1) 2>/dev/null || exec 1>/dev/null
(: 3>&2) || exec 2>/dev/null
exec "$wine" "$@"
