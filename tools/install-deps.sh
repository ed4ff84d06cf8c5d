#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the tools need; only what is missing.
#   tools/install-deps.sh            everything (Linux build, tests, Windows cross-build)
#   tools/install-deps.sh --windows  only what the Windows cross-build and its tests need
set -euo pipefail

# The Windows programs: MinGW-w64 (posix threads), GoogleTest's sources, CLI11's headers;
# Wine runs them, NSIS packs them, Xvfb gives Wine a display where one is needed; the dialog's
# tests and screenshots want a Chinese font, Wine's own fonts, zip and ImageMagick.
windows_packages=(
  cmake ninja-build
  g++-mingw-w64-x86-64-posix mingw-w64 wine wine64 nsis xvfb
  fonts-wqy-microhei fonts-wine zip unzip imagemagick
  googletest libcli11-dev nlohmann-json3-dev
)
if [ "${1:-}" = --windows ]; then
  packages=("${windows_packages[@]}")
else
  packages=(
    build-essential cmake ninja-build pkg-config git
    qt6-base-dev qt6-translations-l10n fonts-wqy-microhei
    libcli11-dev libgtest-dev libgmock-dev libbenchmark-dev nlohmann-json3-dev libssl-dev
    ffmpeg mediainfo time parallel
    slurm-wlm munge jq python3-yaml
    clang clang-format libclang-rt-14-dev
    dpkg-dev fakeroot file help2man lintian desktop-file-utils appstream bash-completion man-db
    "${windows_packages[@]}"
  )
fi

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
