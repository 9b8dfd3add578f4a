#!/bin/sh
# Runs one start-up scenario twice with a device module, through devsim
# --trace: in the device image (the device's C library, loader and
# processor) and on this build's glibc stand-in, each on a sandbox of its own
# that starts from the same disk. Fails unless both runs end alike (exit
# status, the whole report with every call the module made in order, disk,
# terminals, kernel setting, as the report shows them) and the module applied
# VALUE.
#   uclibc.sh EMULATOR DEVSIM MODULE IMAGE WORK VALUE [FILE TEXT] [-- DEVSIM-OPTION...]
# EMULATOR is the words that run DEVSIM, the device build's devsim; VALUE "-"
# is a module that applies none (a probe). FILE is a settings file put on the
# disk first (a disk path), TEXT its bytes as printf's format gives them;
# FILE and the options go through printf's %b, so \351 stands for a Latin-1
# byte. With neither FILE nor options (a bare disk, the usual firmware) the
# run must also have made the module folder's 21-byte file.
set -eu
emulator=$1 devsim=$2 module=$3 image=$4 work=$5 value=$6
shift 6
file= text=
if [ $# -ge 2 ] && [ "$1" != -- ]; then file=$(printf '%b' "$1") text=$2; shift 2; fi
[ "${1:-}" != -- ] || shift
n=$#
while [ "$n" -gt 0 ]; do
  set -- "$@" "$(printf '%b' "$1")"
  shift
  n=$((n - 1))
done

rm -rf "$work"
for run in image glibc; do
  mkdir -p "$work/$run/disk/ProgramFiles"
  if [ -n "$file" ]; then
    mkdir -p "$work/$run/disk$(dirname "$file")"
    printf "$text" >"$work/$run/disk$file"
  fi
done
# Both runs' reports, with what may differ made alike: the sandbox's path,
# the image line, and the dynamic linker's error texts, which each C library
# words its own way.
status=0
$emulator "$devsim" run "$module" --sandbox "$work/image" --image "$image" --trace "$@" >"$work/image.out" || status=$?
echo "$status" >"$work/image.status"
status=0
$emulator "$devsim" run "$module" --sandbox "$work/glibc" --trace "$@" >"$work/glibc.out" || status=$?
echo "$status" >"$work/glibc.status"
for run in image glibc; do
  sed -e "s|$work/$run|SANDBOX|" -e '/^image /d' -e 's/^dlerror() = ".*"$/dlerror() = "..."/' \
    "$work/$run.out" >"$work/$run.report"
  rm -rf "$work/$run/tmp"
done

fail() { echo "uclibc.sh: $*" >&2; cat "$work/image.out" >&2; exit 1; }
cmp -s "$work/image.status" "$work/glibc.status" ||
  fail "exit status $(cat "$work/image.status") in the image, $(cat "$work/glibc.status") on glibc"
diff "$work/glibc.report" "$work/image.report" >&2 || fail "the reports differ (glibc <, image >)"
diff -r "$work/glibc" "$work/image" >&2 || fail "the sandboxes differ"
[ "$value" != - ] || { echo "same outcome in the image and on glibc"; exit 0; }

command="echo $value > /proc/sys/vm/min_free_kbytes"
grep -qxF "command    $command (shell exit 0)" "$work/image.report" || fail "no command line for $value"
grep -qF "kernel     min_free_kbytes now holds \"$value\\n\"" "$work/image.report" ||
  fail "the kernel setting is not $value"
if grep -q '^terminal   /dev/pts/[0-9]* received' "$work/image.report"; then
  grep -qF "received $((${#command} + 2)) bytes: \"$command\\n\\0\"" "$work/image.report" ||
    fail "the terminal did not receive the command"
fi
if [ -z "$file" ] && [ $# -eq 0 ]; then
  printf 'MinimumKBFree=10000\r\n' | cmp -s - "$work/image/disk/ProgramFiles/Settings/Steadyflow/Steadyflow.ini" ||
    fail "no 21-byte settings file in the module folder"
fi
echo "same outcome in the image and on glibc: $command"
