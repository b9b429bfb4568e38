#!/usr/bin/env bash
# Installs every Debian package the project needs to build, test, fuzz,
# benchmark and package itself. Safe to run again: apt skips what is there.
set -euo pipefail

packages=(
  # toolchain and build
  g++ cmake ninja-build pkg-config git
  # tests, fuzzing (clang's libFuzzer runtime), benchmarks
  libgtest-dev libgmock-dev clang libclang-rt-14-dev libbenchmark-dev
  # the operator window: Qt 6 Widgets, and fonts metric-compatible with the
  # window's design fonts (Calibri, Courier New, Arial)
  qt6-base-dev fonts-crosextra-carlito fonts-liberation
  # screenshots and window tests without a display
  xvfb xauth
  # a Windows DLL with a version resource and a second reader of it, to
  # check the version-resource reader against
  mingw-w64-x86-64-dev icoutils
  # desktop files and the Debian package: validators, icon rendering, man
  # page formatting, dpkg-shlibdeps for the package's dependencies
  desktop-file-utils appstream librsvg2-bin groff-base dpkg-dev
  # the packages' own check: lintian judges each built .deb as Debian would;
  # debootstrap makes the clean system that scripts/try-packages.sh installs
  # them into
  lintian debootstrap
  # Windows: the mingw-w64 cross compiler with the POSIX thread model (the
  # only one with std::thread and std::mutex), Wine to run the Windows tests
  # and programs, NSIS for the installer
  g++-mingw-w64-x86-64-posix wine64 nsis
  # the guest test: a virtual machine booting Debian's kernel (fetched by the
  # test itself with apt-get download) with a busybox initramfs
  qemu-system-x86 busybox-static cpio
)

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi

export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${packages[@]}" >/dev/null
echo "install-deps: ${#packages[@]} packages present"
