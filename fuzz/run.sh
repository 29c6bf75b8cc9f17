#!/usr/bin/env bash
# Builds the fuzz targets with clang and runs each for a bounded time, one at a
# time with one worker:
#   fuzz/run.sh [SECONDS_PER_TARGET] [TARGET...]      (default: 120, vm asm)
# Seeds: the curated fuzz/corpus/<target> and the end-to-end test programs
# (make_corpus.py). The growing corpus is kept in fuzz/corpus-run/<target>;
# inputs that crash are written to fuzz/corpus-run/artifacts/. Exits non-zero
# on any finding: copy the artifact into fuzz/regressions/<target>/ once fixed.
# Environment: BUILD (default build-fuzz), JOBS (default 2), FUZZ_ARGS (more
# libFuzzer options).
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-120}
shift || true
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(vm asm)
build=${BUILD:-build-fuzz}
jobs=${JOBS:-2}

CC=clang CXX=clang++ cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTRUV_FUZZ=ON -DTRUV_TESTS=OFF >/dev/null
cmake --build "$build" -j "$jobs" --target truvasm $(printf 'fuzz_%s ' "${targets[@]}")
python3 fuzz/make_corpus.py --bin "$build"

run=fuzz/corpus-run
mkdir -p "$run/artifacts" "$run/tmp"
status=0
for t in "${targets[@]}"; do
  mkdir -p "$run/$t"
  dict=()
  [ -f "fuzz/$t.dict" ] && dict=(-dict="fuzz/$t.dict")
  echo "== fuzz_$t for ${seconds}s"
  log="$run/fuzz_$t.log"
  # The scratch directories of fuzz_vm go under the build tree.
  if TMPDIR="$PWD/$run/tmp" "$build/fuzz/fuzz_$t" "$run/$t" "fuzz/corpus/$t" "fuzz/corpus-e2e/$t" \
      "${dict[@]}" -max_total_time="$seconds" -max_len=4096 -timeout=20 -rss_limit_mb=2048 \
      -print_final_stats=1 -artifact_prefix="$run/artifacts/${t}-" ${FUZZ_ARGS:-} >"$log" 2>&1; then
    grep -E '^#[0-9]+[[:space:]]+DONE|stat::number_of_executed_units|stat::peak_rss_mb' "$log" || true
  else
    status=1
    echo "fuzz_$t found a fault:"
    tail -n 60 "$log"
    ls -l "$run/artifacts" || true
  fi
done
exit $status
