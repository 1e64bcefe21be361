#!/usr/bin/env bash
# A local S3-compatible store for the tests: the packaged object storage
# servers (account, container, object and an S3 proxy) on 127.0.0.1, on free
# ports, with all their state in one directory.
#
#   s3-server.sh install                  install the Debian packages if missing
#   s3-server.sh start DIR [--owner PID]  start a store in DIR (new or empty) and
#                                         print its settings as KEY=VALUE lines,
#                                         also kept in DIR/s3.env; with --owner,
#                                         the servers stop when process PID ends
#   s3-server.sh stop DIR                 stop the servers started in DIR and wait
#                                         until they have exited
#
# start exits 3 when the packages are not installed, 1 on any other failure.
set -euo pipefail

repo="$(cd "$(dirname "$0")/.." && pwd)"
store_py="$repo/tests/s3/store.py"
# The packaged servers run on the system interpreter, whatever venv is
# active, and isolated from the caller's Python settings and user packages.
python=(/usr/bin/python3 -I)
# Nor do they take the caller's preloaded libraries (a sanitizer runtime,
# for instance): the store is a fixture, not the code under test.
unset LD_PRELOAD
servers=(account container object proxy)
packages=(swift swift-proxy swift-object swift-container swift-account python3-swift)

say() { echo "s3-server: $*" >&2; }

missing_packages() {
    local pkg
    for pkg in "${packages[@]}"; do
        dpkg-query -W -f='${Status}\n' "$pkg" 2>/dev/null | grep -q '^install ok installed$' \
            || echo "$pkg"
    done
}

install_packages() {
    local missing
    mapfile -t missing < <(missing_packages)
    [ ${#missing[@]} -eq 0 ] && return 0
    say "installing ${missing[*]}"
    local sudo=""
    [ "$(id -u)" -ne 0 ] && sudo="sudo"
    # Other installs may hold the package lock for a while.
    $sudo apt-get -o DPkg::Lock::Timeout=600 update -qq
    # Without --no-install-recommends a desktop stack comes along.
    DEBIAN_FRONTEND=noninteractive $sudo apt-get -o DPkg::Lock::Timeout=600 \
        install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
}

# True until PID has exited (a zombie has).
is_alive() {
    local stat
    # The process may exit at any point here; /proc then stops answering.
    stat="$( { cat "/proc/$1/stat"; } 2>/dev/null)" || return 1
    stat="${stat##*) }"
    case "${stat%% *}" in Z|X|"") return 1 ;; esac
}

# True while PID runs as one of this store's servers; a number reused by an
# unrelated process after ours exited does not count.
is_our_server() {
    local pid="$1" conf="$2" args
    is_alive "$pid" || return 1
    args="$( { tr '\0' '\n' <"/proc/$pid/cmdline"; } 2>/dev/null)" || return 1
    grep -qxF "$conf" <<<"$args"
}

stop() {
    local dir="$1" name pid pids=() deadline
    [ -d "$dir/run" ] || return 0
    dir="$(cd "$dir" && pwd)"
    for name in "${servers[@]}"; do
        [ -f "$dir/run/$name-server.pid" ] || continue
        pid="$(cat "$dir/run/$name-server.pid")"
        if is_our_server "$pid" "$dir/etc/$name-server.conf"; then
            kill -TERM "$pid" 2>/dev/null || true
            pids+=("$pid")
        fi
    done
    # They are not our children, so `wait` cannot be used: watch /proc. An
    # exiting process soon loses its command line, so only its state counts.
    deadline=$((SECONDS + 10))
    for pid in "${pids[@]}"; do
        while is_alive "$pid"; do
            if [ $SECONDS -ge $deadline ]; then
                say "server $pid ignored SIGTERM; killing it"
                kill -KILL "$pid" 2>/dev/null || true
                deadline=$((SECONDS + 10))
            fi
            sleep 0.02
        done
    done
    rm -f "$dir"/run/*.pid
}

launch() {
    local dir="$1" owner="$2" name log
    for name in "${servers[@]}"; do
        log="$dir/log/$name-server.log"
        # No inherited stdout: a caller reading ours would wait for the servers.
        # The servers resolve no names (all addresses are 127.0.0.1), and
        # without eventlet's DNS support they start on a third less CPU time.
        EVENTLET_NO_GREENDNS=yes "${python[@]}" "$store_py" serve "$dir/etc/$name-server.conf" "$log" $owner \
            </dev/null >>"$log" 2>&1 &
        echo $! >"$dir/run/$name-server.pid"
    done
}

start() {
    local dir="$1" owner="" attempt status pids name
    shift
    while [ $# -gt 0 ]; do
        case "$1" in
            --owner) [[ $# -ge 2 && "$2" =~ ^[0-9]+$ ]] \
                         || { say "--owner needs a process id"; return 2; }
                     owner="$2"; shift 2 ;;
            *) say "unknown option $1"; return 2 ;;
        esac
    done
    if [ -n "$(missing_packages)" ] || ! "${python[@]}" -c 'import swift' 2>/dev/null; then
        say "the object storage packages are missing: run $0 install"
        return 3
    fi
    mkdir -p "$dir"
    dir="$(cd "$dir" && pwd)"
    if [ -n "$(ls -A "$dir")" ]; then
        say "$dir is not empty; a store starts in a new or empty directory"
        return 1
    fi
    for attempt in 1 2 3; do
        "${python[@]}" "$store_py" setup "$dir"
        launch "$dir" "$owner"
        pids=()
        for name in "${servers[@]}"; do pids+=("$(cat "$dir/run/$name-server.pid")"); done
        status=0
        "${python[@]}" "$store_py" probe "$dir" "${pids[@]}" || status=$?
        if [ $status -eq 0 ]; then
            cat "$dir/s3.env"
            return 0
        fi
        stop "$dir"
        # Another process took a port between the choice and the bind.
        [ $status -eq 75 ] || break
        say "a port was taken; retrying on other ports"
        rm -rf "$dir/etc" "$dir/srv" "$dir/run"
    done
    say "the store in $dir did not start; logs in $dir/log"
    return 1
}

usage() {
    echo "usage: $0 install | start DIR [--owner PID] | stop DIR" >&2
    exit 2
}

[ $# -ge 1 ] || usage
case "$1" in
    install) [ $# -eq 1 ] || usage; install_packages ;;
    start) [ $# -ge 2 ] || usage; shift; start "$@" ;;
    stop) [ $# -eq 2 ] || usage; stop "$2" ;;
    *) usage ;;
esac
