#!/usr/bin/env bash
# dumpinputdata through a real lighttpd with mod_cgi on 127.0.0.1: GET and POST.
# Usage: lighttpd_dumpinputdata.sh <bin dir>
set -u
bin=${1:?usage: $0 <bin dir>}

need=()
command -v lighttpd >/dev/null 2>&1 || [ -x /usr/sbin/lighttpd ] || need+=(lighttpd)
command -v curl >/dev/null 2>&1 || need+=(curl)
if [ ${#need[@]} -gt 0 ]; then
  if [ "$(id -u)" -eq 0 ]; then SUDO=""
  elif command -v sudo >/dev/null 2>&1 && sudo -n true 2>/dev/null; then SUDO="sudo -n"
  else echo "SKIP: ${need[*]} missing and cannot be installed (not root)"; exit 0; fi
  install() { $SUDO env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${need[@]}" >/dev/null 2>&1; }
  install || { $SUDO apt-get update -qq >/dev/null 2>&1 && install; } ||
    { echo "SKIP: installing ${need[*]} failed"; exit 0; }
fi
LIGHTTPD=$(command -v lighttpd || echo /usr/sbin/lighttpd)

work=$(mktemp -d)
pid=""
cleanup() { [ -n "$pid" ] && kill "$pid" 2>/dev/null; wait 2>/dev/null; rm -rf "$work"; }
trap cleanup EXIT
mkdir -p "$work/cgi-bin" "$work/htdocs"
cp "$bin/tarnhost" "$bin"/*.so "$bin"/*.gif "$work/cgi-bin/"
printf '[TARNWICK]\r\nErrorLog=%s/err.log\r\n' "$work" > "$work/cgi-bin/TARNWICK.INI"

fail() { echo "FAIL: $*"; [ -f "$work/lighttpd.err" ] && tail -5 "$work/lighttpd.err"; exit 1; }

started=""
for port in $(shuf -i 20000-60000 -n 8); do
  cat > "$work/lighttpd.conf" <<CONF
server.document-root = "$work/htdocs"
server.bind = "127.0.0.1"
server.port = $port
server.errorlog = "$work/lighttpd.err"
server.modules = ("mod_alias", "mod_cgi")
alias.url = ("/cgi-bin/" => "$work/cgi-bin/")
\$HTTP["url"] =~ "^/cgi-bin/" { cgi.assign = ("" => "") }
CONF
  "$LIGHTTPD" -D -f "$work/lighttpd.conf" >/dev/null 2>&1 &
  pid=$!
  for _ in $(seq 50); do
    curl -s -o /dev/null "http://127.0.0.1:$port/" && { started=$port; break; }
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  [ -n "$started" ] && break
  kill "$pid" 2>/dev/null; wait "$pid" 2>/dev/null; pid=""
done
[ -n "$started" ] || fail "lighttpd did not start"
base="http://127.0.0.1:$started/cgi-bin/tarnhost"
CRLF=$'\r\n'

get=$(curl -s "$base?dumpinputdata&name=a+b&x=%3C1%3E") || fail "GET request failed"
[[ "$get" == *"<H1>Content file</H1>${CRLF}<PRE>${CRLF}name=a b${CRLF}${CRLF}x=&lt;1&gt;${CRLF}${CRLF}</PRE>"* ]] ||
  fail "GET content section: $get"
[[ "$get" == *"QUERY_STRING=dumpinputdata&amp;name=a+b&amp;x=%3C1%3E${CRLF}"* ]] || fail "GET environment: $get"
[[ "$get" == *"<TITLE>Tarnwick version 2019B</TITLE>"* ]] || fail "GET page head"

post=$(curl -s --data 'f=hello+world&g=%26' "$base?dumpinputdata") || fail "POST request failed"
[[ "$post" == *"<PRE>${CRLF}f=hello world${CRLF}${CRLF}g=&amp;${CRLF}${CRLF}</PRE>"* ]] || fail "POST content: $post"
[[ "$post" == *"REQUEST_METHOD=POST${CRLF}"* ]] || fail "POST environment"

logo=$(curl -s -o "$work/logo.gif" -w '%{content_type}' "$base?dumpgif+tarnlogo") || fail "logo request failed"
[ "$logo" = "image/gif" ] && cmp -s "$work/logo.gif" "$work/cgi-bin/tarnlogo.gif" || fail "logo: $logo"

echo "PASS: dumpinputdata GET and POST under lighttpd on port $started"
