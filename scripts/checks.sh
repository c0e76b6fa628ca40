# Shared by the test scripts: counting checks and printing their summary.
#
#   . scripts/checks.sh
#   check "what is checked" COMMAND...   # counted: "ok: ..." or "FAILED: ..."
#   pass "what"; fail "what"             # for checks made another way
#   checks_end NAME                      # "NAME: N passed, N failed"
#
# checks_end also adds the counts to the file named by MODFLASH_TALLY, when
# set (scripts/test sets it and prints the total of every script and test
# leg last), and returns 1 when any check failed or none ran.

checks_passed=0
checks_failed=0

pass() {
  checks_passed=$((checks_passed + 1))
  echo "ok: $*"
}
fail() {
  checks_failed=$((checks_failed + 1))
  echo "FAILED: $*"
}
# check DESCRIPTION COMMAND...: runs COMMAND, one check counted by its status.
check() {
  local what=$1
  shift
  if "$@"; then pass "$what"; else fail "$what"; fi
}

# tally NAME PASSED FAILED: adds a summary to MODFLASH_TALLY.
tally() {
  [ -z "${MODFLASH_TALLY:-}" ] || echo "$1 $2 $3" >>"$MODFLASH_TALLY"
}

checks_end() {
  echo "$1: $checks_passed passed, $checks_failed failed"
  tally "$1" "$checks_passed" "$checks_failed"
  [ "$checks_failed" -eq 0 ] && [ "$checks_passed" -gt 0 ]
}

# tally_ctest NAME LOG: adds the counts of the ctest summary line in LOG
# ("100% tests passed, 0 tests failed out of 42"); a log without one counts
# as one failure.
tally_ctest() {
  local line total failed
  line=$(grep -E '^[0-9]+% tests passed, [0-9]+ tests? failed out of [0-9]+' "$2" | tail -1)
  if [ -z "$line" ]; then
    tally "$1" 0 1
    return
  fi
  total=${line##* }
  failed=$(sed -E 's/.*passed, ([0-9]+) tests? failed.*/\1/' <<<"$line")
  tally "$1" "$((total - failed))" "$failed"
}
