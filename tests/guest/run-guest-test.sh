#!/usr/bin/env bash
# USB HID through the real Linux hidraw driver: boots Debian's own kernel in
# QEMU with a small initramfs, where readersim becomes a HID device through
# uhid and readerctl talks to it over /dev/hidrawN, in every report mode.
#
#   run-guest-test.sh BINARY_DIR
#
# BINARY_DIR is a build tree holding sim/readersim and cli/readerctl. The
# kernel package is fetched with apt-get download once and kept in
# BINARY_DIR/guest-cache. Exit status: 0 the guest reported PASS; 1 it
# reported FAIL, timed out or never reported; 77 (skipped) when QEMU, the
# kernel package or another host tool cannot be had.
#
# GUEST_TIMEOUT (seconds, default 240) bounds the boot and the checks;
# GUEST_KEEP=1 keeps the work folder (initramfs, console log) for a look;
# GUEST_ACCEL=kvm tries KVM instead of TCG.
set -uo pipefail

here=$(cd "$(dirname "$0")" && pwd)
bin_dir=${1:?usage: run-guest-test.sh BINARY_DIR}
bin_dir=$(cd "$bin_dir" && pwd)
timeout_s=${GUEST_TIMEOUT:-240}
work=$bin_dir/guest-work
. "$here/guest-common.sh"

guest_require_host
# The HID core, uhid and the generic HID driver: without hid-generic nothing
# binds to a uhid device and no hidraw node appears.
mods=(drivers/hid/hid drivers/hid/uhid drivers/hid/hid-generic)
guest_kernel "${mods[@]}"
guest_root "$here/guest-init.sh" "$here/guest-checks.sh"
guest_modules "${mods[@]}"
guest_samples
guest_pack

console=$work/console.log
guest_boot "$timeout_s" "$console" ""
[ "${GUEST_KEEP:-0}" = 1 ] || rm -rf "$work"
if [ $guest_rc -eq 124 ] || [ $guest_rc -eq 137 ]; then fail "the guest did not finish within ${timeout_s}s"; fi
case $guest_result in
  PASS) echo "guest test: PASS in ${guest_took}s"; exit 0 ;;
  FAIL) fail "the guest reported failures (${guest_took}s)" ;;
  *) fail "the guest never reported a result (qemu exit status $guest_rc, ${guest_took}s)" ;;
esac
