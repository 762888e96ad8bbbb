#!/usr/bin/env bash
# End-to-end benchmark of pumak_metrun on synthetic records of 1, 10 and 100
# years in a temporary working directory: µs per simulated hour and peak
# resident memory. Nothing is left behind.
#
#   bench/end_to_end.sh [BUILD_DIR...] [--years Y...] [--repeat R]
#
# BUILD_DIR defaults to "build"; with several (a build of an earlier commit,
# say) their programs run alternately and are compared with the first.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
programs=()
while [ $# -gt 0 ] && [ "${1#--}" = "$1" ]; do
  programs+=("$1/pumak_metrun")
  shift
done
[ ${#programs[@]} -gt 0 ] || programs=(build/pumak_metrun)
for program in "${programs[@]}"; do
  if [ ! -x "$program" ]; then
    echo "end_to_end: $program not found; build first: cmake --build $(dirname "$program")" >&2
    exit 2
  fi
done
exec /usr/bin/python3 "$here/end_to_end.py" "${programs[@]}" "$@"
