#!/usr/bin/env bash
# Builds the Debian package zelserver_<version>_<arch>.deb from a Release build (build/release,
# prefix /usr, Debian's hardening flags from dpkg-buildflags, the installed configuration as the
# program's default) and prints its path. Installs the Debian packages that are missing.
#   scripts/package.sh            the package in build/release
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh package
dir=build/release
jobs=${PACKAGE_JOBS:-$(nproc 2>/dev/null || echo 4)}
# Stack protector, FORTIFY, format checks, PIE, relro and immediate binding.
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
cxxflags="$(dpkg-buildflags --get CPPFLAGS) $(dpkg-buildflags --get CXXFLAGS)"
ldflags=$(dpkg-buildflags --get LDFLAGS)
cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr -DZEL_BUILD_BENCH=OFF \
  -DZEL_INSTALLED_CONFIG=ON -DCMAKE_CXX_FLAGS="$cxxflags" -DCMAKE_EXE_LINKER_FLAGS="$ldflags" >/dev/null
# Only the program goes into the package: the tests need not be built for it.
cmake --build "$dir" -j "$jobs" --target ZELServer-console
rm -f "$dir"/zelserver_*.deb
(cd "$dir" && cpack -G DEB >/dev/null)
ls "$PWD/$dir"/zelserver_*.deb
