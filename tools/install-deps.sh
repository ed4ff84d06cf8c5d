#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the tools need; only what is missing.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config git
  qt6-base-dev fonts-wqy-microhei
  libcli11-dev libgtest-dev libgmock-dev libbenchmark-dev nlohmann-json3-dev libssl-dev
  ffmpeg mediainfo time parallel
  clang clang-format libclang-rt-14-dev
  dpkg-dev fakeroot file help2man lintian desktop-file-utils appstream bash-completion man-db
  nsis zip unzip xvfb imagemagick fonts-wine
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "Installing: ${missing[*]}"
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends \
    "${missing[@]}" >/dev/null
fi
