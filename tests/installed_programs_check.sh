#!/usr/bin/env bash
# Installs the programs into a temporary prefix and checks what a user gets:
# both programs, without debug information, working; and, when a limit is
# given, the plain program small enough that a package built from it holds
# a 1 MiB image. Further programs named (the build's own) are held to the
# same two rules.
# Usage: installed_programs_check.sh CMAKE BUILD_DIR LIMIT_BYTES|0 [PROGRAM...]
set -u
cmake=$1 build=$2 limit=$3
shift 3
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
fail=0

check() {
  local program=$1 size
  if readelf -S "$program" | grep -q '\.debug_'; then
    echo "$program carries debug information"; fail=1
  fi
  size=$(stat -c %s "$program")
  if [ "$limit" -gt 0 ] && [ "$size" -gt "$limit" ]; then
    echo "$program has $size bytes, more than $limit"; fail=1
  fi
}

if ! "$cmake" --install "$build" --prefix "$prefix" >/dev/null; then
  echo "install failed"; exit 1
fi
for name in vorbanmill vorbanmill-sim; do
  if [ ! -x "$prefix/bin/$name" ]; then echo "$name not installed"; fail=1; fi
done
[ $fail = 0 ] || exit 1
check "$prefix/bin/vorbanmill"
limit=0 check "$prefix/bin/vorbanmill-sim"
for program in "$@"; do check "$program"; done
if ! (cd "$prefix" && env -u VORBANMILL_SIM_MACHINE bin/vorbanmill-sim -i >/dev/null); then
  echo "the installed vorbanmill-sim fails on the demo machine"; fail=1
fi
[ $fail = 0 ] && echo "installed programs ok"
exit $fail
