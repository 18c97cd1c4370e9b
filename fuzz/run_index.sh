#!/bin/sh
# run_index.sh: builds the structural-index fuzz target with libFuzzer, ASan and UBSan and runs it.
# Usage: fuzz/run_index.sh [SECONDS] [extra libFuzzer flags...]   (SECONDS defaults to 60)
# New inputs collect in fuzz/out/index (ignored by git) so the committed seeds stay small; crashes
# land in fuzz/out/ and replay with: fuzz/bin/fuzz_index fuzz/out/crash-...
set -eu
here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")
seconds=${1:-60}
[ $# -gt 0 ] && shift

mkdir -p "$here/bin" "$here/out/index"
clang++-14 -std=c++20 -g -O1 -fno-omit-frame-pointer \
  -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all \
  -I"$root/src" "$here/fuzz_index.cpp" "$root"/src/index/*.cpp -o "$here/bin/fuzz_index"

exec "$here/bin/fuzz_index" "$here/out/index" "$here/corpus/index" \
  -dict="$here/xml.dict" -max_total_time="$seconds" -rss_limit_mb=2560 -timeout=25 \
  -artifact_prefix="$here/out/" -print_final_stats=1 "$@"
