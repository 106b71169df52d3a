#!/bin/sh
# check_windows_resources.sh EXE VERSION: the exe carries a version resource
# with the project's version and names, and an application manifest.
set -eu
exe=$1 version=$2
list=$(wrestool -l "$exe")
echo "$list"
echo "$list" | grep -q -- "--type=16 " || { echo "no version resource" >&2; exit 1; }
echo "$list" | grep -q -- "--type=24 " || { echo "no manifest" >&2; exit 1; }
strings_found=$(wrestool -x --raw --type=16 "$exe" | strings -el)
echo "$strings_found"
for expected in "FileDescription" "$version" "ProductName" "img-whiten" "OriginalFilename" \
  "img-whiten.exe" "LegalCopyright" "ProductVersion" "FileVersion"; do
  echo "$strings_found" | grep -qxF -- "$expected" || { echo "version resource lacks $expected" >&2; exit 1; }
done
echo "$strings_found" | grep -q "^Copyright (c) " || { echo "no copyright" >&2; exit 1; }
manifest=$(wrestool -x --raw --type=24 "$exe")
for expected in 'level="asInvoker"' "35138b9a-5d96-4fbd-8e2d-a2440225f93a" \
  "8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a"; do
  echo "$manifest" | grep -qF -- "$expected" || { echo "manifest lacks $expected" >&2; exit 1; }
done
echo "resources: ok"
