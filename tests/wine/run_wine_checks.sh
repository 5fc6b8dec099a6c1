#!/usr/bin/env bash
# Windows checks on a Linux machine:
#   1. cross-builds the seven build forms with mingw-w64 in one tree (the
#      windows-package preset: zolk_qex.exe and zolk_qex-<chip>.exe) and
#      checks that each one needs no DLL beyond those Windows ships;
#   2. builds the unit tests that need no device for Windows and runs them
#      under wine;
#   3. runs zolk_qex.exe under wine against the simulated board (qex_sim,
#      built natively), reached through a COM port that wine maps to the
#      board's pseudo-terminal: a boot load with a bank write, then a bank
#      dump compared with the written file, in the general form and in one
#      per-chip form; a port that does not exist; a line lost in the middle
#      of a write and a board that falls silent, which must each end the run
#      in bounded time with its message; --list-ports, which must end with
#      the ports wine knows or the message that there is none.
#
# Usage: tests/wine/run_wine_checks.sh [--no-tests] [--no-e2e] [--forms "general chip-30230 ..."]
# Needs: cmake, make, g++ (for qex_sim), g++-mingw-w64-x86-64, wine64 (wine),
# googletest (the sources in /usr/src/googletest).
# Environment: ZOLK_WINEPREFIX to reuse a wine prefix (default: a fresh one
# under /tmp, removed at the end); KEEP_WORK=1 keeps the e2e work directory.
set -uo pipefail

ROOT="$(cd "$(dirname "$0")/../.." && pwd)"
ALL_FORMS="general chip-30110 chip-30140 chip-20230 chip-30230 chip-20360 chip-30360"
FORMS="$ALL_FORMS"
RUN_TESTS=1
RUN_E2E=1
while [ $# -gt 0 ]; do
  case "$1" in
    --no-tests) RUN_TESTS=0 ;;
    --no-e2e) RUN_E2E=0 ;;
    --forms) FORMS="$2"; shift ;;
    -h|--help) sed -n '2,21p' "$0"; exit 0 ;;
    *) echo "unknown argument: $1" >&2; exit 2 ;;
  esac
  shift
done

FAILED=0
SUMMARY=()
pass() { echo "PASS: $*"; SUMMARY+=("PASS: $*"); }
fail() { echo "FAIL: $*"; SUMMARY+=("FAIL: $*"); FAILED=1; }
now() { date +%s.%N; }
took() { awk -v a="$1" -v b="$(now)" 'BEGIN { printf "%.1fs", b - a }'; }

for tool in cmake x86_64-w64-mingw32-g++-posix; do
  command -v "$tool" >/dev/null 2>&1 || { echo "FAIL: $tool not found (apt-get install cmake g++-mingw-w64-x86-64)"; exit 1; }
done

# --- 1. cross-build of the seven forms -------------------------------------
# The executable of a form in the all-forms tree.
form_exe() {
  case "$1" in
    general) echo "$ROOT/build/windows-package/zolk_qex.exe" ;;
    chip-*) echo "$ROOT/build/windows-package/zolk_qex-${1#chip-}.exe" ;;
  esac
}
start=$(now)
log="$ROOT/build/windows-package.log"
mkdir -p "$ROOT/build"
if cmake --preset windows-package >"$log" 2>&1 && cmake --build --preset windows-package >>"$log" 2>&1; then
  echo "cross-build of every form in build/windows-package ($(took "$start"))"
  for form in $FORMS; do
    exe=$(form_exe "$form")
    if [ ! -f "$exe" ]; then
      fail "cross-build windows-$form: $exe was not built"
      continue
    fi
    dlls=$(x86_64-w64-mingw32-objdump -p "$exe" | awk '/DLL Name:/ { print $3 }' | tr 'A-Z' 'a-z' | sort -u | tr '\n' ' ')
    foreign=$(echo "$dlls" | tr ' ' '\n' | grep -v -E '^(kernel32|msvcrt|winmm|user32|advapi32|ntdll|setupapi)\.dll$' | grep -v '^$')
    if [ -n "$foreign" ]; then
      fail "cross-build windows-$form: needs DLLs that Windows does not ship: $foreign"
    else
      pass "cross-build windows-$form: $(basename "$exe"), imports ${dlls}"
    fi
  done
else
  fail "cross-build of the seven forms (log: $log) ($(took "$start"))"
  tail -20 "$log"
fi

if [ $RUN_TESTS -eq 0 ] && [ $RUN_E2E -eq 0 ]; then
  printf '%s\n' "== summary" "${SUMMARY[@]}"
  exit $FAILED
fi

# --- wine prefix --------------------------------------------------------------
WINE=$(command -v wine || command -v wine64 || true)
if [ -z "$WINE" ]; then
  fail "wine not found (apt-get install wine64 wine): the wine runs were not done"
  printf '%s\n' "== summary" "${SUMMARY[@]}"
  exit 1
fi
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
if [ -n "${ZOLK_WINEPREFIX:-}" ]; then
  export WINEPREFIX="$ZOLK_WINEPREFIX"
  OWN_PREFIX=0
else
  export WINEPREFIX="$(mktemp -d /tmp/zolk_wine.XXXXXX)"
  OWN_PREFIX=1
fi
SIM_PID=""
WORK=""
cleanup() {
  [ -n "$SIM_PID" ] && kill "$SIM_PID" 2>/dev/null
  wineserver -k >/dev/null 2>&1
  [ $OWN_PREFIX -eq 1 ] && rm -rf "$WINEPREFIX"
  [ -n "$WORK" ] && [ "${KEEP_WORK:-0}" != 1 ] && rm -rf "$WORK"
}
trap cleanup EXIT
start=$(now)
# wineserver dumps its state to its standard error when it is told to end:
# keep that out of the report.
wineboot -i >/dev/null 2>&1
(setsid wineserver -p 30 >/dev/null 2>&1 &)
echo "wine prefix $WINEPREFIX ready ($(took "$start"))"

# --- 2. unit tests under wine -------------------------------------------------
if [ $RUN_TESTS -eq 1 ]; then
  start=$(now)
  log="$ROOT/build/windows-test.log"
  if cmake --preset windows-test >"$log" 2>&1 && cmake --build --preset windows-test >>"$log" 2>&1; then
    pass "Windows test build ($(took "$start"))"
    grep "Windows tests:" "$log" | sed 's/^-- /   /'
    start=$(now)
    if ctest --preset windows-test 2>&1 | tee -a "$log" | grep -E "Test +#|tests passed|FAILED|Failed"; then :; fi
    if grep -q "100% tests passed" "$log"; then
      pass "unit tests under wine ($(took "$start"))"
    else
      fail "unit tests under wine (log: $log) ($(took "$start"))"
    fi
  else
    fail "Windows test build (log: $log) ($(took "$start"))"
    tail -20 "$log"
  fi
fi

# --- 3. zolk_qex.exe against qex_sim under wine -------------------------------
if [ $RUN_E2E -eq 1 ]; then
  start=$(now)
  SIM_BUILD="$ROOT/build/wine-sim"
  if cmake -S "$ROOT" -B "$SIM_BUILD" -DCMAKE_BUILD_TYPE=Release -DZOLK_BUILD_TESTS=OFF >"$SIM_BUILD.log" 2>&1 &&
     cmake --build "$SIM_BUILD" --target qex_sim -j2 >>"$SIM_BUILD.log" 2>&1; then
    pass "native qex_sim build ($(took "$start"))"
  else
    fail "native qex_sim build (log: $SIM_BUILD.log)"
    RUN_E2E=0
  fi
fi

PORT=40
COM_LINK="$WINEPREFIX/dosdevices/com$PORT"

# Starts the board fresh from reset (or as the further options say), with
# its COM port linked in wine.
start_sim() {
  local simform="$1"
  shift
  rm -rf "$WORK/storage" && mkdir -p "$WORK/storage"
  rm -f "$COM_LINK"
  "$SIM_BUILD/qex_sim" --form "$simform" --chip 30230 --ecc --expand-flash "$@" \
    --link "$COM_LINK" --storage-dir "$WORK/storage" >"$WORK/sim.out" 2>"$WORK/sim.err" &
  SIM_PID=$!
  for _ in $(seq 50); do
    [ -L "$COM_LINK" ] && [ -s "$WORK/sim.out" ] && return 0
    sleep 0.1
  done
  return 1
}

stop_sim() {
  [ -n "$SIM_PID" ] && kill "$SIM_PID" 2>/dev/null && wait "$SIM_PID" 2>/dev/null
  SIM_PID=""
}

# Runs one form of zolk_qex.exe; its output goes to $WORK/<name>.out.
run_exe() {
  local exe="$1" name="$2"
  shift 2
  (cd "$WORK/files" && timeout 300 "$WINE" "$exe" "$@" >"$WORK/$name.out" 2>&1)
}

e2e_form() {
  local form="$1" simform="$2"
  local exe
  exe=$(form_exe "$form")
  if [ ! -f "$exe" ]; then
    fail "e2e $form: $exe was not built"
    return
  fi
  local t=$(now)
  if ! start_sim "$simform"; then
    fail "e2e $form: qex_sim did not start ($(cat "$WORK/sim.err"))"
    stop_sim
    return
  fi
  echo "   qex_sim on $(head -1 "$WORK/sim.out"), wine COM$PORT -> $(readlink "$COM_LINK")"
  run_exe "$exe" "$form-write" --port "$PORT" --zolk zolk.rom --hsm hsm.bin -w data.bin --bank 0
  local rc=$?
  local out="$WORK/$form-write.out"
  if [ $rc -eq 0 ] && grep -q "Complete to load ZOLK F/W" "$out" &&
     grep -q "Complete to send file - data.bin" "$out" && grep -q "Complete ZOLK" "$out"; then
    pass "e2e $form: boot load and bank 0 write through COM$PORT ($(took "$t"))"
  else
    fail "e2e $form: boot load and bank 0 write (exit $rc, output $out)"
    tr '\r' '\n' <"$out" | grep -v '%' | tail -15
  fi
  t=$(now)
  rm -f "$WORK/files/dump.bin"
  run_exe "$exe" "$form-dump" --port "$PORT" -r dump.bin --bank 0
  rc=$?
  out="$WORK/$form-dump.out"
  local size
  size=$(stat -c %s "$WORK/files/data.bin")
  if [ $rc -eq 0 ] && grep -q "Complete ZOLK" "$out" && ! grep -q "Complete to load ZOLK F/W" "$out" &&
     cmp -s -n "$size" "$WORK/files/dump.bin" "$WORK/files/data.bin"; then
    pass "e2e $form: firmware found running, bank 0 dump of $(stat -c %s "$WORK/files/dump.bin") bytes holds the written file ($(took "$t"))"
  else
    fail "e2e $form: bank 0 dump (exit $rc, output $out)"
    tr '\r' '\n' <"$out" | grep -v '%' | tail -15
  fi
  stop_sim
}

if [ $RUN_E2E -eq 1 ]; then
  WORK="$(mktemp -d /tmp/zolk_wine_e2e.XXXXXX)"
  mkdir -p "$WORK/files"
  head -c $((0x12000)) /dev/urandom >"$WORK/files/hsm.bin"  # the HSM image lies at 0x2000
  head -c 16384 /dev/urandom >"$WORK/files/zolk.rom"
  head -c 100000 /dev/urandom >"$WORK/files/data.bin"

  e2e_form general general
  e2e_form chip-30230 per-chip

  t=$(now)
  rm -f "$WINEPREFIX/dosdevices/com41"
  run_exe "$(form_exe general)" "no-port" --port 41
  rc=$?
  if [ $rc -eq 255 ] && grep -q 'Failed open port(\\\\.\\COM41)' "$WORK/no-port.out"; then
    pass "e2e general: a COM port that does not exist ends the run with -1 ($(took "$t"))"
  else
    fail "e2e general: missing COM port (exit $rc, output $WORK/no-port.out)"
    cat "$WORK/no-port.out"
  fi

  # wine may list the COM ports of its prefix through SetupAPI, or none.
  t=$(now)
  run_exe "$(form_exe general)" "list-ports" --list-ports
  rc=$?
  listed=$(tr -d '\r' <"$WORK/list-ports.out" | grep -c '^COM[0-9]')
  if { [ $rc -eq 0 ] && [ "$listed" -gt 0 ]; } || { [ $rc -eq 1 ] && grep -q 'No serial port found' "$WORK/list-ports.out"; }; then
    pass "e2e general: --list-ports ends with $rc, $listed COM ports listed ($(took "$t"))"
  else
    fail "e2e general: --list-ports (exit $rc, output $WORK/list-ports.out)"
    cat "$WORK/list-ports.out"
  fi
fi

# A board that fails as the run goes on: the run must end, non-zero, with
# the message of that failure, well before the time limit.
#   e2e_fault NAME SECONDS EXIT MESSAGE -- QEX_SIM_OPTIONS -- ZOLK_QEX_OPTIONS
e2e_fault() {
  local name="$1" limit="$2" want="$3" message="$4"
  shift 5
  local simargs=()
  while [ "$1" != "--" ]; do simargs+=("$1"); shift; done
  shift
  local t=$(now)
  if ! start_sim general --firmware-running "${simargs[@]}"; then
    fail "e2e general: $name: qex_sim did not start ($(cat "$WORK/sim.err"))"
    stop_sim
    return
  fi
  local begin=$(date +%s)
  (cd "$WORK/files" && timeout 120 "$WINE" "$(form_exe general)" --port "$PORT" "$@" \
    >"$WORK/$name.out" 2>&1)
  local rc=$?
  local took_s=$(( $(date +%s) - begin ))
  stop_sim
  if [ $rc -eq "$want" ] && [ $took_s -le "$limit" ] && grep -q -- "$message" "$WORK/$name.out"; then
    pass "e2e general: $name ends with exit $rc in ${took_s}s: $message ($(took "$t"))"
  else
    fail "e2e general: $name (exit $rc after ${took_s}s, wanted $want within ${limit}s and \"$message\", output $WORK/$name.out)"
    tr '\r' '\n' <"$WORK/$name.out" | grep -v '%' | tail -15
  fi
}

if [ $RUN_E2E -eq 1 ]; then
  e2e_fault lost-line 30 1 "Serial line is gone" -- --hangup-after 200 -- -w data.bin --storage snor
  e2e_fault silent-board 30 1 "No storage information for 10 s - the board stopped answering" \
    -- --silent-after-ack FW_PING --
fi

echo "== summary"
printf '%s\n' "${SUMMARY[@]}"
exit $FAILED
