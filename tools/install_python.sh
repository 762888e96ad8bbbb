#!/usr/bin/env bash
# Builds the Python package's compiled core (python/pumak/_core*.so) and makes
# `import pumak` work for the Debian system interpreter, or for a virtual
# environment made from it with --system-site-packages.
#
#   tools/install_python.sh                          # for /usr/bin/python3
#   tools/install_python.sh --python VENV/bin/python # for a venv
#   tools/install_python.sh --build-only             # build; change no site directory
#
# Needs a C++ compiler, CMake and Debian's packages (no other package index):
# missing ones are installed with apt-get when run as root, otherwise named.
# The package is used in place: a file pumak.pth in the interpreter's user
# site directory (a venv's site-packages) points at python/ of this tree, so
# rebuilding here updates the installed package. Remove that file to undo.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

python=/usr/bin/python3
build_dir=build-python
write_pth=1
while [ $# -gt 0 ]; do
  case "$1" in
    --python) python=${2:?--python needs an interpreter}; shift 2 ;;
    --build-dir) build_dir=${2:?--build-dir needs a directory}; shift 2 ;;
    --build-only) write_pth=0; shift ;;
    -h|--help) sed -n '2,15p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "install_python: unknown argument $1 (see --help)" >&2; exit 2 ;;
  esac
done

tools/install_deps.sh g++ cmake make python3-dev pybind11-dev python3-pybind11 python3-numpy \
  python3-pandas python3-xarray python3-netcdf4 python3-scipy python3-matplotlib python3-dask \
  python3-distributed python3-emcee python3-tqdm

if ! [ -x "$python" ]; then
  echo "install_python: $python is not an executable interpreter" >&2
  exit 1
fi
python=$(cd "$(dirname "$python")" && pwd)/$(basename "$python")
# The module is built against Debian's numpy: the interpreter must see it.
if ! "$python" -c "import numpy, pandas" 2>/dev/null; then
  echo "install_python: $python does not see Debian's numpy and pandas; use /usr/bin/python3 or a" \
       "virtual environment made with: /usr/bin/python3 -m venv --system-site-packages DIR" >&2
  exit 1
fi

cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=Release -DPUMAK_BUILD_PYTHON=ON \
  -DPython_EXECUTABLE="$python" >/dev/null
cmake --build "$build_dir" -j2 --target _core

if [ "$write_pth" -eq 1 ]; then
  # A venv's own site-packages; for the system interpreter the user's site
  # directory (Debian's directories belong to apt).
  site=$("$python" - <<'EOF'
import site, sys
if sys.prefix != sys.base_prefix:
    print(site.getsitepackages()[0])
elif site.ENABLE_USER_SITE:
    print(site.getusersitepackages())
EOF
)
  if [ -z "$site" ]; then
    echo "install_python: the user site directory is disabled for $python; use PYTHONPATH=$root/python" >&2
    exit 1
  fi
  mkdir -p "$site"
  printf '%s\n' "$root/python" > "$site/pumak.pth"
  echo "install_python: $site/pumak.pth points at $root/python"
fi

# The check: the package and its core load outside the tree.
if [ "$write_pth" -eq 1 ]; then
  (cd / && "$python" -c "import pumak; print('install_python: pumak', pumak.__version__, 'for', '$python')")
else
  (cd / && PYTHONPATH="$root/python" "$python" -c "import pumak; print('install_python: pumak', pumak.__version__, 'built in $build_dir')")
fi
