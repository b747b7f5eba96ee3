#!/usr/bin/env bash
# Builds the Debian package and tests it on this machine, as root (CI runs it; no systemd needed):
# the package's version is higher than the one computed for the commit before; lintian finds no
# error and no missing hardening or manual page; the binary is hardened and the unit rated at most
# 4.0 by systemd-analyze, and its start limit ends a start that keeps failing; the install makes
# the user, the directories and the files with their owners and modes and enables the unit and
# the init script; the manual page has every command word;
# the packaged configuration names no owner and the server does not start without one; with an
# owner set, the packaged server, run as the unit runs it (its two ports moved to free ones), admits
# clients, and none of the addresses the package ships is the owner; a start as root is refused and
# no file changes owner; the unit's reload reopens the log with another ReopenLogSignal and the
# server runs on; it stops on SIGTERM; logrotate reopens a daemon's log; an upgrade install keeps
# an edited server.ini and changed list files; removal stops a daemon and keeps the
# configuration, lists, log and user; an upgrade from a lower version whose configuration named an
# owner leaves no server running with that owner and says how to start it again; without systemd,
# after a reboot the init script starts the server, and an upgrade restarts its daemon or says
# that it still runs the program before; the purge leaves nothing behind.
# The package is purged at the end, also on a failure; one installed before is purged first.
set -euo pipefail
cd "$(dirname "$0")/.."
[ "$(id -u)" -eq 0 ] || { echo "package-test: run as root" >&2; exit 1; }

pkg=zelserver
user=zelserver
conf=/etc/zelserver/server.ini
state=/var/lib/zelserver
data=$state/data
logdir=/var/log/zelserver
rundir=/run/zelserver
program=/usr/sbin/ZELServer-console
lists=(admins.dat blocks.dat modes.dat mutes.dat notices.dat owner.dat rights.dat)

say() { echo "package-test: $*"; }
fail() {
  echo "package-test: FAILED: $*" >&2
  exit 1
}
installed() { dpkg-query -W -f='${db:Status-Status}' "$pkg" 2>/dev/null | grep -qv '^not-installed$'; }

tmp=$(mktemp -d /tmp/zelpkg.XXXXXX)
chmod 0755 "$tmp"
server_pid=""
cleanup() {
  local rc=$?
  if [ -n "$server_pid" ] && kill -0 "$server_pid" 2>/dev/null; then
    kill -KILL "$server_pid" 2>/dev/null || true
    wait "$server_pid" 2>/dev/null || true
  fi
  if [ "$rc" -ne 0 ]; then
    for f in "$tmp/server.out" "$logdir/zelserver.log"; do
      [ -s "$f" ] || continue
      echo "--- $f" >&2
      tail -n 40 "$f" >&2 || true
    done
  fi
  if installed; then
    DEBIAN_FRONTEND=noninteractive dpkg --purge "$pkg" >/dev/null || rc=1
  fi
  rm -rf "$tmp"
  exit "$rc"
}
trap cleanup EXIT

need=()
# systemd for systemd-analyze (the unit's sandbox is rated; systemd need not run).
for p in lintian dpkg-dev file logrotate systemd; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || need+=("$p")
done
if [ ${#need[@]} -gt 0 ]; then
  apt-get update
  DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "${need[@]}"
fi
if installed; then
  say "purging the $pkg package installed before"
  DEBIAN_FRONTEND=noninteractive dpkg --purge "$pkg" >/dev/null
fi

deb=$(scripts/package.sh | tail -n 1)
[ -f "$deb" ] || fail "no package built"
case "$(basename "$deb")" in
  zelserver_*_"$(dpkg --print-architecture)".deb) ;;
  *) fail "package file name $(basename "$deb")" ;;
esac
say "built $deb"

# Every build of a later commit has a higher version: the version of this commit's build sorts
# above the one computed for the commit before.
version=$(dpkg-deb -f "$deb" Version)
[ "$version" = "$(cmake -P cmake/ZelVersion.cmake)" ] || fail "the package's version $version is not the computed one"
if [ "$(git rev-parse --is-shallow-repository 2>/dev/null)" = false ] && git rev-parse -q --verify HEAD^ >/dev/null; then
  [[ "$version" == *+git* ]] || fail "the version $version has no commit count"
  previous=$(cmake -DZEL_COMMIT=HEAD^ -P cmake/ZelVersion.cmake)
  dpkg --compare-versions "$version" gt "$previous" || fail "the version $version is not above $previous of the commit before"
  say "the version $version sorts above $previous of the commit before"
else
  say "no git history here: the version $version is not compared with the commit before"
fi

lintian --allow-root --fail-on error "$deb" >"$tmp/lintian.out" 2>&1 || { cat "$tmp/lintian.out" >&2; fail "lintian reports errors"; }
! grep -E 'hardening-no-|no-manual-page' "$tmp/lintian.out" || fail "lintian: the binary lacks hardening or the manual page"
say "lintian: no error, no hardening or manual page tag"

DEBIAN_FRONTEND=noninteractive apt-get install -y "$deb" </dev/null >"$tmp/install.out" 2>&1 ||
  { cat "$tmp/install.out" >&2; fail "install"; }
say "installed"

# owner:group mode of each path
check_modes() {
  local entry path want got
  for entry in \
    "$program root:root 755" \
    "/etc/zelserver root:root 755" \
    "$conf root:$user 640" \
    "/etc/logrotate.d/zelserver root:root 644" \
    "/usr/lib/systemd/system/zelserver.service root:root 644" \
    "/usr/lib/tmpfiles.d/zelserver.conf root:root 644" \
    "/usr/share/doc/zelserver/README.md root:root 644" \
    "$state $user:$user 750" \
    "$state/networks.cfg $user:$user 640" \
    "$data $user:$user 750" \
    "$logdir $user:adm 750" \
    "$rundir $user:$user 755"; do
    path=${entry%% *}
    want=${entry#* }
    got=$(stat -c '%U:%G %a' "$path" 2>/dev/null) || fail "$path missing"
    [ "$got" = "$want" ] || fail "$path is $got, not $want"
  done
  for f in "${lists[@]}"; do
    got=$(stat -c '%U:%G %a' "$data/$f" 2>/dev/null) || fail "$data/$f missing"
    [ "$got" = "$user:$user 640" ] || fail "$data/$f is $got"
  done
}

IFS=: read -r _ _ uid _ _ home shell < <(getent passwd "$user") || fail "no user $user"
[ "$uid" -lt 1000 ] || fail "$user is not a system user (uid $uid)"
[ "$home" = "$state" ] || fail "$user's home is $home"
[ "$shell" = /usr/sbin/nologin ] || fail "$user's shell is $shell"
getent group "$user" >/dev/null || fail "no group $user"
check_modes
conffiles=$(dpkg-query -W -f='${Conffiles}' "$pkg")
for c in "$conf" /etc/logrotate.d/zelserver; do
  grep -q " $c " <<<"$conffiles" || fail "$c is not a conffile"
done
for line in "NetworksFileName=$state/networks.cfg" "DataDir=$data" "LogFile=$logdir/zelserver.log" \
  "PidFile=$rundir/zelserver.pid"; do
  grep -qx "$line" "$conf" || fail "$conf lacks $line"
done
cmp -s dist/networks.cfg "$state/networks.cfg" || fail "$state/networks.cfg is not the shipped one"
say "user, directories, files, owners and modes"

# Enabled by the install, also here where systemd does not run.
[ -d /run/systemd/system ] && say "systemd runs here: the install without it is not tested"
wants=/etc/systemd/system/multi-user.target.wants/zelserver.service
[ "$(readlink -f "$wants")" = "$(readlink -f /usr/lib/systemd/system/zelserver.service)" ] ||
  fail "the unit is not enabled after the install ($wants)"
say "the unit is enabled"
[ -x /etc/init.d/zelserver ] || fail "no init script"
grep -q " /etc/init.d/zelserver " <<<"$conffiles" || fail "the init script is not a conffile"
for l in 2 3 4 5; do
  compgen -G "/etc/rc$l.d/S*zelserver" >/dev/null || fail "the init script is not enabled in runlevel $l"
done
say "the init script is enabled"

# The unit's sandbox: at most 4.0 ("OK") by systemd's own rating.
analyze=$(systemd-analyze security --offline=true /usr/lib/systemd/system/zelserver.service 2>&1) ||
  { echo "$analyze" >&2; fail "systemd-analyze security"; }
exposure=$(sed -n 's/.*Overall exposure level for zelserver.service: \([0-9.]*\).*/\1/p' <<<"$analyze")
[ -n "$exposure" ] && awk -v e="$exposure" 'BEGIN { exit !(e <= 4.0) }' ||
  { echo "$analyze" >&2; fail "the unit's exposure is ${exposure:-unknown}, above 4.0"; }
say "the unit's exposure level: $exposure"

# A start that fails on the configuration (exit 3, as a held port) is restarted, but the start
# limit ends the tries: restarts RestartSec apart reach StartLimitBurst within StartLimitIntervalSec.
systemd-analyze verify --man=no /usr/lib/systemd/system/zelserver.service >"$tmp/verify.out" 2>&1 ||
  { cat "$tmp/verify.out" >&2; fail "systemd-analyze verify"; }
[ ! -s "$tmp/verify.out" ] || { cat "$tmp/verify.out" >&2; fail "systemd-analyze verify warns"; }
unit_value() { sed -n "s/^$1=//p" /usr/lib/systemd/system/zelserver.service | tail -n 1; }
[ "$(unit_value Restart)" = on-failure ] || fail "the unit does not restart a failed start"
# Only a stop that lost list changes (6) is kept from restarting; a failed start (3) is retried.
[ "$(unit_value RestartPreventExitStatus)" = 6 ] ||
  fail "the unit keeps an exit status other than 6 from restarting, or restarts a stop that lost changes"
restart_sec=$(unit_value RestartSec)
burst=$(unit_value StartLimitBurst)
interval=$(unit_value StartLimitIntervalSec)
[[ "$restart_sec" =~ ^[0-9]+$ && "$burst" =~ ^[0-9]+$ && "$interval" =~ ^[0-9]+$ ]] ||
  fail "the unit's RestartSec=$restart_sec StartLimitBurst=$burst StartLimitIntervalSec=$interval are not plain seconds"
[ "$burst" -ge 3 ] && [ $((burst * restart_sec)) -lt "$interval" ] ||
  fail "restarts $restart_sec s apart never reach $burst starts in $interval s: a failing start restarts for ever"
say "a failing start is tried $burst times, $restart_sec s apart, then the unit fails"

# The binary carries Debian's hardening: PIE, relro, immediate binding, stack protector, FORTIFY.
readelf -hlW "$program" >"$tmp/elf.head"
readelf -dW --dyn-syms "$program" >"$tmp/elf.dyn"
grep -q 'Type:[[:space:]]*DYN' "$tmp/elf.head" || fail "$program is not position independent"
grep -q GNU_RELRO "$tmp/elf.head" || fail "$program has no relro segment"
grep -Eq 'BIND_NOW|FLAGS_1.*NOW' "$tmp/elf.dyn" || fail "$program does not bind immediately"
grep -q __stack_chk_fail "$tmp/elf.dyn" || fail "$program has no stack protector"
grep -Eq '__[a-z_]+_chk@' "$tmp/elf.dyn" || fail "$program has no fortified functions"
say "the binary is hardened"

# The manual page tells every command word that the program's help prints.
man=/usr/share/man/man8/ZELServer-console.8.gz
[ -f "$man" ] || fail "no manual page $man"
words=$("$program" help | sed -n '/^Commands:/,$p' | awk 'NR > 1 && NF { print $1 }')
[ -n "$words" ] || fail "no command word in the help"
zcat "$man" >"$tmp/man.8"
for w in $words help; do
  grep -q "^\\\\fB$w\\\\fR" "$tmp/man.8" || fail "the manual page lacks the word $w"
done
say "the manual page has every command word"

# Two free ports below the usual ephemeral range, nothing listening on them.
listening() {
  local port
  printf -v port '%04X' "$1"
  local tables=(/proc/net/tcp)
  [ ! -e /proc/net/tcp6 ] || tables+=(/proc/net/tcp6)
  awk -v p=":$port" 'FNR > 1 && $4 == "0A" && substr($2, length($2) - 4) == p { found = 1 } END { exit !found }' \
    "${tables[@]}"
}
free_port() {
  local p tries=0
  while :; do
    p=$((20000 + RANDOM % 12000))
    [ "$p" != "${1:-}" ] && ! listening "$p" && { echo "$p"; return; }
    tries=$((tries + 1))
    [ "$tries" -lt 100 ] || fail "no free port"
  done
}
client_port=$(free_port)
command_port=$(free_port "$client_port")
sed -i -e "s/^ListenServerPorts=.*/ListenServerPorts=$client_port/" -e "s/^CommandPort=.*/CommandPort=$command_port/" \
  -e '1i ; edited by the package test' "$conf"

unit_file=/usr/lib/systemd/system/zelserver.service
exec_start=$(sed -n 's/^ExecStart=//p' "$unit_file")
exec_reload=$(sed -n 's/^ExecReload=//p' "$unit_file")
[ "$exec_start" = "$program run $conf" ] || fail "the unit does not run $program on $conf"

# The unit's server as the unit starts it: its command line as the zelserver user; waits until
# it listens.
start_server() {
  # shellcheck disable=SC2086 # the unit's command line, split as systemd splits it
  setpriv --reuid="$user" --regid="$user" --init-groups -- $exec_start >"$tmp/server.out" 2>&1 &
  server_pid=$!
  for ((i = 0; i < 300; i++)); do
    listening "$client_port" && break
    kill -0 "$server_pid" 2>/dev/null || fail "the server ended at start"
    sleep 0.1
  done
  listening "$client_port" || fail "the server does not listen on $client_port"
  [ "$(stat -c %U /proc/"$server_pid")" = "$user" ] || fail "the server does not run as $user"
}
# Waits at most 30 s for the server $server_pid to end; fails with the text $1 when it runs on.
await_end() {
  for ((i = 0; i < 300; i++)); do
    kill -0 "$server_pid" 2>/dev/null || return 0
    sleep 0.1
  done
  fail "$1"
}
# Starts a daemon as the zelserver user on the packaged configuration.
start_daemon() {
  setpriv --reuid="$user" --regid="$user" --init-groups -- "$program" daemon "$conf" >"$tmp/daemon.out" 2>&1 ||
    { cat "$tmp/daemon.out" >&2; fail "the daemon did not start"; }
  server_pid=$(cat "$rundir/zelserver.pid")
  [ "$(stat -c %U /proc/"$server_pid")" = "$user" ] || fail "the daemon does not run as $user"
}
# Ends the server started by start_server with SIGTERM; its exit code must be 0.
stop_server() {
  kill -TERM "$server_pid"
  await_end "the server did not stop on SIGTERM"
  local rc=0
  wait "$server_pid" || rc=$?
  server_pid=""
  [ "$rc" -eq 0 ] || fail "the server ended with $rc"
}
# The login answer word (<AL>) for a client with the e-mail address $1.
login_word() {
  local answer="" line
  exec 3<>"/dev/tcp/127.0.0.1/$client_port" || fail "no connection to $client_port"
  printf 'CT:<VX>2014004</VX><EA>%s</EA><PW>pw</PW><ON>N0CALL</ON><BC>PC Only</BC><CT>Town</CT><NN>Land</NN><NT>Lobby</NT><CEF>1</CEF>\r\n' "$1" >&3
  for _ in 1 2; do
    IFS= read -r -t 10 line <&3 || fail "no login answer for $1 (got: $answer)"
    answer+=$line
  done
  exec 3<&-
  sed -n 's/.*<AL>\([^<]*\)<\/AL>.*/\1/p' <<<"$answer"
}

# No address anyone knows owns the installed server: the package names no owner, the install
# says what to set, and the server does not start without it (the program finds its packaged
# configuration without the name).
grep -qx 'ServerOwnerEMail=' "$conf" || fail "$conf names an owner: $(grep ServerOwnerEMail "$conf")"
grep -q "set ServerOwnerEMail in $conf" "$tmp/install.out" || { cat "$tmp/install.out" >&2; fail "the install does not say what to set"; }
rc=0
setpriv --reuid="$user" --regid="$user" --init-groups -- "$program" run >"$tmp/no-owner.out" 2>&1 || rc=$?
[ "$rc" -eq 3 ] && grep -q 'ServerOwnerEMail: Invalid or empty server owner email address' "$tmp/no-owner.out" ||
  { cat "$tmp/no-owner.out" >&2; fail "the server without an owner ended with $rc"; }
# Every address in the package's text files (configuration, README, manual page, ...) is a
# plain client; the address set below is the owner.
shipped=$(dpkg-query -L "$pkg" | while IFS= read -r f; do
  [ -f "$f" ] || continue
  case "$f" in *.gz) zcat "$f" ;; "$program") ;; *) cat "$f" ;; esac
done | grep -oE '[[:alnum:]._%+-]+@[[:alnum:].-]+\.[[:alpha:]]+' | sort -u)
[ -n "$shipped" ] || fail "no address found in the package's files"
owner="owner-$(od -An -N8 -tx1 /dev/urandom | tr -d ' \n')@example.net"
sed -i "s/^ServerOwnerEMail=.*/ServerOwnerEMail=$owner/" "$conf"
# The program's default configuration is the packaged one.
[ "$("$program" pidfilename)" = "$rundir/zelserver.pid" ] || fail "the program's default configuration is not $conf"
start_server
for a in $shipped; do
  word=$(login_word "$a")
  [ "$word" = OK ] || fail "a login with the shipped address $a is answered $word"
done
word=$(login_word "$owner")
[ "$word" = OWNER ] || fail "the owner's login is answered $word"
say "no shipped address owns the server; with an owner set it runs and admits clients"

# A start on a port that another program holds fails with 3, which the unit restarts.
rc=0
# shellcheck disable=SC2086 # the unit's command line
timeout 30 setpriv --reuid="$user" --regid="$user" --init-groups -- $exec_start >"$tmp/held.out" 2>&1 || rc=$?
[ "$rc" -eq 3 ] || { cat "$tmp/held.out" >&2; fail "a start on held ports ended with $rc"; }
kill -0 "$server_pid" 2>/dev/null || fail "the start on held ports ended the running server"
say "a start on held ports fails with 3 (restarted by the unit)"

# A start as root on the packaged configuration is refused and names the user; nothing it would
# write changes owner.
rc=0
"$program" daemon >"$tmp/root.out" 2>&1 || rc=$?
[ "$rc" -eq 3 ] && grep -q "belongs to the user $user: start the server as $user" "$tmp/root.out" ||
  { cat "$tmp/root.out" >&2; fail "the start as root ended with $rc"; }
[ ! -e "$rundir/zelserver.pid" ] || fail "the start as root left a PID file"
[ "$(stat -c %U "$logdir/zelserver.log")" = "$user" ] || fail "the log is not the server's after the start as root"
check_modes
say "a start as root is refused, naming $user"

# With another reopen signal the unit's reload still reopens the log and leaves the server
# running.
stop_server
sed -i -e 's/^ReopenLogSignal=.*/ReopenLogSignal=SIGUSR1/' -e 's/^\[System\]$/[System]\nLogReopenLog=1/' "$conf"
grep -qx 'ReopenLogSignal=SIGUSR1' "$conf" || fail "no ReopenLogSignal in $conf"
start_server
mv "$logdir/zelserver.log" "$logdir/zelserver.log.moved"
reload=${exec_reload//\$MAINPID/$server_pid}
$reload || fail "the unit's reload command failed"
for ((i = 0; i < 100; i++)); do
  [ -e "$logdir/zelserver.log" ] && break
  sleep 0.1
done
[ -e "$logdir/zelserver.log" ] || fail "the unit's reload did not reopen the log"
kill -0 "$server_pid" 2>/dev/null || fail "the unit's reload ended the server"
grep -q 'Reopen log file' "$logdir/zelserver.log.moved" || fail "the moved log does not tell the reopen"
rm -f "$logdir/zelserver.log.moved"
say "the unit's reload reopens the log with ReopenLogSignal=SIGUSR1 and the server runs on"

stop_server
[ "$(stat -c %U "$logdir/zelserver.log")" = "$user" ] || fail "the log is not the server's"
tail -n 1 "$logdir/zelserver.log" | grep -q ': Aborted: SIGTERM$' || fail "the log does not end with the SIGTERM stop"
say "the server stops on SIGTERM"

# The logrotate snippet reopens the log of a daemon too (found through its PID file).
start_daemon
logrotate -f -s "$tmp/logrotate.state" /etc/logrotate.d/zelserver >"$tmp/logrotate.out" 2>&1 ||
  { cat "$tmp/logrotate.out" >&2; fail "logrotate"; }
[ -e "$logdir/zelserver.log.1" ] || fail "logrotate did not rotate the log"
[ -e "$logdir/zelserver.log" ] || fail "the daemon did not reopen its log after the rotation"
kill -0 "$server_pid" 2>/dev/null || fail "the rotation ended the daemon"
"$program" logtext "after the rotation" >/dev/null || fail "logtext"
grep -q 'after the rotation' "$logdir/zelserver.log" || fail "the daemon does not write into the new log"
"$program" stop >/dev/null
await_end "the daemon did not stop"
server_pid=""
[ "$(stat -c %U "$logdir/zelserver.log")" = "$user" ] || fail "the new log is not the server's"
say "logrotate reopens a daemon's log"

# An upgrade (the same package again) keeps what the operator and the server changed.
echo "Net02" >>"$state/networks.cfg"
echo "; changed by the package test" >>"$data/notices.dat"
cp -p "$conf" "$state/networks.cfg" "$data/notices.dat" "$tmp/"
dpkg -i "$deb" </dev/null >"$tmp/upgrade.out" 2>&1 || { cat "$tmp/upgrade.out" >&2; fail "upgrade install"; }
for f in "$conf" "$state/networks.cfg" "$data/notices.dat"; do
  cmp -s "$tmp/$(basename "$f")" "$f" || fail "the upgrade changed $f"
done
check_modes
say "an upgrade keeps the edited configuration and lists"

# Removal stops a daemon that its PID file names and keeps the configuration, the lists, the log
# and the user; a new install takes them up again.
dpkg-query -L "$pkg" >"$tmp/files"
start_daemon
dpkg -r "$pkg" </dev/null >"$tmp/remove.out" 2>&1 || { cat "$tmp/remove.out" >&2; fail "remove"; }
await_end "the removal did not stop the daemon"
server_pid=""
[ ! -e "$rundir/zelserver.pid" ] || fail "the daemon left its PID file"
[ ! -e "$program" ] || fail "the removal left $program"
[ "$(dpkg-query -W -f='${db:Status-Status}' "$pkg")" = config-files ] || fail "not in the config-files state"
for f in "$conf" "$state/networks.cfg"; do
  cmp -s "$tmp/$(basename "$f")" "$f" || fail "the removal changed $f"
done
for f in "${lists[@]}"; do
  [ -f "$data/$f" ] || fail "the removal deleted $data/$f"
done
[ -s "$logdir/zelserver.log" ] || fail "the removal deleted the log"
getent passwd "$user" >/dev/null || fail "the removal deleted the user"
[ ! -L /etc/systemd/system/zelserver.service ] || fail "the removal masks the unit"
dpkg -i "$deb" </dev/null >"$tmp/reinstall.out" 2>&1 || { cat "$tmp/reinstall.out" >&2; fail "install after removal"; }
cmp -s "$tmp/server.ini" "$conf" || fail "the install after removal changed $conf"
[ ! -L /etc/systemd/system/zelserver.service ] || fail "the unit stays masked after the install"
check_modes
say "removal stops the daemon and keeps configuration, lists, log and user"

# An upgrade from a lower version whose conffile named an owner (built here from this package),
# with its server running as this host's service manager runs it: dpkg installs the new conffile,
# which names none; afterwards no server answers that owner, and the output says how to start
# it again.
systemd_here() { [ -d /run/systemd/system ]; }
if systemd_here; then start_command="systemctl restart zelserver.service"; else start_command="service zelserver restart"; fi
# The login answer word for $1, or "none" when nothing listens on the client port.
answer_word() {
  if listening "$client_port"; then login_word "$1"; else echo none; fi
}
# The PID of the daemon in the PID file, or nothing.
daemon_pid() {
  local pid
  pid=$(head -n 1 "$rundir/zelserver.pid" 2>/dev/null) || return 0
  [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null && echo "$pid"
  return 0
}
rm -rf "$tmp/old"
dpkg-deb -R "$deb" "$tmp/old"
old_version="$version~1"
dpkg --compare-versions "$old_version" lt "$version" || fail "$old_version is not lower than $version"
old_owner="owner-$(od -An -N8 -tx1 /dev/urandom | tr -d ' \n')@example.org"
sed -i "s/^Version: .*/Version: $old_version/" "$tmp/old/DEBIAN/control"
sed -i -e "s/^ServerOwnerEMail=.*/ServerOwnerEMail=$old_owner/" -e "s/^ListenServerPorts=.*/ListenServerPorts=$client_port/" \
  -e "s/^CommandPort=.*/CommandPort=$command_port/" "$tmp/old/etc/zelserver/server.ini"
sed -i "s|^[0-9a-f]*  etc/zelserver/server.ini\$|$(cd "$tmp/old" && md5sum etc/zelserver/server.ini)|" "$tmp/old/DEBIAN/md5sums"
dpkg-deb -b "$tmp/old" "$tmp/old.deb" >/dev/null
DEBIAN_FRONTEND=noninteractive dpkg --purge "$pkg" </dev/null >/dev/null
dpkg -i "$tmp/old.deb" </dev/null >"$tmp/old-install.out" 2>&1 || { cat "$tmp/old-install.out" >&2; fail "install of $old_version"; }
if systemd_here; then
  systemctl restart zelserver.service
else
  service zelserver start >"$tmp/old-start.out" 2>&1 || { cat "$tmp/old-start.out" >&2; fail "the init script's start of $old_version"; }
fi
server_pid=$(daemon_pid)
for ((i = 0; i < 300; i++)); do
  listening "$client_port" && break
  sleep 0.1
done
[ "$(answer_word "$old_owner")" = OWNER ] || fail "the server of $old_version does not run with its owner"
dpkg -i "$deb" </dev/null >"$tmp/upgrade-owner.out" 2>&1 || { cat "$tmp/upgrade-owner.out" >&2; fail "upgrade from $old_version"; }
grep -qx 'ServerOwnerEMail=' "$conf" || fail "the upgrade did not install the new conffile"
[ -n "$server_pid" ] && await_end "the server of $old_version runs on after the upgrade"
server_pid=""
word=$(answer_word "$old_owner")
[ "$word" != OWNER ] || fail "after the upgrade $old_owner still logs in as OWNER"
for text in "the running server is stopped" "set ServerOwnerEMail in $conf" "then start the server: $start_command"; do
  grep -qF "$text" "$tmp/upgrade-owner.out" || { cat "$tmp/upgrade-owner.out" >&2; fail "the upgrade does not say: $text"; }
done
say "an upgrade from $old_version with an owner stops its server ($word) and names the next step"

if ! systemd_here; then
  # A reboot empties /run; the documented start makes the run directory and starts the daemon
  # as the server's user.
  sed -i -e "s/^ServerOwnerEMail=.*/ServerOwnerEMail=$owner/" -e "s/^ListenServerPorts=.*/ListenServerPorts=$client_port/" \
    -e "s/^CommandPort=.*/CommandPort=$command_port/" "$conf"
  rm -rf "$rundir"
  # shellcheck disable=SC2086 # the documented command line
  $start_command >"$tmp/init-start.out" 2>&1 || { cat "$tmp/init-start.out" >&2; fail "$start_command after a reboot"; }
  server_pid=$(daemon_pid)
  [ -n "$server_pid" ] || fail "no daemon after the init script's start"
  [ "$(stat -c %U /proc/"$server_pid")" = "$user" ] || fail "the init script's daemon does not run as $user"
  [ "$(answer_word "$owner")" = OWNER ] || fail "the init script's server does not answer the owner"
  service zelserver status >/dev/null || fail "the init script's status does not find the daemon"
  check_modes
  say "after a reboot the init script starts the server as $user"

  # An upgrade with an owner set restarts the daemon, or says that it runs the program before.
  dpkg -i "$deb" </dev/null >"$tmp/upgrade-daemon.out" 2>&1 || { cat "$tmp/upgrade-daemon.out" >&2; fail "upgrade with a daemon"; }
  pid=$(daemon_pid)
  if [ -n "$pid" ] && [ "$(stat -L -c %d:%i /proc/"$pid"/exe)" = "$(stat -c %d:%i "$program")" ]; then
    say "the upgrade restarted the daemon"
  else
    grep -qF "the server with PID $server_pid still runs the program of the version before" "$tmp/upgrade-daemon.out" &&
      grep -qF "restart it: $start_command" "$tmp/upgrade-daemon.out" ||
      { cat "$tmp/upgrade-daemon.out" >&2; fail "the daemon runs the replaced program and the upgrade does not say so"; }
    service zelserver restart >"$tmp/init-restart.out" 2>&1 || { cat "$tmp/init-restart.out" >&2; fail "the init script's restart"; }
    await_end "the init script's restart did not stop the daemon"
    pid=$(daemon_pid)
    [ -n "$pid" ] && [ "$(stat -L -c %d:%i /proc/"$pid"/exe)" = "$(stat -c %d:%i "$program")" ] ||
      fail "the init script's restart does not run the new program"
    say "the upgrade says that the daemon runs the program before; the init script's restart runs the new one"
  fi
  server_pid=$pid
  [ "$(answer_word "$owner")" = OWNER ] || fail "the restarted server does not answer the owner"
  mv "$logdir/zelserver.log" "$logdir/zelserver.log.moved"
  service zelserver reload >/dev/null || fail "the init script's reload"
  [ -e "$logdir/zelserver.log" ] || fail "the init script's reload did not reopen the log"
  service zelserver stop >/dev/null || fail "the init script's stop"
  await_end "the init script's stop did not stop the daemon"
  server_pid=""
  [ ! -e "$rundir/zelserver.pid" ] || fail "the daemon left its PID file"
  rc=0
  service zelserver status >/dev/null || rc=$?
  [ "$rc" -eq 3 ] || fail "the init script's status after the stop is $rc"
  say "the init script reloads and stops the daemon"
fi

DEBIAN_FRONTEND=noninteractive dpkg --purge "$pkg" </dev/null >"$tmp/purge.out" 2>&1 ||
  { cat "$tmp/purge.out" >&2; fail "purge"; }
installed && fail "still known to dpkg after the purge"
! getent passwd "$user" >/dev/null || fail "the user $user is left"
! getent group "$user" >/dev/null || fail "the group $user is left"
! dpkg-statoverride --list | grep -q zelserver || fail "a statoverride is left"
for d in /etc/zelserver "$state" "$logdir" "$rundir" /usr/share/zelserver /usr/share/doc/zelserver; do
  [ ! -e "$d" ] || fail "$d is left"
done
while IFS= read -r f; do
  [ -d "$f" ] && [ "$f" = "${f/zelserver/}" ] && continue # a shared directory such as /usr/sbin
  [ ! -e "$f" ] || fail "$f is left"
done <"$tmp/files"
left=$(find /etc /var/lib/systemd /usr/lib/systemd /usr/lib/tmpfiles.d -name '*zelserver*' 2>/dev/null || true)
[ -z "$left" ] || fail "left behind: $left"
say "the purge leaves nothing behind"
say "passed"
