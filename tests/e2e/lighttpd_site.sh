#!/usr/bin/env bash
# The example site through a real lighttpd with mod_cgi on 127.0.0.1: every page with
# GET, the form with POST, a binary multipart upload compared byte for byte, the counter
# image and the time-out page.
# Usage: lighttpd_site.sh <bin dir>
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
site=$(cd "$(dirname "$0")/../../examples/site" && pwd) || { echo "FAIL: examples/site missing"; exit 1; }
cp -a "$site/." "$work/cgi-bin/"
printf '[TARNWICK]\r\nErrorLog=%s/err.log\r\n' "$work" > "$work/cgi-bin/TARNWICK.INI"

lighttpd_start


page=$(curl -s "$base?index.web") || fail "index request failed"
[[ "$page" == *"<h1>Tarnwick examples</h1>"* && "$page" == *"tarnhost?counter.web"* ]] || fail "index: $page"

page=$(curl -s "$base?hello.web+some+words") || fail "hello request failed"
[[ "$page" == *"Command data: some words"* ]] || fail "hello: $page"

page=$(curl -s "$base?form.web") || fail "form request failed"
[[ "$page" == *"action='tarnhost?form_post.web'"* ]] || fail "form: $page"

page=$(curl -s --data-urlencode 'name=Ann <b>' --data-urlencode 'comment=line 1 & 2' "$base?form_post.web") ||
  fail "POST request failed"
[[ "$page" == *"Thank you, Ann &lt;b&gt;."* ]] || fail "POST name: $page"
[[ "$page" == *"<pre>line 1 &amp; 2</pre>"* && "$page" == *"(10 bytes)"* ]] || fail "POST comment: $page"
[[ "$page" == *"Fields received: name, comment"* ]] || fail "POST names: $page"

page=$(curl -s --data 'name=' "$base?form_post.web") || fail "empty POST failed"
[[ "$page" == *"Please give your name."* ]] || fail "empty POST: $page"

# A binary file with NULs, CR LF pairs and text that looks like a part header.
head -c 3000 /dev/urandom > "$work/up.bin"
printf '\r\n--x\r\nContent-Disposition: form-data; name="note"\r\n\r\nphantom\r\n\0\0end' >> "$work/up.bin"
size=$(stat -c %s "$work/up.bin")
page=$(curl -s -F "file=@$work/up.bin;type=application/octet-stream" -F note=hi "$base?upload_save.web") ||
  fail "upload failed"
[[ "$page" == *"Saved $size bytes."* ]] || fail "upload: $page"
cmp -s "$work/up.bin" "$work/cgi-bin/data/upload.bin" || fail "saved upload differs"
curl -s -o "$work/down.bin" "$base?download.web" || fail "download failed"
cmp -s "$work/up.bin" "$work/down.bin" || fail "downloaded file differs"

type=$(curl -s -o "$work/c1.xbm" -w '%{content_type}' "$base?counter.web") || fail "counter failed"
curl -s -o "$work/c2.xbm" "$base?counter.web" || fail "counter failed"
[ "$type" = "image/x-xbitmap" ] || fail "counter type: $type"
grep -q '^#define number_width 96$' "$work/c1.xbm" || fail "counter image"
[ "$(cat "$work/cgi-bin/data/counter.txt" | tr -d '\r\n')" = 2 ] || fail "counter file: $(cat "$work/cgi-bin/data/counter.txt")"
cmp -s "$work/c1.xbm" "$work/c2.xbm" && fail "counter did not change"

page=$(curl -s "$base?logs.web") || fail "logs request failed"
[[ "$page" == *"<tr><td>127.0.0.1</td><td>00:10:10</td><td>/index.html</td><td>200</td><td>2326</td><td>http://example.test/start</td></tr>"* ]] ||
  fail "logs: $page"
[[ "$page" != *"not a log line"* ]] || fail "logs shows a non-log line"

page=$(curl -s "$base?error.web") || fail "error request failed"
[[ "$page" == *"<p>Caught: "* && "$page" == *'webbaseconv("1G", 16, 10)'* && "$page" != *"Not reached"* ]] ||
  fail "error handler: $page"

page=$(curl -s -m 30 "$base?timeout.web") || fail "timeout request failed"
[[ "$page" == *"Waiting for the time-out"* && "$page" == *"Script timed out"* ]] || fail "timeout: $page"

page=$(curl -s "$base?clock.web") || fail "clock request failed"
[[ "$page" =~ \<li\>[0-9]{4}-[0-9]{2}-[0-9]{2}\ [0-9]{2}:[0-9]{2}:[0-9]{2}\ \(ISO ]] || fail "clock ISO: $page"
[[ "$page" =~ (Monday|Tuesday|Wednesday|Thursday|Friday|Saturday|Sunday)\ [0-9]{1,2}\ [A-Z][a-z]+\ [0-9]{4} ]] ||
  fail "clock words: $page"
[[ "$page" =~ "Days left this year: "[0-9]+ ]] || fail "clock days: $page"

page=$(curl -s "$base?settings.web") || fail "settings request failed"
[[ "$page" == *"<h1>Tarnwick example site</h1>"* && "$page" == *"Kept by the Tarnwick team."* ]] || fail "settings: $page"
[[ "$page" == *"Sections of data/site.ini: Site</p>"* ]] || fail "settings sections: $page"

# The guest book: a hostile entry is kept on one line and shown escaped; entries posted
# at the same moment are all kept.
page=$(curl -s --data-urlencode $'name=Eve\t<script>' --data-urlencode $'comment=a\r\nb\tc & "d"' "$base?guestbook.web") ||
  fail "guestbook post failed"
[[ "$page" == *"<b>Eve &lt;script&gt;</b>"* && "$page" == *"a b c &amp; &quot;d&quot;"* ]] || fail "guestbook entry: $page"
[[ "$page" == *"2 entries."* ]] || fail "guestbook count: $page"
posts=()
for i in 1 2 3 4 5 6; do
  curl -s -o /dev/null --data "name=n$i&comment=c$i" "$base?guestbook.web" &
  posts+=($!)
done
wait "${posts[@]}"
page=$(curl -s "$base?guestbook.web") || fail "guestbook read failed"
[[ "$page" == *"8 entries."* ]] || fail "concurrent guestbook posts lost: $page"
[ "$(wc -l < "$work/cgi-bin/data/guestbook.txt")" = 8 ] || fail "guestbook file: $(cat "$work/cgi-bin/data/guestbook.txt")"
page=$(curl -s --data "name=&comment=x" "$base?guestbook.web") || fail "guestbook empty post failed"
[[ "$page" == *"8 entries."* ]] || fail "an entry without a name was kept: $page"

echo "PASS: example site under lighttpd on port $started"
