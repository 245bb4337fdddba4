#!/usr/bin/env bash
# Runs every fuzz target for SECONDS (default 300) each, one after the other,
# from the seeds in fuzz/corpus/; what a target finds stays in
# build-fuzz/fuzz/corpus/<target>/ and a crash in build-fuzz/fuzz/.
#   tools/fuzz.sh [SECONDS]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-300}
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz
status=0
for source in fuzz/*.cpp; do
  name=$(basename "$source" .cpp)
  echo "== fuzz_$name for $seconds s"
  mkdir -p "build-fuzz/fuzz/corpus/$name"
  (cd build-fuzz/fuzz && "./fuzz_$name" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
      -print_final_stats=1 "corpus/$name" "$PWD/fuzz/corpus/$name") || status=1
done
exit $status
