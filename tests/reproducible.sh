#!/bin/sh
# Builds the device module once more, from a copy of the sources in WORK/src
# into WORK/build (another checkout path and another build folder, nothing
# shared with the build that made MODULE), dated by SOURCE_DATE_EPOCH=EPOCH
# as that build was, and fails unless both files have the same bytes.
#   reproducible.sh SOURCE WORK EPOCH BUILD_TYPE MODULE
set -eu
source=$1 work=$2 epoch=$3 build_type=$4 module=$5
rm -rf "$work"
mkdir -p "$work/src"
# What a module-only configure and build read (scripts: the release 1 check
# after the link; docs: the kit's guide, which the configure completes).
for part in CMakeLists.txt cmake app include lib sim scripts docs; do
  cp -R "$source/$part" "$work/src/"
done
SOURCE_DATE_EPOCH=$epoch cmake -S "$work/src" -B "$work/build" -G Ninja -DSTEADYFLOW_TESTS=OFF \
  -DCMAKE_TOOLCHAIN_FILE="$work/src/cmake/mipsel-linux-gnu.cmake" -DCMAKE_BUILD_TYPE="$build_type" >"$work/configure.log"
cmake --build "$work/build" -j 2 --target SteadyflowTest >"$work/build.log"
if cmp "$module" "$work/build/SteadyflowTest.tap"; then
  echo "same $(wc -c <"$module") bytes from $work/src"
else
  echo "differs: $(cmp -l "$module" "$work/build/SteadyflowTest.tap" 2>/dev/null | wc -l) bytes" >&2
  exit 1
fi
