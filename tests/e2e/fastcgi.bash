# Shared by the FastCGI end-to-end tests (after common.bash): the packages, a staged
# site with the isolation scripts, requests compared between CGI and FastCGI, and the
# check that nothing of the server is left running.

# fastcgi_install: nginx, spawn-fcgi, lighttpd, curl and python3, or a SKIP line.
fastcgi_install() {
  need=()
  [ -x /usr/sbin/nginx ] || need+=(nginx)
  command -v spawn-fcgi >/dev/null 2>&1 || need+=(spawn-fcgi)
  command -v python3 >/dev/null 2>&1 || need+=(python3)
  install_needed
  lighttpd_install
  [ -f "$bin/libkelfcgi.so" ] || { echo "SKIP: tarnhost was built without FastCGI (libfcgi-dev)"; exit 0; }
  FCGI_CLIENT="python3 $(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)/fcgi_client.py"
}

# fastcgi_stage: "$work/cgi-bin" with the products, the example site and the isolation
# scripts; TARNWICK.INI with a small MaxContentLength and the [FastCGI] lines in $1.
fastcgi_stage() {
  mkdir -p "$work/cgi-bin" "$work/htdocs"
  cp "$bin/tarnhost" "$bin"/*.so "$bin"/*.gif "$work/cgi-bin/"
  cp -a "$(cd "$(dirname "${BASH_SOURCE[0]}")/../../examples/site" && pwd)/." "$work/cgi-bin/"
  printf '[TARNWICK]\r\nErrorLog=%s/err.log\r\nMaxContentLength=4000\r\n[FastCGI]\r\n%b' "$work" "${1:-}" \
    > "$work/cgi-bin/TARNWICK.INI"
  # What one request leaves behind; the next must see none of it.
  cat > "$work/cgi-bin/iso.web" <<'WEB'
webout("Content-type: text/plain", 1)
webout("", 1)
webout("env=":environment("KEL_ISO_LEAK"), 1)
webout("dir=":dirget(), 1)
webout("exitcode=":IntControl(1000, 7, 0, 0, 0), 1)
webout("var=":isdefined(isoleak), 1)
h = fileopen("data\iso.txt", "write")
webout("handle=":h, 1)
webout("buffer=":binaryalloc(100), 1)
filewrite(h, "left open")
environset("KEL_ISO_LEAK", "leaked")
dirchange("data")
isoleak = 1
IntControl(1000, 0, 0, 0, 0)
WEB
  printf 'webout("Content-type: text/plain", 1)\r\nwebout("", 1)\r\nwebout("sleeping", 0)\r\ntimedelay(%s)\r\nwebout(" woke", 1)\r\n' 1 \
    > "$work/cgi-bin/slow.web"
  printf 'timedelay(30)\r\n' > "$work/cgi-bin/silent.web"
}

# cgi_run METHOD QUERY [BODYFILE CTYPE]: the response of tarnhost run as a CGI program,
# in "$work/cgi.out".
cgi_run() {
  local len=""
  [ -n "${3:-}" ] && len=$(stat -c %s "$3")
  # As a web server starts it: no descriptor beyond the three standard ones.
  (for fd in $(ls "/proc/$BASHPID/fd"); do [ "$fd" -gt 2 ] && eval "exec $fd>&-"; done
   cd "$work/cgi-bin" && env -i PATH=/usr/bin:/bin REQUEST_METHOD="$1" QUERY_STRING="$2" CONTENT_LENGTH="$len" \
     CONTENT_TYPE="${4:-}" ${SERVER_SOFTWARE:+SERVER_SOFTWARE="$SERVER_SOFTWARE"} GATEWAY_INTERFACE=CGI/1.1 SERVER_PROTOCOL=HTTP/1.1 SERVER_NAME=127.0.0.1 \
     ./tarnhost < "${3:-/dev/null}" > "$work/cgi.out" 2>/dev/null)
}

# no_server_left PID: the supervisor and every worker have ended.
no_server_left() {
  local left
  for _ in $(seq 100); do
    left=$(pgrep -f "$work/cgi-bin/tarnhost" || true)
    [ -z "$left" ] && return 0
    sleep 0.1
  done
  fail "processes left running: $left"
}

# workers_of PID: the supervisor's children, one per line.
workers_of() { pgrep -P "$1" || true; }

# sockets_of PID: how many sockets the process holds.
sockets_of() { ls -l "/proc/$1/fd" 2>/dev/null | grep -c 'socket:'; }

# An idle worker holds four sockets: the listening one, its line to the supervisor and
# both ends of the socket its connection is parked in.
FASTCGI_IDLE_SOCKETS=4
# busy_worker PID: a worker serving a request (it holds the request's connection too),
# once one is.
busy_worker() {
  local w
  for _ in $(seq 100); do
    for w in $(workers_of "$1"); do
      [ "$(sockets_of "$w")" -gt "$FASTCGI_IDLE_SOCKETS" ] && { echo "$w"; return 0; }
    done
    sleep 0.05
  done
  return 1
}

# A temporary folder in $work and a supervisor pid in $sup, both gone when the test ends.
fastcgi_begin() {
  work=$(mktemp -d)
  sup=""
  trap '[ -n "$sup" ] && kill "$sup" 2>/dev/null; wait 2>/dev/null; rm -rf "$work"' EXIT
}

# nginx_on_free_port WRITE: nginx started on the first free one of a few random ports,
# with the configuration `WRITE PORT` writes into "$work/nginx.conf"; sets started, pid,
# base (the tarnhost URL) and SERVER_SOFTWARE as nginx passes it.
nginx_on_free_port() {
  nginx_write=$1 probe_path=/
  on_free_port nginx_start http_answers || { tail -3 "$work/nginx.err"; fail "nginx did not start"; }
  base="http://127.0.0.1:$started/cgi-bin/tarnhost"
  SERVER_SOFTWARE=$(/usr/sbin/nginx -v 2>&1 | sed "s/.*version: *//")
}
nginx_start() {
  mkdir -p "$work/nginx"
  "$nginx_write" "$1"
  /usr/sbin/nginx -c "$work/nginx.conf" >/dev/null 2>&1 &
  pid=$!
}

# like METHOD QUERY [BODYFILE CTYPE]: nginx's answer at $base has the CGI run's status,
# content type and body.
like() {
  cgi_run "$@"
  local head code="200" ctype got
  head=$(sed -n '1,/^\r\{0,1\}$/p' "$work/cgi.out" | tr -d '\r')
  [[ "$head" =~ (^|$'\n')Status:\ ([0-9]+) ]] && code=${BASH_REMATCH[2]}
  ctype=$(sed -n 's/^content-type: *//Ip' <<< "$head" | head -1)
  sed '1,/^\r\{0,1\}$/d' "$work/cgi.out" > "$work/cgi.body"
  local args=(-s -o "$work/fcgi.body" -w '%{http_code} %{content_type}' -X "$1")
  [ -n "${3:-}" ] && args+=(--data-binary "@$3" -H "Content-Type: ${4:-}")
  got=$(curl "${args[@]}" "$base${2:+?$2}") || fail "$2: request failed"
  [ "$got" = "$code $ctype" ] || { tail -3 "$work/nginx.err"; cat "$work/fcgi.body"; fail "$1 $2: nginx gave '$got', CGI '$code $ctype'"; }
  cmp -s "$work/cgi.body" "$work/fcgi.body" || { diff "$work/cgi.body" "$work/fcgi.body" | head; fail "$1 $2: body differs"; }
}
