#!/usr/bin/env bash
# Brings a simulated board up from reset and does the main job on it: loads
# the HSM image and the ZOLK firmware through the boot ROM, writes an image
# into bank 0 (eflash part and snor part), dumps the bank back and compares.
#
#   tools/board_demo.sh            # general form, 57600 / 460800 baud
#   DEMO_LINE_RATE=1 tools/board_demo.sh   # at the real speed of the line (slow)
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
work=${DEMO_DIR:-$root/build/demo}
. "$root/tools/ensure_packages.sh"
ensure_packages cmake make g++

echo "== building (cmake --workflow --preset general)"
(cd "$root" && cmake --workflow --preset general >/dev/null)
bin=$root/build/general

rm -rf "$work"
mkdir -p "$work/board"
cd "$work"

# Sample images made here: an HSM source holding the 64 KiB HSM image at
# 0x2000, a ZOLK firmware image, and a 3 MiB storage image (bank 0 of a
# 30230 with expand flash and ECC: 2 MiB eflash + 1 MiB snor).
head -c $((0x2000 + 0x10000)) /dev/urandom > hsm.bin
head -c $((48 * 1024)) /dev/urandom > zolk.rom
head -c $((3 * 1024 * 1024)) /dev/urandom > image.bin

sim_args=(--chip 0x30230 --expand-flash --ecc --storage-dir board --once)
[ -n "${DEMO_LINE_RATE:-}" ] && sim_args+=(--line-rate)
"$bin/qex_sim" "${sim_args[@]}" > sim.out 2> sim.err &
sim_pid=$!
trap 'kill $sim_pid 2>/dev/null || true' EXIT
for _ in $(seq 100); do
  [ -s sim.out ] && break
  sleep 0.05
done
port=$(head -n 1 sim.out)
echo "== simulated board on $port (storage in $work/board)"

set +e
"$bin/zolk_qex" --port "$port" --zolk zolk.rom --hsm hsm.bin -w image.bin -r dump.bin --bank 0 --speed
status=$?
set -e
echo "== zolk_qex exit status: $status"
[ "$status" -eq 0 ] || exit "$status"

if cmp -s image.bin dump.bin; then
  echo "== dump.bin equals image.bin ($(stat -c %s dump.bin) bytes)"
else
  echo "== dump.bin differs from image.bin" >&2
  exit 1
fi
if cmp -s -n $((2 * 1024 * 1024)) image.bin board/eflash.bin &&
   cmp -s -i $((2 * 1024 * 1024)):0 -n $((1024 * 1024)) image.bin board/snor.bin; then
  echo "== the board's eflash and snor hold the image"
else
  echo "== the board's storage differs from the image" >&2
  exit 1
fi
