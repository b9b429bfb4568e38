#!/usr/bin/env bash
# Installs each Debian package alone (the window's with the command line's,
# which it depends on) on a clean Debian system and takes it off again: a minimal bookworm made with debootstrap (from Debian's mirror,
# cached in the base folder between runs), copied afresh for every package.
# Each package must install with apt from its .deb, its programs must run,
# and a purge (with the dependencies it pulled in) must leave no file of it
# behind. Needs root, debootstrap and the network; run it after
# scripts/build-package.sh. A manual check, not part of the test command:
# about 5 minutes for debootstrap the first time, then about 2 minutes (the
# window's package pulls in Qt).
#
#   sudo bash scripts/try-packages.sh [PACKAGE_DIR] [BASE_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."

dir=${1:-build-package}
base=${2:-/var/tmp/readertool-chroot-base}
mirror=${DEBIAN_MIRROR:-http://deb.debian.org/debian}
[ "$(id -u)" -eq 0 ] || { echo "try-packages: needs root (chroot, debootstrap)"; exit 1; }

if [ ! -x "$base/usr/bin/apt-get" ]; then
  debootstrap --variant=minbase bookworm "$base" "$mirror"
fi

work=$(mktemp -d /var/tmp/readertool-try.XXXXXX)
cleanup() {
  for m in dev/pts dev proc; do mountpoint -q "$work/root/$m" && umount -l "$work/root/$m"; done
  # Never remove through a mount that is still there (the host's /dev).
  if grep -q " $work/" /proc/mounts; then echo "try-packages: $work still has mounts; left in place"; return; fi
  rm -rf "$work"
}
trap cleanup EXIT

# Everything on the system but what apt, dpkg and the logs keep about their
# own work.
# A purge must leave nothing of ours. The dependencies' own maintainer
# scripts (systemd's, dbus's, adduser's) create run-time folders and files
# that their purge keeps; those are listed, not failed.
snapshot() {
  chroot "$work/root" find / -xdev \
    \( -path /var/cache -o -path /var/lib/apt -o -path /var/lib/dpkg -o -path /var/log \
       -o -path /tmp -o -path /proc -o -path /dev -o -path /debs -o -path /etc/ld.so.cache \) -prune \
    -o -print | sort
}

# try "PACKAGE..." COMMAND...: installs the packages' .deb files, runs the
# commands, purges the packages.
try() {
  local pkgs=$1; shift
  local debs=() pkg
  for pkg in $pkgs; do debs+=("/debs/$(basename "$(ls "$dir"/"${pkg}"_*.deb)")"); done
  rm -rf "$work/root"
  cp -a "$base" "$work/root"
  mount -t proc proc "$work/root/proc"
  mount --bind /dev "$work/root/dev"
  mount --bind /dev/pts "$work/root/dev/pts"
  cp /etc/resolv.conf "$work/root/etc/resolv.conf"
  mkdir -p "$work/root/debs"
  cp "$dir"/*.deb "$work/root/debs/"
  chroot "$work/root" apt-get update -qq
  snapshot >"$work/before"
  echo "== install ${debs[*]}"
  chroot "$work/root" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${debs[@]}" >/dev/null
  for cmd in "$@"; do
    echo "   run: $cmd"
    chroot "$work/root" sh -c "$cmd" >/dev/null
  done
  echo "== purge $pkgs"
  # shellcheck disable=SC2086
  chroot "$work/root" env DEBIAN_FRONTEND=noninteractive apt-get purge -y -qq --autoremove $pkgs >/dev/null
  snapshot >"$work/after"
  comm -13 "$work/before" "$work/after" >"$work/added"
  comm -23 "$work/before" "$work/after" >"$work/removed"
  for pkg in $pkgs; do
    dpkg-deb --contents "$dir"/"${pkg}"_*.deb | awk '$1 !~ /^d/ {sub(/^\./, "", $6); print $6}'
  done | sort >"$work/ours"
  if [ -s "$work/removed" ]; then
    echo "FAIL: installing and purging $pkgs removed files:"; cat "$work/removed"; exit 1
  fi
  if comm -12 "$work/ours" "$work/added" | grep . || grep -Ei 'reader(tool|ctl|sim)' "$work/added"; then
    echo "FAIL: $pkgs left the files above behind"; exit 1
  fi
  if chroot "$work/root" dpkg-query -W $pkgs 2>/dev/null | grep .; then
    echo "FAIL: dpkg still knows $pkgs"; exit 1
  fi
  if [ -s "$work/added" ]; then
    echo "   left by the dependencies' own scripts: $(wc -l <"$work/added") paths ($(head -n3 "$work/added" | tr '\n' ' ')...)"
  fi
  umount -l "$work/root/dev/pts" "$work/root/dev" "$work/root/proc"
}

try readerctl "readerctl --help" "readerctl version" "test -f /usr/share/man/man1/readerctl.1.gz" \
  "test -f /lib/udev/rules.d/60-readertool.rules"
try readersim "readersim --help"
# The window needs a display; that every library it links was installed with
# it stands in for starting it.
try "readertool readerctl" "readerctl version" "! ldd /usr/bin/readertool | grep -q 'not found'" \
  "test -f /usr/share/applications/io.github.readertool.ReaderTool.desktop"
echo "each package installs alone, runs and purges without a trace"
