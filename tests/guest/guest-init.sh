#!/bin/busybox sh
# /init of the guest tests' initramfs: mounts the kernel's file systems, loads
# the modules of /lib/modules/load.list in order, runs the checks, prints the
# result and powers the machine off.
/bin/busybox --install -s /bin
# A line of its own: the firmware's last output ends without a line break.
echo
export PATH=/bin:/opt/readertool/bin
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
mount -t tmpfs tmpfs /tmp

result=FAIL
loaded=yes
for m in $(cat /lib/modules/load.list); do
  if ! insmod /lib/modules/$m.ko; then
    echo "guest: FAIL insmod $m"
    loaded=no
    break
  fi
done
if [ $loaded = yes ] && sh /opt/readertool/checks.sh; then result=PASS; fi
echo "GUEST-RESULT: $result"
echo o >/proc/sysrq-trigger
# The power-off is asynchronous; init must not exit meanwhile.
while :; do sleep 10; done
