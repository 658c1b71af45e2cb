#!/usr/bin/env bash
# tarnhost as a FastCGI server started by spawn-fcgi on a Unix socket, behind nginx
# (fastcgi_pass): the example site answers as tarnhost run as a CGI program does (status,
# content type and body byte for byte); then the fault cases straight on the socket,
# the request time limit, a worker killed mid-request, SIGHUP and SIGTERM.
# Usage: fastcgi_nginx.sh <bin dir>
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
fastcgi_stage 'Workers=2\r\nRequestTimeLimit=3\r\n'
chmod 755 "$work"  # nginx workers run as another user
sock="$work/fcgi.sock"
spawn-fcgi -s "$sock" -M 0666 -P "$work/fcgi.pid" -- "$work/cgi-bin/tarnhost" >/dev/null || fail "spawn-fcgi"
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
  server {
    listen 127.0.0.1:$port;
    location = /cgi-bin/tarnhost {
      include /etc/nginx/fastcgi_params;
      fastcgi_param SCRIPT_FILENAME $work/cgi-bin/tarnhost;
      fastcgi_pass unix:$sock;
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
like GET iso.web
like GET iso.web

# Fault cases straight on the socket, then 10,000 connections opened and dropped; after
# each, a request is still served.
served() { page=$(curl -s "$base?hello.web+$1") && [[ "$page" == *"Command data: $1"* ]] || fail "after $1: $page"; }
$FCGI_CLIENT "$sock" faults > "$work/faults.txt" 2>&1
[ "$(grep -c '^ok ' "$work/faults.txt")" = 10 ] || fail "faults: $(cat "$work/faults.txt")"
# A client that disconnects mid-response through nginx.
curl -s -m 0.5 "$base?slow.web" >/dev/null
served "client-gone"

# A body that never ends (straight on the socket: nginx would buffer it): the request
# time limit (3 s) ends it with the 503 page.
out=$($FCGI_CLIENT "$sock" endless)
[[ "$out" == "Status: 503"* && "$out" == *"time limit"* ]] || fail "endless body: $out"
served "after-endless"
# A worker killed in the middle of a request: that request gets the error page, the
# others are served, the worker is replaced.
curl -s -o "$work/killed.html" -w '%{http_code}' "$base?silent.web" > "$work/killed.code" &
cpid=$!
victim=$(busy_worker "$sup") || fail "no worker serving silent.web"
kill -9 "$victim"
wait "$cpid"
[ "$(cat "$work/killed.code")" = 500 ] && grep -q "ended unexpectedly" "$work/killed.html" ||
  fail "killed worker: $(cat "$work/killed.code") $(cat "$work/killed.html")"
served "after-kill"
[ "$(workers_of "$sup" | wc -l)" -ge 2 ] || fail "killed worker not replaced"

# SIGHUP re-reads [FastCGI]: three workers from now on.
sed -i 's/^Workers=2/Workers=3/' "$work/cgi-bin/TARNWICK.INI"
kill -HUP "$sup"
for _ in $(seq 50); do [ "$(workers_of "$sup" | wc -l)" -eq 3 ] && break; sleep 0.1; done
[ "$(workers_of "$sup" | wc -l)" -eq 3 ] || fail "SIGHUP: $(workers_of "$sup" | wc -l) workers"
served "after-hup"

# SIGTERM drains: the request in flight is answered, then everything ends with 0.
curl -s "$base?slow.web" > "$work/drain.txt" &
cpid=$!
busy_worker "$sup" >/dev/null || fail "no worker serving slow.web"
kill -TERM "$sup"
wait "$cpid"
[ "$(tr -d "\r" < "$work/drain.txt")" = "sleeping woke" ] || fail "drain: $(cat -A "$work/drain.txt")"
sup=""
no_server_left
echo "PASS: FastCGI behind nginx on port $started: CGI-identical pages, faults, time limit, kill, HUP, TERM"
