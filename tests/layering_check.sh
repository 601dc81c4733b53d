#!/usr/bin/env bash
# Checks the layering rules: only platform/ and sim/ touch the operating
# system's hardware interfaces, each layer includes only itself and the
# layers below it (ui/ -> commands/ -> engine/ -> protocols/ -> platform/),
# crypto/ stands alone.
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
# Layers above each one; none of them may be included from it.
above_platform='engine|protocols|commands|ui|crypto'
above_protocols='engine|commands|ui|crypto'
above_engine='commands|ui'
for layer in platform protocols engine; do
  eval "above=\$above_$layer"
  hits=$(grep -nE "#include[[:space:]]+\"($above)/" $layer/* 2>/dev/null)
  if [ -n "$hits" ]; then echo "$layer/ includes a layer above it:"; echo "$hits"; fail=1; fi
done
# The libraries link the same way down: no cycle between them.
hits=$(grep -nE 'target_link_libraries\((vm_platform|vm_protocols)[[:space:]].*vm_(engine|commands|ui)|target_link_libraries\(vm_engine[[:space:]].*vm_(commands|ui)' CMakeLists.txt)
if [ -n "$hits" ]; then echo "a library links a layer above it:"; echo "$hits"; fail=1; fi
hits=$(grep -nE '#include[[:space:]]+"' crypto/* 2>/dev/null | grep -v '"crypto/')
if [ -n "$hits" ]; then echo "crypto/ depends on other layers:"; echo "$hits"; fail=1; fi
hits=$(grep -nE '#include[[:space:]]+"sim/' platform/* engine/* protocols/* commands/* crypto/* ui/* app/main_linux.cpp 2>/dev/null)
if [ -n "$hits" ]; then echo "the program includes the simulator:"; echo "$hits"; fail=1; fi
[ $fail = 0 ] && echo "layering ok"
exit $fail
