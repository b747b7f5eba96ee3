#!/usr/bin/env bash
# Install the Debian 12 packages the build needs, only those that are missing.
#   scripts/install-deps.sh           the packages of every build
#   scripts/install-deps.sh clang     also clang (the thread-safety build)
#   scripts/install-deps.sh fuzz      also clang and libFuzzer (the fuzz targets)
#   scripts/install-deps.sh package   also the Debian package tools (dpkg-shlibdeps, file)
set -euo pipefail
# tinyproxy: the manager links are tested through a real HTTP proxy.
want=(cmake ninja-build g++ libgtest-dev libgmock-dev tinyproxy)
for extra in "$@"; do
  case "$extra" in
    clang) want+=(clang) ;;
    fuzz) want+=(clang libclang-rt-14-dev) ;;
    package) want+=(dpkg-dev file) ;;
    *) echo "unknown extra: $extra" >&2; exit 1 ;;
  esac
done
need=()
for p in "${want[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || need+=("$p")
done
if [ ${#need[@]} -gt 0 ]; then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo=sudo
  $sudo apt-get update
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y --no-install-recommends "${need[@]}"
fi
