#!/usr/bin/env bash
# tarnhost under lighttpd's mod_fastcgi (bin-path: lighttpd starts it on a listening
# socket) and, in the same server, under mod_cgi: every request's response, headers
# included (less Date), is the same byte for byte through both. Then the isolation of
# one request from the next, and lighttpd stopping the server cleanly.
# Usage: fastcgi_lighttpd.sh <bin dir>
set -u
bin=${1:?usage: $0 <bin dir>}

. "$(dirname "$0")/common.bash"
. "$(dirname "$0")/fastcgi.bash"
fastcgi_install

work=$(mktemp -d)
pid=""
cleanup() { [ -n "$pid" ] && kill "$pid" 2>/dev/null; wait 2>/dev/null; rm -rf "$work"; }
trap cleanup EXIT
fastcgi_stage 'Workers=1\r\n'

fastcgi_conf() {
  lighttpd_cgi_conf "$1" ', "mod_fastcgi"' "$(cat <<CONF
fastcgi.server = ("/fcgi/tarnhost" => ((
  "socket" => "$work/fcgi.sock", "bin-path" => "$work/cgi-bin/tarnhost",
  "max-procs" => 1, "check-local" => "disable" )))
CONF
)"
}
lighttpd_on_free_port fastcgi_conf /
cgi="http://127.0.0.1:$started/cgi-bin/tarnhost"
fcgi="http://127.0.0.1:$started/fcgi/tarnhost"

# same NAME CURL-ARGS... : the request through CGI and through FastCGI, compared.
same() {
  local name=$1; shift
  curl -s -i "$@" "${cgi}${Q}" | grep -av '^Date: ' | grep -Eav "${filter:-^@@none@@}" > "$work/a.txt"
  curl -s -i "$@" "${fcgi}${Q}" | grep -av '^Date: ' | grep -Eav "${filter:-^@@none@@}" > "$work/b.txt"
  [ -s "$work/a.txt" ] || fail "$name: no CGI response"
  cmp -s "$work/a.txt" "$work/b.txt" || { diff <(cat -A "$work/a.txt") <(cat -A "$work/b.txt") | head -20; fail "$name differs"; }
}
Q="?index.web" same index
Q="?hello.web+some+words" same hello
Q="?form.web" same form
Q="?form_post.web" same "form POST" --data-urlencode 'name=Ann <b>' --data-urlencode 'comment=line 1 & 2'
Q="?form_post.web" same "empty POST" --data 'name='
head -c 3900 /dev/urandom > "$work/limit.bin"
Q="?upload_save.web" same "upload at the content limit" -F "file=@$work/limit.bin;type=application/octet-stream"
head -c 4001 /dev/zero | tr '\0' a > "$work/past.txt"
Q="?form_post.web" same "content one past the limit (413)" --data-binary "@$work/past.txt"
head -c 4000 /dev/zero | tr '\0' a > "$work/at.txt"
Q="?form_post.web" same "content at the limit" --data-binary "@$work/at.txt"
Q="?form_post.web" same "unsupported content type (415)" -H 'Content-Type: text/xml' --data '<x/>'
Q="?../secret.web" same "path check (400)"
Q="?nosuch.web" same "missing script"
Q="" same "no script"
Q="?error.web" same "error handler"
# The environment page differs only where the two locations and connections do.
Q="?dumpinputdata&a=1" filter='^(Content-Length|REQUEST_URI|SCRIPT_NAME|SCRIPT_FILENAME|DOCUMENT_ROOT|REMOTE_PORT)[:=]|<IMG SRC=' \
  same "dumpinputdata" --data 'f=1&g=%26'

# Isolation: with one worker slot, each request still finds a fresh process: the
# environment, the current directory, the exit code, variables and open files of the
# one before are gone, so every answer is the one CGI gives.
curl -s "$cgi?iso.web" > "$work/iso0.txt" || fail "iso through CGI"
grep -q "^env=.$" "$work/iso0.txt" && grep -q "^var=0" "$work/iso0.txt" || fail "iso through CGI: $(cat -A "$work/iso0.txt")"
for i in 1 2 3; do
  curl -s "$fcgi?iso.web" > "$work/iso$i.txt" || fail "iso request $i"
  cmp -s "$work/iso0.txt" "$work/iso$i.txt" || { cat -A "$work/iso0.txt"; fail "request $i saw another's state: $(cat -A "$work/iso$i.txt")"; }
done
# A script that times out, then one that crashes the interpreter's caller: the next
# request is served as usual.
Q="?timeout.web" same "script time-out"
page=$(curl -s "$fcgi?hello.web+after") && [[ "$page" == *"Command data: after"* ]] || fail "after time-out: $page"

kill "$pid"; wait "$pid" 2>/dev/null; pid=""
no_server_left
echo "PASS: CGI and FastCGI responses identical under lighttpd on port $started; requests isolated"
