#!/usr/bin/env bash
# The example site as a newcomer sees it: examples/lighttpd.conf and examples/htdocs with
# the example TARNWICK.INI. "/" leads to the index page, static files carry their content
# types, and headless Chromium loads the index page and decodes its counter image.
# Usage: chromium_site.sh <bin dir>
set -u
bin=${1:?usage: $0 <bin dir>}

. "$(dirname "$0")/common.bash"
lighttpd_install
CHROMIUM=$(command -v chromium || command -v chromium-browser || true)
[ -n "$CHROMIUM" ] || { echo "SKIP: chromium missing (scripts/install-deps.sh test installs it)"; exit 0; }

examples=$(cd "$(dirname "$0")/../../examples" && pwd) || { echo "FAIL: examples missing"; exit 1; }
work=$(mktemp -d)
pid=""
cleanup() { [ -n "$pid" ] && kill "$pid" 2>/dev/null; wait 2>/dev/null; rm -rf "$work"; }
trap cleanup EXIT
mkdir -p "$work/cgi-bin" "$work/htdocs" "$work/home"
cp "$bin/tarnhost" "$bin"/*.so "$bin"/*.gif "$work/cgi-bin/"
cp -a "$examples/site/." "$work/cgi-bin/"
cp -a "$examples/htdocs/." "$work/htdocs/"
sed "s|^;ErrorLog=.*|ErrorLog=$work/err.log|" "$examples/TARNWICK.INI" > "$work/cgi-bin/TARNWICK.INI"
# A page of the test's own that frames the index page and reports what the browser made
# of the counter: its natural width is 0 when the image did not decode.
cat > "$work/htdocs/check.html" <<'HTML'
<html><body><iframe id="f" src="/"></iframe><pre id="r">pending</pre>
<script>
window.addEventListener("load", function () {
  var d = document.getElementById("f").contentDocument;
  var img = d && d.querySelector("img.counter");
  document.getElementById("r").textContent =
    img ? "counter " + img.naturalWidth + "x" + img.naturalHeight : "no counter";
});
</script></body></html>
HTML

site_conf() { sed -e "s|@ROOT@|$work|g" -e "s|@PORT@|$1|g" "$examples/lighttpd.conf" > "$work/lighttpd.conf"; }
lighttpd_on_free_port site_conf /style.css
url="http://127.0.0.1:$started"

page=$(curl -s -L "$url/") || fail "/ failed"
[[ "$page" == *"<h1>Tarnwick examples</h1>"* ]] || fail "/ is not the index page: $page"
for f in style.css:text/css check.html:text/html; do
  type=$(curl -s -o /dev/null -w '%{content_type}' "$url/${f%%:*}")
  [[ "$type" == "${f#*:}"* ]] || fail "${f%%:*} served as '$type'"
done
type=$(curl -s -o "$work/c.png" -w '%{content_type}' "$url/cgi-bin/tarnhost?counter.web")
[ "$type" = "image/png" ] || fail "counter type: $type"
[ "$(head -c 8 "$work/c.png" | od -An -tx1 | tr -d ' \n')" = 89504e470d0a1a0a ] || fail "counter is no PNG"
code=$(curl -s -o /dev/null -w '%{http_code}' "$url/cgi-bin/TARNWICK.INI")
[ "$code" = 403 ] || fail "settings file reachable: $code"

dom=$(HOME="$work/home" timeout 90 "$CHROMIUM" --headless --no-sandbox --disable-gpu --disable-dev-shm-usage \
  --no-first-run --user-data-dir="$work/home/profile" --virtual-time-budget=10000 --dump-dom "$url/check.html" \
  2>"$work/chromium.err") || { tail -5 "$work/chromium.err"; fail "chromium failed"; }
[[ "$dom" == *"counter 96x16"* ]] || fail "the browser did not decode the counter: $(grep -o 'id="r">[^<]*' <<<"$dom")"
echo "PASS"
