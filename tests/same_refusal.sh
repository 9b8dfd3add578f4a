#!/bin/sh
# Passes when devsim and the device image's loader both refuse MODULE with
# one line, the same after each program's name, matching PATTERN (grep -E):
# a module file gets the same answer from either.
#   same_refusal.sh PATTERN WORK EMULATOR CONFINE DEVSIM IMAGE MODULE
# EMULATOR is the words that run the device build's CONFINE and DEVSIM.
set -u
pattern=$1 work=$2 emulator=$3 confine=$4 devsim=$5 image=$6 module=$7
rm -rf "$work"
refusal() {  # PROGRAM COMMAND...: its one line of refusal, without "PROGRAM: "
  program=$1
  shift
  err=$("$@" 2>&1 >/dev/null) && { echo "same_refusal.sh: $program took $module" >&2; exit 1; }
  [ "$(printf '%s\n' "$err" | wc -l)" -eq 1 ] || { printf 'same_refusal.sh: %s said:\n%s\n' "$program" "$err" >&2; exit 1; }
  printf '%s\n' "${err#"$program: "}"
}
# shellcheck disable=SC2086  # EMULATOR is words
loader=$(refusal tapload $emulator "$confine" --reach "$image" -- "$image/run" "$module" /run/steadyflow/disk)
devsim=$(refusal devsim $emulator "$devsim" run "$module" --sandbox "$work/devsim")
if [ "$loader" != "$devsim" ]; then
  printf 'same_refusal.sh: the image said\n  %s\ndevsim said\n  %s\n' "$loader" "$devsim" >&2
  exit 1
fi
printf '%s\n' "$devsim" | grep -Eq -- "$pattern" || { echo "same_refusal.sh: \"$devsim\" is not \"$pattern\"" >&2; exit 1; }
echo "both refused: $devsim"
