#!/usr/bin/env bash
# Instructions executed by one adapter scan ("-i"), counted by valgrind's
# callgrind, so the figure does not depend on the load of the machine:
# "vorbanmill-sim -i" on the built-in demo machine (simulator included) and,
# as root, "vorbanmill -i" on this machine. Each count is followed by the
# share spent writing the type table to the trace. Installs valgrind when it
# is missing.
#   bench/scan_instructions.sh [build-dir]
set -euo pipefail
build=$(cd "${1:-$(dirname "$0")/../build}" && pwd)
[ -x "$build/vorbanmill-sim" ] || { echo "no $build/vorbanmill-sim: build first" >&2; exit 1; }
if ! command -v valgrind >/dev/null 2>&1; then
  if command -v apt-get >/dev/null 2>&1; then
    apt-get update -qq >/dev/null 2>&1 && apt-get install -y -qq valgrind >/dev/null 2>&1
  fi
  command -v valgrind >/dev/null 2>&1 || { echo "valgrind is not available" >&2; exit 2; }
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"  # the scan may look for a type table in the working directory

# Prints "LABEL: N instructions, of which trace dump: M (P%)".
count() {
  local label=$1
  shift
  valgrind --tool=callgrind --callgrind-out-file="$work/out" "$@" >/dev/null 2>"$work/log" || true
  local total
  total=$(sed -n 's/.*Collected : *\([0-9]*\).*/\1/p' "$work/log")
  [ -n "$total" ] || { cat "$work/log" >&2; echo "no instruction count" >&2; exit 1; }
  callgrind_annotate --inclusive=yes "$work/out" 2>/dev/null |
    awk -v label="$label" -v total="$total" '
      /DumpRecord|DumpTypeTable/ { gsub(",", "", $1); if ($1 + 0 > dump) dump = $1 + 0 }
      END { printf "%s: %d instructions, of which trace dump: %d (%.1f%%)\n", label, total, dump, 100 * dump / total }'
}

unset VORBANMILL_SIM_MACHINE  # the built-in demo machine
count "vorbanmill-sim -i (demo machine)" "$build/vorbanmill-sim" -i
if [ "$(id -u)" = 0 ] && [ -x "$build/vorbanmill" ]; then
  count "vorbanmill -i (this machine)" "$build/vorbanmill" -i
fi
