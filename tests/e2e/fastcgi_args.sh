#!/usr/bin/env bash
# tarnhost started by hand as a FastCGI server: --fastcgi=unix:PATH and
# --fastcgi=tcp:127.0.0.1:PORT serve requests and end with 0 on SIGTERM (the socket file
# removed); any other argument is refused with exit code 2; under a CGI environment the
# argument is request text, never a mode switch.
# Usage: fastcgi_args.sh <bin dir>
set -u
bin=${1:?usage: $0 <bin dir>}

. "$(dirname "$0")/common.bash"
. "$(dirname "$0")/fastcgi.bash"
fastcgi_install

work=$(mktemp -d)
srv=""
cleanup() { [ -n "$srv" ] && kill "$srv" 2>/dev/null; wait 2>/dev/null; rm -rf "$work"; }
trap cleanup EXIT
fastcgi_stage 'Workers=1\r\n'
th="$work/cgi-bin/tarnhost"

for bad in "--fastcgi=" "--fastcgi=unix:" "--fastcgi=unix:relative.sock" "--fastcgi=tcp:10.1.2.3:9000" \
           "--fastcgi=tcp:127.0.0.1:0" "--fastcgi=tcp:127.0.0.1:65536" "--fastcgi=tcp:127.0.0.1:80x" \
           "--fastcgi=udp:127.0.0.1:9000" "--fastcgi=unix:$work/$(head -c $((107 - ${#work})) /dev/zero | tr '\0' a)"; do
  msg=$(env -i "$th" "$bad" 2>&1 </dev/null); rc=$?
  [ $rc = 2 ] && [[ "$msg" == *"use --fastcgi=unix:PATH or --fastcgi=tcp:127.0.0.1:PORT"* ]] || fail "$bad: rc $rc, $msg"
done
# Under CGI the argument is part of the request, as any argument is.
out=$(cd "$work/cgi-bin" && env -i REQUEST_METHOD=GET QUERY_STRING= GATEWAY_INTERFACE=CGI/1.1 "$th" "--fastcgi=unix:$work/x.sock" 2>&1)
[ ! -e "$work/x.sock" ] && [[ "$out" == *"Tarnwick"* ]] || fail "argument honoured under CGI: $out"

# The longest path a socket address holds: 107 bytes.
sockpath="$work/$(head -c $((106 - ${#work})) /dev/zero | tr '\0' s)"
[ ${#sockpath} = 107 ] || fail "path length ${#sockpath}"
env -i "$th" "--fastcgi=unix:$sockpath" </dev/null 2>"$work/srv.err" &
srv=$!
for _ in $(seq 100); do [ -S "$sockpath" ] && break; sleep 0.05; done
out=$($FCGI_CLIENT "$sockpath" get "hello.web+by+unix") || fail "unix request"
[[ "$out" == *"Command data: by unix"* && "$out" == *"[status 0]"* ]] || fail "unix: $out"
# A request that comes in pieces is answered whole, and the connection ends without a reset.
out=$($FCGI_CLIENT "$sockpath" pieces inpieces 2>&1) && [ "$out" = ok ] || fail "request in pieces: $out"
kill -TERM "$srv"; wait "$srv"; rc=$?; srv=""
[ $rc = 0 ] || fail "SIGTERM exit code $rc: $(cat "$work/srv.err")"
[ ! -e "$sockpath" ] || fail "socket file left"
no_server_left

tcp_start() {
  env -i "$th" "--fastcgi=tcp:127.0.0.1:$1" </dev/null 2>"$work/srv.err" &
  pid=$!
}
tcp_answers() { out=$($FCGI_CLIENT "tcp:$1" get "hello.web+by+tcp" 2>/dev/null); }
pid=""
on_free_port tcp_start tcp_answers || fail "tcp server did not start: $(cat "$work/srv.err")"
port=$started srv=$pid pid=""
[[ "$out" == *"Command data: by tcp"* ]] || fail "tcp: $out"
kill -TERM "$srv"; wait "$srv"; rc=$?; srv=""
[ $rc = 0 ] || fail "SIGTERM exit code $rc"
no_server_left
echo "PASS: --fastcgi arguments refused or served (unix and tcp port $port), SIGTERM ends with 0"
