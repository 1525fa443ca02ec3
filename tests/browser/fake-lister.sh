#!/bin/bash
# Stands in for "lark-mega --list-folder -" in browser tests, which reads the
# link from standard input. The folder handle in the link picks what it does;
# $FAKE_LISTER_DIR holds the prepared listing (listing.json) and receives a
# note of every run (runs); $LISTING_CAP is the application's limit.
set -u
dir="$FAKE_LISTER_DIR"
[ "$2" = "-" ] || { echo "ERROR: the link came on the command line"; exit 1; }
read -r link
handle="${link#*/folder/}"
handle="${handle%%#*}"
# The trap goes in before the run is noted: a test stops the tool as soon as it sees the note.
[ "$handle" = SLEEPING ] || [ "$handle" = HALFSENT ] || [ "$handle" = OVERCAPS ] && trap 'echo "$$" >> "$dir/terminated"; exit 143' TERM
echo "$$ $handle" >> "$dir/runs"
case "$handle" in
  LISTINGS) cat "$dir/listing.json" ;;
  ERRORMSG) printf '\n  ERROR: \tThe MEGA link was removed.  \n'; exit 1 ;;
  PREFIXED) printf 'noise ERROR: hidden\n'; exit 1 ;;
  SILENTNZ) exit 3 ;;
  EXTRAOUT) cat "$dir/listing.json"; echo "trailing words" ;;
  EXACTCAP) cat "$dir/listing.json"
            size=$(stat -c %s "$dir/listing.json")
            head -c $((LISTING_CAP - size)) /dev/zero | tr '\0' ' ' ;;
  OVERCAPS) cat "$dir/listing.json"
            size=$(stat -c %s "$dir/listing.json")
            head -c $((LISTING_CAP + 1 - size)) /dev/zero | tr '\0' ' '
            while true; do sleep 0.05; done ;;
  SLEEPING) while true; do sleep 0.05; done ;;
  SLOWLIST) sleep 0.5; cat "$dir/listing.json" ;;
  HALFSENT) head -c 1000000 "$dir/listing.json"; while true; do sleep 0.05; done ;;
esac
