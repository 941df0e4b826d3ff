#!/usr/bin/env bash
# Runs two builds of pictavo-cli side by side on one medium and compares, byte for byte, what
# users and scripts see without any new option: `scan` in every format, `snapshot show` in every
# format, and `recover` (its output and every saved file's name and content), from a scan and
# from a snapshot. Prints "same" or the first differences.
#
#   bench/recover_differential.sh OLD_CLI NEW_CLI IMAGE
set -uo pipefail
old=$1 new=$2 image=$3
work=$(mktemp -d /dev/shm/pictavo-diff-XXXXXX)
trap 'rm -rf "$work"' EXIT
status=0

run() {  # name command... (the command gets CLI as its first word)
  local name=$1; shift
  for side in old new; do
    local cli=${!side}
    "$cli" "${@//@W@/$work/$side}" > "$work/$name.$side.out" 2> "$work/$name.$side.err"
    echo "$?" > "$work/$name.$side.rc"
    sed -i "s#$work/$side#WORK#g" "$work/$name.$side.out" "$work/$name.$side.err"
  done
  for part in out err rc; do
    if ! cmp -s "$work/$name.old.$part" "$work/$name.new.$part"; then
      echo "$name: standard $part differs"; diff "$work/$name.old.$part" "$work/$name.new.$part" | head -5
      status=1
    fi
  done
}

tree() {  # the saved files of one side: name and SHA-256
  (cd "$work/$1/$2" && find . -type f -print0 | sort -z | xargs -0 -r sha256sum)
}

mkdir -p "$work/old" "$work/new"
for format in table tsv json; do run "scan-$format" scan --format "$format" "$image"; done
run snapshot scan --snapshot @W@/card.dat "$image"
for format in table tsv json; do run "show-$format" snapshot show --format "$format" @W@/card.dat; done
run recover recover --allow-same-filesystem "$image" --to @W@/recovered
run recover-again recover --allow-same-filesystem --types jpeg "$image" --to @W@/recovered
run recover-snapshot recover --snapshot @W@/card.dat --select jpeg,3 --allow-same-filesystem --to @W@/selected
for folder in recovered selected; do
  if ! cmp -s <(tree old "$folder") <(tree new "$folder"); then
    echo "saved files in $folder differ"; diff <(tree old "$folder") <(tree new "$folder") | head -5
    status=1
  fi
done
echo "$(tree new recovered | wc -l) files saved and compared"
[ "$status" = 0 ] && echo same
exit "$status"
