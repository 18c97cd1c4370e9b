#!/bin/sh
# run_index.sh: the structural-index target (scalar and quote-aware builders compared).
# Usage: fuzz/run_index.sh [SECONDS] [libFuzzer flags...]   (see fuzz/run)
exec "$(dirname "$0")/run" index "$@"
