#!/usr/bin/env bash
# Builds and runs every test: the Release build, then the script tests again under
# AddressSanitizer and UndefinedBehaviorSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh test
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DKEL_TESTS=ON -DKEL_WERROR=ON >/dev/null
cmake --build build -j2
(cd build && ctest --output-on-failure -j2 --timeout 300)
# The run tests again with the per-line token cache off: same outputs either way. The
# script tests and the recorded outputs are left out here because the recorded-output
# test already runs every script both ways against one recording.
(cd build && KEL_TOKEN_CACHE=0 ctest --output-on-failure -j2 --timeout 300 -L run -E '^(Scripts|Recorded|GoldenPrograms)/')
# The sanitizer build is a unity build of the products at -O1 with line tables only: it
# compiles in about half the time of -O2 -g, still names file and line in a report,
# and keeps the unity configuration of the first command building.
cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKEL_SANITIZE=ON -DKEL_TESTS=ON -DKEL_WERROR=ON \
  -DCMAKE_UNITY_BUILD=ON "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O1 -g1 -DNDEBUG" \
  "-DCMAKE_C_FLAGS_RELWITHDEBINFO=-O1 -g1 -DNDEBUG" >/dev/null
cmake --build build-asan -j2
# Every script runs once under the sanitizers through the recorded-output test, half of
# them with the line cache and half without (KEL_GOLDEN_SPLIT); the Release run above
# compared every one both ways. The script tests would run each again, so they are left
# out here. The recorded outputs run as two shards of one test program rather than as
# 700 ctest entries: under the sanitizers, starting the test program is most of a case.
(cd build-asan && ASAN_OPTIONS=detect_leaks=1 ctest --output-on-failure -j2 --timeout 300 -L 'unit|run' -E '^(Scripts|Recorded)/')
(
  cd build-asan/tests
  export KEL_GOLDEN_SPLIT=1 ASAN_OPTIONS=detect_leaks=1 GTEST_TOTAL_SHARDS=2
  GTEST_SHARD_INDEX=0 ./run_tests --gtest_filter='Recorded/*' --gtest_brief=1 & first=$!
  GTEST_SHARD_INDEX=1 ./run_tests --gtest_filter='Recorded/*' --gtest_brief=1 || exit 1
  wait "$first"
)
