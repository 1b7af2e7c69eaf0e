#!/usr/bin/env bash
# Builds the Debian package drvvzt_<version>_<arch>.deb into the top directory
# of the clone (CPack from the install rules, prefix /usr), ready for
#   apt install ./drvvzt_*.deb
#
#   BUILD_DIR  build directory to reuse, for example the test build "build"
#              (its install prefix is set to /usr, nothing else changes); by
#              default build-package, configured without tests and benchmarks
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh

build=${BUILD_DIR:-build-package}
options=()
if [[ -z ${BUILD_DIR:-} ]]; then
  options=(-DDRVVZT_BUILD_TESTS=OFF -DDRVVZT_BUILD_BENCH=OFF)
fi
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_INSTALL_PREFIX=/usr \
  "${options[@]}"
cmake --build "$build"

rm -f "$build"/package/drvvzt_*.deb
(cd "$build" && cpack -G DEB)
debs=("$build"/package/drvvzt_*.deb)
# One package in the top directory, so that "apt install ./drvvzt_*.deb" picks it.
rm -f drvvzt_*.deb
cp "${debs[0]}" .
echo "package: $(basename "${debs[0]}")"
