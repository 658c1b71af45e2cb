#!/usr/bin/env bash
# Programs started by scripts under a real lighttpd with mod_cgi on 127.0.0.1: nothing a
# child prints reaches the response or the server's log, a child left running does not
# hold the response open, a "Proxy:" header never reaches a child, a header that looks
# like a shell function stays data, and the time-out stops a script waiting for a child.
# Usage: lighttpd_run.sh <bin dir>
set -u
bin=${1:?usage: $0 <bin dir>}

. "$(dirname "$0")/common.bash"
lighttpd_install

work=$(mktemp -d)
pid=""
late=""
cleanup() {
  # the late child leads a session (and process group) of its own
  [ -n "$late" ] && kill -- "-$late" 2>/dev/null
  [ -n "$pid" ] && kill "$pid" 2>/dev/null
  wait 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
mkdir -p "$work/cgi-bin" "$work/htdocs"
cp "$bin/tarnhost" "$bin"/*.so "$work/cgi-bin/"
printf '[TARNWICK]\r\nErrorLog=%s/err.log\r\n' "$work" > "$work/cgi-bin/TARNWICK.INI"
shell=/bin/sh
[ -x /bin/bash ] && shell=/bin/bash  # bash is the shell that would import functions

cat > "$work/cgi-bin/child.web" <<WEB
webout("Content-type: text/plain", 1)
webout("", 1)
webout("before", 1)
r = runwait("/bin/sh", '-c "echo CHILD-STDOUT; echo CHILD-STDERR >&2; cat > stdin.txt"')
late = runshell("/bin/sh", '-c "sleep 20; echo CHILD-LATE"', "", @hidden, @getprocid)
webout("late child " : late, 1)
; lighttpd itself drops the Proxy header; the variable is set here so that what reaches
; the child is still decided by tarnhost alone
if environment("HTTP_PROXY") == "" then r = environset("HTTP_PROXY", "http://evil.test:1/")
webout("script sees proxy " : environment("HTTP_PROXY"), 1)
r = runwait("$shell", '-c "env > child_env.txt"')
webout("after", 1)
WEB

cat > "$work/cgi-bin/wait.web" <<'WEB'
webout("Content-type: text/plain", 1)
webout("", 1)
webout("waiting", 1)
websettimeout(1)
; lighttpd passes no PATH: the program is named with its directory
r = runwait("/bin/sleep", "30")
webout("never", 1)
WEB

lighttpd_start

# -m bounds the request: a child holding the CGI pipe open would keep it from ending.
page=$(curl -s -m 15 -H 'Proxy: http://evil.test:1/' -H 'X-Func: () { :;}; echo pwned > pwned.txt' \
  --data 'SECRET-BODY' "$base?child.web") || fail "child request did not finish"
late=$(sed -n 's/^late child \([0-9]*\).*/\1/p' <<<"$page")
[[ "$page" == *"before"* && "$page" == *"after"* ]] || fail "child page: $page"
[[ "$page" != *CHILD-* ]] || fail "a child's output reached the response: $page"
[[ "$page" == *"script sees proxy http://evil.test:1/"* ]] || fail "the script cannot read HTTP_PROXY: $page"
grep -q CHILD- "$work/lighttpd.err" && fail "a child's output reached the server log"
[ -f "$work/cgi-bin/stdin.txt" ] || fail "the child did not run"
[ -s "$work/cgi-bin/stdin.txt" ] && fail "the child read the request body"
env_file="$work/cgi-bin/child_env.txt"
[ -f "$env_file" ] || fail "the environment child did not run"
grep -q '^HTTP_PROXY=' "$env_file" && fail "HTTP_PROXY reached a child"
grep -qF 'HTTP_X_FUNC=() { :;}; echo pwned > pwned.txt' "$env_file" || fail "the header value did not pass as data"
[ -e "$work/cgi-bin/pwned.txt" ] && fail "a header value ran as shell code"

page=$(curl -s -m 20 "$base?wait.web") || fail "time-out request did not finish"
[[ "$page" == *"waiting"* && "$page" == *"Script timed out"* && "$page" != *"never"* ]] || fail "time-out: $page"

echo "PASS: started programs under lighttpd on port $started"
