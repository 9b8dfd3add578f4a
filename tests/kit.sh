#!/bin/sh
# The kit as a new user meets it: installed from the host build, the device
# build and the device image into one folder as make install does (stripped),
# moved elsewhere as a whole; no file of it names a build path; its guide and
# the example module (examples/counter) are in it, and the example is built
# from the kit's own copy against it for the host and for the device. The
# host module runs in the kit's devsim (twice: its count goes on; once with
# --trace) and the kit's check explains its entry, the device module runs in
# the kit's device image, in the kit's VM (the report names the VM's MIPS
# kernel) and passes this build's structure checks of a module file; an
# identity text too long for its field fails the configure in one line.
# Fails at the first step that does not hold.
#   kit.sh SOURCE HOST_BUILD DEVICE_BUILD IMAGE_BUILD DEVICE_TESTS WORK EMULATOR...
set -eu
source=$1 host=$2 device=$3 image=$4 tests=$5 work=$6
shift 6
fail() { echo "kit.sh: $*" >&2; exit 1; }

rm -rf "$work"
cmake --install "$host" --prefix "$work/first" --strip >/dev/null
cmake --install "$device" --prefix "$work/first" --strip >/dev/null
cmake --install "$image" --prefix "$work/first" >/dev/null
mv "$work/first" "$work/kit"
kit=$work/kit
if grep -rlF -e "$source" -e "$host" -e "$device" -e "$image" -e "$work/first" "$kit"; then
  fail "the files above name a build path"
fi

doc=$kit/share/doc/steadyflow
grep -q '^| `libc.so.0` ([0-9]*) | `close`' "$doc/kit.md" || fail "no guide with the table of imports in $doc"
cp -R "$doc/examples/counter" "$work/counter" || fail "no example module in $doc"
cmake -S "$work/counter" -B "$work/host" -G Ninja -DCMAKE_PREFIX_PATH="$kit" >"$work/host.log" 2>&1 ||
  fail "configuring the host module: $(tail -5 "$work/host.log")"
cmake --build "$work/host" >>"$work/host.log" 2>&1 || fail "building the host module: $(tail -5 "$work/host.log")"
cmake -S "$work/counter" -B "$work/device" -G Ninja -DCMAKE_PREFIX_PATH="$kit" \
  -DCMAKE_TOOLCHAIN_FILE="$kit/lib/cmake/Steadyflow/mipsel-linux-gnu.cmake" >"$work/device.log" 2>&1 ||
  fail "configuring the device module: $(tail -5 "$work/device.log")"
cmake --build "$work/device" >>"$work/device.log" 2>&1 || fail "building the device module: $(tail -5 "$work/device.log")"

# run NAME EXPECTED DEVSIM-OPTION...: the kit's devsim on a sandbox of NAME.
run() {
  name=$1 expected=$2
  shift 2
  "$kit/bin/devsim" run "$@" --sandbox "$work/sandbox-$name" >"$work/$name.out" 2>&1 ||
    fail "devsim $*: $(cat "$work/$name.out")"
  grep -qxF "$expected" "$work/$name.out" || fail "devsim $* did not report '$expected': $(cat "$work/$name.out")"
}
run host 'printed    "Counter: start 1\n"' "$work/host/Counter.tap"
run host 'printed    "Counter: start 2\n"' "$work/host/Counter.tap" --trace
grep -qxF 'TAP_Print("Counter: start 2\n")' "$work/host.out" || fail "no TAP_Print in the trace: $(cat "$work/host.out")"
run image 'printed    "Counter: start 1\n"' "$work/device/Counter.tap" --image "$kit/lib/steadyflow/image"
run vm 'printed    "Counter: start 1\n"' "$work/device/Counter.tap" --vm "$kit/lib/steadyflow/vm"
grep -Eq '^vm +Linux [0-9.]+-[0-9]+-4kc-malta, ' "$work/vm.out" || fail "no 4kc-malta kernel in: $(cat "$work/vm.out")"
# The kit's check, told the example's entry, answers as the guide says.
"$kit/bin/devsim" check --sandbox "$work/sandbox-host" --module "$work/host/Counter.tap" \
  --file /ProgramFiles/Settings/Counter/Counter.ini --key Starts --default 0 --min 0 --max 2147483647 >"$work/check.out" 2>&1
grep -qxF 'check      /ProgramFiles/Settings/Counter/Counter.ini: Starts=2 will be applied' "$work/check.out" ||
  fail "devsim check did not explain the example's entry: $(cat "$work/check.out")"

"$@" "$tests" --gtest_filter='ModuleFile.*:DeviceModuleFile.*' --module-file="$work/device/Counter.tap" \
  >"$work/structure.out" 2>&1 || fail "the device module fails the structure checks: $(tail -20 "$work/structure.out")"

mkdir -p "$work/toolong"
sed 's/NAME "Counter V1"/NAME "'"$(printf 'x%.0s' $(seq 70))"'"/' "$work/counter/CMakeLists.txt" >"$work/toolong/CMakeLists.txt"
cp "$work/counter/counter.cpp" "$work/toolong/"
if cmake -S "$work/toolong" -B "$work/toolong/build" -DCMAKE_PREFIX_PATH="$kit" >"$work/toolong.log" 2>&1; then
  fail "a 70-byte NAME was taken"
fi
# CMake wraps the message's line; its words are what count.
tr -s ' \n' '  ' <"$work/toolong.log" | grep -q 'NAME "x*" is 70 bytes; its field holds 63' ||
  fail "no line on the long NAME: $(cat "$work/toolong.log")"
echo "the kit built its example for the host and the device, out of the checkout, and ran both, the device one in its image and its VM"
