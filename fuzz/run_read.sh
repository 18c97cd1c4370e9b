#!/bin/sh
# Builds the tree-builder fuzz target with ASan and UBSan and runs it for N seconds (default 60)
# on the seed corpus. Usage: fuzz/run_read.sh [seconds]
set -eu
cd "$(dirname "$0")/.."
SECONDS_TO_RUN=${1:-60}
mkdir -p fuzz/bin fuzz/out/read
# The core only: everything that compiles without Python.h.
SOURCES="fuzz/fuzz_read.cpp $(ls src/read/*.cpp | grep -v read_entry.cpp) src/index/*.cpp
  src/storage/*.cpp src/entities/attr_map.cpp src/entities/siphash.cpp"
clang++-14 -std=c++20 -g -O1 -fno-omit-frame-pointer -fsanitize=fuzzer,address,undefined \
  -fno-sanitize-recover=all -Isrc $SOURCES -o fuzz/bin/fuzz_read
cat > fuzz/out/read.dict <<'DICT'
"<"
">"
"/>"
"</"
"<!--"
"-->"
"<![CDATA["
"]]>"
"<?"
"?>"
"<!DOCTYPE r>"
"&lt;"
"&amp;"
"&quot;"
"&#"
"&#x"
";"
"=\""
"='"
"\xc2\xa0"
"\xe3\x80\x80"
DICT
exec fuzz/bin/fuzz_read fuzz/out/read fuzz/corpus/read -dict=fuzz/out/read.dict \
  -max_total_time="$SECONDS_TO_RUN" -rss_limit_mb=2560 -timeout=25 -max_len=4096 \
  -artifact_prefix=fuzz/out/ -print_final_stats=1
