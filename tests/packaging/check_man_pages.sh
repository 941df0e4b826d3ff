#!/usr/bin/env bash
# Regenerates the manual pages from the built programs and compares them with those in docs/man,
# leaving out the title line (it carries the month) and help2man's own comment lines. Exit 77
# (skipped) without help2man.
#
#   check_man_pages.sh DOCS_MAN_DIR PROGRAM...
set -euo pipefail
committed=$1
shift
command -v help2man >/dev/null || { echo "help2man is not installed"; exit 77; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$(dirname "$0")/../../packaging/make-man-pages.sh" "$work" "$@"
status=0
for program in "$@"; do
  page=$(basename "$program").1
  if ! diff -u <(grep -v -e '^\.TH ' -e '^\.\\"' "$committed/$page") \
               <(grep -v -e '^\.TH ' -e '^\.\\"' "$work/$page"); then
    echo "docs/man/$page is out of step with the --help texts:" \
         "run 'cmake --build --preset dev --target man-pages' and commit the result"
    status=1
  fi
done
exit "$status"
