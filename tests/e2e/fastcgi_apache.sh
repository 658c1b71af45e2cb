#!/usr/bin/env bash
# tarnhost started by hand on TCP (--fastcgi=tcp:127.0.0.1:PORT) behind Apache's
# mod_proxy_fcgi: the example pages and the error pages answer as under CGI.
# Usage: fastcgi_apache.sh <bin dir>
set -u
bin=${1:?usage: $0 <bin dir>}

. "$(dirname "$0")/common.bash"
. "$(dirname "$0")/fastcgi.bash"
fastcgi_install
apache_install

work=$(mktemp -d)
pid="" srv=""
cleanup() { [ -n "$pid" ] && kill "$pid" 2>/dev/null; [ -n "$srv" ] && kill "$srv" 2>/dev/null; wait 2>/dev/null; rm -rf "$work"; }
trap cleanup EXIT
fastcgi_stage 'Workers=2\r\n'
chmod 755 "$work"

tcp_start() {
  env -i "$work/cgi-bin/tarnhost" "--fastcgi=tcp:127.0.0.1:$1" </dev/null 2>"$work/srv.err" &
  pid=$!
}
tcp_answers() { $FCGI_CLIENT "tcp:$1" get hello.web >/dev/null 2>&1; }
on_free_port tcp_start tcp_answers || fail "tarnhost did not listen: $(cat "$work/srv.err")"
fport=$started srv=$pid pid=""

mods=/usr/lib/apache2/modules
mkdir -p "$work/htdocs" "$work/run"
apache_start() {
  local port=$1
  cat > "$work/apache.conf" <<CONF
ServerRoot "$work"
ServerName 127.0.0.1
Listen 127.0.0.1:$port
PidFile "$work/run/apache.pid"
DefaultRuntimeDir "$work/run"
Mutex file:$work/run default
ErrorLog "$work/apache.err"
LogLevel warn
LoadModule mpm_prefork_module $mods/mod_mpm_prefork.so
LoadModule authz_core_module $mods/mod_authz_core.so
LoadModule proxy_module $mods/mod_proxy.so
LoadModule proxy_fcgi_module $mods/mod_proxy_fcgi.so
<IfModule unixd_module>
User nobody
Group nogroup
</IfModule>
DocumentRoot "$work/htdocs"
ProxyPass "/cgi-bin/tarnhost" "fcgi://127.0.0.1:$fport/"
CONF
  setsid "$APACHE" -f "$work/apache.conf" -DFOREGROUND >/dev/null 2>&1 &
  pid=$!
}
on_free_port apache_start http_answers || { tail -5 "$work/apache.err"; fail "apache did not start"; }
base="http://127.0.0.1:$started/cgi-bin/tarnhost"

page=$(curl -s "$base?hello.web+some+words") && [[ "$page" == *"Command data: some words"* ]] || fail "hello: $page"
page=$(curl -s --data-urlencode 'name=Ann <b>' --data-urlencode 'comment=line 1 & 2' "$base?form_post.web")
[[ "$page" == *"Thank you, Ann &lt;b&gt;."* && "$page" == *"(10 bytes)"* ]] || fail "POST: $page"
code=$(curl -s -o "$work/p.html" -w '%{http_code}' "$base?../secret.web")
cgi_run GET "../secret.web"
sed '1,/^\r\{0,1\}$/d' "$work/cgi.out" > "$work/cgi.body"
[ "$code" = 400 ] && cmp -s "$work/cgi.body" "$work/p.html" || fail "path check: $code $(cat "$work/p.html")"
head -c 4001 /dev/zero | tr '\0' a > "$work/past.txt"
code=$(curl -s -o /dev/null -w '%{http_code}' --data-binary "@$work/past.txt" "$base?form_post.web")
[ "$code" = 413 ] || fail "content past the limit: $code"

kill "$pid"; wait "$pid" 2>/dev/null; pid=""
kill -TERM "$srv"; wait "$srv"; rc=$?; srv=""
[ $rc = 0 ] || fail "SIGTERM exit code $rc"
no_server_left
echo "PASS: FastCGI on 127.0.0.1:$fport behind Apache mod_proxy_fcgi on port $started"
