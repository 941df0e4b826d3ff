#!/usr/bin/env bash
# Writes the manual pages of the programs with help2man, from their --help and --version texts.
# For pictavo-cli, each command's own --help text is added as a section of its page.
#
#   make-man-pages.sh OUT_DIR PROGRAM...   writes OUT_DIR/<program>.1
set -euo pipefail
if [ $# -lt 2 ]; then
  echo "usage: $0 OUT_DIR PROGRAM..." >&2
  exit 2
fi
out_dir=$1
shift
command -v help2man >/dev/null || { echo "help2man is not installed" >&2; exit 77; }
mkdir -p "$out_dir"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Lines of plain text as a roff block that keeps its line breaks.
as_roff_block() {
  echo ".nf"
  sed -e 's/\\/\\e/g' -e "s/^\([.']\)/\\\\\&\1/"
  echo ".fi"
}

for program in "$@"; do
  name=$(basename "$program")
  include=$work/$name.h2m
  case $name in
    pictavo-cli)
      summary="recover photos and media from disks, memory cards and disk images by carving"
      {
        echo "[COMMAND OPTIONS]"
        # The command names are the first word of the indented lines under "Commands:".
        for command in $("$program" --help | sed -n '/^Commands:/,/^$/s/^  \([a-z]\+\) .*/\1/p'); do
          echo ".SS \"pictavo-cli $command\""
          "$program" "$command" --help | as_roff_block
        done
        cat <<'SECTIONS'
[PRIVILEGES]
Reading a disk or partition directly needs the administrator, or membership of the
.B disk
group (\fBsudo usermod -aG disk $USER\fR, then log in again). Disk image files and snapshots
need no extra permission.
[EXIT STATUS]
0 when the command did what was asked, 1 when it failed, 2 for a mistake on the command line,
130 when stopped with Ctrl-C. The commands above say more where they differ.
[SEE ALSO]
.BR pictavo (1)
SECTIONS
      } >"$include"
      ;;
    pictavo)
      summary="photo recovery wizard for disks, memory cards and disk images"
      cat >"$include" <<'SECTIONS'
[PRIVILEGES]
Reading a disk or partition directly needs the administrator. Start the wizard with
.B pkexec pictavo
(the desktop entry's action "Recover from a disk (administrator)" does the same), run it as
root, or join the
.B disk
group (\fBsudo usermod -aG disk $USER\fR, then log in again). Disk image files and snapshots
need no extra permission.
[FILES]
.TP
.I /usr/share/pictavo/pictavo-help.html
the page the Help button opens
.TP
.I /usr/share/polkit-1/actions/org.pictavo.pkexec.pictavo.policy
lets pkexec start the wizard on the user's display
[SEE ALSO]
.BR pictavo-cli (1),
.BR pkexec (1)
SECTIONS
      ;;
    *)
      summary=""
      : >"$include"
      ;;
  esac
  help2man --no-info --section 1 --name "$summary" --include "$include" \
    --output "$out_dir/$name.1" "$program"
done
