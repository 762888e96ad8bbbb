#!/usr/bin/env bash
# Builds everything and runs every test; exits non-zero on any failure.
# Installs missing Debian packages first when run as root.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
jobs=$(nproc 2>/dev/null || echo 2)

tools/install_deps.sh

# The programs, the test suite and the benchmarks (Release, as users build
# them). The Python package's core is built by its own install below.
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DPUMAK_BUILD_TESTS=ON -DPUMAK_BUILD_BENCHMARKS=ON \
  -DPUMAK_BUILD_PYTHON=OFF
cmake --build build -j"$jobs"
ctest --test-dir build --output-on-failure -j"$jobs"

# The Python package installed the documented way (README, Python) into a
# fresh venv, and its wheel built, so that a packaging fault fails here; then
# every Python test against the installed package and the programs just
# installed with it, from a directory outside the tree: reference runs, sites, station
# files, ensembles (a Dask cluster on the loopback; job arrays on a one-node
# Slurm the tests start and stop with tools/slurm_cluster.sh, as root only),
# plots, the installation itself (the wheel into a second venv). -rs names
# the reason of each skipped test; a test that hangs fails after 10 minutes
# with the stacks of its threads (pytest-timeout) rather than taking CI's time.
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
venv=build/python-venv
rm -rf "$venv" build/python-wheel
/usr/bin/python3 -m venv --system-site-packages "$venv"
touch "$scratch/before-install"
"$venv/bin/pip" install --quiet --no-build-isolation --no-index .
"$venv/bin/pip" wheel --quiet --no-build-isolation --no-index --no-deps --wheel-dir build/python-wheel .
written=$(find python -newer "$scratch/before-install" -type f)
if [ -n "$written" ]; then
  echo "test_all: installing the package wrote into the source tree: $written" >&2
  exit 1
fi
wheels=(build/python-wheel/pumak-*.whl)
(cd "$scratch" && PUMAK_TEST_INSTALLED=1 PUMAK_WHEEL="$root/${wheels[0]}" PUMAK_BUILD_DIR="$root/build" \
  "$root/$venv/bin/python" -m pytest "$root/tests/python" -q -rs -p no:cacheprovider --timeout 600)
# The end-to-end program tests once more against the programs CMake built above (the run before
# used those pip installed into the venv): both must behave alike.
(cd "$scratch" && PUMAK_TEST_INSTALLED=1 PUMAK_TEST_PROGRAMS=build PUMAK_BUILD_DIR="$root/build" \
  "$root/$venv/bin/python" -m pytest "$root/tests/python/test_core.py" "$root/tests/python/test_outputs.py" \
  "$root/tests/python/test_verify.py" "$root/tests/python/test_install.py" -q -p no:cacheprovider --timeout 600)
rm -rf "$scratch"
trap - EXIT

# The documentation site built with the installed package, warnings and
# unresolved references as errors and the gallery run, then every page
# opened in headless Chromium (nothing fetched from the network).
tools/build_docs.sh "$venv/bin/python"
tools/check_pages.py docs/_build/html

# The same C++ suite built with AddressSanitizer and UndefinedBehaviorSanitizer;
# the end-to-end tests then run the sanitized programs too.
cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPUMAK_SANITIZE=ON \
  -DPUMAK_BUILD_TESTS=ON -DPUMAK_BUILD_BENCHMARKS=OFF -DPUMAK_BUILD_PYTHON=OFF
cmake --build build-asan -j"$jobs"
ctest --test-dir build-asan --output-on-failure -j"$jobs"

# The fuzzers: each seed corpus replayed (ctest), then a short fuzzing smoke,
# each harness for about 30 s from a scratch copy of its seeds (the committed
# seeds stay as they are). A crash, a sanitizer report or a broken check
# fails the script.
cmake -S . -B build-fuzz -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DPUMAK_BUILD_FUZZERS=ON -DPUMAK_BUILD_TESTS=OFF -DPUMAK_BUILD_BENCHMARKS=OFF -DPUMAK_BUILD_PYTHON=OFF
cmake --build build-fuzz -j"$jobs"
ctest --test-dir build-fuzz --output-on-failure
fuzz_scratch=$(mktemp -d)
trap 'rm -rf "$fuzz_scratch"' EXIT
for harness in fuzz_parameter_reader fuzz_met_reader fuzz_run; do
  cp -r "fuzz/corpus/$harness" "$fuzz_scratch/$harness"
  if ! "build-fuzz/fuzz/$harness" -max_total_time=30 -print_final_stats=1 \
      -artifact_prefix="build-fuzz/$harness-" "$fuzz_scratch/$harness" >"$fuzz_scratch/$harness.log" 2>&1; then
    tail -n 60 "$fuzz_scratch/$harness.log" >&2
    echo "fuzz smoke: $harness failed; the failing input is kept as build-fuzz/$harness-*" >&2
    exit 1
  fi
  echo "fuzz smoke: $harness: $(grep -Eo 'number_of_executed_units: [0-9]+' "$fuzz_scratch/$harness.log" | grep -Eo '[0-9]+') inputs, no failure"
done
