#!/usr/bin/env bash
# Builds the program and runs it in the foreground on the shipped configuration.
#   scripts/run.sh           debug mode: the log on standard output
#   scripts/run.sh run       the log in zelserver.log beside the program
# The files of dist/ are copied beside the program once; an earlier copy (and what the server
# wrote into it) is never overwritten, and the repository's own files are never written. The
# shipped server.ini names no owner: the copy gets an address of its own, made up once and
# printed at each start.
set -euo pipefail
cd "$(dirname "$0")/.."
mode=${1:-debug}
case "$mode" in
  debug|run) ;;
  *) echo "usage: $0 [debug|run]"; exit 1 ;;
esac
# A fresh system first gets the packages the build needs (the tests are configured with it).
scripts/install-deps.sh
dir=build/plain
cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$dir" --target ZELServer-console
cp -rn dist/. "$dir/console/"
ini="$dir/console/server.ini"
if grep -qx 'ServerOwnerEMail=' "$ini"; then
  sed -i "s/^ServerOwnerEMail=\$/ServerOwnerEMail=owner-$(od -An -N8 -tx1 /dev/urandom | tr -d ' \n')@localhost/" "$ini"
fi
echo "The server owner's e-mail address: $(sed -n 's/^ServerOwnerEMail=//p' "$ini") (in $ini)"
exec "$dir/console/ZELServer-console" "$mode"
