#!/bin/sh
# The daemon without the desktop: no Qt or X library among its shared
# libraries (the ones they pull in counted), and alone in a directory it runs
# its commands and says plainly that the desktop is missing.
set -u
build=$1
fail=0

libs=$(ldd "$build/tessaro") || { echo "ldd failed on $build/tessaro"; exit 1; }
desktopLibs=$(printf '%s\n' "$libs" | grep -Ei 'libQt|libX[a-z0-9]*\.so|libxcb|libxkb|libwayland|libGL|libEGL|libfontconfig|libfreetype|libdbus') 
if [ -n "$desktopLibs" ]; then
  echo "tessaro links desktop libraries:"
  printf '%s\n' "$desktopLibs"
  fail=1
fi

dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
cp "$build/tessaro" "$dir/tessaro"
mkdir "$dir/data"
"$dir/tessaro" --version >/dev/null || { echo "--version failed without the desktop"; fail=1; }
"$dir/tessaro" devices list --data-dir "$dir/data" >/dev/null 2>"$dir/err" || { echo "devices failed without the desktop:"; cat "$dir/err"; fail=1; }
"$dir/tessaro" --data-dir "$dir/data" >"$dir/out" 2>"$dir/err"
status=$?
if [ "$status" != 2 ] || ! grep -q "the desktop is not installed" "$dir/err"; then
  echo "a start without the desktop gave status $status and:"
  cat "$dir/err"
  fail=1
fi
exit $fail
