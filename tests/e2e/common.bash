# Shared by the end-to-end tests: install lighttpd and curl when missing (or skip), and
# start lighttpd with mod_cgi on a free 127.0.0.1 port serving "$work/cgi-bin/".
# The caller sets `work` (a temporary directory) and fills "$work/cgi-bin" first.

# install_needed: installs the packages named in the array `need`, or exits 0 with a SKIP
# line when they cannot be had.
install_needed() {
  if [ ${#need[@]} -gt 0 ]; then
    if [ "$(id -u)" -eq 0 ]; then SUDO=""
    elif command -v sudo >/dev/null 2>&1 && sudo -n true 2>/dev/null; then SUDO="sudo -n"
    else echo "SKIP: ${need[*]} missing and cannot be installed (not root)"; exit 0; fi
    install() { $SUDO env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${need[@]}" >/dev/null 2>&1; }
    install || { $SUDO apt-get update -qq >/dev/null 2>&1 && install; } ||
      { echo "SKIP: installing ${need[*]} failed"; exit 0; }
  fi
}

# lighttpd_install: exits 0 with a SKIP line when the packages cannot be had.
lighttpd_install() {
  need=()
  command -v lighttpd >/dev/null 2>&1 || [ -x /usr/sbin/lighttpd ] || need+=(lighttpd)
  command -v curl >/dev/null 2>&1 || need+=(curl)
  install_needed
  LIGHTTPD=$(command -v lighttpd || echo /usr/sbin/lighttpd)
}

# on_free_port START PROBE: tries up to 8 random 127.0.0.1 ports. For each, `START PORT`
# starts a server in the background and sets `pid`; `PROBE PORT` succeeds once it answers
# (tried every 0.1 s for 5 s while the server lives), else the server is stopped and the
# next port tried. Sets `started` (the port); returns 1 when no port served.
on_free_port() {
  local start=$1 probe=$2 port
  started=""
  for port in $(shuf -i 20000-60000 -n 8); do
    "$start" "$port"
    for _ in $(seq 50); do
      "$probe" "$port" && { started=$port; return 0; }
      kill -0 "$pid" 2>/dev/null || break
      sleep 0.1
    done
    kill "$pid" 2>/dev/null; wait "$pid" 2>/dev/null; pid=""
  done
  return 1
}

# http_answers PORT: a web server answers http://127.0.0.1:PORT$probe_path.
http_answers() { curl -s -o /dev/null "http://127.0.0.1:$1${probe_path:-/}"; }

# lighttpd_on_free_port WRITE PROBE: lighttpd on a free port (on_free_port) until it
# answers PROBE (a path); `WRITE PORT` writes "$work/lighttpd.conf" for the port. Sets
# `pid` and `started` (the port).
lighttpd_on_free_port() {
  lighttpd_write=$1 probe_path=$2
  on_free_port lighttpd_launch http_answers || fail "lighttpd did not start"
}
lighttpd_launch() {
  "$lighttpd_write" "$1"
  "$LIGHTTPD" -D -f "$work/lighttpd.conf" >/dev/null 2>&1 &
  pid=$!
}

# lighttpd_cgi_conf PORT [MODULES [LINES]]: mod_cgi serving "$work/cgi-bin/", with more
# modules (', "mod_x"') and configuration lines when given.
lighttpd_cgi_conf() {
  cat > "$work/lighttpd.conf" <<CONF
server.document-root = "$work/htdocs"
server.bind = "127.0.0.1"
server.port = $1
server.errorlog = "$work/lighttpd.err"
server.modules = ("mod_alias", "mod_cgi"${2:-})
alias.url = ("/cgi-bin/" => "$work/cgi-bin/")
\$HTTP["url"] =~ "^/cgi-bin/" { cgi.assign = ("" => "") }
${3:-}
CONF
}

# lighttpd_start: sets `pid`, `started` (the port), `base` (the tarnhost URL) and CRLF.
lighttpd_start() {
  lighttpd_on_free_port lighttpd_cgi_conf /
  base="http://127.0.0.1:$started/cgi-bin/tarnhost"
  CRLF=$'\r\n'
}

fail() { echo "FAIL: $*"; [ -f "$work/lighttpd.err" ] && tail -5 "$work/lighttpd.err"; exit 1; }

# apache_install: like lighttpd_install, for Apache 2.4 (mod_cgi) and curl.
apache_install() {
  need=()
  [ -x /usr/sbin/apache2 ] || need+=(apache2)
  command -v curl >/dev/null 2>&1 || need+=(curl)
  install_needed
  APACHE=/usr/sbin/apache2
}

# apache_start: Apache with its own configuration on a free 127.0.0.1 port, serving
# "$work/cgi-bin/" the way the README's Apache section does. Sets `pid`, `started`,
# `base` and CRLF. Run as root, its children run as nobody, so the tree is opened up.
apache_start() {
  started=""
  local port mods=/usr/lib/apache2/modules
  chmod 755 "$work"
  mkdir -p "$work/htdocs" "$work/run"
  for port in $(shuf -i 20000-60000 -n 8); do
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
LoadModule alias_module $mods/mod_alias.so
LoadModule cgi_module $mods/mod_cgi.so
<IfModule unixd_module>
User nobody
Group nogroup
</IfModule>
DocumentRoot "$work/htdocs"
ScriptAlias /cgi-bin/ "$work/cgi-bin/"
<Directory "$work/cgi-bin">
    Options +ExecCGI
    Require all granted
</Directory>
CONF
    # In a session of its own: Apache's prefork parent signals its whole process group
    # when it stops, which would otherwise take the test runner with it.
    setsid "$APACHE" -f "$work/apache.conf" -DFOREGROUND >/dev/null 2>&1 &
    pid=$!
    for _ in $(seq 50); do
      curl -s -o /dev/null "http://127.0.0.1:$port/" && { started=$port; break; }
      kill -0 "$pid" 2>/dev/null || break
      sleep 0.1
    done
    [ -n "$started" ] && break
    kill "$pid" 2>/dev/null; wait "$pid" 2>/dev/null; pid=""
  done
  [ -n "$started" ] || { [ -f "$work/apache.err" ] && tail -5 "$work/apache.err"; fail "apache did not start"; }
  base="http://127.0.0.1:$started/cgi-bin/tarnhost"
  CRLF=$'\r\n'
}
