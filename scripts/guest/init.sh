#!/bin/sh
# The guest's first process (the kernel's init=): the 9p share "capctl"
# holds the run's job, written by scripts/guest.sh on the host, and the
# script that carries it out (scripts/guest/inside.sh, copied there), so
# that what a run does never needs a new image. Whatever fails here powers
# the guest off: the host then finds no status and reports the console.
PATH=/usr/sbin:/usr/bin:/sbin:/bin
export PATH
mountpoint -q /proc || mount -t proc proc /proc
mountpoint -q /sys || mount -t sysfs sysfs /sys
mountpoint -q /dev || mount -t devtmpfs devtmpfs /dev
mkdir -p /run/capguest/ctl
if modprobe 9pnet_virtio && modprobe 9p &&
    mount -t 9p -o trans=virtio,version=9p2000.L,msize=262144 capctl /run/capguest/ctl &&
    [ -f /run/capguest/ctl/inside.sh ]; then
    /bin/bash /run/capguest/ctl/inside.sh
fi
echo "capguest: init ended" >/dev/console
sync
echo o >/proc/sysrq-trigger
sleep 60
