#!/usr/bin/env bash
# Tests of scripts/checks.sh: the counts, the summary line, the tally that
# scripts/test totals, and the ctest summary it reads.
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d "${TMPDIR:-/tmp}/modflash-checks.XXXXXX")
trap 'rm -rf "$work"' EXIT
bad=0
expect() { # WHAT EXPECTED ACTUAL
  if [ "$2" != "$3" ]; then
    echo "FAILED: $1"$'\n'"--- expected"$'\n'"$2"$'\n'"--- got"$'\n'"$3"
    bad=$((bad + 1))
  fi
}
# in_shell SCRIPT: runs SCRIPT after sourcing checks.sh, with a fresh tally;
# prints its output, its exit status and the tally.
in_shell() {
  : >"$work/tally"
  local out status
  out=$(MODFLASH_TALLY=$work/tally bash -c ". '$here/checks.sh'; $1" 2>&1)
  status=$?
  printf '%s\nstatus %s\n%s' "$out" "$status" "$(cat "$work/tally")"
}

expect "a passing and a failing check, and the summary" \
"ok: one
FAILED: two
ok: three
t: 2 passed, 1 failed
status 1
t 2 1" "$(in_shell 'check one true; check two false; pass three; checks_end t')"

expect "no check at all is a failure" \
"t: 0 passed, 0 failed
status 1
t 0 0" "$(in_shell 'checks_end t')"

printf '%s\n' "Test #1: a ... Passed" "95% tests passed, 2 tests failed out of 40" \
  "Total Test time (real) = 1.00 sec" >"$work/failing.log"
printf '%s\n' "100% tests passed, 0 tests failed out of 1" >"$work/one.log"
: >"$work/empty.log"
expect "ctest summaries, and a log without one" \
"
status 0
a 38 2
b 1 0
c 0 1" "$(in_shell "tally_ctest a '$work/failing.log'; tally_ctest b '$work/one.log'; tally_ctest c '$work/empty.log'")"

[ "$bad" -eq 0 ] && echo "checks.sh: passed"
