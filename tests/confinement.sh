#!/bin/sh
# The confinement against the hostile module (modules/hostile.cpp) at the top
# level, as make run starts devsim: by the caller itself (root in CI), not
# nested in the test suite's confinement. It runs in a private mount
# namespace with a stand-in devpts over /dev/pts, so the pseudo-terminal
# devsim is given (stdin and stderr, as at a shell) is no terminal of the
# machine's; the machine's kernel setting is read before and after, and put
# back should it change. Fails unless every route ends as ROUTES says (once
# with --no-shell too, where none may escape), the terminal keeps its
# settings, the TCP and unix sockets listening outside hear nothing, nothing
# outside changes, and nothing left in the sandbox belongs to root.
#   confinement.sh EMULATOR DEVSIM HOSTILE ROUTES WORK
set -eu
if [ "${CONFINEMENT_PRIVATE:-}" != 1 ]; then
  if [ "$(id -u)" -eq 0 ]; then
    exec env CONFINEMENT_PRIVATE=1 unshare --mount --propagation private sh "$0" "$@"
  fi
  # Root of a user namespace of its own: it may mount there, and is still
  # the ordinary user it was to the kernel, as devsim sees.
  exec env CONFINEMENT_PRIVATE=1 CONFINEMENT_USER=1 unshare --user --map-root-user --mount --propagation private sh "$0" "$@"
fi
emulator=$1 devsim=$2 hostile=$3 routes=$4 work=$5
mount -t devpts -o newinstance,ptmxmode=0666 devpts /dev/pts
mount --bind /dev/pts/ptmx /dev/ptmx

fail() { echo "confinement.sh: $*" >&2; exit 1; }
# Root as this namespace shows it: the machine's, or no id of its own.
root=0
[ -z "${CONFINEMENT_USER:-}" ] || root=$(cat /proc/sys/kernel/overflowuid)
setting=/proc/sys/vm/min_free_kbytes
kept=$(cat $setting)
listener=
restore() {
  [ -z "$listener" ] || kill "$listener" 2>/dev/null || true
  if [ "$(cat $setting)" != "$kept" ]; then
    echo "$kept" >$setting 2>/dev/null || true
    echo "confinement.sh: the machine's $setting changed; put back to $kept" >&2
    exit 1
  fi
}
trap restore EXIT

rm -rf "$work"
outside=$work/outside host=$work/host
mkdir -p "$outside" "$host/proc/sys/vm" "$host/dev/pts"
echo keep >"$outside/keep"
echo victim >"$outside/victim"
echo 1 >"$host/proc/sys/vm/min_free_kbytes"
: >"$host/dev/pts/0"
# Listeners outside: a TCP port on 127.0.0.1 and a unix datagram socket;
# whatever reaches them is written to heard.
python3 -c '
import os, socket, sys
tcp = socket.socket(); tcp.bind(("127.0.0.1", 0)); tcp.listen(1)
dgram = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM); dgram.bind(sys.argv[1] + "/dgram")
os.chmod(sys.argv[1] + "/dgram", 0o777)
open(sys.argv[1] + "/port", "w").write(str(tcp.getsockname()[1]))
tcp.settimeout(60); dgram.settimeout(60)
import threading
def hear(what, f):
    try: f(); open(sys.argv[1] + "/heard", "a").write(what + "\n")
    except OSError: pass
threading.Thread(target=hear, args=("tcp", tcp.accept), daemon=True).start()
hear("dgram", lambda: dgram.recv(16))
' "$work" >/dev/null 2>&1 &
listener=$!
for _ in $(seq 50); do [ -s "$work/port" ] && break; sleep 0.1; done
[ -s "$work/port" ] || fail "the listeners did not start"

# run NAME OPTION...: devsim on the hostile module, on a pseudo-terminal.
run() {
  name=$1
  shift
  sandbox=$work/$name
  mkdir -p "$sandbox/disk"
  printf 'outside=%s\nhost=%s\npid=%s\nport=%s\ndgram=%s\n' "$outside" "$host" $$ "$(cat "$work/port")" \
    "$work/dgram" >"$sandbox/disk/hostile-aims"
  HOSTILE_SECRET=caller script -qec "stty -g >'$work/$name.before'; $emulator '$devsim' run '$hostile' \
    --sandbox '$sandbox' $* >'$work/$name.out'; echo \$? >'$work/$name.status'; stty -g >'$work/$name.after'" \
    /dev/null </dev/null >"$work/$name.terminal" 2>&1 || true
  [ "$(cat "$work/$name.status")" = 0 ] || fail "$name: devsim exited $(cat "$work/$name.status"): $(cat "$work/$name.terminal")"
  cmp -s "$work/$name.before" "$work/$name.after" || fail "$name: the terminal's settings changed"
  if grep -n 'ESCAPED' "$work/$name.out" >&2; then fail "$name: a route escaped"; fi
  tried=$(grep -c '^hostile ' "$work/$name.out" || true)
  [ "$tried" -eq "$(grep -vc '^#' "$routes")" ] || fail "$name: $tried routes tried, not those of $routes"
  if find "$sandbox" -user "$root" | grep . >&2; then fail "$name: the sandbox holds files of root's"; fi
  [ -u "$sandbox/disk/set-user-id" ] || fail "$name: the module left no set-user-id file to check"
  if [ -r /etc/shadow ] && grep -rqsF "$(head -c 64 /etc/shadow)" "$sandbox"; then
    fail "$name: root's /etc/shadow reached the sandbox"
  fi
}

run routes
grep -v '^#' "$routes" | while read -r outcome route; do
  [ "$outcome" = either ] || grep -qF "hostile $route: $outcome" "$work/routes.out" ||
    fail "route '$route' did not end $outcome"
done
run no-shell --no-shell

[ ! -e "$work/heard" ] || fail "a listener outside heard the module: $(cat "$work/heard")"
[ "$(cat "$outside/keep")" = keep ] && [ "$(cat "$outside/victim")" = victim ] || fail "files outside changed"
[ "$(ls "$outside" | wc -l)" -eq 2 ] || fail "files appeared outside: $(ls "$outside")"
[ "$(cat "$host/proc/sys/vm/min_free_kbytes")" = 1 ] && [ ! -s "$host/dev/pts/0" ] || fail "the stand-in host was written"
# Root made to look confined (the mounts devsim's confinement makes, in this
# private mount namespace) is still root: devsim refuses to run there.
if [ -z "${CONFINEMENT_USER:-}" ]; then
  fake=$work/fake
  mkdir -p "$fake/dev/pts" "$fake/proc/sys/vm"
  : >"$fake/proc/sys/vm/min_free_kbytes"
  mount --bind -o ro /proc/sys /proc/sys
  mount --bind "$fake/proc/sys/vm/min_free_kbytes" $setting
  mount --bind "$fake/dev/pts" /dev/pts
  mount -o remount,bind,ro /
  status=0
  said=$(STEADYFLOW_SANDBOX=$fake $emulator "$devsim" run "$hostile" --sandbox "$fake" 2>&1) || status=$?
  umount $setting /proc/sys
  case "$status $said" in
    "1 "*"is not in effect here; nothing runs unconfined"*) ;;
    *) fail "devsim ran as root in mounts made to look confined: $said" ;;
  esac
fi
echo "the confinement held at the top level: $(grep -vc '^#' "$routes") routes, twice"
