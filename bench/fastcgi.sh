#!/usr/bin/env bash
# Hello through nginx with FastCGI (tarnhost started by spawn-fcgi), side by side with
# tarnhost as CGI under lighttpd and a hello PHP script under PHP-FPM behind the same
# nginx: wrk with 2 connections, ROUNDS interleaved rounds of SECS seconds each, medians
# of requests/s. Then SOAK requests in a row through FastCGI (ab, one connection): the
# failures, the workers' memory and the supervisor's descriptors before and after.
#   bench/fastcgi.sh [bin dir]   knobs: ROUNDS (3), SECS (5), SOAK (100000), WORKERS (4),
#                                       MAXREQ (MaxRequestsPerWorker, 100000: the soak's
#                                       workers then live through all of it),
#                                       KEEP (1: both FastCGI servers behind an nginx
#                                       upstream with keepalive WORKERS and fastcgi_keep_conn
#                                       on), PERF (N: before the rounds, N requests of ab -c2
#                                       under perf stat: task-clock of the workers, context
#                                       switches of nginx, per request)
# Needs nginx, spawn-fcgi, lighttpd, wrk, ab and php-fpm8.2 (scripts/install-deps.sh bench).
set -u
here=$(cd "$(dirname "$0")" && pwd)
bin=${1:-$here/../build/bin}
ROUNDS=${ROUNDS:-3} SECS=${SECS:-5} SOAK=${SOAK:-100000} WORKERS=${WORKERS:-4} MAXREQ=${MAXREQ:-100000}
KEEP=${KEEP:-0} PERF=${PERF:-0}
for t in nginx spawn-fcgi lighttpd wrk ab php-fpm8.2; do
  command -v $t >/dev/null 2>&1 || [ -x /usr/sbin/$t ] || { echo "missing $t: scripts/install-deps.sh bench" >&2; exit 1; }
done
stage=$(mktemp -d /tmp/fcgibench.XXXXXX)
pids=()
cleanup() { for p in "${pids[@]}"; do kill "$p" 2>/dev/null; done; wait 2>/dev/null; rm -rf "$stage"; }
trap cleanup EXIT
chmod 755 "$stage"
mkdir -p "$stage/cgi-bin" "$stage/htdocs" "$stage/nginx"
cp "$bin"/tarnhost "$bin"/*.so "$here"/kel/hello.web "$stage/cgi-bin/"
printf '[FastCGI]\r\nWorkers=%s\r\nMaxRequestsPerWorker=%s\r\n' "$WORKERS" "$MAXREQ" > "$stage/cgi-bin/TARNWICK.INI"
printf '<?php header("Content-Type: text/plain"); echo "hello\\n";\n' > "$stage/htdocs/hello.php"
port() { shuf -i 20000-60000 -n 1; }
np=$(port) lp=$(port)

spawn-fcgi -s "$stage/tarn.sock" -M 0666 -P "$stage/tarn.pid" -- "$stage/cgi-bin/tarnhost" >/dev/null || exit 1
sup=$(cat "$stage/tarn.pid"); pids+=("$sup")
cat > "$stage/fpm.conf" <<CONF
[global]
pid = $stage/fpm.pid
error_log = $stage/fpm.log
daemonize = no
[hello]
listen = $stage/php.sock
listen.mode = 0666
pm = static
pm.max_children = $WORKERS
CONF
php-fpm8.2 -R -F -y "$stage/fpm.conf" >/dev/null 2>&1 & pids+=($!)
# KEEP=1: each server behind an upstream whose connections nginx keeps (no more than
# the server's workers: see README.md).
tarn_pass="unix:$stage/tarn.sock" php_pass="unix:$stage/php.sock" upstreams="" keep_conn=""
if [ "$KEEP" = 1 ]; then
  tarn_pass=tarn php_pass=php keep_conn="fastcgi_keep_conn on;"
  upstreams="upstream tarn { server unix:$stage/tarn.sock; keepalive $WORKERS; }
  upstream php { server unix:$stage/php.sock; keepalive $WORKERS; }"
fi
cat > "$stage/nginx.conf" <<CONF
daemon off;
worker_processes 1;
error_log $stage/nginx.err;
pid $stage/nginx.pid;
events { worker_connections 1024; }
http {
  access_log off;
  client_body_temp_path $stage/nginx/b; fastcgi_temp_path $stage/nginx/f;
  proxy_temp_path $stage/nginx/p; uwsgi_temp_path $stage/nginx/u; scgi_temp_path $stage/nginx/s;
  $upstreams
  server {
    listen 127.0.0.1:$np;
    location = /cgi-bin/tarnhost {
      include /etc/nginx/fastcgi_params;
      $keep_conn
      fastcgi_pass $tarn_pass;
    }
    location = /hello.php {
      include /etc/nginx/fastcgi_params;
      fastcgi_param SCRIPT_FILENAME $stage/htdocs/hello.php;
      $keep_conn
      fastcgi_pass $php_pass;
    }
  }
}
CONF
/usr/sbin/nginx -c "$stage/nginx.conf" >/dev/null 2>&1 & pids+=($!)
cat > "$stage/lighttpd.conf" <<CONF
server.document-root = "$stage/htdocs"
server.bind = "127.0.0.1"
server.port = $lp
server.modules = ("mod_alias", "mod_cgi")
alias.url = ("/cgi-bin/" => "$stage/cgi-bin/")
\$HTTP["url"] =~ "^/cgi-bin/" { cgi.assign = ("" => "") }
CONF
lighttpd -D -f "$stage/lighttpd.conf" >/dev/null 2>&1 & pids+=($!)

fcgi="http://127.0.0.1:$np/cgi-bin/tarnhost?hello.web"
php="http://127.0.0.1:$np/hello.php"
cgi="http://127.0.0.1:$lp/cgi-bin/tarnhost?hello.web"
for u in "$fcgi" "$php" "$cgi"; do
  for _ in $(seq 50); do curl -sf -o /dev/null "$u" && break; sleep 0.1; done
  curl -sf "$u" | grep -qi "hello" || { echo "no hello from $u" >&2; exit 1; }
done

# perf_per_request URL PIDS NAME: PERF requests (ab -c2), the workers' task-clock in us
# per request and nginx's context switches per request.
perf_per_request() {
  local ng ms cs pw pn
  ng=$(pgrep -P "$(cat "$stage/nginx.pid")" | head -1)
  perf stat -x, -e task-clock -p "$(echo $2 | tr ' ' ,)" -o "$stage/perf.w" & pw=$!
  perf stat -x, -e context-switches -p "$ng" -o "$stage/perf.n" & pn=$!
  sleep 0.5
  ab -q -n "$PERF" -c 2 "$1" > "$stage/perf.ab" 2>&1
  kill -INT $pw $pn 2>/dev/null; wait $pw $pn 2>/dev/null
  ms=$(awk -F, '/task-clock/ {print $1}' "$stage/perf.w")
  cs=$(awk -F, '/context-switches/ {print $1}' "$stage/perf.n")
  printf '%s: workers %.1f us CPU, nginx %.2f context switches per request (%s failed)\n' "$3" \
    "$(echo "$ms * 1000 / $PERF" | bc -l)" "$(echo "$cs / $PERF" | bc -l)" "$(awk '/^Failed/ {print $3}' "$stage/perf.ab")"
}
if [ "$PERF" -gt 0 ]; then
  echo "### Per request, $PERF requests of ab -c2 (KEEP=$KEEP)"
  echo
  perf_per_request "$fcgi" "$(pgrep -P "$sup" | tr '\n' ' ')" "tarnhost FastCGI"
  perf_per_request "$php" "$(pgrep -P "$(cat "$stage/fpm.pid")" | tr '\n' ' ')" "PHP-FPM"
  echo
fi

if [ "$ROUNDS" -gt 0 ]; then
rps() { wrk -t1 -c2 -d"${SECS}s" "$1" 2>/dev/null | awk '/Requests\/sec/ {print $2}'; }
median() { sort -n | awk '{a[NR]=$1} END {print (NR % 2) ? a[(NR+1)/2] : (a[NR/2]+a[NR/2+1])/2}'; }
: > "$stage/fcgi.r"; : > "$stage/php.r"; : > "$stage/cgi.r"
for _ in $(seq "$ROUNDS"); do
  rps "$fcgi" >> "$stage/fcgi.r"; rps "$php" >> "$stage/php.r"; rps "$cgi" >> "$stage/cgi.r"
done
F=$(median < "$stage/fcgi.r") P=$(median < "$stage/php.r") C=$(median < "$stage/cgi.r")
echo "### Hello, wrk -c2$([ "$KEEP" = 1 ] && echo ", kept upstream connections"), median of $ROUNDS interleaved ${SECS}-second rounds ($(nproc) cores, load $(cut -d' ' -f1-3 /proc/loadavg))"
echo
echo "| server | requests/s | ÷ tarnhost CGI |"
echo "|---|---:|---:|"
printf '| tarnhost FastCGI, nginx, %s workers | %s | %.2f |\n' "$WORKERS" "$F" "$(echo "$F / $C" | bc -l)"
printf '| PHP-FPM hello, same nginx, %s children | %s | %.2f |\n' "$WORKERS" "$P" "$(echo "$P / $C" | bc -l)"
printf '| tarnhost CGI, lighttpd | %s | 1.00 |\n' "$C"
printf '\ntarnhost FastCGI ÷ PHP-FPM: %.2f\n' "$(echo "$F / $P" | bc -l)"
echo "rounds: FastCGI $(tr '\n' ' ' < "$stage/fcgi.r")| PHP-FPM $(tr '\n' ' ' < "$stage/php.r")| CGI $(tr '\n' ' ' < "$stage/cgi.r")"
fi

[ "$SOAK" -gt 0 ] || exit 0
rss() { local t=0 p; for p in $(pgrep -P "$sup"); do t=$((t + $(awk '/^VmRSS/ {print $2}' /proc/$p/status 2>/dev/null || echo 0))); done; echo $((t / $(pgrep -P "$sup" | wc -l))); }
fds() { ls /proc/$sup/fd | wc -l; }
wfds() { local t=0 p; for p in $(pgrep -P "$sup"); do t=$((t + $(ls /proc/$p/fd | wc -l))); done; echo "$t"; }
w0=$(pgrep -P "$sup" | sort | tr '\n' ' ')
r0=$(rss) f0=$(fds) s0=$(awk '/^VmRSS/ {print $2}' /proc/$sup/status) d0=$(wfds)
ab -q -n "$SOAK" -c 1 "$fcgi" > "$stage/ab.txt" 2>&1
r1=$(rss) f1=$(fds) s1=$(awk '/^VmRSS/ {print $2}' /proc/$sup/status) d1=$(wfds)
w1=$(pgrep -P "$sup" | sort | tr '\n' ' ')
echo
echo "### $SOAK requests in a row through FastCGI (ab -c1)"
echo
grep -E "^(Complete|Failed|Non-2xx|Requests per second)" "$stage/ab.txt" | sed 's/^/    /'
echo "    idle worker RSS: $r0 kB before, $r1 kB after; supervisor RSS: $s0 kB before, $s1 kB after"
echo "    supervisor descriptors: $f0 before, $f1 after; workers' descriptors: $d0 before, $d1 after"
echo "    workers: ${w0}before, ${w1}after ($([ "$w0" = "$w1" ] && echo "the same processes" || echo "replaced"))"
