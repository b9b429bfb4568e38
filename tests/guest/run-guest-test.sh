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
cache=$bin_dir/guest-cache
work=$bin_dir/guest-work

skip() { echo "SKIP: $*"; exit 77; }
fail() { echo "FAIL: $*"; exit 1; }

# --- what the host must have -------------------------------------------------
readersim=$bin_dir/sim/readersim
readerctl=$bin_dir/cli/readerctl
[ -x "$readersim" ] || fail "$readersim not built"
[ -x "$readerctl" ] || fail "$readerctl not built"
# Sanitizer runtimes map more memory than the guest has and find nothing the
# host run does not.
if ldd "$readersim" | grep -q 'libasan\|libubsan'; then skip "sanitizer build; the guest test runs in the plain build"; fi

for tool in qemu-system-x86_64 cpio dpkg-deb apt-get apt-cache gzip ldd; do
  command -v "$tool" >/dev/null || skip "$tool not installed (scripts/install-deps.sh installs it)"
done
busybox=$(command -v busybox || true)
[ -n "$busybox" ] || skip "busybox not installed (package busybox-static)"
if ldd "$busybox" >/dev/null 2>&1; then skip "$busybox is not the static build (package busybox-static)"; fi

# --- Debian's kernel, cached in the build tree -------------------------------
mkdir -p "$cache"
pkg=$(apt-cache depends linux-image-amd64 2>/dev/null | awk '/Depends: linux-image-/ {print $2; exit}')
deb=""
if [ -n "$pkg" ]; then
  deb=$(ls "$cache"/"${pkg}"_*.deb 2>/dev/null | head -n1)
  if [ -z "$deb" ]; then
    echo "guest test: fetching $pkg"
    (cd "$cache" && apt-get download -q "$pkg" >/dev/null 2>"$cache/download.log") ||
      skip "kernel package $pkg could not be downloaded: $(tail -n1 "$cache/download.log")"
    deb=$(ls "$cache"/"${pkg}"_*.deb 2>/dev/null | head -n1)
  fi
else
  # No package lists: a kernel fetched before still does.
  deb=$(ls -t "$cache"/linux-image-*.deb 2>/dev/null | head -n1)
fi
[ -n "$deb" ] || skip "no kernel package: linux-image-amd64 is unknown to apt (run apt-get update)"

kdir=$cache/$(basename "$deb" .deb)
if [ ! -f "$kdir/.unpacked" ]; then
  rm -rf "$kdir" && mkdir -p "$kdir"
  # Only the kernel and the three HID modules; no install, so no udev and no
  # initramfs rebuild come along.
  dpkg-deb --fsys-tarfile "$deb" | tar -x -C "$kdir" --wildcards \
      './boot/vmlinuz-*' './lib/modules/*/kernel/drivers/hid/hid.ko*' \
      './lib/modules/*/kernel/drivers/hid/uhid.ko*' './lib/modules/*/kernel/drivers/hid/hid-generic.ko*' ||
    skip "$deb could not be unpacked"
  touch "$kdir/.unpacked"
fi
vmlinuz=$(ls "$kdir"/boot/vmlinuz-* 2>/dev/null | head -n1)
[ -n "$vmlinuz" ] || skip "no kernel image in $deb"

# --- the initramfs -----------------------------------------------------------
rm -rf "$work" && mkdir -p "$work/root"
root=$work/root
mkdir -p "$root"/{bin,dev,proc,sys,tmp,lib/modules,opt/readertool/bin,opt/readertool/data}
cp "$busybox" "$root/bin/busybox"
cp "$here/guest-init.sh" "$root/init" && chmod +x "$root/init"
cp "$here/guest-checks.sh" "$root/opt/readertool/checks.sh"

# busybox insmod takes plain modules only.
for m in hid uhid hid-generic; do
  f=$(ls "$kdir"/lib/modules/*/kernel/drivers/hid/"$m".ko* 2>/dev/null | head -n1)
  [ -n "$f" ] || skip "module $m missing from $deb"
  case $f in
    *.ko) cp "$f" "$root/lib/modules/$m.ko" ;;
    *.ko.xz) xz -dc "$f" >"$root/lib/modules/$m.ko" ;;
    *.ko.zst) zstd -qdc "$f" >"$root/lib/modules/$m.ko" ;;
    *) skip "module $f in an unknown compression" ;;
  esac
done

# The host's programs with the shared libraries they load, at the same paths.
copy_program() {
  local src=$1 dst=$2 lib
  if command -v strip >/dev/null; then strip -o "$dst" "$src"; else cp "$src" "$dst"; fi
  for lib in $(ldd "$src" | awk '/=> \// {print $3} /^\t\// {print $1}'); do
    [ -e "$root$lib" ] && continue
    mkdir -p "$root$(dirname "$lib")"
    cp -L "$lib" "$root$lib"
  done
}
copy_program "$readersim" "$root/opt/readertool/bin/readersim"
copy_program "$readerctl" "$root/opt/readertool/bin/readerctl"

# Sample image and scripts made by the simulator itself; the guest runs short
# scripts (enter the bootloader, its version, erase, the first block) so that
# every mode fits the time budget.
"$readersim" gen-samples "$work/samples" >/dev/null || fail "readersim gen-samples failed"
awk 'BEGIN { n = 0 } /^SEND:/ { if (++n == 5) exit } { print } END { printf "END>\r\n" }' \
  "$work/samples/update_rs232.txt" >"$root/opt/readertool/data/short_rs232.txt"
cp "$work/samples/update_rs232.txt" "$root/opt/readertool/data/"

(cd "$root" && find . | cpio -o -H newc --quiet) | gzip -1 >"$work/initrd.gz" || fail "initramfs could not be built"

# --- boot --------------------------------------------------------------------
# TCG by default: a few seconds slower than KVM, but it needs no /dev/kvm and
# behaves the same under nested virtualisation, where KVM may hang.
accel=${GUEST_ACCEL:-tcg}
console=$work/console.log
echo "guest test: booting $(basename "$vmlinuz") ($accel), time limit ${timeout_s}s"
start=$(date +%s)
timeout -k 5 "$timeout_s" qemu-system-x86_64 -nographic -no-reboot -m 512 -smp 1 -nic none \
  -machine accel=$accel -kernel "$vmlinuz" -initrd "$work/initrd.gz" \
  -append "console=ttyS0 panic=-1 quiet loglevel=3 rdinit=/init" </dev/null >"$console" 2>&1
rc=$?
took=$(($(date +%s) - start))
# Without the firmware's and the kernel's terminal resets and carriage returns.
sed -e 's/\x1b\[[0-9;?]*[A-Za-z]//g' -e 's/\x1bc//g' -e 's/\r$//' "$console" >"$console.txt"
# The guest's own lines tell what ran; the kernel's lines only on trouble.
grep -E '^(guest|GUEST-RESULT)' "$console.txt"

result=$(grep -m1 -E '^GUEST-RESULT: (PASS|FAIL)' "$console.txt" | awk '{print $2}')
if [ "$result" != PASS ]; then
  echo "---- guest console (last 60 lines) ----"
  tail -n 60 "$console.txt"
fi
[ "${GUEST_KEEP:-0}" = 1 ] || rm -rf "$work"
if [ $rc -eq 124 ] || [ $rc -eq 137 ]; then fail "the guest did not finish within ${timeout_s}s"; fi
case $result in
  PASS) echo "guest test: PASS in ${took}s"; exit 0 ;;
  FAIL) fail "the guest reported failures (${took}s)" ;;
  *) fail "the guest never reported a result (qemu exit status $rc, ${took}s)" ;;
esac
