#!/usr/bin/env bash
# `cmake --install` into a directory, then the Debian package: cpack -G DEB builds it from this build, dpkg -i installs it (into a
# root directory of the test's own, so the machine's package database is not touched),
# the files land in /usr/lib/cgi-bin/tarnwick/ with the manual page, and lighttpd serves
# a script from the installed directory.
# Usage: deb_package.sh <bin dir>
set -u
bin=${1:?usage: $0 <bin dir>}
build=$(cd "$bin/.." && pwd)

. "$(dirname "$0")/common.bash"
lighttpd_install
for tool in cpack dpkg dpkg-deb; do
  command -v "$tool" >/dev/null 2>&1 || { echo "SKIP: $tool missing"; exit 0; }
done

work=$(mktemp -d)
pid=""
cleanup() { [ -n "$pid" ] && kill "$pid" 2>/dev/null; wait 2>/dev/null; rm -rf "$work"; }
trap cleanup EXIT

# A plain install into a directory: what a CGI directory needs, and an existing
# TARNWICK.INI is kept.
mkdir -p "$work/inst"
echo "[TARNWICK]" > "$work/inst/TARNWICK.INI"
cmake --install "$build" --prefix "$work/inst" >"$work/install.log" 2>&1 || { cat "$work/install.log"; fail "install failed"; }
for f in tarnhost libkelrun32.so libkelplatform.so tarnlogo.gif tarnbig.gif; do
  [ -f "$work/inst/$f" ] || fail "install lacks $f"
done
[ "$(cat "$work/inst/TARNWICK.INI")" = "[TARNWICK]" ] || fail "install replaced TARNWICK.INI"
[ -e "$work/inst/share" ] && fail "install into a plain directory wrote a manual directory"
printf 'webout("Content-type: text/plain", 1)\r\nwebout("", 1)\r\nwebout("ran", 1)\r\n' > "$work/inst/ran.web"
out=$(cd "$work/inst" && ./tarnhost /TarnwickLocal:/dev/stdout ran.web 2>&1)
[[ "$out" == *"ran"* ]] || fail "installed tarnhost does not run: $out"
rm "$work/inst/TARNWICK.INI"
cmake --install "$build" --prefix "$work/inst" >"$work/install.log" 2>&1 || fail "second install failed"
grep -q '^CounterFormat=png' "$work/inst/TARNWICK.INI" || fail "install lacks the example TARNWICK.INI"

(cd "$build" && cpack -G DEB -B "$work/pkg" >"$work/cpack.log" 2>&1) || { tail -20 "$work/cpack.log"; fail "cpack failed"; }
deb=$(ls "$work"/pkg/*.deb 2>/dev/null | head -1)
[ -n "$deb" ] || fail "no package built"
contents=$(dpkg-deb -c "$deb")
for f in tarnhost libkelrun32.so libkelplatform.so tarnlogo.gif tarnbig.gif TARNWICK.INI; do
  grep -q "\./usr/lib/cgi-bin/tarnwick/$f\$" <<<"$contents" || fail "package lacks $f: $contents"
done
grep -q '\./usr/share/man/man1/tarnhost\.1\.gz$' <<<"$contents" || fail "package lacks tarnhost(1)"
[ "$(dpkg-deb -f "$deb" Package)" = tarnwick ] || fail "package name"

root="$work/root"
mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates"
touch "$root/var/lib/dpkg/status"
dpkg --root="$root" --force-depends --force-not-root --force-script-chrootless -i "$deb" >"$work/dpkg.log" 2>&1 ||
  { cat "$work/dpkg.log"; fail "dpkg -i failed"; }
dir="$root/usr/lib/cgi-bin/tarnwick"
[ -x "$dir/tarnhost" ] || fail "tarnhost not installed"
zcat "$root/usr/share/man/man1/tarnhost.1.gz" | grep -q '^\.TH TARNHOST 1' || fail "manual page"
dpkg --root="$root" -s tarnwick 2>/dev/null | grep -q '^Status: install ok installed' || fail "not recorded as installed"

printf 'webout("Content-type: text/plain", 1)\r\nwebout("", 1)\r\nwebout("installed ":version(), 1)\r\n' > "$dir/hi.web"
mkdir -p "$work/htdocs"
sed -i "s|^;ErrorLog=.*|ErrorLog=$work/err.log|" "$dir/TARNWICK.INI"
mkdir -p "$work/cgi-bin"
rmdir "$work/cgi-bin"
ln -s "$dir" "$work/cgi-bin"
lighttpd_start
page=$(curl -s "$base?hi.web") || fail "request failed"
[[ "$page" == "installed 2019B"* ]] || fail "installed script: $page"
code=$(curl -s -o /dev/null -w '%{http_code}' "$base?dumperrorlog")
[ "$code" = 403 ] || fail "the installed settings do not close dumperrorlog: $code"
echo "PASS"
