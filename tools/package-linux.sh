#!/usr/bin/env bash
# Builds the Debian package: a release build under /usr with Debian's hardening flags in
# build-package/, then `cpack -G DEB`. Prints the package's path on the last line.
#   tools/package-linux.sh [BUILD_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-package}

for tool in help2man dpkg-shlibdeps dpkg-buildflags gzip; do
  if ! command -v "$tool" >/dev/null; then
    echo "package-linux.sh: $tool is missing; tools/install-deps.sh installs it" >&2
    exit 1
  fi
done

# The same dates in every build of one commit: the manual pages carry them.
if [ -z "${SOURCE_DATE_EPOCH:-}" ] && git rev-parse HEAD >/dev/null 2>&1; then
  SOURCE_DATE_EPOCH=$(git log -1 --format=%ct)
  export SOURCE_DATE_EPOCH
fi

export DEB_BUILD_MAINT_OPTIONS=hardening=+all
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
  -DCMAKE_CXX_FLAGS="$(dpkg-buildflags --get CXXFLAGS) $(dpkg-buildflags --get CPPFLAGS)" \
  -DCMAKE_EXE_LINKER_FLAGS="$(dpkg-buildflags --get LDFLAGS)" \
  -DTRUNVEX_BUILD_UI=ON -DTRUNVEX_BUILD_CLI=ON -DTRUNVEX_BUILD_TESTS=OFF -DTRUNVEX_BUILD_TOOLS=OFF >/dev/null
cmake --build "$build" -j"$(nproc)"

rm -f "$build"/trunvex_*.deb
(cd "$build" && cpack -G DEB >/dev/null)
package=$(ls "$build"/trunvex_*.deb)
if ! dpkg-deb --contents "$package" | grep '/usr/share/man/man1/trunvex-cli\.1\.gz$' >/dev/null; then
  echo "package-linux.sh: $package lacks the manual page of trunvex-cli" >&2
  exit 1
fi
echo "$package"
