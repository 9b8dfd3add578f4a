#!/bin/sh
# Passes when COMMAND fails with exactly one line on stderr, and that line
# matches PATTERN (grep -E).
#   one_line.sh PATTERN COMMAND...
pattern=$1
shift
status=0
err=$("$@" 2>&1 >/dev/null) || status=$?
lines=$(printf '%s\n' "$err" | wc -l)
if [ "$status" -ne 0 ] && [ -n "$err" ] && [ "$lines" -eq 1 ] && printf '%s\n' "$err" | grep -Eq -- "$pattern"; then
  echo "refused in one line: $err"
  exit 0
fi
echo "one_line.sh: expected one line matching \"$pattern\" and a failure; got status $status and:" >&2
printf '%s\n' "$err" >&2
exit 1
