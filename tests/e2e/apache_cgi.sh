#!/usr/bin/env bash
# tarnhost under a real Apache 2.4 with mod_cgi on 127.0.0.1. Apache hands the words of a
# query without "=" to the program as arguments; none of them may select local or file
# mode, name an output file or change one. Also the status lines of error pages.
# Usage: apache_cgi.sh <bin dir>
set -u
bin=${1:?usage: $0 <bin dir>}

. "$(dirname "$0")/common.bash"
apache_install

work=$(mktemp -d)
pid=""
cleanup() { [ -n "$pid" ] && kill "$pid" 2>/dev/null; wait 2>/dev/null; rm -rf "$work"; }
trap cleanup EXIT
mkdir -p "$work/cgi-bin" "$work/victim"
cp "$bin/tarnhost" "$bin"/*.so "$bin"/*.gif "$work/cgi-bin/"
printf '[TARNWICK]\r\nErrorLog=%s/run/err.log\r\nDisableDeleteerrorlog=1\r\n' "$work" > "$work/cgi-bin/TARNWICK.INI"
cat > "$work/cgi-bin/hello.web" <<'KEL'
webout("Content-type: text/plain", 1)
webout("", 1)
webout("Command data: ":webcmddata(), 1)
KEL
echo "keep me" > "$work/victim/target.txt"
chmod -R a+rwX "$work/victim"

apache_start

# status code of a request (and its body in $work/body)
get() { curl -s -o "$work/body" -w '%{http_code} %{content_type}' "$base?$1"; }

r=$(get "hello.web+some+words") || fail "hello request failed"
[ "$r" = "200 text/plain" ] || fail "hello: $r"
grep -q "^Command data: some words" "$work/body" || fail "hello body: $(cat "$work/body")"

for q in "/TarnwickLocal:$work/victim/target.txt+hello.web" \
         "%2FTarnwickLocal:$work/victim/target.txt+hello.web" \
         "/tarnwicklocal:$work/victim/new.txt+hello.web" \
         "/TARNWICKLOCAL+hello.web" \
         "$work/victim/a.dat+$work/victim/b.con+$work/victim/c.out+hello.web" \
         "a.dat+b.con+c.out+hello.web"; do
  r=$(get "$q") || fail "request failed: $q"
  [ "$r" = "400 text/html" ] || fail "argument injection $q: $r $(cat "$work/body")"
  grep -q "<H1>Tarnwick Error</H1>" "$work/body" || fail "no error page for $q"
done
[ "$(cat "$work/victim/target.txt")" = "keep me" ] || fail "target file changed"
[ "$(ls "$work/victim")" = "target.txt" ] || fail "files created: $(ls "$work/victim")"
[ ! -e "$work/cgi-bin/c.out" ] && [ ! -e /tmp/TARNWICK.LCL ] || fail "an output file was created"

r=$(get "nosuch.web") || fail "missing script request failed"
[ "$r" = "404 text/html" ] || fail "missing script: $r"
grep -q "^nosuch.web" "$work/body" || fail "missing script detail: $(cat "$work/body")"
grep -q 'Call(' "$work/body" && fail "missing script page shows the wrapper line"

r=$(get "x.txt") || fail "request failed"
[ "$r" = "400 text/html" ] || fail "not a .web name: $r"
r=$(get "deleteerrorlog") || fail "request failed"
[ "$r" = "403 text/html" ] || fail "deleteerrorlog not refused: $r"
r=$(curl -s -o "$work/body" -w '%{http_code}' -H 'Content-Type: text/xml' --data 'x' "$base?hello.web")
[ "$r" = "415" ] || fail "unsupported type: $r"

echo "PASS: tarnhost under Apache mod_cgi on port $started"
