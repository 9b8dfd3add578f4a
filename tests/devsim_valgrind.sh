#!/bin/sh
# Runs devsim under valgrind memcheck on one sandbox: the first run (folders
# and settings file created), a second run (file read back), a run on
# firmware without task data or UTF-8 routine and with no terminal, and a
# check of the file left. Each must end with status 0 and no memcheck error
# or leak, and each run with no firmware heap block live (the firmware gives
# its blocks back at exit, so memcheck cannot see those).
# Each run is confined on the sandbox from outside valgrind (CONFINE), so
# devsim runs its module there itself rather than running again unwatched.
#   devsim_valgrind.sh VALGRIND DEVSIM MODULE SANDBOX CONFINE
set -u
valgrind=$1 devsim=$2 module=$3 sandbox=$4 confine=$5
rm -rf "$sandbox"
mkdir -p "$sandbox"

# memcheck NAME DEVSIM-ARGUMENTS...: one confined devsim under memcheck.
memcheck() {
  name=$1
  shift
  if ! "$confine" "$sandbox" --reach "$(dirname "$devsim")" -- "$valgrind" -q --error-exitcode=1 --leak-check=full --log-file="$sandbox/$name.memcheck" \
      "$devsim" "$@" --sandbox "$sandbox" >"$sandbox/$name.out" 2>&1; then
    echo "$name run failed:"
    cat "$sandbox/$name.out" "$sandbox/$name.memcheck"
    exit 1
  fi
  if [ -s "$sandbox/$name.memcheck" ]; then
    echo "$name run: memcheck reported"
    cat "$sandbox/$name.memcheck"
    exit 1
  fi
}

run() {
  name=$1
  shift
  memcheck "$name" run "$module" "$@"
  if ! grep -q '^heap  *0 blocks live' "$sandbox/$name.out"; then
    echo "$name run left firmware heap blocks live:"
    cat "$sandbox/$name.out"
    exit 1
  fi
  grep -E '^(main|settings|heap) ' "$sandbox/$name.out" | sed "s/^/$name: /"
}

run first
run second
run bare --no-task-data --no-utf8 --terminals none
memcheck check check --module "$module"
sed 's/^/check: /' "$sandbox/check.out"
echo "memcheck clean: 3 runs and a check"
