#!/usr/bin/env bash
# The Windows side: cross-builds rl_zev.dll, zevctl and the whole test suite with MinGW-w64,
# runs the tests under Wine (headless), checks the DLL's exports, installs the package and
# builds and runs the consumer project against it. Installs what it needs (idempotent).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=$root/build-win

need=()
command -v x86_64-w64-mingw32-g++-posix >/dev/null || need+=(g++-mingw-w64-x86-64)
command -v wine >/dev/null || need+=(wine wine64)
[ -f /usr/src/googletest/CMakeLists.txt ] || need+=(googletest)
[ -f /usr/include/CLI/CLI.hpp ] || need+=(libcli11-dev)
if [ ${#need[@]} -gt 0 ]; then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${need[@]}"
fi

# Wine without a display, its own prefix, no prompts for Mono or Gecko.
mkdir -p "$build"
export WINEPREFIX="$build/wineprefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" WINEARCH=win64
unset DISPLAY
wineboot --init >/dev/null 2>&1 || true
# One persistent wine server for the whole run: parallel test programs otherwise race its
# start-up and shut-down ("recvmsg: Connection reset by peer").
wineserver --kill >/dev/null 2>&1 || true
wineserver --persistent
trap 'wineserver --kill >/dev/null 2>&1 || true' EXIT
# The MinGW runtime DLLs (libstdc++, libgcc, winpthread) for the programs under Wine.
runtime=$(dirname "$(x86_64-w64-mingw32-g++-posix -print-file-name=libstdc++-6.dll)")
pthread=$(dirname "$(x86_64-w64-mingw32-g++-posix -print-file-name=libwinpthread-1.dll)")
export WINEPATH="$(winepath -w "$runtime");$(winepath -w "$pthread")"

# CLI11 is header-only: its headers alone, apart from the build machine's other headers.
mkdir -p "$build/cli11" && cp -r /usr/include/CLI "$build/cli11/"

cmake -S . -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" \
  -DCMAKE_BUILD_TYPE=Release -DRL_ZEV_CLI11_INCLUDE_DIR="$build/cli11"
cmake --build "$build" -j2
ctest --test-dir "$build" --output-on-failure -j2

# What the DLL really exports: the device, the bases, the strategies, generated classes.
exports=$(x86_64-w64-mingw32-objdump -p "$build/rl_zev.dll" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p')
echo "rl_zev.dll exports $(echo "$exports" | grep -c '\] ') symbols"
for symbol in _ZN4CZEVC1EP9CHWAccessP18CUtility_InterfaceP16CIStatusRegister \
              _ZN13CHWDeviceBase12ServiceWriteERKNSt7__cxx1112basic_stringIcSt11char_traitsIcESaIcEEES7_RKNS0_4listIS5_SaIS5_EEERS5_j \
              _ZN13CRegisterBase9UnlockAllEv _ZN11CSignalBase4LockEv _ZN13CZEVUtilities11GetInstanceEv \
              _ZN14CPlainRegisterI29CSequentialRead_ParallelWriteE12SetToDefaultEv \
              _ZN12CRamRegisterI27CParallelRead_ParallelWriteE3SetEPKjjjb \
              _ZN3ZEV20CRegister_AUD_CNTRL0C1EP9CHWAccessP16CIStatusRegister \
              _ZTVN3ZEV10AUD_CNTRL016CSignal_TRIG_SELE; do
  grep -q " $symbol\$" <<< "$exports" || { echo "rl_zev.dll does not export $symbol"; exit 1; }
done

# The installed package, consumed by a host project built for Windows.
cmake --install "$build" --prefix "$build/install" >/dev/null
cmake -S tests/consumer -B "$build/consumer" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" \
  -Drl_zev_DIR="$build/install/lib/cmake/rl_zev"
cmake --build "$build/consumer"
WINEPATH="$WINEPATH;$(winepath -w "$build/install/bin")" wine "$build/consumer/rl_zev_consumer.exe"
