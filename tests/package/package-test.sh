#!/usr/bin/env bash
# The Debian package as a user gets it: built with CPack from this build,
# its desktop entry and AppStream data validated, installed with dpkg,
# started under Xvfb, checked to find its own lark-mega, and removed again.
#   package-test.sh BUILD_DIR
set -euo pipefail
build=$1
work=$(mktemp -d)
installed=no
cleanup() {
  [ -n "${app:-}" ] && kill "$app" 2>/dev/null || true
  [ "$installed" = yes ] && dpkg -r lark-downloader >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

cpack --config "$build/CPackConfig.cmake" -G DEB -B "$work/out" >/dev/null
deb=$(ls "$work"/out/lark-downloader_*_*.deb)
dpkg-deb -x "$deb" "$work/root"
for path in usr/bin/LarkDownloader usr/libexec/lark-downloader/Tools/lark-mega \
  usr/share/applications/lark-downloader.desktop usr/share/icons/hicolor/scalable/apps/lark-downloader.svg \
  usr/share/metainfo/lark-downloader.metainfo.xml usr/bin/lark-browser-host \
  usr/share/lark-downloader/browser-extension/manifest.json etc/chromium/native-messaging-hosts/org.lark.downloader.json \
  usr/lib/mozilla/native-messaging-hosts/org.lark.downloader.json; do
  [ -e "$work/root/$path" ] || fail "the package lacks /$path"
done
desktop-file-validate "$work/root/usr/share/applications/lark-downloader.desktop" || fail "desktop entry"
appstreamcli validate --no-net "$work/root/usr/share/metainfo/lark-downloader.metainfo.xml" >/dev/null ||
  fail "AppStream metainfo"
control=$(dpkg-deb -f "$deb" Depends Recommends)
for dependency in libqt6widgets6 libcurl4 libssl3 qt6-qpa-plugins; do
  grep -q "$dependency" <<<"$control" || fail "Depends lacks $dependency: $control"
done
grep -q "Recommends: yt-dlp, ffmpeg" <<<"$control" || fail "Recommends: $control"

# Installing touches the machine: only as root, and never over a copy the user installed.
if [ "$(id -u)" -ne 0 ]; then
  echo "not root: the package was built and validated, not installed"
  exit 0
fi
if dpkg-query -W -f='${Status}' lark-downloader 2>/dev/null | grep -q "install ok installed"; then
  fail "lark-downloader is installed on this machine already; remove it to run this test"
fi
dpkg -i "$deb" >/dev/null || fail "dpkg could not install the package"
installed=yes
[ "$(/usr/bin/LarkDownloader --tools | head -1)" = "lark-mega: /usr/libexec/lark-downloader/Tools/lark-mega" ] ||
  fail "the installed application does not find its lark-mega: $(/usr/bin/LarkDownloader --tools)"
/usr/libexec/lark-downloader/Tools/lark-mega --self-test >/dev/null || fail "the installed lark-mega fails its self-test"

# The installed application opens its window on an X server of its own.
mkdir -p "$work/home"
export HOME=$work/home XDG_RUNTIME_DIR=$work/home DBUS_SESSION_BUS_ADDRESS=unix:path=$work/no-bus
display=:$((100 + RANDOM % 400))
# -noreset: a server that resets when its last client leaves would refuse the application meanwhile.
Xvfb "$display" -screen 0 1366x768x24 -nolisten tcp -noreset >/dev/null 2>&1 &
server=$!
trap 'kill $server 2>/dev/null || true; cleanup' EXIT
export DISPLAY=$display
for _ in $(seq 100); do xdpyinfo >/dev/null 2>&1 && break; sleep 0.1; done
/usr/bin/LarkDownloader >/dev/null 2>"$work/app.log" &
app=$!
xdotool search --sync --onlyvisible --pid "$app" --name '^Lark Downloader$' >/dev/null ||
  fail "the installed application showed no window: $(cat "$work/app.log")"
kill -TERM "$app"
wait "$app" || fail "the installed application did not quit cleanly"
app=
[ -f "$HOME/.local/share/Lark Downloader/queue.json" ] || fail "the installed application wrote no history"

dpkg -r lark-downloader >/dev/null || fail "dpkg could not remove the package"
installed=no
[ ! -e /usr/bin/LarkDownloader ] && [ ! -e /usr/libexec/lark-downloader ] || fail "files were left after removal"
echo "the package installs, runs, finds its tool and uninstalls cleanly"
