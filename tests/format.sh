#!/bin/sh
# The C++ sources keep the formatter's column limit (ColumnLimit in
# .clang-format): each line over it fails, named FILE:LINE, with what the
# formatter's dry run makes of it. Only those lines are put to the
# formatter, so code laid out by hand elsewhere stays as it is.
#   format.sh SOURCE_DIR CLANG_FORMAT
set -u
source=$1 formatter=$2
command -v "$formatter" >/dev/null || { echo "format.sh: no $formatter (scripts/setup installs it)" >&2; exit 1; }
limit=$(sed -n 's/^ColumnLimit: *\([0-9][0-9]*\)$/\1/p' "$source/.clang-format")
[ -n "$limit" ] || { echo "format.sh: no ColumnLimit in $source/.clang-format" >&2; exit 1; }
cd "$source" || exit 1
status=0
files=$(find . -path ./build -prune -o -type f \( -name '*.cpp' -o -name '*.h' -o -name '*.c' \) -print | sort)
for file in $files; do
  long=$(awk -v limit="$limit" 'length > limit { print FNR }' "$file")
  [ -n "$long" ] || continue
  status=1
  for line in $long; do
    echo "${file#./}:$line: $(awk -v n="$line" 'FNR == n { print length }' "$file") columns, over the formatter's $limit"
    "$formatter" --dry-run --lines="$line:$line" "$file" 2>&1 | sed 's|^\./||'
  done
done
[ $status -eq 0 ] && echo "every line of the C++ sources fits $limit columns"
exit $status
