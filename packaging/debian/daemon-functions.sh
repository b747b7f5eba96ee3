# The daemon's PID and its end, for the maintainer scripts (put into each by the package build, as
# each must stand alone); they use $user.

# The PID of the daemon that the PID file $1 names: a process of the server's user running the
# program (the kernel keeps 15 characters of its name), as the init script matches it.
daemon_pid() {
    pid=$(head -n 1 "$1" 2>/dev/null) || return 1
    case "$pid" in '' | *[!0-9]*) return 1 ;; esac
    [ "$(stat -c %U /proc/"$pid" 2>/dev/null)" = "$user" ] || return 1
    [ "$(cat /proc/"$pid"/comm 2>/dev/null)" = ZELServer-conso ] || return 1
    # A process that ended but was not yet reaped runs no more.
    case "$(sed 's/.*) //' /proc/"$pid"/stat 2>/dev/null)" in Z* | X* | '') return 1 ;; esac
    echo "$pid"
}

# Ends the daemon of the PID file $1: SIGTERM lets it save its lists; after 30 s SIGKILL.
end_daemon() {
    pid=$(daemon_pid "$1") || return 0
    kill -TERM "$pid" 2>/dev/null || return 0
    i=0
    while daemon_pid "$1" >/dev/null; do
        i=$((i + 1))
        if [ "$i" -eq 300 ]; then kill -KILL "$pid" 2>/dev/null || true; fi
        [ "$i" -lt 350 ] || return 1
        sleep 0.1
    done
}
