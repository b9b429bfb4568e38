#!/usr/bin/env bash
# Serial ports through real Linux drivers: boots Debian's own kernel in QEMU
# (as run-guest-test.sh does for USB HID) with a 16550 UART (the guest's
# ttyS1, COM2) and FTDI USB serial adapters (ttyUSB, COM33 on), each joined to
# a readersim serial line on the host, and a CDC-ACM port (ttyACM0, COM65)
# made inside the guest by dummy_hcd and the g_serial gadget. readerctl runs
# in the guest through the 8250, ftdi_sio and cdc-acm drivers.
#
#   run-guest-serial-test.sh BINARY_DIR
#
# QEMU copies the rate the guest sets on a UART or adapter onto the host's
# pseudo-terminal, and every host readersim requires it (--expect-baud): the
# machine boots once per rate, 115200 then 9600, with simulators that answer
# only at that rate. Exit status: 0 both boots reported PASS; 1 a failure, a
# time-out or no report; 77 (skipped) when QEMU, the kernel package or
# another host tool cannot be had.
#
# GUEST_TIMEOUT (seconds a boot, default 300); GUEST_KEEP=1 keeps the work
# folder (initramfs, console logs, the simulators' traces); GUEST_ACCEL=kvm
# tries KVM instead of TCG.
set -uo pipefail

here=$(cd "$(dirname "$0")" && pwd)
bin_dir=${1:?usage: run-guest-serial-test.sh BINARY_DIR}
bin_dir=$(cd "$bin_dir" && pwd)
timeout_s=${GUEST_TIMEOUT:-300}
work=$bin_dir/guest-serial-work
. "$here/guest-common.sh"

guest_require_host
# ttyUSB: the xHCI controller and the FTDI driver. ttyACM: a gadget on the
# dummy host controller (the gadget's ACM function, g_serial) and the host's
# CDC-ACM driver. The 16550 driver is built into the kernel.
mods=(drivers/usb/common/usb-common drivers/usb/core/usbcore drivers/usb/host/xhci-hcd drivers/usb/host/xhci-pci
  drivers/usb/serial/usbserial drivers/usb/serial/ftdi_sio
  fs/configfs/configfs drivers/usb/gadget/udc/udc-core drivers/usb/gadget/udc/dummy_hcd
  drivers/usb/gadget/libcomposite drivers/usb/gadget/function/u_serial drivers/usb/gadget/function/usb_f_acm
  drivers/usb/gadget/legacy/g_serial drivers/usb/class/cdc-acm)
guest_kernel "${mods[@]}"
guest_root "$here/guest-init.sh" "$here/guest-serial-checks.sh"
guest_modules "${mods[@]}"
guest_samples
guest_pack

# The simulated readers on the host, one serial line each: the UART's, the
# adapter's, and an adapter's whose reader is unplugged after three answers.
# Short restarts keep the runs within the time budget.
sims=()
stop_sims() {
  local p
  for p in "${sims[@]}"; do kill -TERM "$p" 2>/dev/null; done
  for p in "${sims[@]}"; do wait "$p" 2>/dev/null; done
  sims=()
}
trap stop_sims EXIT
start_sim() {
  local name=$1 rate=$2
  shift 2
  "$readersim" --expect-baud "$rate" --restart-ms 500 --boot-entry-ms 300 --trace "$@" \
    >"$work/$name.out" 2>"$work/$name.trace" &
  sims+=($!)
  for _ in $(seq 50); do
    line=$(awk '/^readersim: serial line / {print $4}' "$work/$name.out")
    grep -q '^readersim: ready' "$work/$name.out" && [ -n "$line" ] && return 0
    sleep 0.1
  done
  cat "$work/$name.out" "$work/$name.trace"
  fail "readersim $name did not start"
}

status=0
for rate in 115200 9600; do
  start_sim uart "$rate" && uart=$line
  start_sim usb "$rate" && usb=$line
  start_sim unplug "$rate" --disconnect-after 3 && unplug=$line
  # The adapters are told apart in the guest by their USB serial numbers.
  guest_boot "$timeout_s" "$work/console-$rate.log" "readertool_baud=$rate" \
    -chardev serial,id=uart,path="$uart" -device isa-serial,index=1,chardev=uart \
    -device qemu-xhci,id=xhci \
    -chardev serial,id=usb,path="$usb" -device usb-serial,bus=xhci.0,chardev=usb,serial=RT-PLAIN \
    -chardev serial,id=unplug,path="$unplug" -device usb-serial,bus=xhci.0,chardev=unplug,serial=RT-UNPLUG
  stop_sims
  # A request made at another rate is a fault of the tool even when a retry
  # at the right one got through.
  wrong=$(grep -h 'the reader runs at' "$work"/{uart,usb,unplug}.trace)
  if [ $guest_rc -eq 124 ] || [ $guest_rc -eq 137 ]; then
    echo "FAIL: at $rate baud the guest did not finish within ${timeout_s}s"
    status=1
  elif [ "$guest_result" != PASS ]; then
    echo "FAIL: at $rate baud: ${guest_result:-no result} (qemu exit status $guest_rc, ${guest_took}s)"
    status=1
  elif [ -n "$wrong" ]; then
    echo "FAIL: at $rate baud requests arrived at another rate:"
    echo "$wrong"
    status=1
  else
    echo "guest test: $rate baud PASS in ${guest_took}s"
  fi
  [ $status -eq 0 ] || break
  if ! grep -q 'host -> reader' "$work/uart.trace" || ! grep -q 'host -> reader' "$work/usb.trace"; then
    echo "FAIL: at $rate baud a host simulator saw no request"
    status=1
    break
  fi
done
[ "${GUEST_KEEP:-0}" = 1 ] || rm -rf "$work"
exit $status
