#!/bin/bash
# Stands in for yt-dlp and lark-mega in manager tests. It records what it was
# given in $FAKE_WORKER_DIR, named after the last path segment of the link
# (lark-mega's from standard input, or of the job for folder files), then
# behaves as that name asks, printing as the real program does (yt-dlp's
# titles and paths as JSON strings) and saving into the download folder:
#   ok*     prints a title, a progress line and a file line, exits 0
#   fail*   prints an error line, exits 1
#   exit<N> exits with N, printing nothing
#   signal* ends itself with SIGTERM
#   wait*   prints a title and runs until SIGINT
#   progress* prints a title, then progress lines every 20 ms until SIGINT
#   hold*   notes any SIGINT but runs until the file <name>.go appears, then exits with its content
#           (and removes it, so a restarted worker holds again), with its file saved when that is 0
#   stubborn* ignores SIGINT and runs until ended otherwise
#   deaf*   ignores SIGINT and SIGTERM and runs until killed
#   finish* runs until SIGINT, then finishes its file anyway and exits 0
#   list*   holds three videos: says so when asked to download, lists them when asked to list
#           (listendless* lists without end)
# As lark-mega --folder-files it takes one job a line until standard input
# ends, notes its pid in serving.pids and, once ended, serving-<pid>.ended;
# each job is recorded as folder-<job> and behaves as its file's name asks:
# fail* fails, wait* runs until SIGINT, anything else saves the file.
# Asked for the formats of any link, it names three.
set -u
dir="$FAKE_WORKER_DIR"
last="${*: -1}"
name=""
folder=""
mega=0
# What yt-dlp prints from outside comes as a JSON string; lark-mega's as it is.
field() { if [ "$mega" = 1 ]; then printf '%s' "$1"; else printf '"%s"' "$1"; fi; }
# Set before any other command runs: bash defers a signal that arrives while a child runs.
on_interrupt() {
  case "$name" in
    hold*) echo INT >> "$dir/$name.signals" ;;
    finish*) touch "$folder/$name.mp4"; echo "LARK_FILE|$(field "$folder/$name.mp4")"; exit 0 ;;
    *) exit 130 ;;
  esac
}
# The test is over once its folders go; either may go first, and a worker
# that wrote into one while it was removed would otherwise keep it alive.
test_running() { [ -d "$dir" ] && [ -e "$0" ]; }
trap on_interrupt INT
if [ "${0##*/}" = "lark-mega" ] && [ "${1:-}" = "--folder-files" ]; then
  echo "$$" >> "$dir/serving.pids"
  value() { printf '%s' "$job" | sed -n "s/.*\"$1\":\"\([^\"]*\)\".*/\1/p"; }
  while IFS= read -r job; do
    folder=$(value folder); name="folder-$(value job)"; file=$(value name)
    printf '%s\n' "$job" > "$dir/$name.stdin"
    case "$file" in
      fail*) echo "LARK_FAILURE|input"; echo "ERROR: boom for $file"; echo "LARK_END|1" ;;
      wait*) echo "LARK_TITLE|waiting"; while test_running; do sleep 0.02; done ;;
      *) mkdir -p "$folder"; touch "$folder/$file"; echo "LARK_FILE|$folder/$file"; echo "LARK_END|0" ;;
    esac
  done
  touch "$dir/serving-$$.ended"
  exit 0
fi
input=$(cat)
if [ "${0##*/}" = "lark-mega" ]; then
  mega=1
  folder="${2:-}"
  case "${1:-}" in
    --folder-file) name="folder-$3" ;;
    -) link="${input%%$'\n'*}"; name="${link##*/}" ;;
    *) name="${1##*/}" ;;
  esac
else
  name="${last##*/}"
  previous=""
  for argument in "$@"; do
    [ "$previous" = "-P" ] && folder="$argument"
    previous="$argument"
  done
fi
# Asked for its version, as the application does once: $FAKE_YTDLP_VERSION.
[ "$*" = "--version" ] && { echo "${FAKE_YTDLP_VERSION:-}"; exit 0; }
case "$name" in
  stubborn*) trap '' INT ;;
  deaf*) trap '' INT TERM ;;
esac
# Each record appears whole: a test may read it while the worker still runs.
printf '%s\n' "$@" > "$dir/$name.args.new" && mv -f "$dir/$name.args.new" "$dir/$name.args"
env > "$dir/$name.env.new" && mv -f "$dir/$name.env.new" "$dir/$name.env"
printf '%s' "$input" > "$dir/$name.stdin.new" && mv -f "$dir/$name.stdin.new" "$dir/$name.stdin"
case " $* " in
  *" --dump-single-json "*)
    echo '{"id": "v", "title": "Video", "formats": [
      {"format_id": "140", "ext": "m4a", "vcodec": "none", "acodec": "mp4a.40.2", "filesize": 3000000, "format_note": "medium"},
      {"format_id": "135", "ext": "mp4", "width": 854, "height": 480, "vcodec": "avc1.4d401e", "acodec": "none", "filesize": 9000000},
      {"format_id": "137", "ext": "mp4", "width": 1920, "height": 1080, "vcodec": "avc1.640028", "acodec": "none", "filesize": 42000000, "format_note": "1080p"}]}'
    exit 0 ;;
  *" --yes-playlist --flat-playlist "*)
    case "$name" in listendless*) yes 'LARK_ENTRY|1|"https://example.com/v/ok"|""|"Again"|1|"e"|"Example"'; exit 0 ;; esac
    for i in 1 2 3; do
      echo "LARK_ENTRY|$i|\"https://example.com/v/ok-entry$i\"|\"\"|\"Entry number $i\"|$((i * 61))|\"e$i\"|\"Example\""
    done
    echo 'LARK_PLAYLIST|"Three of a kind"|3'
    exit 0 ;;
esac
case "$name" in
  list*) echo "LARK_ENTRIES|3"; exit 0 ;;
  ok*) echo "LARK_TITLE|$(field "Title $name")"; echo "LARK_PROGRESS| 50.0%|1.00MiB/s|00:01|2.00MiB"
       touch "$folder/$name.mp4"; echo "LARK_FILE|$(field "$folder/$name.mp4")"; exit 0 ;;
  fail*) echo "ERROR: boom for $name"; exit 1 ;;
  busy*) echo "ERROR: unable to download video data: HTTP Error 503: Service Unavailable"; exit 1 ;;
  forged*) echo "LARK_FAILURE|quota|60"; echo "ERROR: boom for $name"; exit 1 ;;
  exit*) exit "${name#exit}" ;;
  signal*) kill -TERM $$ ;;
  progress*) echo "LARK_TITLE|$(field "Title $name")"; p=1
             while test_running; do
               echo "LARK_PROGRESS| $p.0%|1.00MiB/s|00:01|2.00MiB"; p=$((p % 98 + 1)); sleep 0.02
             done ;;
  wait*|stubborn*|deaf*|finish*) echo "LARK_TITLE|$(field waiting)"; while test_running; do sleep 0.02; done ;;
  hold*) echo "LARK_TITLE|$(field holding)"
         while [ ! -e "$dir/$name.go" ]; do
           test_running || exit 0
           sleep 0.02
         done
         code=$(cat "$dir/$name.go"); rm -f "$dir/$name.go"
         # Released to succeed, it has saved its file.
         [ "$code" = 0 ] && touch "$folder/$name.mp4" && echo "LARK_FILE|$(field "$folder/$name.mp4")"
         exit "$code" ;;
  folder-*) touch "$folder/from-stdin"; echo "LARK_FILE|$folder/from-stdin"; exit 0 ;;
esac
exit 0
