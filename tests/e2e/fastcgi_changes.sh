#!/usr/bin/env bash
# One reused FastCGI worker keeps what it read of TARNWICK.INI and the names it looked up
# only while the files are unchanged: TARNWICK.INI edited in place (same size, within the
# same second and after it had settled), replaced, renamed to another case and deleted,
# and the script edited, replaced, renamed, deleted and renamed to another case between
# two requests: every answer is the one CGI gives for the files as they are then.
# Usage: fastcgi_changes.sh <bin dir>
set -u
bin=${1:?usage: $0 <bin dir>}

. "$(dirname "$0")/common.bash"
. "$(dirname "$0")/fastcgi.bash"
fastcgi_install

fastcgi_begin
fastcgi_stage 'Workers=1\r\nMaxRequestsPerWorker=100000\r\n'
cgi="$work/cgi-bin"
ini="$cgi/TARNWICK.INI"
sock="$work/fcgi.sock"
printf 'webout("Content-type: text/plain", 1)\r\nwebout("", 1)\r\nwebout("version one", 1)\r\n' > "$cgi/chg.web"
head -c 100 /dev/zero | tr '\0' x | sed 's/^/name=/' > "$work/body.txt"
spawn-fcgi -s "$sock" -P "$work/fcgi.pid" -- "$cgi/tarnhost" >/dev/null || fail "spawn-fcgi"
sup=$(cat "$work/fcgi.pid")
for _ in $(seq 100); do [ -n "$(workers_of "$sup")" ] && break; sleep 0.05; done
w=$(workers_of "$sup")
[ "$(wc -l <<< "$w")" = 1 ] || fail "not one worker: $w"

# cgi METHOD QUERY: the CGI answer with the environment the FastCGI client sends.
cgi_answer() {
  local len="" input=/dev/null
  [ "$1" = POST ] && { len=$(stat -c %s "$work/body.txt"); input="$work/body.txt"; }
  (for fd in $(ls "/proc/$BASHPID/fd"); do [ "$fd" -gt 2 ] && eval "exec $fd>&-"; done
   cd "$cgi" && env -i PATH=/usr/bin:/bin REQUEST_METHOD="$1" QUERY_STRING="$2" CONTENT_LENGTH="$len" \
     CONTENT_TYPE="${len:+application/x-www-form-urlencoded}" GATEWAY_INTERFACE=CGI/1.1 SERVER_PROTOCOL=HTTP/1.1 \
     SERVER_NAME=localhost SERVER_PORT=80 SCRIPT_NAME=/fcgi/tarnhost REMOTE_ADDR=127.0.0.1 \
     ./tarnhost < "$input" 2>/dev/null; echo "[exit $?]") | tr -d '\r' | sed '$d'
}
fcgi_answer() {
  if [ "$1" = POST ]; then $FCGI_CLIENT "$sock" post "$2" "$work/body.txt"
  else $FCGI_CLIENT "$sock" get "$2"; fi | tr -d '\r' | sed '/^\[status/d'
}
# same WHAT METHOD QUERY [TEXT]: FastCGI answers as CGI (and the answer holds TEXT), from
# the same worker.
same() {
  local f c
  f=$(fcgi_answer "$2" "$3") || fail "$1: no FastCGI answer"
  c=$(cgi_answer "$2" "$3")
  # The CGI answer's body ends where the FastCGI client's added line break is.
  [ "$f" = "$c" ] || [ "$f" = "$c"$'\n' ] || fail "$1: FastCGI answered
$(cat -A <<< "$f")
CGI answered
$(cat -A <<< "$c")"
  [ -z "${4:-}" ] || grep -q -- "$4" <<< "$f" || fail "$1: no \"$4\" in $(cat -A <<< "$f")"
  [ "$(workers_of "$sup")" = "$w" ] || fail "$1: the worker was replaced"
}
settle() { sleep 2.2; }  # the files' change times two seconds old: copies may be kept

same "first" POST form_post.web
settle
same "settled" POST form_post.web
# MaxContentLength=4000 -> 0050: same size, same second, same modification second.
sed -i 's/^MaxContentLength=4000\r$/MaxContentLength=0050\r/' "$ini"
same "TARNWICK.INI edited in place" POST form_post.web "too large"
sed -i 's/^MaxContentLength=0050\r$/MaxContentLength=4000\r/' "$ini"
same "TARNWICK.INI edited back at once" POST form_post.web
settle
same "settled after the edit" POST form_post.web
cp "$ini" "$work/ini.new"
sed -i 's/^MaxContentLength=4000\r$/MaxContentLength=0050\r/' "$work/ini.new"
mv "$work/ini.new" "$ini"
same "TARNWICK.INI replaced" POST form_post.web "too large"
settle
same "settled after the replacement" POST form_post.web "too large"
mv "$ini" "$cgi/tarnwick.ini"
same "TARNWICK.INI renamed to lower case" POST form_post.web "too large"
mv "$cgi/tarnwick.ini" "$work/saved.ini"
same "TARNWICK.INI deleted" POST form_post.web
mv "$work/saved.ini" "$ini"
same "TARNWICK.INI back" POST form_post.web "too large"

# The script is read afresh for every request; its name is looked up again too.
same "script" GET chg.web "version one"
sed -i 's/version one/version two/' "$cgi/chg.web"
same "script edited in place" GET chg.web "version two"
printf 'webout("Content-type: text/plain", 1)\r\nwebout("", 1)\r\nwebout("version three", 1)\r\n' > "$work/new.web"
mv "$work/new.web" "$cgi/chg.web"
same "script replaced" GET chg.web "version three"
mv "$cgi/chg.web" "$cgi/CHG.WEB"
same "script renamed to upper case" GET chg.web "version three"
mv "$cgi/CHG.WEB" "$cgi/other.web"
same "script renamed away" GET chg.web
same "script under its new name" GET other.web "version three"
rm "$cgi/other.web"
same "script deleted" GET other.web

kill -TERM "$sup"; sup=""
no_server_left
echo "PASS: one worker saw every change of TARNWICK.INI and of the script as CGI does"
