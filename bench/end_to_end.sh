#!/usr/bin/env bash
# End-to-end benchmark of pumak_metrun: a synthetic record of N days (default
# 3650, ten years) in a temporary working directory, several timed runs, and
# one 100-year run for the peak resident memory. Nothing is left behind.
#
#   bench/end_to_end.sh [BUILD_DIR] [--days N] [--repeat R] [--memory-days D]
#
# BUILD_DIR defaults to "build". --memory-days 0 skips the long run.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
build="build"
if [ $# -gt 0 ] && [ "${1#--}" = "$1" ]; then
  build="$1"
  shift
fi
program="$build/pumak_metrun"
if [ ! -x "$program" ]; then
  echo "end_to_end: $program not found; build first: cmake --build $build" >&2
  exit 2
fi
exec /usr/bin/python3 "$here/end_to_end.py" "$program" "$@"
