#!/bin/bash
# Stands in for yt-dlp and lark-mega in manager tests. It records what it was
# given in $FAKE_WORKER_DIR, named after the last path segment of the link
# (or of the job for folder files), then behaves as that name asks:
#   ok*     prints a title, a progress line and a file line, exits 0
#   fail*   prints an error line, exits 1
#   exit<N> exits with N, printing nothing
#   signal* ends itself with SIGTERM
#   wait*   prints a title and runs until SIGINT
#   hold*   notes any SIGINT but runs until the file <name>.go appears, then exits with its content
#           (and removes it, so a restarted worker holds again)
#   stubborn* ignores SIGINT and runs until ended otherwise
#   deaf*   ignores SIGINT and SIGTERM and runs until killed
#   finish* runs until SIGINT, then finishes its file anyway and exits 0
set -u
dir="$FAKE_WORKER_DIR"
last="${*: -1}"
if [ "${1:-}" = "--folder-file" ]; then
  name="folder-$3"
elif [ "${0##*/}" = "lark-mega" ]; then
  name="${1##*/}"
else
  name="${last##*/}"
fi
# Set before any other command runs: bash defers a signal that arrives while a child runs.
on_interrupt() {
  case "$name" in
    hold*) echo INT >> "$dir/$name.signals" ;;
    finish*) touch "$dir/$name.mp4"; echo "LARK_FILE|$dir/$name.mp4"; exit 0 ;;
    *) exit 130 ;;
  esac
}
# The test is over once its folders go; either may go first, and a worker
# that wrote into one while it was removed would otherwise keep it alive.
test_running() { [ -d "$dir" ] && [ -e "$0" ]; }
case "$name" in
  stubborn*) trap '' INT ;;
  deaf*) trap '' INT TERM ;;
  *) trap on_interrupt INT ;;
esac
printf '%s\n' "$@" > "$dir/$name.args"
env > "$dir/$name.env"
cat > "$dir/$name.stdin"
case "$name" in
  ok*) echo "LARK_TITLE|Title $name"; echo "LARK_PROGRESS| 50.0%|1.00MiB/s|00:01|2.00MiB"; echo "LARK_FILE|/tmp/$name.mp4"; exit 0 ;;
  fail*) echo "ERROR: boom for $name"; exit 1 ;;
  exit*) exit "${name#exit}" ;;
  signal*) kill -TERM $$ ;;
  wait*|stubborn*|deaf*|finish*) echo "LARK_TITLE|waiting"; while test_running; do sleep 0.02; done ;;
  hold*) echo "LARK_TITLE|holding"
         while [ ! -e "$dir/$name.go" ]; do
           test_running || exit 0
           sleep 0.02
         done
         code=$(cat "$dir/$name.go"); rm -f "$dir/$name.go"
         exit "$code" ;;
  folder-*) echo "LARK_FILE|/tmp/from-stdin"; exit 0 ;;
esac
exit 0
