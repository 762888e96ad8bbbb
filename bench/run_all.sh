#!/usr/bin/env bash
# Builds the project in Release and runs every benchmark: the micro-benchmarks
# (medians of 5 repetitions), the ensemble engine, and the end-to-end runs of
# pumak_metrun on synthetic records of 1, 10 and 100 years.
#
#   bench/run_all.sh [BUILD_DIR]        (default: build)
#
# Extra arguments after BUILD_DIR go to end_to_end.sh, e.g. --years 10.
set -euo pipefail
cd "$(dirname "$0")/.."
build="${1:-build}"
shift || true

# The Python core too, built in place (python/pumak/), for bench_prepare.py.
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DPUMAK_BUILD_BENCHMARKS=ON -DPUMAK_BUILD_PYTHON=ON >/dev/null
cmake --build "$build" -j"$(nproc 2>/dev/null || echo 2)" >/dev/null

echo "== machine: $(nproc) cores, $(lscpu 2>/dev/null | sed -n 's/^Model name: *//p' | head -1)"
echo "== micro-benchmarks ($build/bench/pumak_bench)"
"$build/bench/pumak_bench" --benchmark_repetitions=5 --benchmark_display_aggregates_only=true \
  2>&1 | grep -v -E '_(mean|stddev|cv) '
echo "== ensemble engine ($build/bench/pumak_bench_ensemble)"
"$build/bench/pumak_bench_ensemble" --benchmark_repetitions=3 --benchmark_display_aggregates_only=true \
  2>&1 | grep -v -E '_(mean|stddev|cv) '
echo "== end to end (bench/end_to_end.sh)"
bench/end_to_end.sh "$build" "$@"
echo "== prepare on a logger's TOA5 table (bench/bench_prepare.py)"
PYTHONPATH=python /usr/bin/python3 bench/bench_prepare.py
echo "== prepare with ERA5 point series (bench/bench_reanalysis.py)"
PYTHONPATH=python /usr/bin/python3 bench/bench_reanalysis.py
echo "== pumak run, pumak verify and the digests (bench/bench_verify.py)"
PYTHONPATH=python /usr/bin/python3 bench/bench_verify.py --build "$build"
