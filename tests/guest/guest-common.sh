# Shared by the guest tests (run-guest-test.sh, run-guest-serial-test.sh):
# the host tools they need, Debian's kernel fetched once into the build tree,
# the initramfs with busybox and the tool's programs, and the boot under QEMU.
# Sourced, not run; the caller sets bin_dir (an absolute build tree) and work
# (its own work folder under it) first.

cache=$bin_dir/guest-cache
readersim=$bin_dir/sim/readersim
readerctl=$bin_dir/cli/readerctl

skip() { echo "SKIP: $*"; exit 77; }
fail() { echo "FAIL: $*"; exit 1; }

# What the host must have: the two programs (a build failure, not a skip),
# QEMU, the packaging tools that unpack the kernel, and a static busybox.
guest_require_host() {
  [ -x "$readersim" ] || fail "$readersim not built"
  [ -x "$readerctl" ] || fail "$readerctl not built"
  # Sanitizer runtimes map more memory than the guest has and find nothing the
  # host run does not.
  if ldd "$readersim" | grep -q 'libasan\|libubsan'; then skip "sanitizer build; the guest test runs in the plain build"; fi
  local tool
  for tool in qemu-system-x86_64 cpio dpkg-deb apt-get apt-cache gzip ldd; do
    command -v "$tool" >/dev/null || skip "$tool not installed (scripts/install-deps.sh installs it)"
  done
  busybox=$(command -v busybox || true)
  [ -n "$busybox" ] || skip "busybox not installed (package busybox-static)"
  if ldd "$busybox" >/dev/null 2>&1; then skip "$busybox is not the static build (package busybox-static)"; fi
}

# guest_kernel MODULE_PATH...: Debian's kernel package, cached in the build
# tree, unpacked with only the kernel image and the named modules (paths
# under lib/modules/*/kernel/, without the .ko suffix). Sets vmlinuz and kdir.
guest_kernel() {
  mkdir -p "$cache"
  local pkg deb
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
  # One mark per module set: each test unpacks what it needs into the same
  # tree. No install, so no udev and no initramfs rebuild come along.
  local mark m
  mark=$kdir/.unpacked-$(echo "$*" | cksum | awk '{print $1}')
  if [ ! -f "$mark" ]; then
    mkdir -p "$kdir"
    local globs=('./boot/vmlinuz-*')
    for m in "$@"; do globs+=("./lib/modules/*/kernel/$m.ko*"); done
    dpkg-deb --fsys-tarfile "$deb" | tar -x -C "$kdir" --wildcards "${globs[@]}" ||
      skip "$deb could not be unpacked"
    touch "$mark"
  fi
  vmlinuz=$(ls "$kdir"/boot/vmlinuz-* 2>/dev/null | head -n1)
  [ -n "$vmlinuz" ] || skip "no kernel image in $deb"
}

# guest_root INIT CHECKS: a fresh work folder with the initramfs tree in
# $work/root (sets root): busybox, INIT as /init, CHECKS as
# /opt/readertool/checks.sh, readersim and readerctl with their libraries.
guest_root() {
  rm -rf "$work" && mkdir -p "$work/root"
  root=$work/root
  mkdir -p "$root"/{bin,dev,proc,sys,tmp,lib/modules,opt/readertool/bin,opt/readertool/data}
  cp "$busybox" "$root/bin/busybox"
  cp "$1" "$root/init" && chmod +x "$root/init"
  cp "$2" "$root/opt/readertool/checks.sh"
  : >"$root/lib/modules/load.list"
  copy_program "$readersim" "$root/opt/readertool/bin/readersim"
  copy_program "$readerctl" "$root/opt/readertool/bin/readerctl"
}

# guest_modules MODULE_PATH...: the modules, plain (busybox insmod takes no
# compressed ones), appended to the list /init loads in order.
guest_modules() {
  local m name f
  for m in "$@"; do
    name=$(basename "$m")
    f=$(ls "$kdir"/lib/modules/*/kernel/"$m".ko* 2>/dev/null | head -n1)
    [ -n "$f" ] || skip "module $name missing from the kernel package"
    case $f in
      *.ko) cp "$f" "$root/lib/modules/$name.ko" ;;
      *.ko.xz) xz -dc "$f" >"$root/lib/modules/$name.ko" ;;
      *.ko.zst) zstd -qdc "$f" >"$root/lib/modules/$name.ko" ;;
      *) skip "module $f in an unknown compression" ;;
    esac
    echo "$name" >>"$root/lib/modules/load.list"
  done
}

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

# Sample image and scripts made by the simulator itself, and a short script
# (enter the bootloader, its version, erase, the first block) that fits the
# time budget, in the guest's data folder.
guest_samples() {
  "$readersim" gen-samples "$work/samples" >/dev/null || fail "readersim gen-samples failed"
  awk 'BEGIN { n = 0 } /^SEND:/ { if (++n == 5) exit } { print } END { printf "END>\r\n" }' \
    "$work/samples/update_rs232.txt" >"$root/opt/readertool/data/short_rs232.txt"
  cp "$work/samples/update_rs232.txt" "$root/opt/readertool/data/"
}

guest_pack() {
  (cd "$root" && find . | cpio -o -H newc --quiet) | gzip -1 >"$work/initrd.gz" || fail "initramfs could not be built"
}

# guest_boot TIMEOUT CONSOLE APPEND [QEMU_ARG...]: boots the initramfs and
# waits for the guest to power off; the console goes to CONSOLE (and a
# cleaned copy to CONSOLE.txt), APPEND is added to the kernel's command line.
# Prints the guest's own lines; sets guest_result (PASS, FAIL or empty),
# guest_rc (QEMU's exit status, 124 on time-out) and guest_took (seconds).
# TCG by default: a few seconds slower than KVM, but it needs no /dev/kvm and
# behaves the same under nested virtualisation, where KVM may hang.
guest_boot() {
  local limit=$1 console=$2 append=$3 start
  shift 3
  local accel=${GUEST_ACCEL:-tcg}
  echo "guest test: booting $(basename "$vmlinuz") ($accel${append:+, $append}), time limit ${limit}s"
  start=$(date +%s)
  # -serial mon:stdio first: the console is ttyS0 and an added UART comes after it.
  timeout -k 5 "$limit" qemu-system-x86_64 -nographic -no-reboot -m 512 -smp 1 -nic none \
    -machine accel=$accel -kernel "$vmlinuz" -initrd "$work/initrd.gz" -serial mon:stdio "$@" \
    -append "console=ttyS0 panic=-1 quiet loglevel=3 rdinit=/init $append" </dev/null >"$console" 2>&1
  guest_rc=$?
  guest_took=$(($(date +%s) - start))
  # Without the firmware's and the kernel's terminal resets and carriage returns.
  sed -e 's/\x1b\[[0-9;?]*[A-Za-z]//g' -e 's/\x1bc//g' -e 's/\r$//' "$console" >"$console.txt"
  # The guest's own lines tell what ran; the kernel's lines only on trouble.
  grep -E '^(guest|GUEST-RESULT)' "$console.txt"
  guest_result=$(grep -m1 -E '^GUEST-RESULT: (PASS|FAIL)' "$console.txt" | awk '{print $2}')
  if [ "$guest_result" != PASS ]; then
    echo "---- guest console (last 60 lines) ----"
    tail -n 60 "$console.txt"
  fi
}
