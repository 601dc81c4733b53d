#!/bin/sh
# Times the adapter scan ("vorbanmill -i") beside "lspci -n" on this machine,
# whole processes, in one run. Usage: bench/scan_vs_lspci.sh [VORBANMILL] [RUNS]
# Needs root (the program refuses to start otherwise); installs pciutils
# when lspci is missing.
set -eu

prog=${1:-build/vorbanmill}
runs=${2:-30}

if [ ! -x "$prog" ]; then
    echo "no program at $prog (build it first)" >&2
    exit 2
fi
if ! command -v lspci >/dev/null 2>&1; then
    if command -v apt-get >/dev/null 2>&1; then
        apt-get update -qq >/dev/null 2>&1 && apt-get install -y -qq pciutils >/dev/null 2>&1
    fi
    command -v lspci >/dev/null 2>&1 || { echo "lspci is not available" >&2; exit 2; }
fi

prog=$(cd "$(dirname "$prog")" && pwd)/$(basename "$prog")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"   # the scan may look for a type table in the working directory

# Median wall time of RUNS runs of the command, in microseconds.
median_us() {
    i=0
    : >times
    while [ "$i" -lt "$runs" ]; do
        start=$(date +%s%N)
        "$@" >/dev/null 2>&1 || true
        end=$(date +%s%N)
        echo $(((end - start) / 1000)) >>times
        i=$((i + 1))
    done
    sort -n times | awk '{ t[NR] = $1 } END { print t[int((NR + 1) / 2)] }'
}

# One run of each first, so neither pays for a cold cache.
"$prog" -i >/dev/null 2>&1 || true
lspci -n >/dev/null 2>&1 || true

scan=$(median_us "$prog" -i)
lspci_us=$(median_us lspci -n)
echo "PCI functions listed: $(ls /sys/bus/pci/devices | wc -l)"
echo "vorbanmill -i: ${scan} us (median of $runs)"
echo "lspci -n:      ${lspci_us} us (median of $runs)"
awk -v a="$scan" -v b="$lspci_us" 'BEGIN { printf "ratio:         %.2f (goal: at most 2.00)\n", a / b }'
