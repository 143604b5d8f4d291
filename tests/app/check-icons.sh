#!/usr/bin/env bash
# Lists an icon file with an independent reader (icotool, from icoutils) and
# checks that it holds exactly the images given, as WIDTHxBITS words.
#
#   check-icons.sh FILE.ico 48x8 32x4 16x4 16x32 ... 256x32
set -euo pipefail
file=$1
shift
listing=$(icotool -l "$file")
got=$(sed -n 's/.*--width=\([0-9]*\) --height=\([0-9]*\) --bit-depth=\([0-9]*\).*/\1x\3/p' <<<"$listing" | sort)
want=$(printf '%s\n' "$@" | sort)
if [ "$got" != "$want" ]; then
  echo "check-icons: $file holds" $got "but should hold" $want >&2
  exit 1
fi
# Square images only.
if grep -v -- '--width=\([0-9]*\) --height=\1 ' <<<"$listing" | grep -q .; then
  echo "check-icons: $file has an image that is not square" >&2
  exit 1
fi
echo "check-icons: $file holds" $got
