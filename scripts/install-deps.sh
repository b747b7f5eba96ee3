#!/usr/bin/env bash
# Install the Debian 12 packages the build needs, only those that are missing.
set -euo pipefail
need=()
for p in cmake ninja-build g++ libgtest-dev libgmock-dev; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || need+=("$p")
done
if [ ${#need[@]} -gt 0 ]; then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo=sudo
  $sudo apt-get update
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y --no-install-recommends "${need[@]}"
fi
