#!/bin/sh
# Builds the plug-ins and the release packages twice, from the same sources
# in two build folders of different paths, and compares every byte: no
# timestamp and no build path may reach the plug-ins or the zips. Also checks
# SHA256SUMS and what each zip holds.
#
# Usage: check_reproducible.sh SOURCE_DIR
set -eu
src=$(cd "$1" && pwd)
version=$(cat "$src/VERSION")
python=${PYTHON:-python3}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

for build in one second-build; do
  for preset in win64 win32; do
    (cd "$src" && cmake --preset $preset -B "$work/$build/$preset" >/dev/null)
    cmake --build "$work/$build/$preset" --target tobble_plugin -j 2 >/dev/null
  done
  "$python" "$src/tools/package.py" "$work/$build/dist" "$version" \
    "$work/$build/win64/tobble.qnf64" "$work/$build/win32/tobble.qnf" \
    "$src/README.md" "$src/LICENSE" >/dev/null
done

status=0
for file in win64/tobble.qnf64 win32/tobble.qnf dist/SHA256SUMS \
  "dist/tobble-$version-win64.zip" "dist/tobble-$version-win32.zip"; do
  if ! cmp "$work/one/$file" "$work/second-build/$file"; then
    echo "$file differs between two builds"
    status=1
  fi
done

(cd "$work/one/dist" && sha256sum --check --quiet SHA256SUMS) || status=1
for bits in win64 win32; do
  plugin=$([ $bits = win64 ] && echo tobble.qnf64 || echo tobble.qnf)
  names=$("$python" -c 'import sys, zipfile; print(*zipfile.ZipFile(sys.argv[1]).namelist())' \
    "$work/one/dist/tobble-$version-$bits.zip")
  if [ "$names" != "$plugin README.md LICENSE" ]; then
    echo "tobble-$version-$bits.zip holds: $names"
    status=1
  fi
done

[ $status -eq 0 ] && echo "two builds gave the same plug-ins and packages (tobble $version)"
exit $status
