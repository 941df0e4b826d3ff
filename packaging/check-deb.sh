#!/usr/bin/env bash
# Builds the Debian package from the dev build, installs it on this machine, runs the installed
# pictavo-cli on the demo card image, and removes the package again. Run as root (or with sudo)
# after the dev build, as CI does.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BUILD_DIR:-build/dev}
sudo_cmd=()
[ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

rm -f "$build"/pictavo_*.deb
(cd "$build" && cpack -G DEB)
deb=$(realpath "$build"/pictavo_*.deb)
echo "== $deb"
dpkg-deb --info "$deb" | sed -n '/Package:/,$p'

# Recommends (pkexec) would bring the polkit daemon, which a CI machine does not need.
DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y --no-install-recommends "$deb"
# Every check runs, so that the package is removed again whatever fails.
status=0
for file in /usr/bin/pictavo-cli /usr/share/man/man1/pictavo-cli.1 /usr/share/pictavo/corrupt.bmp; do
  [ -e "$file" ] || { echo "missing after install: $file"; status=1; }
done
/usr/bin/pictavo-cli --version || status=1
"$build"/tools/pictavo-make-demo "$work/demo-card.img" >/dev/null || status=1
/usr/bin/pictavo-cli scan --format table "$work/demo-card.img" || status=1
# The desktop files come with the wizard.
if dpkg -L pictavo | grep -q '^/usr/bin/pictavo$'; then
  /usr/bin/pictavo --version || status=1
  for file in /usr/share/applications/pictavo.desktop \
    /usr/share/icons/hicolor/scalable/apps/pictavo.svg \
    /usr/share/icons/hicolor/48x48/apps/pictavo.png \
    /usr/share/icons/hicolor/256x256/apps/pictavo.png \
    /usr/share/metainfo/org.pictavo.Pictavo.metainfo.xml \
    /usr/share/polkit-1/actions/org.pictavo.pkexec.pictavo.policy \
    /usr/share/pictavo/pictavo-help.html /usr/share/man/man1/pictavo.1; do
    [ -e "$file" ] || { echo "missing after install: $file"; status=1; }
  done
  grep -q '>/usr/bin/pictavo<' /usr/share/polkit-1/actions/org.pictavo.pkexec.pictavo.policy ||
    { echo "the polkit action does not name /usr/bin/pictavo"; status=1; }
fi
DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get remove -y pictavo
if [ -e /usr/bin/pictavo-cli ]; then
  echo "pictavo-cli is still installed after removal"
  status=1
fi
exit "$status"
