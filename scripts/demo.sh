#!/usr/bin/env bash
# The demo: installs what is missing, builds the broker, the sample provider, the sample caller
# and kovctl for Linux and for Windows, registers the sample provider in a registry inside the
# build tree, lists the providers, calls the sample provider and shows the usage counters.
# Linux keeps its registry in build/linux/demo-registry.db; Windows runs under Wine in the build's
# own prefix, build/windows/wineprefix. Safe to re-run: each run starts from a fresh registration.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
key="KOV Sample"

bash scripts/install-deps.sh

targets=(KOV_BR kov_sample_provider kov_sample_caller)
have_kovctl=0
if [ -f tools/kovctl/CMakeLists.txt ]; then
  targets+=(kovctl)
  have_kovctl=1
fi

section() { printf '\n== %s ==\n' "$*"; }
show() { printf '$ %s\n' "$*"; }

# Runs the demo for one target. $1: bin folder, $2: the provider library as the registry names it,
# $3: "keep" to leave it registered afterwards, then the command that runs a program of that target
# (empty on Linux).
demo() {
  local bin=$1 provider=$2 keep=$3
  shift 3
  local run=("$@")
  local kovctl=("${run[@]}" "$bin/kovctl")
  [ -f "$bin/kovctl.exe" ] && kovctl=("${run[@]}" "$bin/kovctl.exe")
  local caller=("${run[@]}" "$bin/kov_sample_caller")
  [ -f "$bin/kov_sample_caller.exe" ] && caller=("${run[@]}" "$bin/kov_sample_caller.exe")

  if [ "$have_kovctl" = 1 ]; then
    section "register the sample provider"
    # A registration left by an earlier run would make register fail: take it away first.
    "${kovctl[@]}" remove "$key" "$provider" >/dev/null 2>&1 || true
    show kovctl register "\"$key\"" "$provider"
    "${kovctl[@]}" register "$key" "$provider"

    section "providers"
    show kovctl list
    "${kovctl[@]}" list
  fi

  section "the sample caller: echo and clock, synchronous and asynchronous"
  # Without kovctl the sample caller registers the provider itself (and keeps it registered).
  if [ "$have_kovctl" = 1 ]; then
    show kov_sample_caller
    "${caller[@]}"
  else
    local options=(--register "$provider")
    [ "$keep" = keep ] || options+=(--remove-after)
    show kov_sample_caller "${options[@]}"
    "${caller[@]}" "${options[@]}"
  fi

  if [ "$have_kovctl" = 1 ]; then
    # Handles are given out afresh in every process, in load order: with the same registry, the
    # next kovctl process gives the sample provider the handle this one reports.
    local handle
    handle=$("${kovctl[@]}" list --json | tr -d '\r' |
             grep -o '"set":23040,"version":"1.0","handle":[0-9]*' | grep -o '[0-9]*$' | head -n1)
    section "kovctl calls the clock (set 0x5A00, code 1) of provider $handle"
    show kovctl send --provider "$handle" --set 0x5A00 --version 1.0 --code 1 --sync
    "${kovctl[@]}" send --provider "$handle" --set 0x5A00 --version 1.0 --code 1 --sync
    section "kovctl echoes \"hi broker\""
    show kovctl send --provider "$handle" --set 0x5A00 --version 1.0 --code 0 --hex "\"68 69 20 62 72 6f 6b 65 72\""
    "${kovctl[@]}" send --provider "$handle" --set 0x5A00 --version 1.0 --code 0 \
      --hex "68 69 20 62 72 6f 6b 65 72"

    section "usage counters (of the kovctl process that asks)"
    show kovctl stats
    "${kovctl[@]}" stats

    if [ "$keep" != keep ]; then
      section "remove the sample provider again"
      show kovctl remove "\"$key\"" "$provider"
      "${kovctl[@]}" remove "$key" "$provider"
    fi
  fi
}

printf '\n######## Linux (32-bit, build/linux) ########\n'
cmake --preset linux >/dev/null
cmake --build --preset linux -j 2 --target "${targets[@]}"
export KOV_BROKER_REGISTRY="$root/build/linux/demo-registry.db"
rm -f "$KOV_BROKER_REGISTRY"
# Kept registered, so kovctl can be tried on it afterwards with the same KOV_BROKER_REGISTRY.
demo "$root/build/linux/bin" "$root/build/linux/bin/kov_sample_provider.so" keep
unset KOV_BROKER_REGISTRY

printf '\n######## Windows (KOV_BR.dll under Wine, build/windows) ########\n'
cmake --preset windows >/dev/null
cmake --build --preset windows -j 2 --target "${targets[@]}"
export KOV_WINEPREFIX="$root/build/windows/wineprefix"
# The registry holds a Windows path; Wine maps Z: to the Linux root.
windows_path="Z:$(printf '%s' "$root/build/windows/bin/kov_sample_provider.dll" | tr / '\\')"
# Removed at the end: the Windows tests use this prefix's registry and expect no extra provider.
demo "$root/build/windows/bin" "$windows_path" remove "$root/cmake/wine-run.sh"
WINEPREFIX="$KOV_WINEPREFIX" wineserver -k 2>/dev/null || true

printf '\nDone. Try more: KOV_BROKER_REGISTRY=build/linux/demo-registry.db build/linux/bin/kovctl --help\n'
printf 'Full test run: bash scripts/test.sh\n'
