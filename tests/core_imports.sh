#!/bin/sh
# Lists what the device image's firmware library (NM's view of LIB) imports
# and fails on any name of the C++ runtime: mangled names, the ABI support
# (__cxa_*, __gxx_*) and the unwinder (_Unwind_*).
nm=$1 lib=$2
imports=$("$nm" -u "$lib") || exit 1
printf '%s\n' "$imports"
[ -n "$imports" ] || { echo "no imports read from $lib"; exit 1; }
if printf '%s\n' "$imports" | grep -E ' (_Z|__cxa_|__gxx_|_Unwind_)'; then
  echo "the firmware core needs the C++ runtime"
  exit 1
fi
