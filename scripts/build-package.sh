#!/usr/bin/env bash
# Builds the Debian package: an optimised build for /usr in build-package/,
# then CPack's DEB generator. Prints the package's path and its contents.
# Then the Windows packages beside it: a cross-build with mingw-w64 in
# build-package-windows/, its target windows_packages (a zip and a per-user
# installer, packaging/windows), both copied into build-package/.
# Extra arguments go to the CMake configure step of the Linux build (e.g.
# -DREADERTOOL_BUILD_GUI=OFF). READERTOOL_NO_WINDOWS=1 skips the Windows
# packages.
#
# Needs dpkg-dev (dpkg-shlibdeps works out the package's dependencies) and,
# for the PNG icons, librsvg2-bin; for Windows, mingw-w64 and nsis (makensis).
# scripts/install-deps.sh installs them.
set -euo pipefail
cd "$(dirname "$0")/.."

dir=build-package
cmake -S . -B "$dir" -G Ninja \
  -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_INSTALL_PREFIX=/usr \
  -DREADERTOOL_BUILD_TESTS=OFF \
  -DREADERTOOL_BUILD_BENCH=OFF \
  -DREADERTOOL_BUILD_FUZZ=OFF \
  "$@" >/dev/null
cmake --build "$dir" -j"$(nproc)"
(cd "$dir" && cpack -G DEB >/dev/null)

deb=$(ls -t "$dir"/readertool_*.deb | head -n1)
dpkg-deb --info "$deb"
dpkg-deb --contents "$deb"
echo "package: $deb"

[ "${READERTOOL_NO_WINDOWS:-0}" = 1 ] && exit 0
wdir=build-package-windows
cmake -S . -B "$wdir" -G Ninja \
  -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/mingw-w64-x86_64.cmake \
  -DCMAKE_BUILD_TYPE=Release \
  -DREADERTOOL_BUILD_TESTS=OFF \
  -DREADERTOOL_BUILD_BENCH=OFF \
  -DREADERTOOL_BUILD_FUZZ=OFF >/dev/null
cmake --build "$wdir" -j"$(nproc)" --target windows_packages
for f in "$wdir"/readertool-*-windows-x64.zip "$wdir"/readertool-*-setup.exe; do
  [ -e "$f" ] || continue
  cp "$f" "$dir"/
  echo "package: $dir/$(basename "$f")"
done
(cd "$dir" && cmake -E tar tf readertool-*-windows-x64.zip)
