#!/usr/bin/env bash
# Writes scripts/start-order.ld: the functions of tarnhost and both libraries that a CGI
# hello request runs, gathered at the front of each object's code. The code of a request
# is then a few neighbouring pages of each file instead of pieces spread over all of it,
# and each page fault on code maps 16 of them at once.
#
#   scripts/start-order.sh [BUILD_DIR]      # default: build-start-order
#
# The request runs under callgrind in a Release build made without the ordering
# (-DKEL_START_ORDER=OFF): valgrind finds symbols only in a section named .text. Run it
# again when the start-up path has changed much; a function that is no longer there
# simply matches nothing, and a new one is only left in its usual place.
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD=${1:-build-start-order}
command -v valgrind >/dev/null || { echo "start-order.sh: needs valgrind" >&2; exit 1; }
cmake -S . -B "$BUILD" -DCMAKE_BUILD_TYPE=Release -DKEL_TESTS=OFF -DKEL_START_ORDER=OFF >/dev/null
cmake --build "$BUILD" -j2 --target tarnhost kelrun32 >/dev/null
STAGE=$(mktemp -d /tmp/kel-start-order.XXXXXX)
trap 'rm -rf "$STAGE"' EXIT
cp "$BUILD"/bin/tarnhost "$BUILD"/bin/libkelrun32.so "$BUILD"/bin/libkelplatform.so bench/kel/hello.web "$STAGE"/
(cd "$STAGE" && env -i REQUEST_METHOD=GET QUERY_STRING=hello.web GATEWAY_INTERFACE=CGI/1.1 \
   SCRIPT_NAME=/cgi-bin/tarnhost SERVER_NAME=localhost SERVER_PORT=80 CONTENT_LENGTH=0 \
   valgrind -q --tool=callgrind --callgrind-out-file="$STAGE/cg.out" --compress-strings=no --compress-pos=no \
   --demangle=no ./tarnhost </dev/null >/dev/null)
{
  echo "/* The functions a CGI hello request runs, first in each object's code: written by"
  echo "   scripts/start-order.sh, read by the linker with the default script (INSERT). */"
  echo "SECTIONS"
  echo "{"
  echo "  .text.start :"
  echo "  {"
  # Named functions of the three objects, clones (.constprop, .isra, .part) included
  # (callgrind marks recursion levels with 'N); the parts split off as cold stay where
  # they are. A constructor or destructor named as its complete-object variant (C1, D1)
  # is compiled into the section of its base-object twin (C2, D2).
  awk '/^ob=/ { ob = ($0 ~ /\/(tarnhost|libkelrun32\.so|libkelplatform\.so)$/) }
       /^fn=/ && ob { f = substr($0, 4); sub(/\047[0-9]+$/, "", f)
                      if (f !~ /^[A-Za-z_][A-Za-z0-9_.]*$/ || f ~ /\.cold/) next
                      print f
                      if (f ~ /[CD]1E/) { g = f; sub(/C1E/, "C2E", g); sub(/D1E/, "D2E", g); print g } }' "$STAGE/cg.out" |
    LC_ALL=C sort -u | sed 's/.*/    *(.text.&)/'
  echo "  }"
  echo "}"
  echo "INSERT BEFORE .text;"
} > scripts/start-order.ld
echo "scripts/start-order.ld: $(grep -c '^    \*' scripts/start-order.ld) functions"
