#!/usr/bin/env bash
# A short session with the netpod tool against an emulated module on a loopback
# address: module report, outputs written and read back, a few seconds of polling,
# an I2C scan and transfer, and bytes echoed through the serial tunnel.
#   scripts/demo.sh BUILD_DIR
# Ends by itself, stops the emulator it started (by its process id), and exits 0
# only when every step worked. Nothing is sent beyond loopback; no scan is made.
set -u

build=${1:?usage: scripts/demo.sh BUILD_DIR}
emulator_bin=$build/emulator/netpod-emulator
netpod=$build/tools/netpod/netpod
for program in "$emulator_bin" "$netpod"; do
    [ -x "$program" ] || { echo "demo: $program is missing; build first (make demo)" >&2; exit 1; }
done

work=$(mktemp -d)
emulator_pid=""
cleanup() {
    if [ -n "$emulator_pid" ]; then
        kill -TERM "$emulator_pid" 2>/dev/null
        wait "$emulator_pid" 2>/dev/null
    fi
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# Starts the emulator on a loopback address of its own and waits for its `ready`
# line; another address is tried when one is taken.
start_emulator() {
    local attempt address line
    for attempt in 1 2 3 4 5; do
        address="127.$((RANDOM % 200 + 20)).$((RANDOM % 250 + 1)).$((RANDOM % 250 + 2))"
        rm -f "$work/ready"
        mkfifo "$work/ready"
        "$emulator_bin" --address "$address" --name "demo-module" >"$work/ready" 2>"$work/emulator.err" &
        emulator_pid=$!
        exec 3<"$work/ready"
        line=""
        read -r -t 10 line <&3
        exec 3<&-
        if [[ "$line" == ready* ]]; then
            module=$address
            echo "emulator (pid $emulator_pid): $line"
            return 0
        fi
        wait "$emulator_pid" 2>/dev/null
        emulator_pid=""
    done
    echo "demo: the emulator did not start: $(cat "$work/emulator.err")" >&2
    return 1
}

failures=0
step() {
    echo
    echo "==> $*"
}
check() {  # check DESCRIPTION COMMAND...: runs the check, reports it
    local what=$1
    shift
    if "$@"; then
        echo "    ok: $what"
    else
        echo "    FAILED: $what"
        failures=$((failures + 1))
    fi
}
run() {  # run COMMAND...: shows the command and its output, keeps the output
    echo "\$ netpod ${*:2}"
    "$@" >"$work/out" 2>"$work/err"
    local status=$?
    cat "$work/out"
    grep -v '^netpod: emulated module' "$work/err" >&2
    return $status
}

echo "netpod demo: $(basename "$netpod") $("$netpod" version)"
start_emulator || exit 1

step "Every register of the module, read in one exchange"
check "info ran" run "$netpod" info "$module"
check "the report names the module" grep -q '"demo-module"' "$work/out"

step "Outputs 0 and 9 switched on, then read back (the inputs mirror the outputs on the emulator)"
check "write ran and read back what it wrote" run "$netpod" write "$module" outputs=0,9
check "read ran" run "$netpod" read "$module" outputs inputs
check "outputs 0 and 9 are on" grep -q 'outputs  *0, 9 (0x0201)' "$work/out"

step "The inputs and input voltages, polled every 200 ms for 3 seconds (CSV: ms since start, then values)"
check "watch ran" run "$netpod" watch "$module" inputs input-voltage.0 input-voltage.9 input-voltage.15 \
    --period 200 --count 15 --csv --header
check "15 answers came" test "$(grep -c '^[0-9]' "$work/out")" -eq 15
check "input 9 is on and near 24 V in every answer" \
    awk -F, '/^[0-9]/ { n++; if ($4 < 23 || $4 > 25 || $2 !~ /^0x.2[0-9a-f][0-9a-f]$/) bad = 1 } END { exit (bad || n == 0) }' "$work/out"

step "The devices on the module's I2C bus"
check "i2c scan ran" run "$netpod" i2c "$module" scan
check "the EEPROM at 0x50 answered" grep -q '0x50' "$work/out"

step "I2C: \"demo\" written to the EEPROM (0x50) at word 0, then 4 bytes read back from word 0"
echo "    request bytes: device address << 1 | R/W, then data; a read gives a count, then the word address"
check "the write was acknowledged (status 00)" run "$netpod" i2c "$module" xfer "a0 00 64 65 6d 6f"
check "status 00 in the answer" grep -q 'bytes): 00$' "$work/out"
check "the read ran" run "$netpod" i2c "$module" xfer "a1 04 00" --ask-id 42
check "the EEPROM holds \"demo\"" grep -q 'ask id 42, 5 bytes): 00 64 65 6d 6f' "$work/out"

step "Bytes through the serial tunnel (TCP port 8000; the emulated serial port echoes)"
message="hello through the serial tunnel"
echo "\$ echo \"$message\" | netpod serial $module"
printf '%s\n' "$message" | "$netpod" serial "$module" --linger 500 >"$work/out" 2>"$work/err"
status=$?
cat "$work/out" "$work/err"
check "serial ran" test "$status" -eq 0
check "the bytes came back unchanged" test "$(cat "$work/out")" = "$message"

echo
if [ "$failures" -eq 0 ]; then
    echo "demo: every step worked"
    exit 0
fi
echo "demo: $failures check(s) failed"
exit 1
