#!/bin/sh
# A private print server for the tests: its own configuration, spool, logs and Unix socket in one
# folder, nothing shared with the machine's own print system.
#
#   cupsd-fixture.sh start <dir> [default|no-default]
#   cupsd-fixture.sh stop <dir>
#
# "default" (the default layout) sets up these queues. Tests may run at the same time and count
# jobs per queue, so each queue serves one test only.
#   kestrun-default   the server's default printer, with a driver that ships with CUPS
#   kestrun-raw       a raw queue: no driver, documents go to the printer as they are
#   kestrun-refusing  with the driver; rejects jobs (cupsreject)
#   kestrun-stopped   with the driver; accepts jobs but is stopped (cupsdisable)
#   kestrun-login     with the driver; wants a login to be described and to take a job
#   kestrun-login-job   the same, but only to take a job
#   kestrun-login-send  the same, but only to take the job's document
# The driver queues have a file: device inside the folder, the raw one a socket: device that
# leads nowhere; a test points a queue at a printer it listens for on this machine (a raw queue
# with a file: device writes nothing). The socket backend runs as lp like the filters; without
# SNMP it does not wait seconds for a printer that will never answer such questions.
# "no-default" sets up kestrun-idle alone (with the driver), with no default printer, on a server
# that takes no request bigger than 1 KiB: it makes a job but refuses any document worth printing,
# and kestrun-forbidden, which lets only kestrun-nobody make a job. This server tells local users
# by their socket (PeerCred); on its loopback port (<dir>/port) a server asks everyone to log in.
#
# When no server can be started here (not root, no cupsd), start writes the reason to <dir>/skip
# and succeeds, so that the tests can skip themselves and say why. Any other failure to start is
# an error. stop ends the server by the PID that start recorded, never by name, and removes <dir>.
set -eu

usage() {
    echo "usage: $0 start <dir> [default|no-default] | stop <dir>" >&2
    exit 2
}

[ $# -ge 2 ] || usage
action=$1
dir=$2
layout=${3:-default}

# The driver: the generic sample driver that ships with CUPS, so a job really goes through the
# driver's filters and not just into a raw file.
driver=drv:///sample.drv/generic.ppd
start_wait=20

server_pid() {
    if [ -f "$dir/cupsd.pid" ]; then
        cat "$dir/cupsd.pid"
    fi
}

stop_server() {
    pid=$(server_pid)
    [ -n "$pid" ] || return 0
    # Only end the process if it still is the cupsd we started from this folder.
    if [ -r "/proc/$pid/cmdline" ] && tr '\0' ' ' <"/proc/$pid/cmdline" | grep -qF -- "$dir/conf/cupsd.conf"; then
        kill -CONT "$pid" 2>/dev/null || true
        kill -TERM "$pid" 2>/dev/null || true
        waited=0
        while kill -0 "$pid" 2>/dev/null && [ $waited -lt 100 ]; do
            sleep 0.1
            waited=$((waited + 1))
        done
        if kill -0 "$pid" 2>/dev/null; then
            echo "cupsd $pid did not stop within 10 s; killing it" >&2
            kill -KILL "$pid" 2>/dev/null || true
        fi
    fi
    rm -f "$dir/cupsd.pid"
}

skip() {
    echo "$1" >"$dir/skip"
    echo "private print server not started: $1"
    exit 0
}

fail() {
    echo "private print server: $1" >&2
    if [ -f "$dir/log/error_log" ]; then
        echo "--- last lines of $dir/log/error_log:" >&2
        tail -n 30 "$dir/log/error_log" >&2
    fi
    stop_server
    exit 1
}

login_policy() {
    name=$1
    shift
    cat >>"$dir/conf/cupsd.conf" <<EOF
<Policy $name>
  <Limit $*>
    AuthType Basic
    Require user kestrun-nobody
  </Limit>
  <Limit All>
  </Limit>
</Policy>
EOF
}

admin() {
    lpadmin -h "$dir/cups.sock" "$@" || fail "lpadmin $* failed"
}

wait_until_answering() {
    waited=0
    until [ -S "$dir/cups.sock" ] && lpstat -h "$dir/cups.sock" -r >/dev/null 2>&1; do
        kill -0 "$(server_pid)" 2>/dev/null || fail "cupsd ended right after starting"
        [ $waited -lt $((start_wait * 10)) ] || fail "cupsd did not answer on $dir/cups.sock within $start_wait s"
        sleep 0.1
        waited=$((waited + 1))
    done
}

run_server() {
    cupsd -t -c "$dir/conf/cupsd.conf" -s "$dir/conf/cups-files.conf" >"$dir/log/config_check" 2>&1 ||
        fail "cupsd refused its configuration: $(cat "$dir/log/config_check")"
    cupsd -f -c "$dir/conf/cupsd.conf" -s "$dir/conf/cups-files.conf" </dev/null \
        >>"$dir/log/cupsd_output" 2>&1 &
    echo $! >"$dir/cupsd.pid"
    wait_until_answering
}

start() {
    mkdir -p "$dir"
    stop_server
    rm -rf "$dir/conf" "$dir/spool" "$dir/cache" "$dir/state" "$dir/log" "$dir/out" \
        "$dir/cups.sock" "$dir/skip"

    [ "$(id -u)" -eq 0 ] || skip "cupsd must run as root to start its filters as user lp, and this is user $(id -un)"
    command -v cupsd >/dev/null 2>&1 || [ -x /usr/sbin/cupsd ] || skip "cupsd is not installed (Debian package cups)"
    command -v lpadmin >/dev/null 2>&1 || [ -x /usr/sbin/lpadmin ] || skip "lpadmin is not installed (Debian package cups-client)"
    PATH=$PATH:/usr/sbin
    id lp >/dev/null 2>&1 || skip "there is no user lp to run the print filters"

    # Filters and backends run as lp: the folder must be reachable and the output writable for it.
    mkdir -p "$dir/conf/ppd" "$dir/conf/ssl" "$dir/spool/tmp" "$dir/cache" "$dir/state" "$dir/log" "$dir/out"
    chmod 755 "$dir" "$dir/conf" "$dir/log"
    chown lp:lp "$dir/out"
    chmod 775 "$dir/out"

    # Besides its socket, each server listens on a port of loopback, derived from its folder and
    # written to <dir>/port. There it knows no client by its socket credentials (which some
    # releases cannot turn off), so it asks a client to log in where a policy wants one.
    port=$((20000 + $(printf '%s' "$dir" | cksum | cut -d' ' -f1) % 20000))
    echo "$port" >"$dir/port"
    cat >"$dir/conf/cups-files.conf" <<EOF
ServerRoot $dir/conf
RequestRoot $dir/spool
TempDir $dir/spool/tmp
CacheDir $dir/cache
StateDir $dir/state
ErrorLog $dir/log/error_log
AccessLog $dir/log/access_log
PageLog $dir/log/page_log
User lp
Group lp
SystemGroup root
FileDevice Yes
Sandboxing relaxed
EOF
    cat >"$dir/conf/cupsd.conf" <<EOF
LogLevel debug
Listen $dir/cups.sock
Listen 127.0.0.1:$port
Browsing No
BrowseLocalProtocols none
WebInterface No
DefaultShared No
Printcap
PreserveJobHistory Yes
PreserveJobFiles No
MaxJobs 0
<Location />
  Order allow,deny
  Allow all
</Location>
<Policy default>
  <Limit All>
    Order deny,allow
  </Limit>
</Policy>
EOF

    # Queues of a login policy take the operations it names only from kestrun-nobody, who does
    # not exist: a client on the loopback port is asked to log in (HTTP 401). On the socket the
    # server knows a local client by its credentials instead and answers root that it may not
    # (403).
    login_policy kestrun-login Get-Printer-Attributes Create-Job Print-Job
    login_policy kestrun-login-job Create-Job Print-Job
    login_policy kestrun-login-send Send-Document Print-Job
    run_server

    case $layout in
        default)
            admin -p kestrun-default -E -v "file:$dir/out/default.prn" -m "$driver"
            admin -p kestrun-raw -E -v "socket://127.0.0.1:9/?snmp=false" -m raw
            admin -p kestrun-refusing -E -v "file:$dir/out/refusing.prn" -m "$driver"
            admin -p kestrun-stopped -E -v "file:$dir/out/stopped.prn" -m "$driver"
            for policy in kestrun-login kestrun-login-job kestrun-login-send; do
                admin -p "$policy" -E -v "file:$dir/out/$policy.prn" -m "$driver" \
                    -o printer-op-policy="$policy"
            done
            admin -d kestrun-default
            cupsreject -h "$dir/cups.sock" -r "Kestrun test queue: paper jam" kestrun-refusing ||
                fail "cupsreject failed"
            cupsdisable -h "$dir/cups.sock" -r "Kestrun test queue: maintenance" kestrun-stopped ||
                fail "cupsdisable failed"
            ;;
        no-default)
            admin -p kestrun-idle -E -v "file:$dir/out/idle.prn" -m "$driver"
            admin -p kestrun-forbidden -E -v "file:$dir/out/forbidden.prn" -m "$driver" \
                -o printer-op-policy=kestrun-login-job
            # lpadmin uploads the driver in a request of its own, so the limit comes afterwards.
            stop_server
            echo "LimitRequestBody 1024" >>"$dir/conf/cupsd.conf"
            run_server
            ;;
        *)
            fail "unknown layout $layout"
            ;;
    esac
    echo "private print server $(server_pid) on $dir/cups.sock ($layout)"
}

case $action in
    start) start ;;
    # Nothing of the server is left behind; the shared parent folder goes with the last one.
    stop) stop_server && rm -rf "$dir" && { rmdir "$(dirname "$dir")" 2>/dev/null || true; } ;;
    *) usage ;;
esac
