#!/bin/bash
# The whole loop on 20 readers, as docs/fleet.md rehearses it: an audit, a
# program run in waves, a retry of what failed and a merge of the two, into
# the run folders audit/, first/, second/ and all/ of OUT, with each
# command's console lines in OUT/*.log.
#
#   run.sh BIN_DIR READERSIM OUT
#
# BIN_DIR holds modflash-fleet (and modflash and modflash-audit beside it);
# READERSIM is the simulator to rehearse with.
set -u
bin=$1
sim=$2
out=$3
mkdir -p "$out" && cd "$out" || exit 2
rm -rf audit first second all old.ready new.ready
"$sim" make-image img.bin --version 1.2.3 >make-image.log
"$sim" --readers 14 --version 1.1.0 --inventory-out old.txt \
       --ready-file old.ready --faulty 3,9 --refuse-slice 0x405000:5 \
       >old.log 2>&1 &
old=$!
"$sim" --readers 5 --version 1.2.3 --inventory-out new.txt \
       --ready-file new.ready >new.log 2>&1 &
new=$!
trap 'kill $old $new 2>/dev/null' EXIT
for _ in $(seq 600); do
  [ -e old.ready ] && [ -e new.ready ] && break
  sleep 0.1
done
{ cat old.txt; sed 's/ reader-/ current-/' new.txt; echo "127.0.0.1:1 gone"; } >fleet.txt
fleet=$bin/modflash-fleet
"$fleet" --audit fleet.txt --image img.bin --plain --out audit >audit.log 2>&1
echo "audit: $?" >status.txt
"$fleet" --program img.bin fleet.txt -j 20 --waves 2,25% --plain \
         --site north --out first >first.log 2>&1
echo "first: $?" >>status.txt
"$fleet" --program img.bin --retry first --plain --site north \
         --out second >second.log 2>&1
echo "second: $?" >>status.txt
"$fleet" --merge all first second >merge.log 2>&1
echo "merge: $?" >>status.txt
