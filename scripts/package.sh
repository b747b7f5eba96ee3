#!/usr/bin/env bash
# Builds the Debian package zelserver_<version>_<arch>.deb from a Release build (build/release,
# prefix /usr) and prints its path. Installs the Debian packages that are missing.
#   scripts/package.sh            the package in build/release
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh package
dir=build/release
jobs=${PACKAGE_JOBS:-$(nproc 2>/dev/null || echo 4)}
cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr -DZEL_BUILD_BENCH=OFF >/dev/null
# Only the program goes into the package: the tests need not be built for it.
cmake --build "$dir" -j "$jobs" --target ZELServer-console
rm -f "$dir"/zelserver_*.deb
(cd "$dir" && cpack -G DEB >/dev/null)
ls "$PWD/$dir"/zelserver_*.deb
