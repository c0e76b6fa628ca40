# The steps of scripts/test's legs, sourced by it and by the shells of the
# legs it runs beside others (with scripts/common.sh and scripts/checks.sh).
# Each returns non-zero on failure: leg runs them where set -e does not
# apply.

# A step's pipeline fails when any part of it fails (ctest piped to tee).
set -o pipefail

# Builds run at the lowest priority: the tests beside them, which mostly
# wait on paced readers and must answer in time, get the processor first,
# and the builds take what the waiting leaves.
build() { nice -n 19 "$@"; }

# compile PRESET [TARGET...]: configure and build one preset (its TARGETs
# only, if given).
compile() {
  local preset=$1 started
  shift
  started=$(date +%s)
  echo "== $preset: configure and build ${*:-everything}"
  cmake --preset "$preset" >/dev/null || return 1
  if [ $# -gt 0 ]; then
    build cmake --build --preset "$preset" --target "$@" || return 1
  else
    build cmake --build --preset "$preset" || return 1
  fi
  echo "== $preset: built in $(($(date +%s) - started)) s"
}

# tests PRESET [CTEST_ARGS...]: every test of a built native preset.
tests() {
  local preset=$1 started log status=0
  shift
  started=$(date +%s)
  log=build/$preset/ctest.log
  ctest --preset "$preset" -j "$(($(nproc) * 4))" "$@" 2>&1 | tee "$log" || status=1
  tally_ctest "$preset" "$log"
  [ "$status" -eq 0 ] || return 1
  echo "== $preset: tests passed in $(($(date +%s) - started)) s"
}

# windows_builds: the Windows presets this host tests, each built whole.
windows_builds() {
  local preset
  for preset in $MODFLASH_WINDOWS_PRESETS; do
    compile "$preset" || return 1
  done
}

