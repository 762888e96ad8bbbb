#!/usr/bin/env bash
# Installs the Python package pumak into a virtual environment, the documented
# way (README, Python): the environment is made from Debian's interpreter with
# --system-site-packages, so that it sees Debian's numpy, pandas and the rest,
# and pip builds the package from this tree without a package index.
#
#   tools/install_python.sh [VENV]             # install into VENV (default: .venv of this tree), made if missing
#   tools/install_python.sh [VENV] --editable  # the same, used in place (pip install -e)
#   tools/install_python.sh --build-only       # only build python/pumak/_core*.so, for PYTHONPATH=python
#
# Needs a C++ compiler, CMake and Debian's packages: missing ones are installed
# with apt-get when run as root, otherwise named. Nothing is written outside
# VENV and this tree; `VENV/bin/pip uninstall pumak` undoes the install.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

venv=$root/.venv
editable=()
build_only=0
named=0
while [ $# -gt 0 ]; do
  case "$1" in
    --editable|-e) editable=(-e); shift ;;
    --build-only) build_only=1; shift ;;
    -h|--help) sed -n '2,13p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    -*) echo "install_python: unknown option $1 (see --help)" >&2; exit 2 ;;
    *)
      if [ "$named" -eq 1 ]; then
        echo "install_python: one environment at a time: $venv and $1 (see --help)" >&2
        exit 2
      fi
      venv=$1; named=1; shift ;;
  esac
done
case "$venv" in /*) ;; *) venv=$(pwd)/$venv ;; esac  # as named from the caller's directory
cd "$root"

tools/install_deps.sh g++ cmake make python3-dev pybind11-dev python3-pybind11 python3-venv \
  python3-pip python3-setuptools python3-wheel python3-numpy python3-pandas python3-xarray \
  python3-netcdf4 python3-scipy python3-matplotlib python3-dask python3-distributed \
  python3-emcee python3-tqdm

# An earlier version of this script pointed the user site directory at this
# tree with a pumak.pth, which every interpreter of that Python then read.
old_pth=$(/usr/bin/python3 -c 'import site; print(site.getusersitepackages())')/pumak.pth
if [ -f "$old_pth" ] && [ "$(cat "$old_pth")" = "$root/python" ]; then
  rm -f "$old_pth"
  echo "install_python: removed $old_pth (left by an earlier version of this script)"
fi

if [ "$build_only" -eq 1 ]; then
  cmake -S . -B build-python -DCMAKE_BUILD_TYPE=Release -DPUMAK_BUILD_PYTHON=ON \
    -DPUMAK_PYTHON_IN_PLACE=ON -DPython_EXECUTABLE=/usr/bin/python3 >/dev/null
  cmake --build build-python -j2 --target _core
  (cd / && PYTHONPATH="$root/python" /usr/bin/python3 -c \
    "import pumak; print('install_python: pumak', pumak.__version__, 'built in place; use PYTHONPATH=$root/python')")
  exit 0
fi

if ! [ -x "$venv/bin/python" ]; then
  /usr/bin/python3 -m venv --system-site-packages "$venv"
fi
"$venv/bin/pip" install --quiet --no-build-isolation --no-index "${editable[@]}" .
(cd / && "$venv/bin/python" -c "import pumak; print('install_python: pumak', pumak.__version__, 'in $venv')")
echo "install_python: run $venv/bin/pumak, or $venv/bin/python for import pumak"
