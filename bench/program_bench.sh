#!/usr/bin/env bash
# CPU time of "-p" with a 1 MiB image on a simulated board with a 1 MiB SPI
# flash (W25Q80 behind the first-generation ROM controller): checks, chip
# erase, page programs of every byte and the read-back, simulator included.
# A real part needs about 3 s for this; the tool must stay far below.
#   bench/program_bench.sh [build-dir] [runs]
set -euo pipefail
build=$(cd "${1:-$(dirname "$0")/../build}" && pwd)
runs=${2:-5}
sim="$build/vorbanmill-sim"
[ -x "$sim" ] || { echo "no $sim: build first" >&2; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"

# A valid video BIOS from the demo machine's first board, then 1 MiB of
# bytes that are never 0xFF, so every page is programmed and compared.
env -u VORBANMILL_SIM_MACHINE "$sim" -s 0 head.rom >/dev/null
set +o pipefail  # head closes the pipe early on purpose
{ cat head.rom; seq 1 200000 | tr '\n' ' '; } | head -c 1048576 > image.rom
set -o pipefail
echo "spiboard 0000:01:00.0 orpane part=W25Q80 file=flash.rom" > machine.txt
export VORBANMILL_SIM_MACHINE="$work/machine.txt"

TIMEFORMAT='%U %S'
best=""
for ((i = 1; i <= runs; i++)); do
  rm -f flash.rom  # erased part at every run
  t=$( { time "$sim" -p 0 image.rom > out.txt; } 2>&1 )
  grep -q '^100000/100000h bytes verified$' out.txt || { cat out.txt; echo "programming failed" >&2; exit 1; }
  cpu=$(awk -v u="${t% *}" -v s="${t#* }" 'BEGIN { printf "%.3f", u + s }')
  echo "run $i: ${cpu} s CPU (user ${t% *} s, system ${t#* } s)"
  if [ -z "$best" ] || awk -v a="$cpu" -v b="$best" 'BEGIN { exit !(a < b) }'; then best=$cpu; fi
done
cmp -s image.rom flash.rom || { echo "flash differs from the image" >&2; exit 1; }
echo "-p of 1 MiB on a simulated 1 MiB SPI part: best ${best} s CPU of ${runs} runs (goal < 0.3 s)"
