#!/usr/bin/env bash
# Quick start: installs what is missing, builds, and opens the window on a
# demo. The demo is a folder demo/ (BOOTLOADER.ini holding 127.0.0.1 and a HEX
# image made from the build) and the bootloader simulator corvanel-devsim on
# 127.0.0.1, UDP port 111, the port the window talks to. In the window: press
# "Connect", then "Open File and  Download" and pick demo/firmware.hex; the bar
# turns green and reads "END"; "Install" ends the transfer, and the simulator
# prints what it received here in the terminal. Closing the window stops the
# simulator. It also builds the command-line flasher and prints a command line
# that tries it against a simulator of its own, without running it.
#
#   ./run.sh              install, build, open the demo
#   ./run.sh --no-window  install, build and make demo/, nothing more
#
# Port 111 is a privileged port, and on many systems rpcbind holds it. When it
# cannot be bound and unprivileged user namespaces are available, the demo
# runs in a private network namespace of its own (its own loopback, where port
# 111 is free); otherwise this script says how to proceed.
set -euo pipefail
cd "$(dirname "$0")"
root=$(pwd)
build=build/release # the "release" preset of CMakePresets.json
port=111
try_port=11111 # the flasher's try-out, printed for the user
devsim="$root/$build/tools/devsim/corvanel-devsim"
app="$root/$build/src/app/corvanel"

say() { printf 'run.sh: %s\n' "$*" >&2; }

build_and_prepare() {
    local extra=()
    # Without an X server, Qt needs its Wayland plugin.
    if [ -n "${WAYLAND_DISPLAY:-}" ] && [ -z "${DISPLAY:-}" ]; then
        extra+=(qt6-wayland)
    fi
    ./scripts/install-deps.sh "${extra[@]}"

    cmake --preset release >/dev/null
    cmake --build --preset release --target corvanel corvanel-flash corvanel-devsim

    # The demo folder: the address list and an image of a few hundred lines,
    # the first 4 KiB of the built program as firmware at 0x08000000. The list
    # is written anew on every run so that the demo always aims at loopback.
    mkdir -p demo
    printf '127.0.0.1\r\n' >demo/BOOTLOADER.ini
    head -c 4096 "$app" >demo/firmware.bin
    objcopy -I binary -O ihex --change-addresses 0x08000000 demo/firmware.bin demo/firmware.hex
    rm -f demo/firmware.bin
    say "demo image: demo/firmware.hex, $(wc -l <demo/firmware.hex) lines"
    # On an unprivileged port, away from the window's demo; the simulator
    # ends after "Install" (or after a minute alone).
    say "to try the flasher, run (from $root):"
    printf '  %s --port %s --idle-timeout 60 & %s --install demo/firmware.hex 127.0.0.1:%s\n' \
        "$build/tools/devsim/corvanel-devsim" "$try_port" "$build/src/flash/corvanel-flash" \
        "$try_port" >&2
}

have_display() {
    [ -n "${DISPLAY:-}" ] || [ -n "${WAYLAND_DISPLAY:-}" ]
}

# Starts the simulator and keeps it serving: it ends after each "Install",
# and is started again for the next download. Returns once it listens, or
# fails (status 2) when it cannot bind the port.
start_simulator() {
    log=$(mktemp "${TMPDIR:-/tmp}/corvanel-devsim.XXXXXX")
    (
        child=
        trap '[ -n "$child" ] && kill "$child" 2>/dev/null; exit 0' TERM INT
        while :; do
            "$devsim" --address 127.0.0.1 --port "$port" >>"$log" 2>&1 &
            child=$!
            code=0
            wait "$child" || code=$?
            child=
            [ "$code" -eq 2 ] && exit 2 # cannot bind: nothing to restart
            [ "$code" -ge 128 ] && exit 0
            echo "corvanel-devsim: ready for the next download" >>"$log"
        done
    ) &
    supervisor=$!
    for _ in $(seq 100); do
        grep -q '^listening' "$log" && break
        kill -0 "$supervisor" 2>/dev/null || break
        sleep 0.05
    done
    if ! grep -q '^listening' "$log"; then
        wait "$supervisor" 2>/dev/null || true
        sed 's/^/  /' "$log" >&2
        rm -f "$log"
        return 2
    fi
    tail -n +1 -f --pid="$supervisor" "$log" &
    tailer=$!
}

stop_simulator() {
    [ -n "${supervisor:-}" ] && kill "$supervisor" 2>/dev/null && wait "$supervisor" 2>/dev/null
    [ -n "${tailer:-}" ] && kill "$tailer" 2>/dev/null && wait "$tailer" 2>/dev/null
    [ -n "${log:-}" ] && rm -f "$log"
    supervisor= tailer= log=
}

run_demo() {
    trap stop_simulator EXIT
    say "window: $app (current directory: demo/)"
    (cd demo && "$app") || say "the window ended with status $?"
    stop_simulator
}

explain_port() {
    cat >&2 <<EOF
run.sh: UDP port $port on 127.0.0.1 cannot be bound, and the window always
talks to port $port (its remote port box starts at "111" and is not on screen).
To run the demo:
  - as root: sudo ./run.sh
  - or let programs bind ports from 111 up (until the next reboot):
      sudo sysctl net.ipv4.ip_unprivileged_port_start=111
  - if another program holds the port (see: sudo ss -ulpn 'sport = :111'),
    often rpcbind, stop it for the demo:
      sudo systemctl stop rpcbind.socket rpcbind.service
EOF
}

# Inside a private network namespace (see below): bring its loopback up, run.
if [ "${1:-}" = "--in-namespace" ]; then
    ip link set lo up
    start_simulator || { explain_port; exit 1; }
    run_demo
    exit 0
fi

build_and_prepare
[ "${1:-}" = "--no-window" ] && exit 0

if ! have_display; then
    say "no display: neither DISPLAY nor WAYLAND_DISPLAY is set. Run ./run.sh in a"
    say "desktop session (or with ssh -X); scripts/screenshot.sh shows the window"
    say "on a virtual display and saves docs/screenshot.png."
    exit 1
fi

if start_simulator; then
    run_demo
    exit 0
fi

say "the simulator cannot bind UDP port $port on 127.0.0.1 (its message is above)."
if [ "$(id -u)" -ne 0 ] && command -v unshare >/dev/null && command -v ip >/dev/null &&
    unshare --user --map-root-user --net true 2>/dev/null; then
    say "running the demo in a private network namespace instead, where port $port is free"
    exec unshare --user --map-root-user --net -- "$0" --in-namespace
fi
explain_port
exit 1
