#!/usr/bin/env bash
# Builds the Debian packages: an optimised, hardened build for /usr in
# build-package/ (or $READERTOOL_PACKAGE_DIR), then CPack's DEB generator,
# which makes one package per program: readertool (the window), readerctl
# (the command line and the udev rule) and readersim (the simulated reader).
# Prints each package's path and its contents.
# Extra arguments go to the CMake configure step (e.g. -DREADERTOOL_BUILD_GUI=OFF).
# Then the Windows packages beside them: a cross-build with mingw-w64 in
# build-package-windows/, its target windows_packages (a zip and a per-user
# installer, packaging/windows), both copied into the same folder.
# READERTOOL_NO_WINDOWS=1 skips the Windows packages.
#
# Needs dpkg-dev (dpkg-shlibdeps works out the package's dependencies) and,
# for the PNG icons, librsvg2-bin; for Windows, mingw-w64 and nsis (makensis).
# scripts/install-deps.sh installs them.
set -euo pipefail
cd "$(dirname "$0")/.."

dir=${READERTOOL_PACKAGE_DIR:-build-package}
# Debian's hardening flags, as dpkg-buildflags gives them to every package:
# _FORTIFY_SOURCE=2 (with the -O3 of Release), -fstack-protector-strong, format checks, and
# -z relro -z now; PIE is the compiler's default and asked for again below.
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
# The packages hold no debug information, so a build in another folder may
# reuse the compiler cache's objects.
export CCACHE_NOHASHDIR=1
cppflags=$(dpkg-buildflags --get CPPFLAGS)
cmake -S . -B "$dir" -G Ninja \
  -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_C_FLAGS="$cppflags $(dpkg-buildflags --get CFLAGS)" \
  -DCMAKE_CXX_FLAGS="$cppflags $(dpkg-buildflags --get CXXFLAGS)" \
  -DCMAKE_EXE_LINKER_FLAGS="$(dpkg-buildflags --get LDFLAGS)" \
  -DCMAKE_POSITION_INDEPENDENT_CODE=ON \
  -DCMAKE_INSTALL_PREFIX=/usr \
  -DREADERTOOL_BUILD_TESTS=OFF \
  -DREADERTOOL_BUILD_BENCH=OFF \
  -DREADERTOOL_BUILD_FUZZ=OFF \
  -DREADERTOOL_WINDOW_TEST_HOOKS=OFF \
  "$@" >/dev/null
cmake --build "$dir" -j"$(nproc)"
rm -f "$dir"/*.deb
(cd "$dir" && cpack -G DEB >/dev/null)

for deb in "$dir"/*.deb; do
  dpkg-deb --info "$deb"
  dpkg-deb --contents "$deb"
  echo "package: $deb"
done

[ "${READERTOOL_NO_WINDOWS:-0}" = 1 ] && exit 0
wdir=build-package-windows
cmake -S . -B "$wdir" -G Ninja \
  -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/mingw-w64-x86_64.cmake \
  -DCMAKE_BUILD_TYPE=Release \
  -DREADERTOOL_BUILD_TESTS=OFF \
  -DREADERTOOL_BUILD_BENCH=OFF \
  -DREADERTOOL_BUILD_FUZZ=OFF \
  -DREADERTOOL_WINDOW_TEST_HOOKS=OFF >/dev/null
cmake --build "$wdir" -j"$(nproc)" --target windows_packages
for f in "$wdir"/readertool-*-windows-x64.zip "$wdir"/readertool-*-setup.exe; do
  [ -e "$f" ] || continue
  cp "$f" "$dir"/
  echo "package: $dir/$(basename "$f")"
done
(cd "$dir" && cmake -E tar tf readertool-*-windows-x64.zip)
