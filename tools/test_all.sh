#!/usr/bin/env bash
# Builds everything and runs every test; exits non-zero on any failure.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc 2>/dev/null || echo 2)

tools/install_deps.sh

# The model, the programs and the test suite (Release, as users build it).
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DPUMAK_BUILD_TESTS=ON -DPUMAK_BUILD_BENCHMARKS=ON
cmake --build build -j"$jobs"
ctest --test-dir build --output-on-failure -j"$jobs"

# The plotting tool, with the interpreter that sees the system's matplotlib.
/usr/bin/python3 -m unittest discover -s tests/tools -v
