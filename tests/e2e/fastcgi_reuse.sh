#!/usr/bin/env bash
# One FastCGI worker serving request after request (spawn-fcgi, straight on the socket):
# each request answers as under CGI, whatever the one before did to the process; a
# request that loads a native library, starts a program, crashes in a called library or
# times out ends its worker, and the next request is served by a fresh one; so is the one
# after MaxRequestsPerWorker; SIGHUP replaces the workers with the re-read settings.
# Then 2,000 requests in a row: every one served, the worker's descriptors unchanged and
# its memory not growing.
# Usage: fastcgi_reuse.sh <bin dir>
set -u
bin=${1:?usage: $0 <bin dir>}

. "$(dirname "$0")/common.bash"
. "$(dirname "$0")/fastcgi.bash"
fastcgi_install

fastcgi_begin
fastcgi_stage 'Workers=1\r\nMaxRequestsPerWorker=6\r\n'
cgi="$work/cgi-bin"
printf 'h = dllload("libc.so.6")\r\nwebout("Content-type: text/plain", 1)\r\nwebout("", 1)\r\nwebout("loaded", 1)\r\n' > "$cgi/dll.web"
printf 'runwait("/bin/true", "")\r\nwebout("Content-type: text/plain", 1)\r\nwebout("", 1)\r\nwebout("ran", 1)\r\n' > "$cgi/run.web"
printf 'dllcall("libc.so.6", void:"abort")\r\n' > "$cgi/crash.web"
printf 'for i = 1 to 1500\r\n  v%%i%% = strfill("x", 2000 + i)\r\nnext\r\nwebout("Content-type: text/plain", 1)\r\nwebout("", 1)\r\nwebout("big ":strlen(v1500), 1)\r\n' > "$cgi/big.web"
printf 'webout("Content-type: text/plain", 1)\r\nwebout("", 1)\r\nwebout("after ":isdefined(v1):" ":isdefined(v1500), 1)\r\n' > "$cgi/after.web"
sock="$work/fcgi.sock"
spawn-fcgi -s "$sock" -P "$work/fcgi.pid" -- "$cgi/tarnhost" >/dev/null || fail "spawn-fcgi"
sup=$(cat "$work/fcgi.pid")

# worker: the one idle worker's pid, once there is exactly one.
worker() {
  local w
  for _ in $(seq 100); do
    w=$(workers_of "$sup")
    [ -n "$w" ] && [ "$(wc -l <<< "$w")" = 1 ] && { echo "$w"; return 0; }
    sleep 0.05
  done
  fail "no single worker: $(workers_of "$sup" | tr '\n' ' ')"
}
get() { $FCGI_CLIENT "$sock" get "$1" > "$work/out.txt" || fail "$1: no answer"; }
# same_worker PID: the idle worker is still PID; new_worker PID: a fresh one took its place.
same_worker() { [ "$(worker)" = "$1" ] || fail "$2: the worker was replaced"; }
new_worker() {
  local w
  for _ in $(seq 100); do w=$(worker); [ "$w" != "$1" ] && { echo "$w"; return 0; }; sleep 0.05; done
  fail "$2: the worker served on"
}

cgi_run GET iso.web
tr -d '\r' < "$work/cgi.out" > "$work/iso.cgi"
printf '\n[status 0]\n' >> "$work/iso.cgi"
w=$(worker)
get hello.web
# The count busy_worker tells a busy worker by.
[ "$(sockets_of "$w")" = "$FASTCGI_IDLE_SOCKETS" ] || fail "an idle worker holds $(sockets_of "$w") sockets"
same_worker "$w" hello
# The script leaves a variable, an open file, a binary buffer, a changed directory, an
# environment variable and an exit code behind: the next request in the same process
# sees none of it.
for i in 1 2 3; do
  get iso.web
  tr -d '\r' < "$work/out.txt" | cmp -s - "$work/iso.cgi" || fail "iso $i: $(cat -A "$work/out.txt") expected $(cat -A "$work/iso.cgi")"
  same_worker "$w" "iso $i"
done

# DisableDllCalls is each request's own: the functions are refused while it is set and
# come back when it is taken away, in the same process.
sed -i 's/^\[TARNWICK\]\r$/[TARNWICK]\r\nDisableDllCalls=1\r/' "$cgi/TARNWICK.INI"
get dll.web
grep -q "3472" "$work/out.txt" || fail "dll.web with DisableDllCalls=1: $(cat "$work/out.txt")"
same_worker "$w" "a refused native call"
sed -i '/^DisableDllCalls=1\r$/d' "$cgi/TARNWICK.INI"
get dll.web
grep -q loaded "$work/out.txt" || fail "dll.web: $(cat "$work/out.txt")"
w=$(new_worker "$w" "after a native library was loaded")
get hello.web
same_worker "$w" "hello after the library"
get run.web
grep -q ran "$work/out.txt" || fail "run.web: $(cat "$work/out.txt")"
w=$(new_worker "$w" "after a program was started")
get crash.web
grep -q "ended unexpectedly" "$work/out.txt" || fail "crash.web: $(cat "$work/out.txt")"
w=$(new_worker "$w" "after a crash")
get timeout.web
grep -q "timed out" "$work/out.txt" || fail "timeout.web: $(cat "$work/out.txt")"
w=$(new_worker "$w" "after a time-out")

# MaxRequestsPerWorker=6: six requests in one process, the seventh in the next.
same_worker "$w" "before the six"
for i in 1 2 3 4 5; do get "hello.web+$i"; same_worker "$w" "request $i of 6"; done
get "hello.web+6"
grep -q "Command data: 6" "$work/out.txt" || fail "request 6: $(cat "$work/out.txt")"
w=$(new_worker "$w" "after six requests")

# SIGHUP: the worker is replaced by one with the new settings.
sed -i 's/^MaxRequestsPerWorker=6/MaxRequestsPerWorker=100000/' "$cgi/TARNWICK.INI"
kill -HUP "$sup"
w=$(new_worker "$w" "after SIGHUP")

# The keyword marks stay right in one worker: a function disabled for every script is
# refused on each request as under CGI, and so are the native-library functions on each
# request while DisableDllCalls is set; they come back when it goes.
printf 'beep()\r\nwebout("Content-type: text/plain", 1)\r\nwebout("", 1)\r\nwebout("beeped", 1)\r\n' > "$cgi/beep.web"
cgi_run GET beep.web
tr -d '\r' < "$work/cgi.out" > "$work/beep.cgi"
printf '\n[status 0]\n' >> "$work/beep.cgi"
grep -q beeped "$work/beep.cgi" && fail "beep.web ran under CGI: $(cat "$work/beep.cgi")"
for i in 1 2; do
  get beep.web
  tr -d '\r' < "$work/out.txt" | cmp -s - "$work/beep.cgi" || fail "beep $i: $(cat -A "$work/out.txt") expected $(cat -A "$work/beep.cgi")"
  same_worker "$w" "beep $i"
done
sed -i 's/^\[TARNWICK\]\r$/[TARNWICK]\r\nDisableDllCalls=1\r/' "$cgi/TARNWICK.INI"
for i in 1 2; do
  get dll.web
  grep -q "3472" "$work/out.txt" || fail "dll.web $i with DisableDllCalls=1: $(cat "$work/out.txt")"
  same_worker "$w" "refused native call $i"
done
sed -i '/^DisableDllCalls=1\r$/d' "$cgi/TARNWICK.INI"
get beep.web
tr -d '\r' < "$work/out.txt" | cmp -s - "$work/beep.cgi" || fail "beep after DisableDllCalls: $(cat -A "$work/out.txt")"
get dll.web
grep -q loaded "$work/out.txt" || fail "dll.web after DisableDllCalls: $(cat "$work/out.txt")"
w=$(new_worker "$w" "after a native library was loaded again")

# A request that uses far more of the variable table and the string heap than the ones
# after it (1,500 variables, 4 MB of strings): the next sees none of its variables, and
# the one after it still answers as under CGI.
get big.web
grep -q "big 3500" "$work/out.txt" || fail "big.web: $(cat "$work/out.txt")"
get after.web
grep -q "after 0 0" "$work/out.txt" || fail "after.web: $(cat "$work/out.txt")"
get iso.web
tr -d '\r' < "$work/out.txt" | cmp -s - "$work/iso.cgi" || fail "iso after big.web: $(cat -A "$work/out.txt")"
same_worker "$w" "after a large request"

# 2,000 requests in a row: none fails, no descriptor is left behind, the memory stays.
rss() { awk '/^VmRSS/ {print $2}' "/proc/$1/status"; }
n=$($FCGI_CLIENT "$sock" repeat 200 warm) && [ "$n" = 200 ] || fail "warm-up: $n of 200"
fds0=$(ls "/proc/$w/fd" | wc -l) rss0=$(rss "$w")
n=$($FCGI_CLIENT "$sock" repeat 2000 soak) && [ "$n" = 2000 ] || fail "soak: $n of 2000 served"
same_worker "$w" soak
fds1=$(ls "/proc/$w/fd" | wc -l) rss1=$(rss "$w")
[ "$fds0" = "$fds1" ] || fail "descriptors: $fds0 before, $fds1 after"
[ $((rss1 - rss0)) -lt 256 ] || fail "memory grew from $rss0 kB to $rss1 kB"

kill -TERM "$sup"; sup=""
no_server_left
echo "PASS: one worker served request after request, each as under CGI; spent workers replaced; 2,000 in a row (RSS $rss0 -> $rss1 kB)"
