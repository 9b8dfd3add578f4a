#!/bin/sh
# The module in the VM (devsim run --vm): a case a run, each on a sandbox of
# its own under WORK, each a boot. The machine must stay as it was: its own
# min_free_kbytes, no plain file among its terminals, and a sandbox with
# only folders and regular files, within the VM's disk caps.
#   vm.sh DEVSIM VM MODULE ROUTE_MODULE WORK CASE
# CASE: first-run (and a second on the same disk), edited (99999 held at
# 50000), panic (--memory 64 with 50000), or route-NAME: the route module
# with the script of that name below.
set -eu
devsim=$1 vm=$2 module=$3 route=$4 work=$5 case=$6
sandbox=$work/$case
fail() { echo "vm.sh $case: $*" >&2; exit 1; }
ini=$sandbox/disk/ProgramFiles/Settings/Steadyflow/Steadyflow.ini
kernel_before=$(cat /proc/sys/vm/min_free_kbytes)
rm -rf "$sandbox"
mkdir -p "$sandbox/disk/ProgramFiles"

# run EXPECTED-STATUS [DEVSIM-OPTION...]: one run, its report in out, its
# complaint in err.
run() {
  expected=$1
  shift
  status=0
  "$devsim" run "$@" --vm "$vm" --sandbox "$sandbox" >"$work/$case.out" 2>"$work/$case.err" || status=$?
  [ "$status" -eq "$expected" ] || fail "exit $status, not $expected: $(cat "$work/$case.err")"
}
says() { grep -Eq -- "$1" "$work/$case.out" || fail "no line like '$1' in: $(cat "$work/$case.out")"; }
complains() {
  [ "$(wc -l <"$work/$case.err")" -eq 1 ] && grep -Eq -- "$1" "$work/$case.err" ||
    fail "not one line like '$1' on stderr: $(cat "$work/$case.err")"
}
# A route's script on the disk.
route() { printf '%s\nexit 0\n' "$1" >"$sandbox/disk/route.sh"; }

case $case in
  first-run)
    run 0 "$module"
    says '^vm +Linux [0-9.]+-[0-9]+-4kc-malta, 128 MiB'
    says '^terminal +/dev/pts/0 received 43 bytes: "echo 10000 > /proc/sys/vm/min_free_kbytes\\n\\0"$'
    says '^kernel +min_free_kbytes now holds "10000\\n" \(the VM.s kernel'
    says '^settings +/ProgramFiles/Settings/Steadyflow/Steadyflow.ini created, 21 bytes'
    [ "$(od -An -c "$ini" | tr -d ' \n')" = 'MinimumKBFree=10000\r\n' ] || fail "the file is not the module's"
    run 0 "$module" --terminals none
    says '^settings +/ProgramFiles/Settings/Steadyflow/Steadyflow.ini unchanged'
    says '^terminal +no pseudo-terminal present' ;;
  edited)
    mkdir -p "$(dirname "$ini")"
    printf 'MinimumKBFree=99999\r\n' >"$ini"
    run 0 "$module"
    says '^kernel +min_free_kbytes now holds "50000\\n" \(the VM.s kernel'
    says '^settings +.* unchanged, 21 bytes "MinimumKBFree=99999\\r\\n"' ;;
  panic)
    mkdir -p "$(dirname "$ini")"
    printf 'MinimumKBFree=50000\r\n' >"$ini"
    run 4 "$module" --memory 64
    complains '^devsim: the VM.s kernel panicked: "System is deadlocked on memory"$' ;;
  route-version)
    route 'cat /proc/version >/dev/pts/0'
    run 0 "$route"
    says '^terminal +/dev/pts/0 received [0-9]+ bytes: "Linux version [0-9.]+-[0-9]+-4kc-malta' ;;
  route-memory)
    route 'head -c 300m /dev/zero | sort >/dev/null'
    run 0 "$route"
    says '^memory +available' ;;
  route-disk)
    route 'dd if=/dev/zero of=/disk/big bs=1M count=64 2>/dev/null; true >/disk/over; for i in $(seq 5000); do true >/disk/f$i; done 2>/dev/null'
    run 0 "$route"
    [ "$(du -sk "$sandbox/disk" | cut -f1)" -le 17000 ] || fail "the disk grew past its cap: $(du -sk "$sandbox/disk")" ;;
  route-forks)
    route 'f() { f | f & }; f'
    run 4 "$route" --timeout 20
    complains '^devsim: the VM( stopped answering|.s kernel panicked)' ;;
  route-flood)
    route 'yes AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA >/dev/console'
    run 4 "$route" --timeout 20
    complains '^devsim: the VM (wrote more than its cap on its console|stopped answering)' ;;
  route-records)
    route 'printf "main 0\n\033]0;owned\007 \233\n" >/dev/ttyS1'
    run 1 "$route"
    complains '^devsim: the VM gave records devsim cannot read, at line [0-9]+: ".*\\x1B\]0;owned\\x07 \\x9B"$' ;;
  route-links)
    route 'd=/disk/ProgramFiles/Settings/Steadyflow; mkdir -p $d; ln -s /proc/sys/vm/min_free_kbytes $d/Steadyflow.ini; ln -s / /disk/root; mkfifo /disk/fifo; mknod /disk/null c 1 3'
    run 0 "$route"
    says '^disk +/ProgramFiles/Settings/Steadyflow/Steadyflow.ini was left on the run.s disk as no folder or regular file; not kept'
    says '^disk +/fifo was left on the run.s disk' ;;
  *) fail "no such case" ;;
esac

[ "$(cat /proc/sys/vm/min_free_kbytes)" = "$kernel_before" ] || fail "the machine's min_free_kbytes changed"
[ -z "$(find /dev/pts -maxdepth 1 -type f)" ] || fail "plain files among the machine's terminals"
odd=$(find "$sandbox" ! -type f ! -type d)
[ -z "$odd" ] || fail "the sandbox holds what is no folder or file: $odd"
echo "vm.sh $case: ok"
