#!/usr/bin/env bash
# Builds the .deb, unpacks it into a temporary root (no system install), and
# starts the unpacked program through its bin/ link in a virtual X server: it
# must find its skin (and so its help) in its own program folder.
#   tst_package.sh <build dir>
set -euo pipefail
build=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

cpack --config "$build/CPackConfig.cmake" -B "$work/out" >/dev/null
deb=$(ls "$work"/out/splitreplace_*.deb)
root=$work/root
dpkg-deb -x "$deb" "$root"

# The package's metadata: computed dependencies and a recommended CJK font.
depends=$(dpkg-deb -f "$deb" Depends)
case "$depends" in *libqt6widgets6*libstdc++6*|*libstdc++6*libqt6widgets6*) ;; *) fail "Depends: $depends" ;; esac
case "$(dpkg-deb -f "$deb" Recommends)" in *fonts-wqy-microhei*) ;; *) fail "no CJK font recommended" ;; esac

# The layout: one program folder, and bin/ holding a link into it.
program=$root/usr/lib/splitreplace
for f in splitreplace PF.skn README.md; do [ -f "$program/$f" ] || fail "missing $program/$f"; done
[ -L "$root/usr/bin/splitreplace" ] || fail "bin/splitreplace is not a link"
[ "$(readlink -f "$root/usr/bin/splitreplace")" = "$(readlink -f "$program/splitreplace")" ] || fail "bin link target"
for s in 32 48 64 128 256; do
  [ -f "$root/usr/share/icons/hicolor/${s}x${s}/apps/splitreplace.png" ] || fail "no ${s}px icon"
done
[ -f "$root/usr/share/icons/hicolor/scalable/apps/splitreplace.svg" ] || fail "no scalable icon"
desktop-file-validate "$root/usr/share/applications/splitreplace.desktop"
grep -q '^Name\[zh_CN\]=文本分割替换器$' "$root/usr/share/applications/splitreplace.desktop" || fail "desktop Name"
grep -q '^Categories=Utility;TextTools;$' "$root/usr/share/applications/splitreplace.desktop" || fail "Categories"

# The colour of the window's empty lower right corner tells whether the skin
# was applied. A busy machine may take a while to paint: sample until two
# pictures in a row agree on a painted colour.
corner_colour() {
  xvfb-run -a -s "-screen 0 640x480x24" bash -s "$1" "$work/shot.png" <<'INNER'
set -euo pipefail
"$1" &
pid=$!
trap 'kill $pid 2>/dev/null || true' EXIT
for _ in $(seq 200); do xwininfo -name "文本分割替换器" >/dev/null 2>&1 && break; sleep 0.1; done
id=$(xwininfo -name "文本分割替换器" | awk '/Window id:/ {print $4}')
previous=
for _ in $(seq 100); do
  sleep 0.2
  import -window "$id" "$2"
  colour=$(convert "$2" -format '%[hex:p{355,335}]' info:)
  if [ "$colour" != 000000 ] && [ "$colour" = "$previous" ]; then break; fi
  previous=$colour
done
echo "$colour"
INNER
}

skinned=$(corner_colour "$root/usr/bin/splitreplace")
# The same program alone in a folder, without its skin, as the control.
mkdir "$work/bare" && cp "$program/splitreplace" "$work/bare/"
bare=$(corner_colour "$work/bare/splitreplace")
echo "corner through bin/ link: $skinned; without skin: $bare"
[ "$skinned" = "EEF2F7" ] || fail "the program started through bin/ did not apply its skin ($skinned)"
[ "$bare" != "$skinned" ] || fail "the check cannot tell a skinned window from a bare one"
echo "package ok: $(basename "$deb")"
