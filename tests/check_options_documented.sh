#!/bin/sh
# check_options_documented.sh EXE MAN_PAGE README: --help, the man page's
# OPTIONS and README's option table name the same options, each with the same
# short form. One line per option: its short form, if any, then its long one.
set -eu
exe=$1 man=$2 readme=$3
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

# The option names in a line, in order: -x and --long-name, nothing else.
names() {
  grep -o -- '--*[A-Za-z0-9][A-Za-z0-9-]*' | paste -sd ' ' -
}

# --help: the rows of its option list ("  -n, --dry-run ..." or
# "      --check ..."), but not "--" alone.
"$exe" --help >"$scratch/help.txt"
sed -n '/^Options/,/^$/p' "$scratch/help.txt" | grep -E '^  (-[^-]|    --[A-Za-z])' |
  sed 's/^ *//; s/   .*//' | while IFS= read -r row; do printf '%s\n' "$row" | names; done |
  sort >"$scratch/help"

# The man page: the tag line after each .TP of the OPTIONS section.
sed -n '/^\.SH OPTIONS/,/^\.SH /p' "$man" | sed -n '/^\.TP/{n;p;}' | sed 's/\\-/-/g' |
  while IFS= read -r row; do printf '%s\n' "$row" | names; done | sort >"$scratch/man"

# README: the first cell of each row of the table under "## Options".
sed -n '/^## Options/,/^## /p' "$readme" | grep '^| `-' | cut -d '|' -f 2 |
  while IFS= read -r row; do printf '%s\n' "$row" | names; done | sort >"$scratch/readme"

status=0
for source in man readme; do
  if ! diff -u "$scratch/help" "$scratch/$source" >"$scratch/diff"; then
    echo "--help (-) and the $source (+) disagree on the options:" >&2
    cat "$scratch/diff" >&2
    status=1
  fi
done
test -s "$scratch/help" || { echo "no option found in --help" >&2; status=1; }
[ "$status" -ne 0 ] || { echo "options:"; cat "$scratch/help"; }
exit "$status"
