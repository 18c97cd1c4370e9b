#!/bin/sh
# run_read.sh: the tree-builder target. Usage: fuzz/run_read.sh [SECONDS] [libFuzzer flags...]
exec "$(dirname "$0")/run" read "$@"
