#!/bin/sh
# Installs the built package, starts the installed program under Xvfb with an
# empty home folder, presses Start and checks that frames arrive in that
# home's pictures folder and nothing is written beside the program; then
# removes the package and checks that none of its files is left.
# Usage: packaging/check-install.sh BUILD_FOLDER (as root, or with sudo).
set -eu
deb=$(realpath "$(ls "${1:-build}"/ferrowick_*.deb)")
if [ "$(id -u)" -eq 0 ]; then sudo=; else sudo=sudo; fi
fail() {
  echo "package-check: FAILED: $*" >&2
  exit 1
}
if dpkg-query -W -f='${Status}' ferrowick 2>/dev/null | grep -q 'ok installed'; then
  fail "ferrowick is installed already; remove it first (apt remove ferrowick)"
fi

work=$(mktemp -d)
xvfb=
program=
cleanup() {
  [ -z "$program" ] || kill "$program" 2>/dev/null || true
  [ -z "$xvfb" ] || kill "$xvfb" 2>/dev/null || true
  if dpkg-query -W -f='${Status}' ferrowick 2>/dev/null | grep -q 'ok installed'; then
    $sudo apt-get remove -y -qq ferrowick >/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT

echo "== installing $deb"
$sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$deb" >"$work/apt.log" 2>&1 ||
  { cat "$work/apt.log"; fail "apt-get install"; }
dpkg-query -L ferrowick >"$work/installed"
ls -A /usr/bin >"$work/bin-before"

display=90
while [ -e "/tmp/.X$display-lock" ]; do display=$((display + 1)); done
Xvfb ":$display" -screen 0 1024x768x24 -nolisten tcp >"$work/xvfb.log" 2>&1 &
xvfb=$!
export DISPLAY=":$display"
for _ in $(seq 50); do xdpyinfo >/dev/null 2>&1 && break; sleep 0.1; done

home="$work/home"
mkdir "$home"
echo "== starting /usr/bin/ferrowick with HOME=$home"
env -i HOME="$home" DISPLAY="$DISPLAY" PATH=/usr/bin:/bin LANG=C.UTF-8 /usr/bin/ferrowick >"$work/program.log" 2>&1 &
program=$!
window=$(timeout 30 xdotool search --sync --name '^Ferrowick v' | head -n 1) || fail "no window"
sleep 1
# The middles of the interval box (txtTmr) and of the Start button (cmdStart),
# in pixels: their places in frmMain.h are in twips, 15 to a pixel.
xdotool mousemove --window "$window" 152 201 click 1 key ctrl+a type 1
xdotool mousemove --window "$window" 64 324 click 1
sleep 1
xdotool key Return # the Start box
frames="$home/Pictures/Ferrowick/captured"
for _ in $(seq 150); do
  [ "$(ls "$frames" 2>/dev/null | grep -c '\.bmp$')" -ge 2 ] && break
  sleep 0.2
done
ls "$frames" 2>/dev/null | grep -q '\.bmp$' || { cat "$work/program.log"; fail "no frame in $frames"; }
first="$frames/$(ls "$frames" | grep '\.bmp$' | head -n 1)"
[ "$(head -c 2 "$first")" = BM ] || fail "$first is not a BMP file"
echo "frames in $frames:"
ls -l "$frames"
kill "$program"
wait "$program" 2>/dev/null || true
program=
ls -A /usr/bin | diff "$work/bin-before" - || fail "the program wrote beside itself in /usr/bin"
[ ! -e /usr/bin/captured ] || fail "/usr/bin/captured exists"

echo "== removing the package"
$sudo apt-get remove -y -qq ferrowick >"$work/apt.log" 2>&1 || { cat "$work/apt.log"; fail "apt-get remove"; }
left=0
while read -r path; do
  if [ -d "$path" ]; then
    # A folder stays only while another package still owns it.
    if [ "$path" != /. ] && ! dpkg-query -S "$path" >/dev/null 2>&1; then
      echo "left behind: $path/"
      left=1
    fi
  elif [ -e "$path" ] || [ -L "$path" ]; then
    echo "left behind: $path"
    left=1
  fi
done <"$work/installed"
[ "$left" -eq 0 ] || fail "files of the package are left after removal"
echo "== package-check passed: frames went to the pictures folder, removal left nothing"
