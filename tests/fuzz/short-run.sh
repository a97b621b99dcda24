#!/usr/bin/env bash
# A short run of every fuzz target for the plain test build, where the core is
# built with g++: a clang tree of its own under <work folder>, kept between
# runs so only changed sources are rebuilt.
#   short-run.sh <repository> <work folder> <clang++> <seconds per target>
set -euo pipefail
src="$1" work="$2" clangxx="$3" seconds="$4"
clangc="${clangxx/clang++/clang}"
mkdir -p "$work"
cmake -S "$src" -B "$work/build" -G Ninja \
  -DCMAKE_C_COMPILER="$clangc" -DCMAKE_CXX_COMPILER="$clangxx" \
  -DMC_FUZZ=ON -DMC_TESTS=OFF -DMC_BENCH=OFF >"$work/configure.log"
targets=(scan_sections_fuzz capture_packets_fuzz capture_recode_fuzz server_request_fuzz settings_files_fuzz
  engine_http_fuzz engine_stream_fuzz)
cmake --build "$work/build" --target "${targets[@]}"
for t in "${targets[@]}"; do
  echo "==> $t for ${seconds}s"
  # New inputs go to the work folder; the seeds in the repository stay as they are.
  mkdir -p "$work/corpus/$t"
  seeds=()
  [ -d "$src/tests/fuzz/corpus/$t" ] && seeds=("$src/tests/fuzz/corpus/$t")
  (cd "$work" && "$work/build/fuzz/$t" -max_total_time="$seconds" -rss_limit_mb=2048 "$work/corpus/$t" "${seeds[@]}")
done
