#!/bin/sh
# fuzz-smoke.sh WORK PROGRAM CORPUS [LIBFUZZER FLAGS...]
# A short libFuzzer run of PROGRAM from the inputs of CORPUS, which it only
# reads: new inputs go to WORK/new, a finding (crash-*, leak-*, timeout-*) to
# WORK/, and the exit status is non-zero. With a fixed seed every run makes
# the same executions, so a result never depends on luck. The other settings
# are those of scripts/fuzz-archive (see there).
set -eu
work=$1 program=$2 corpus=$3
shift 3
rm -rf "$work"
mkdir -p "$work/new"
# As scripts/fuzz-archive: a small quarantine and short allocation stacks.
export ASAN_OPTIONS="${ASAN_OPTIONS:-quarantine_size_mb=8:malloc_context_size=4}"
exec "$program" -seed=1 -timeout=60 -entropic_scale_per_exec_time=1 -rss_limit_mb=2048 -max_len=4096 \
  -print_final_stats=1 -artifact_prefix="$work/" "$@" "$work/new" "$corpus"
