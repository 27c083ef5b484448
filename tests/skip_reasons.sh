#!/bin/sh
# Run by CTest after the tests (CTEST_CUSTOM_POST_TEST): names each test that
# skipped and the reason it gave, which CTest itself shows only with -V. The
# reasons are in the log CTest is still writing, LastTest.log.tmp (or
# LastTest_TIME.log.tmp with -T); without one it says nothing. A list must
# never fail the run, so this always ends with status 0.
#   skip_reasons.sh BUILD_DIR
log=
for f in "$1"/Testing/Temporary/LastTest*.log.tmp; do
    [ -f "$f" ] && log=$f # the last, which -T's time stamps make the newest
done
[ -n "$log" ] || exit 0
# A GoogleTest case prints "FILE:LINE: Skipped" and then its message; the
# tests' scripts print "skipped: REASON".
awk '
    function show(why) {
        if (!shown++) print "Why those tests were skipped:"
        print "  " name ": " (why == "" ? "(no reason given)" : why)
    }
    /^[0-9]+\/[0-9]+ Test: / { name = $0; sub(/^[^:]*: /, "", name); sub(/ +# GetParam.*/, "", name) }
    reason { show($0); reason = 0; next }
    /: Skipped$/ { reason = 1 }
    /^skipped: / { show(substr($0, 10)) }
' "$log" || true
exit 0
