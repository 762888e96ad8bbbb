#!/usr/bin/env bash
# Builds the documentation site into docs/_build/html, running the gallery's
# examples on the way; every warning (and every reference that does not
# resolve) fails the build.
#
#   tools/build_docs.sh            # with .venv/bin/python when .venv exists, else the package in python/
#   tools/build_docs.sh PYTHON     # with this interpreter and the pumak it imports (a venv's python)
#
# The package in python/ needs its compiled core built in place
# (cmake -S . -B build -DPUMAK_BUILD_PYTHON=ON && cmake --build build -j2);
# Sphinx, sphinx-gallery, numpydoc, myst-parser and the Read-the-Docs theme
# are Debian's packages (tools/install_deps.sh installs them).
set -euo pipefail
cd "$(dirname "$0")/.."

in_place=0
if [ $# -gt 1 ]; then
  echo "build_docs: usage: tools/build_docs.sh [PYTHON]" >&2
  exit 2
elif [ $# -eq 1 ]; then
  python=$1
elif [ -x .venv/bin/python ]; then
  python=.venv/bin/python
else
  python=/usr/bin/python3
  in_place=1
  if ! compgen -G "python/pumak/_core*.so" >/dev/null; then
    echo "build_docs: no .venv and no core built in place in python/pumak; install the package into .venv" \
      "or build the core: cmake -S . -B build -DPUMAK_BUILD_PYTHON=ON && cmake --build build -j2" >&2
    exit 2
  fi
fi
if ! "$python" -c "import sphinx, sphinx_gallery, numpydoc, myst_parser, sphinx_rtd_theme" 2>/dev/null; then
  echo "build_docs: $python lacks Sphinx or one of its extensions (install them, as root: tools/install_deps.sh)" >&2
  exit 2
fi

# The gallery is run afresh: examples whose source did not change would
# otherwise keep figures drawn by an earlier package.
rm -rf docs/_build/html docs/_build/doctrees docs/auto_examples
PUMAK_DOCS_IN_PLACE=$in_place MPLBACKEND=Agg "$python" -m sphinx -b html -W --keep-going -n -q \
  -d docs/_build/doctrees docs docs/_build/html
echo "build_docs: docs/_build/html/index.html"
