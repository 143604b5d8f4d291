#!/usr/bin/env bash
# Runs one end-to-end case of the setup: a fresh Wine prefix (a copy of a
# template made once with wineboot), the setup placed in a downloads folder
# beside a planted RICHED32.DLL and rundll32.exe, the test desk.cpl in the
# system folder, then the driver under wine64 on a private X server.
#
#   run-case.sh CASE.script
# Environment (set by CTest): VELMORA_TEST_BIN (the win64 programs),
# VELMORA_PREFIX_TEMPLATE, VELMORA_CASE_ROOT, VELMORA_PAYLOAD_HOST (payload
# files, '|'-separated), VELMORA_SHOTS (optional: where to put PNG screenshots),
# VELMORA_KEEP_CASE (optional: keep the case's prefix after a pass too),
# VELMORA_NO_PLANT (optional: a clean downloads folder, for demonstrations),
# VELMORA_DPI (optional: the display's DPI, Wine's LogPixels; 96 when unset).
set -euo pipefail
script=$(realpath "$1")
name=$(basename "$script" .script)
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
bin=${VELMORA_TEST_BIN:?}
template=${VELMORA_PREFIX_TEMPLATE:?}
case_dir=${VELMORA_CASE_ROOT:?}/$name
# RichEdit from a file found first by name would be taken over the built-in
# one: exactly what a planted RICHED32.DLL relies on. A case may ask for more
# libraries to be taken from files first with a line
# "# dll-overrides: NAME=n,b;...".
overrides=$(sed -n 's/^# dll-overrides: //p' "$script" | tr '\n' ';')
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=;riched32=n,b${overrides:+;${overrides%;}}"
WINE=${WINE:-/usr/lib/wine/wine64}
WINESERVER=${WINESERVER:-/usr/lib/wine/wineserver}

"$here/make-prefix.sh" "$template"

# Windows path of a host path: Wine's Z: drive is the host's root.
winpath() { printf 'Z:%s' "${1//\//\\}"; }

rm -rf "$case_dir"
mkdir -p "$case_dir"
prefix=$case_dir/prefix
# Hard links keep the copy cheap; what the setup writes are new files. The
# registry files are rewritten by wineserver, so they get copies of their own.
cp -al "$template" "$prefix"
for f in "$prefix"/*.reg; do cp --remove-destination "$template/$(basename "$f")" "$f"; done
export WINEPREFIX=$prefix

downloads=$prefix/drive_c/downloads
mkdir -p "$downloads" "$case_dir/shots"
cp "$bin/VelmoraSetup.exe" "$downloads/"
if [ -z "${VELMORA_NO_PLANT:-}" ]; then
  cp "$bin/planted_dll.dll" "$downloads/RICHED32.DLL"
  cp "$bin/planted_exe.exe" "$downloads/rundll32.exe"
fi
cp "$bin/desk_cpl.dll" "$prefix/drive_c/windows/system32/desk.cpl"

payload=""
IFS='|' read -r -a host_files <<< "${VELMORA_PAYLOAD_HOST:?}"
for f in "${host_files[@]}"; do payload+="$(winpath "$f")|"; done
export VELMORA_PAYLOAD=$payload
export SETUP='C:\downloads\VelmoraSetup.exe'
# A library that records its loading, for cases that plant it under more names.
export VL_PLANTED_DLL=$(winpath "$bin/planted_dll.dll")
export SHOTS=$(winpath "$case_dir/shots")

# The DPI is read by every program at its start, the driver's included: it
# goes into the prefix first. A larger screen leaves room for the larger
# windows.
screen=1024x768x24
if [ -n "${VELMORA_DPI:-}" ] && [ "$VELMORA_DPI" != 96 ]; then
  "$WINE" reg add 'HKCU\Control Panel\Desktop' /v LogPixels /t REG_DWORD /d "$VELMORA_DPI" /f >/dev/null 2>&1
  screen=2048x1536x24
fi

status=0
# A random first display number keeps parallel cases from racing for the
# same free one (-a then searches upwards from it).
xvfb-run -a -n $((300 + RANDOM % 600)) -s "-screen 0 $screen" \
  "$WINE" "$bin/setup_driver.exe" "$(winpath "$script")" || status=$?
"$WINESERVER" -k 2>/dev/null || true

if [ -n "${VELMORA_SHOTS:-}" ]; then
  mkdir -p "$VELMORA_SHOTS"
  for bmp in "$case_dir"/shots/*.bmp; do
    [ -e "$bmp" ] || continue
    convert "$bmp" "$VELMORA_SHOTS/$(basename "$bmp" .bmp).png"
  done
fi
if [ $status -eq 0 ] && [ -z "${VELMORA_KEEP_CASE:-}" ]; then
  rm -rf "$case_dir"
elif [ $status -ne 0 ]; then
  echo "run-case: $name failed; its prefix is kept in $prefix" >&2
fi
exit $status
