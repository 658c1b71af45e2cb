#!/usr/bin/env bash
# Builds tarnhost and serves the example site under lighttpd on 127.0.0.1.
# Usage: scripts/serve-example.sh [port]   (default 8080; Ctrl-C stops the server)
set -euo pipefail
cd "$(dirname "$0")/.."
port=${1:-${PORT:-8080}}
scripts/install-deps.sh site
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build -j2
stage=$(mktemp -d /tmp/tarnwick-site.XXXXXX)
trap 'kill ${pid:-0} 2>/dev/null || true; rm -rf "$stage"' EXIT
mkdir -p "$stage/cgi-bin" "$stage/htdocs"
cp -a build/bin/. "$stage/cgi-bin/"
cp -a examples/site/. "$stage/cgi-bin/"
[ -f examples/TARNWICK.INI ] && cp examples/TARNWICK.INI "$stage/cgi-bin/"
cat > "$stage/htdocs/index.html" <<HTML
<html><body><p><a href="/cgi-bin/tarnhost?index.web">Example site</a></p></body></html>
HTML
cat > "$stage/lighttpd.conf" <<CONF
server.document-root = "$stage/htdocs"
server.bind = "127.0.0.1"
server.port = $port
server.modules = ("mod_access", "mod_alias", "mod_cgi")
alias.url = ("/cgi-bin/" => "$stage/cgi-bin/")
# Only the program itself is reachable: scripts, settings and data files are not served.
\$HTTP["url"] =~ "^/cgi-bin/" {
  cgi.assign = ("/tarnhost" => "")
  \$HTTP["url"] !~ "^/cgi-bin/tarnhost\$" { url.access-deny = ("") }
}
server.errorlog = "$stage/error.log"
CONF
lighttpd -D -f "$stage/lighttpd.conf" &
pid=$!
sleep 0.5
echo "Example site: http://127.0.0.1:$port/cgi-bin/tarnhost?index.web   (Ctrl-C to stop)"
wait $pid
