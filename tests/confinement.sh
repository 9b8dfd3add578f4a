#!/bin/sh
# The confinement against the hostile module (modules/hostile.cpp) at the top
# level, as make run starts devsim: by the caller itself (root in CI), not
# nested in the test suite's confinement. It runs in a private mount
# namespace with a stand-in devpts over /dev/pts, so the pseudo-terminal
# devsim is given (stdin and stderr, as at a shell) is no terminal of the
# machine's; the machine's kernel setting is read before and after, and put
# back should it change. Fails unless every route ends as ROUTES says (once
# with --no-shell too, where none may escape), nothing it printed reaches the
# terminal but printable ASCII, the terminal keeps its settings, the TCP and
# unix sockets listening outside hear nothing, nothing outside changes (nor
# the caller's working folder, nor another run's sandbox), and the sandbox
# holds only what devsim kept of its disk, as the caller's, no set-user-id
# bit among it; and the hint of a confinement without one runs nothing.
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
outside=$work/outside other=$work/other cwd=$work/cwd
mkdir -p "$outside" "$other/disk" "$cwd"
echo keep >"$outside/keep"
echo victim >"$outside/victim"
echo secret >"$other/disk/secret"
echo secret >"$cwd/secret"
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
  printf 'outside=%s\nsandbox=%s\nother=%s\ncwd=%s\npid=%s\nport=%s\ndgram=%s\n' "$outside" "$sandbox" "$other" \
    "$cwd" $$ "$(cat "$work/port")" "$work/dgram" >"$sandbox/disk/hostile-aims"
  (cd "$cwd" && HOSTILE_SECRET=caller script -qec "stty -g >'$work/$name.before'; $emulator '$devsim' run \
    '$hostile' --sandbox '$sandbox' $* >'$work/$name.out'; echo \$? >'$work/$name.status'; \
    stty -g >'$work/$name.after'" /dev/null </dev/null >"$work/$name.terminal" 2>&1) || true
  [ "$(cat "$work/$name.status")" = 0 ] || fail "$name: devsim exited $(cat "$work/$name.status"): $(cat "$work/$name.terminal")"
  cmp -s "$work/$name.before" "$work/$name.after" || fail "$name: the terminal's settings changed"
  if grep -n 'ESCAPED' "$work/$name.out" >&2; then fail "$name: a route escaped"; fi
  tried=$(grep -c '^\[module\] hostile ' "$work/$name.out" || true)
  [ "$tried" -eq "$(grep -vc '^#' "$routes")" ] || fail "$name: $tried routes tried, not those of $routes"
  if LC_ALL=C grep -n '[^[:print:][:space:]]' "$work/$name.out" "$work/$name.terminal" >&2; then
    fail "$name: a byte that is no printable ASCII reached the caller"
  fi
  if find "$sandbox" ! -user "$(id -u)" | grep . >&2; then fail "$name: the sandbox holds files not the caller's"; fi
  [ -f "$sandbox/disk/set-user-id" ] && [ ! -u "$sandbox/disk/set-user-id" ] ||
    fail "$name: the module's set-user-id file came back with its bit, or not at all"
  if [ -r /etc/shadow ] && grep -rqsF "$(head -c 64 /etc/shadow)" "$sandbox"; then
    fail "$name: root's /etc/shadow reached the sandbox"
  fi
}

run routes
grep -v '^#' "$routes" | while read -r outcome route; do
  [ "$outcome" = either ] || grep -qF "[module] hostile $route: $outcome" "$work/routes.out" ||
    fail "route '$route' did not end $outcome"
done
run no-shell --no-shell

[ ! -e "$work/heard" ] || fail "a listener outside heard the module: $(cat "$work/heard")"
[ "$(cat "$outside/keep")" = keep ] && [ "$(cat "$outside/victim")" = victim ] || fail "files outside changed"
[ "$(ls "$outside" | wc -l)" -eq 2 ] || fail "files appeared outside: $(ls "$outside")"
[ "$(ls "$cwd")" = secret ] && [ "$(ls "$other/disk")" = secret ] || fail "the working folder or another sandbox changed"
# The hint of a confinement in the environment, with no confinement in
# effect, runs nothing.
status=0
said=$(STEADYFLOW_INSIDE=1 $emulator "$devsim" run "$hostile" --sandbox "$work/hinted" 2>&1) || status=$?
case "$status $said" in
  "1 "*"is not in effect here; nothing runs unconfined"*) ;;
  *) fail "devsim ran on the hint of a confinement alone: $said" ;;
esac
[ ! -e "$work/hinted" ] || fail "the hinted run left a sandbox"
echo "the confinement held at the top level: $(grep -vc '^#' "$routes") routes, twice"
