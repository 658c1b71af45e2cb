#!/usr/bin/env bash
# Kept FastCGI connections: nginx with an upstream keepalive pool and fastcgi_keep_conn
# on in front of two workers started by spawn-fcgi. The example site answers as under
# CGI; a few hundred requests ride on few connections; then straight on the socket: two
# requests on one connection are isolated from each other, the next request may come in
# pieces, malformed records after a good request close the connection, unread content
# does not spoil the next request, more kept connections than workers do not stall a new
# one, a worker killed mid-request still answers with the error page, one killed while
# idle writes nothing, an idle connection is closed after KeptConnectionIdle, and SIGTERM
# ends at once with only idle kept connections open.
# Usage: fastcgi_kept.sh <bin dir>
set -u
bin=${1:?usage: $0 <bin dir>}

. "$(dirname "$0")/common.bash"
. "$(dirname "$0")/fastcgi.bash"
fastcgi_install

work=$(mktemp -d)
pid=""
sup=""
cleanup() {
  [ -n "$pid" ] && kill "$pid" 2>/dev/null
  [ -n "$sup" ] && kill "$sup" 2>/dev/null
  wait 2>/dev/null; rm -rf "$work"
}
trap cleanup EXIT
# The socket timeouts of the client (30 s) are below KeptConnectionIdle: a request that
# waited for an idle connection to time out fails.
fastcgi_stage 'Workers=2\r\nRequestTimeLimit=20\r\nKeptConnectionIdle=60\r\n'
cgi="$work/cgi-bin"
printf 'h = fileopen("data\\busy.txt", "write")\r\ntimedelay(30)\r\n' > "$cgi/busy.web"
chmod 755 "$work"  # nginx workers run as another user
sock="$work/fcgi.sock"
spawn-fcgi -s "$sock" -M 0666 -P "$work/fcgi.pid" -- "$cgi/tarnhost" >/dev/null || fail "spawn-fcgi"
sup=$(cat "$work/fcgi.pid")

write_nginx_conf() {
  local port=$1
  cat > "$work/nginx.conf" <<CONF
daemon off;
worker_processes 1;
error_log $work/nginx.err;
pid $work/nginx.pid;
events { worker_connections 256; }
http {
  access_log off;
  client_body_temp_path $work/nginx/body; fastcgi_temp_path $work/nginx/fcgi;
  proxy_temp_path $work/nginx/proxy; uwsgi_temp_path $work/nginx/uwsgi; scgi_temp_path $work/nginx/scgi;
  upstream tarnwick { server unix:$sock; keepalive 2; }
  server {
    listen 127.0.0.1:$port;
    location = /cgi-bin/tarnhost {
      include /etc/nginx/fastcgi_params;
      fastcgi_param SCRIPT_FILENAME $cgi/tarnhost;
      fastcgi_keep_conn on;
      fastcgi_pass tarnwick;
    }
  }
}
CONF
}
nginx_on_free_port write_nginx_conf

like GET index.web
like GET "hello.web+some+words"
like GET form.web
printf 'name=Ann+%%3Cb%%3E&comment=line+1+%%26+2' > "$work/post.txt"
like POST form_post.web "$work/post.txt" application/x-www-form-urlencoded
head -c 4000 /dev/zero | tr '\0' a > "$work/at.txt"
like POST form_post.web "$work/at.txt" application/x-www-form-urlencoded
head -c 4001 /dev/zero | tr '\0' a > "$work/past.txt"
like POST form_post.web "$work/past.txt" application/x-www-form-urlencoded
like POST form_post.web "$work/post.txt" text/xml
like GET "../secret.web"
like GET nosuch.web
like GET error.web
for i in 1 2 3; do like GET iso.web; done

# nginx keeps its connections: an idle worker then holds one more socket than an idle
# worker without a connection.
kept=0
for _ in $(seq 50); do
  kept=0
  for w in $(workers_of "$sup"); do [ "$(sockets_of "$w")" -gt "$FASTCGI_IDLE_SOCKETS" ] && kept=$((kept + 1)); done
  [ "$kept" -gt 0 ] && break
  sleep 0.1
done
[ "$kept" -gt 0 ] || fail "no worker holds a kept connection"
w0=$(workers_of "$sup" | sort | tr '\n' ' ')

# 300 requests, one client connection, nginx's two kept upstream connections: all served
# by the same two workers.
for i in $(seq 300); do echo "url = \"$base?hello.web+k$i\""; done > "$work/urls.txt"
curl -s -K "$work/urls.txt" > "$work/many.txt" || fail "300 requests: curl failed"
n=$(grep -c "Command data: k[0-9]" "$work/many.txt")
[ "$n" = 300 ] || fail "300 requests on kept connections: $n served"
[ "$(workers_of "$sup" | sort | tr '\n' ' ')" = "$w0" ] || fail "workers replaced during the 300 requests"
$FCGI_CLIENT "$sock" keptrepeat 300 row > "$work/row.txt"
[ "$(cat "$work/row.txt")" = 300 ] || fail "300 requests on one connection: $(cat "$work/row.txt") served"

# Two requests on one connection: the second sees nothing of the first (variables, the
# environment, the directory, open files, the exit code), exactly as under CGI.
cgi_run GET iso.web
tr -d '\r' < "$work/cgi.out" > "$work/iso.cgi"
{ cat "$work/iso.cgi"; printf '\n[status 0]\n'; cat "$work/iso.cgi"; printf '\n[status 0]\n[open]\n'; } > "$work/iso2.cgi"
$FCGI_CLIENT "$sock" kept iso.web iso.web | tr -d '\r' > "$work/iso2.txt"
cmp -s "$work/iso2.txt" "$work/iso2.cgi" || fail "isolation on one connection: $(diff "$work/iso2.cgi" "$work/iso2.txt")"

# The next request in pieces; malformed records after a good request; posted content the
# script does not read (past MaxContentLength, past the declared length).
out=$($FCGI_CLIENT "$sock" keptpieces pieces) && [ "$out" = ok ] || fail "kept pieces: $out"
$FCGI_CLIENT "$sock" keptfaults > "$work/kfaults.txt" 2>&1
[ "$(grep -c '^ok ' "$work/kfaults.txt")" = 3 ] || fail "kept faults: $(cat "$work/kfaults.txt")"
out=$($FCGI_CLIENT "$sock" keptpost) && [ "$out" = ok ] || fail "kept post: $out"

# Three kept connections for two workers, each opened after the last was answered: the
# third is served at once (a worker gives up its idle kept connection), not after the
# 60 seconds idle limit.
out=$($FCGI_CLIENT "$sock" crowd 3) && [ "$out" = "served 3" ] || fail "crowd: $out"
served() { page=$(curl -s "$base?hello.web+$1") && [[ "$page" == *"Command data: $1"* ]] || fail "after $1: $page"; }
served "after-crowd"

# A worker killed in the middle of the second request on a connection: that request gets
# the error page, then the connection closes.
rm -f "$cgi/data/busy.txt"
$FCGI_CLIENT "$sock" keptwait hello.web busy.web > "$work/killed.txt" 2>&1 &
cpid=$!
for _ in $(seq 100); do [ -f "$cgi/data/busy.txt" ] && break; sleep 0.05; done
victim=""
for w in $(workers_of "$sup"); do ls -l "/proc/$w/fd" 2>/dev/null | grep -q busy.txt && victim=$w; done
[ -n "$victim" ] || fail "no worker serving busy.web: $(cat "$work/killed.txt")"
kill -9 "$victim"
wait "$cpid"
head -1 "$work/killed.txt" | grep -q ready && grep -q "ended unexpectedly" "$work/killed.txt" &&
  grep -q '^\[status 1\]' "$work/killed.txt" && grep -q '^\[closed\]' "$work/killed.txt" ||
  fail "killed mid-request: $(cat "$work/killed.txt")"
served "after-kill"

# Workers killed while idle on kept connections: the supervisor writes nothing on them.
$FCGI_CLIENT "$sock" keptdead > "$work/dead.txt" 2>&1 &
cpid=$!
for _ in $(seq 100); do grep -q ready "$work/dead.txt" && break; sleep 0.05; done
grep -q ready "$work/dead.txt" || fail "keptdead: $(cat "$work/dead.txt")"
sleep 0.2
for w in $(workers_of "$sup"); do kill -9 "$w"; done
wait "$cpid"
grep -q "closed after 0 bytes" "$work/dead.txt" || fail "killed while idle: $(cat "$work/dead.txt")"
served "after-idle-kill"

# KeptConnectionIdle=1 (SIGHUP re-reads it): an idle kept connection is closed.
sed -i 's/^KeptConnectionIdle=60/KeptConnectionIdle=1/' "$cgi/TARNWICK.INI"
old=$(workers_of "$sup")
kill -HUP "$sup"
for _ in $(seq 100); do
  left=0; for w in $old; do kill -0 "$w" 2>/dev/null && left=1; done
  [ "$left" = 0 ] && [ "$(workers_of "$sup" | wc -l)" = 2 ] && break
  sleep 0.05
done
out=$($FCGI_CLIENT "$sock" keptidle) && [ "$out" = closed ] || fail "idle limit: $out"
served "after-idle"

# SIGTERM: the kept connections are idle, so the server ends without waiting for them.
served "before-term"
kill -TERM "$sup"; sup=""
no_server_left
echo "PASS: kept FastCGI connections behind nginx on port $started: CGI-identical pages, 600 requests on kept connections, isolation, pieces, faults, crowd, kills, idle limit, TERM"
