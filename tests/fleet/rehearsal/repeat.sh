#!/bin/sh
# The rehearsal twice with the same programs: its reports must agree field
# for field apart from times (what compare.py also holds a rehearsal of
# another build to).
#
#   repeat.sh BIN_DIR READERSIM OUT
here=$(cd "$(dirname "$0")" && pwd)
"$here/run.sh" "$1" "$2" "$3/first-rehearsal" || exit 1
"$here/run.sh" "$1" "$2" "$3/second-rehearsal" || exit 1
exec python3 "$here/compare.py" "$3/first-rehearsal" "$3/second-rehearsal"
