#!/usr/bin/env bash
# Builds the Debian package: an optimised build for /usr in build-package/,
# then CPack's DEB generator. Prints the package's path and its contents.
# Extra arguments go to the CMake configure step (e.g. -DREADERTOOL_BUILD_GUI=OFF).
#
# Needs dpkg-dev (dpkg-shlibdeps works out the package's dependencies) and,
# for the PNG icons, librsvg2-bin; scripts/install-deps.sh installs both.
set -euo pipefail
cd "$(dirname "$0")/.."

dir=build-package
cmake -S . -B "$dir" -G Ninja \
  -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_INSTALL_PREFIX=/usr \
  -DREADERTOOL_BUILD_TESTS=OFF \
  -DREADERTOOL_BUILD_BENCH=OFF \
  -DREADERTOOL_BUILD_FUZZ=OFF \
  -DREADERTOOL_WINDOW_TEST_HOOKS=OFF \
  "$@" >/dev/null
cmake --build "$dir" -j"$(nproc)"
(cd "$dir" && cpack -G DEB >/dev/null)

deb=$(ls -t "$dir"/readertool_*.deb | head -n1)
dpkg-deb --info "$deb"
dpkg-deb --contents "$deb"
echo "package: $deb"
