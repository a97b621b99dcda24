#!/usr/bin/env bash
# A short fuzzing run for the plain test build, where the core is built with
# g++: the harness and the few sources it reaches are compiled with clang.
#   short-run.sh <repository> <work folder> <clang++> <seconds>
set -euo pipefail
src="$1" work="$2" clangxx="$3" seconds="$4"
mkdir -p "$work/corpus"
"$clangxx" -std=c++20 -O1 -g -fsanitize=fuzzer,address,undefined -fno-omit-frame-pointer -I"$src/src" \
  "$src/src/scan/UDVB.cpp" "$src/src/scan/Crc32.cpp" "$src/src/scan/DvbText.cpp" \
  "$src/src/text/Cp1251.cpp" "$src/src/text/AppPaths.cpp" "$src/src/device/UDevice.cpp" \
  "$src/tests/fuzz/SectionsFuzz.cpp" -ldl -lpthread -o "$work/scan_sections_fuzz"
exec "$work/scan_sections_fuzz" -max_total_time="$seconds" -rss_limit_mb=2048 "$work/corpus"
