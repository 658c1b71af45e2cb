#!/usr/bin/env bash
# Times one CGI request that posts N URL-encoded fields to a script calling
# webparamnames() and then webparamdata() once per listed name, for N = 10,000 and
# 100,000. The form is parsed once into an index, so the second should cost about ten
# times the first. Usage: bench/form-fields.sh [bin dir] [runs]
set -euo pipefail
bin=${1:-build/bin}
runs=${2:-5}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp "$bin/tarnhost" "$bin"/*.so "$work/"
printf '[TARNWICK]\r\nMaxFormFields=1000000\r\nErrorLog=%s/err.log\r\n' "$work" > "$work/TARNWICK.INI"
cat > "$work/fields.web" <<'KEL'
webout("Content-type: text/plain", 1)
webout("", 1)
names = arrayize(webparamnames(), @tab)
n = arrinfo(names, 1)
total = 0
for i = 0 to n - 1
  total = total + strlen(webparamdata(names[i]))
next
webout(n : " " : total, 1)
KEL
for n in 10000 100000; do
  python3 - "$n" > "$work/body.$n" <<'PY'
import sys
n = int(sys.argv[1])
sys.stdout.write("&".join("field%d=value%d" % (i, i) for i in range(n)))
PY
  size=$(stat -c %s "$work/body.$n")
  best=""
  for _ in $(seq "$runs"); do
    start=$(date +%s%N)
    out=$(cd "$work" && env -i REQUEST_METHOD=POST QUERY_STRING=fields.web CONTENT_LENGTH="$size" \
      CONTENT_TYPE=application/x-www-form-urlencoded ./tarnhost < "body.$n")
    end=$(date +%s%N)
    ms=$(( (end - start) / 1000000 ))
    [ -z "$best" ] || [ "$ms" -lt "$best" ] && best=$ms
  done
  echo "$n fields ($size bytes): best of $runs runs ${best} ms; answer: $(echo "$out" | tail -1 | tr -d '\r')"
done
