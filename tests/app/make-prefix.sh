#!/usr/bin/env bash
# Makes the template Wine prefix for the end-to-end cases once: wineboot, and
# windows drawn with their own frames (there is no window manager under Xvfb,
# and the screenshots should show the title bars).
set -euo pipefail
template=$1
[ -f "$template/.complete" ] && exit 0
mkdir -p "$(dirname "$template")"
exec 9>"$template.lock"
flock 9
[ -f "$template/.complete" ] && exit 0
rm -rf "$template"
export WINEPREFIX=$template WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
WINE=${WINE:-/usr/lib/wine/wine64}
WINESERVER=${WINESERVER:-/usr/lib/wine/wineserver}
"$WINE" wineboot -i >/dev/null 2>&1 || true
"$WINE" reg add 'HKCU\Software\Wine\X11 Driver' /v Decorated /d N /f >/dev/null 2>&1
"$WINESERVER" -w
[ -f "$template/system.reg" ] || { echo "make-prefix: wineboot failed" >&2; exit 1; }
touch "$template/.complete"
