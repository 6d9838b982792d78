# Sourced by the installation test (install_tree.sh) and the packages'
# autopkgtest (debian/tests/flash-transfer): installed_transfer BIN WORK
# flashes the simulator in BIN with the flasher in BIN, on loopback, and fails
# unless the simulator verified the exact image. Needs fail() and objcopy, and
# sets devsim_pid while the simulator runs (the caller's exit trap ends it).
installed_transfer() {
  local bin=$1 work=$2 port status
  head -c 3000 "$bin/corvanel-flash" >"$work/firmware.bin"
  objcopy -I binary -O ihex "$work/firmware.bin" "$work/firmware.hex"
  "$bin/corvanel-devsim" --address 127.0.0.1 --port 0 --idle-timeout 30 >"$work/devsim.out" 2>&1 &
  devsim_pid=$!
  for _ in $(seq 100); do
    grep -q '^listening' "$work/devsim.out" && break
    sleep 0.1
  done
  port=$(sed -n 's/^listening 127\.0\.0\.1:\([0-9]*\)$/\1/p' "$work/devsim.out")
  [ -n "$port" ] || fail "the simulator did not listen: $(cat "$work/devsim.out")"
  timeout 60 "$bin/corvanel-flash" --quiet --install --inquiry-timeout 10 \
    "$work/firmware.hex" "127.0.0.1:$port" >"$work/flash.out" 2>&1 ||
    fail "the installed corvanel-flash failed ($?): $(cat "$work/flash.out")"
  status=0
  wait "$devsim_pid" || status=$?
  devsim_pid=
  [ "$status" -eq 0 ] || fail "the simulator exited $status: $(cat "$work/devsim.out")"
  grep -q 'verify=passed' "$work/devsim.out" || fail "no verified image: $(cat "$work/devsim.out")"
}
