#!/usr/bin/env bash
# dumpinputdata through a real lighttpd with mod_cgi on 127.0.0.1: GET and POST.
# Usage: lighttpd_dumpinputdata.sh <bin dir>
set -u
bin=${1:?usage: $0 <bin dir>}

. "$(dirname "$0")/common.bash"
lighttpd_install

work=$(mktemp -d)
pid=""
cleanup() { [ -n "$pid" ] && kill "$pid" 2>/dev/null; wait 2>/dev/null; rm -rf "$work"; }
trap cleanup EXIT
mkdir -p "$work/cgi-bin" "$work/htdocs"
cp "$bin/tarnhost" "$bin"/*.so "$bin"/*.gif "$work/cgi-bin/"
printf '[TARNWICK]\r\nErrorLog=%s/err.log\r\n' "$work" > "$work/cgi-bin/TARNWICK.INI"

lighttpd_start

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
