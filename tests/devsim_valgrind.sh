#!/bin/sh
# Runs devsim under valgrind memcheck on one disk: the first run (folders
# and settings file created), a second run (file read back), a run on
# firmware without task data or UTF-8 routine and with no terminal, and a
# check of the file left. Each must end with status 0 and no memcheck error
# or leak, and each run with no firmware heap block live (the firmware gives
# its blocks back at exit, so memcheck cannot see those).
# Each run is confined from outside valgrind (CONFINE), so devsim runs its
# module itself, as its confined part does, rather than running again
# unwatched; it then writes its records on stdout, and keeps its disk in
# WORK/disk, which CONFINE binds writable with the logs.
#   devsim_valgrind.sh VALGRIND DEVSIM MODULE WORK CONFINE
set -u
valgrind=$1 devsim=$2 module=$3 work=$4 confine=$5
rm -rf "$work"
mkdir -p "$work/disk/ProgramFiles"

# memcheck NAME DEVSIM-ARGUMENTS...: one confined devsim under memcheck.
memcheck() {
  name=$1
  shift
  if ! "$confine" --writable "$work" --reach "$(dirname "$devsim")" -- "$valgrind" -q --error-exitcode=1 \
      --leak-check=full --log-file="$work/$name.memcheck" "$devsim" "$@" >"$work/$name.out" 2>&1; then
    echo "$name run failed:"
    cat "$work/$name.out" "$work/$name.memcheck"
    exit 1
  fi
  if [ -s "$work/$name.memcheck" ]; then
    echo "$name run: memcheck reported"
    cat "$work/$name.memcheck"
    exit 1
  fi
}

run() {
  name=$1
  shift
  memcheck "$name" run "$module" --disk "$work/disk" "$@"
  if ! grep -q '^heap 0 ' "$work/$name.out"; then
    echo "$name run left firmware heap blocks live:"
    cat "$work/$name.out"
    exit 1
  fi
  grep -E '^(main|heap) ' "$work/$name.out" | sed "s/^/$name: /"
}

run first
[ -f "$work/disk/ProgramFiles/Settings/Steadyflow/Steadyflow.ini" ] || { echo "the first run wrote no settings file"; exit 1; }
run second
run bare --no-task-data --no-utf8 --terminals none
memcheck check check --module "$module" "$work/disk/ProgramFiles/Settings/Steadyflow/Steadyflow.ini"
sed 's/^/check: /' "$work/check.out"
echo "memcheck clean: 3 runs and a check"
