#!/usr/bin/env bash
# Installs Debian packages that are missing, as root with apt-get; run as
# another user it names them and fails.
#
#   tools/install_deps.sh             # everything building and testing need
#   tools/install_deps.sh PACKAGE...  # just these
#
# Everything: a C++ compiler, CMake, GoogleTest, Google Benchmark, clang with
# its sanitizer and fuzzer runtime, pybind11 and the Python packages the
# pumak package uses (all Debian's, for /usr/bin/python3) with venv, pip, setuptools
# and wheel to install it into a virtual environment, GNU time for
# the benchmarks' memory figures, Slurm with munge for the tests of job
# arrays on a one-node cluster (tools/slurm_cluster.sh), and Sphinx with its
# extensions and Chromium to build the documentation site and open its pages.
set -euo pipefail

if [ $# -gt 0 ]; then
  packages=("$@")
else
  packages=(g++ cmake make libgtest-dev libbenchmark-dev clang libclang-rt-dev time
    python3-dev pybind11-dev python3-pybind11 python3-numpy python3-pandas python3-xarray
    python3-netcdf4 python3-scipy python3-matplotlib python3-dask python3-distributed
    python3-emcee python3-tqdm python3-pytest python3-pytest-timeout python3-venv python3-pip python3-setuptools python3-wheel
    slurm-wlm munge python3-sphinx python3-sphinx-gallery python3-numpydoc python3-myst-parser
    python3-sphinx-rtd-theme chromium chromium-driver)
fi
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
  echo "install_deps: missing packages: ${missing[*]} (install them as root: apt-get install ${missing[*]})" >&2
  exit 1
fi
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq "${missing[@]}" >/dev/null
