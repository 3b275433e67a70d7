#!/usr/bin/env bash
# Installs what is needed, builds in Release into build-release/ and leaves the Debian package
# build/tellwick_<version>_amd64.deb; its dependencies come from dpkg-shlibdeps.
# Install it with: sudo apt install ./build/tellwick_*.deb
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
# Debian's own hardening flags (fortified functions, stack protector, full RELRO).
cmake -S . -B build-release -G Ninja -DCMAKE_BUILD_TYPE=Release -DTELLWICK_TESTS=OFF -DTELLWICK_BENCHMARKS=OFF \
  -DCMAKE_CXX_FLAGS="$(dpkg-buildflags --get CPPFLAGS) $(dpkg-buildflags --get CXXFLAGS)" \
  -DCMAKE_EXE_LINKER_FLAGS="$(dpkg-buildflags --get LDFLAGS)" >/dev/null
cmake --build build-release
rm -rf build-release/packages
cpack --config build-release/CPackConfig.cmake -B "$PWD/build-release/packages" >/dev/null
mkdir -p build
mv build-release/packages/tellwick_*.deb build/
ls build/tellwick_*.deb
