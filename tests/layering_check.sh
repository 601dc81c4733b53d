#!/usr/bin/env bash
# Checks the layering rules: only platform/ and sim/ touch the operating
# system's hardware interfaces, commands/ never includes ui/, crypto/ stands
# alone.
set -u
cd "$(dirname "$0")/.."
fail=0
hits=$(grep -nE '(\bclock[[:space:]]*\(|\busleep[[:space:]]*\(|\biopl[[:space:]]*\(|\binl[[:space:]]*\(|/dev/mem|/sys/bus/pci|\breboot[[:space:]]*\(|\bgeteuid[[:space:]]*\(|(^|[^A-Za-z_.:>])sync[[:space:]]*\(\))' \
    engine/* protocols/* commands/* crypto/* ui/* app/* 2>/dev/null | grep -vE '^[^:]+:[0-9]+:[[:space:]]*//')
if [ -n "$hits" ]; then
  echo "OS hardware interfaces used above the seam:"; echo "$hits"; fail=1
fi
hits=$(grep -nE '#include[[:space:]]+"ui/' commands/* engine/* protocols/* platform/* crypto/* 2>/dev/null)
if [ -n "$hits" ]; then echo "lower layers include ui/:"; echo "$hits"; fail=1; fi
hits=$(grep -nE '#include[[:space:]]+"' crypto/* 2>/dev/null | grep -v '"crypto/')
if [ -n "$hits" ]; then echo "crypto/ depends on other layers:"; echo "$hits"; fail=1; fi
hits=$(grep -nE '#include[[:space:]]+"sim/' platform/* engine/* protocols/* commands/* crypto/* ui/* app/main_linux.cpp 2>/dev/null)
if [ -n "$hits" ]; then echo "the program includes the simulator:"; echo "$hits"; fail=1; fi
[ $fail = 0 ] && echo "layering ok"
exit $fail
