#!/usr/bin/env bash
# Installs what the build needs from Debian's packages (only what is missing) and builds into
# build/: everything, or the targets named in RS232C_TARGETS. Used by run-daemon.sh and test.sh.
set -euo pipefail
cd "$(dirname "$0")/.."

# mypy, pip and venv: the Python kit's tests check its types and install it offline; openssl and
# curl: the TLS tests make certificates and call with them.
packages=(g++ cmake make dpkg-dev libxmlrpc-c++8-dev libcurl4-openssl-dev libexpat1-dev libssl-dev openssl curl libgtest-dev
          libsystemd-dev pkg-config python3 valgrind debhelper lintian dh-python python3-all
          python3-setuptools pybuild-plugin-pyproject mypy python3-pip python3-venv "$@")
missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
    missing+=("$package")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing ${missing[*]} ..."
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
fi

cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
targets=()
for target in ${RS232C_TARGETS:-}; do targets+=(--target "$target"); done
cmake --build build -j"$(nproc)" "${targets[@]}"
