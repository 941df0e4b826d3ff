#!/usr/bin/env bash
# Installs what building, testing and running pictavo needs on Debian 12. Does nothing when
# everything is already there.
set -euo pipefail
packages=(
  build-essential cmake ninja-build pkg-config clang clang-format libclang-rt-14-dev
  libgtest-dev libjpeg62-turbo-dev libpng-dev libtiff-dev libgif-dev libopenjp2-7-dev
  libraw-dev libheif-dev libwebp-dev libexiv2-dev libssl-dev libblkid-dev zlib1g-dev libfuse3-dev fuse3 gddrescue libtsk-dev
  qt6-base-dev qt6-svg-dev libgl-dev xvfb xauth
  dosfstools fdisk util-linux python3 mtools ntfs-3g exfatprogs exfat-fuse e2fsprogs
  help2man appstream desktop-file-utils libxml2-utils
)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
echo "Installing: ${missing[*]}"
sudo_cmd=()
[ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
"${sudo_cmd[@]}" apt-get update -qq
DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
