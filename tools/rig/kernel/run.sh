#!/usr/bin/env bash
# Boots Debian's kernel in qemu with an initramfs of busybox, the kernel's
# USB modules (dummy_hcd, configfs gadgets, cdc_acm, ftdi_sio, xHCI) and the
# given programs with the libraries they need, runs the guest command as
# root, and exits with its status. The guest's console goes to standard
# output (without the kernel's own lines) and, whole, to the log file.
#
# USB topology: xHCI at 0000:00:05.0 with hub1 on its port 1 and an FTDI
# (ftdi0) on the hub's port 1. The chardevs ftdi1 and ftdi2 are left for
# FTDIs that the guest plugs later. The guest asks for QMP commands on its
# /dev/ttyS1, which qmp_relay.py carries to qemu (see there).
#
# udevd: Debian's systemd-udevd, udevadm, rules and hwdb are in every guest.
# With --udevd the guest starts udevd before the command, as Debian's
# initramfs does (initramfs-tools' init-top/udev), so that programs hear
# udevd's events after its rules ran, as on a real station; without it no
# udevd runs and programs hear the kernel's own uevents (a test may still
# start udevd itself, /etc/udevd-start says how).
#
# Usage: run.sh [--log FILE] [--timeout SECONDS] [--phones N] [--udevd] [--file PATH]... -- COMMAND [ARG...]
#   --file PATH  copies PATH (and, for an ELF file, what ldd names) into
#                the guest at the same path; the command's program is copied
#                too. --phones gives dummy_hcd's num=N.
# Exit status: the command's, 77 when qemu or the kernel image is missing,
# 124 when the guest did not finish in time.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
log=/dev/null
timeout_s=900
phones=4
udevd=0
files=()
while [[ $# -gt 0 ]]; do
  case "$1" in
    --log) log="$2"; shift 2 ;;
    --timeout) timeout_s="$2"; shift 2 ;;
    --phones) phones="$2"; shift 2 ;;
    --udevd) udevd=1; shift ;;
    --file) files+=("$2"); shift 2 ;;
    --) shift; break ;;
    *) echo "run.sh: unknown option $1" >&2; exit 2 ;;
  esac
done
[[ $# -gt 0 ]] || { echo "run.sh: no guest command" >&2; exit 2; }

kernel="$(ls /boot/vmlinuz-* 2>/dev/null | sort -V | tail -1 || true)"
qemu="$(command -v qemu-system-x86_64 || true)"
udevadm_path="$(command -v udevadm || true)"
for tool in busybox cpio modprobe python3; do
  command -v "$tool" >/dev/null || { echo "SKIPPED: the real-kernel rig needs $tool (scripts/setup.sh installs it)"; exit 77; }
done
if [[ -z "$udevadm_path" || ! -x /lib/systemd/systemd-udevd || ! -d /lib/udev/rules.d ]]; then
  echo "SKIPPED: the real-kernel rig needs Debian's udev (scripts/setup.sh installs it)"
  exit 77
fi
if [[ -z "$qemu" || -z "$kernel" ]]; then
  echo "SKIPPED: the real-kernel rig needs qemu-system-x86 and linux-image-amd64 (scripts/setup.sh installs them)"
  exit 77
fi
release="${kernel#/boot/vmlinuz-}"
[[ -d "/lib/modules/$release" ]] || { echo "SKIPPED: no modules for kernel $release"; exit 77; }

work="$(mktemp -d /tmp/eklv-kernel-rig.XXXXXX)"
relay=
trap '[[ -z "$relay" ]] || kill "$relay" 2>/dev/null; rm -rf "$work"' EXIT
root="$work/root"
mkdir -p "$root"/{bin,sbin,dev,proc,sys,tmp,etc,mnt,run,lib/modules}

# busybox and its applets.
cp "$(command -v busybox)" "$root/bin/busybox"
for applet in env sh mount umount mkdir cat echo sleep poweroff insmod ls ln rm cp grep sed head tail wc dmesg mknod \
    pidof kill; do
  ln -sf busybox "$root/bin/$applet"
done

# The modules, in the order modprobe would load them.
modules=(configfs dummy_hcd libcomposite usb_f_acm usb_f_serial usb_f_mass_storage cdc_acm usbserial ftdi_sio xhci_pci)
: > "$root/etc/modules"
for m in "${modules[@]}"; do
  modprobe -S "$release" -D "$m" 2>/dev/null | awk '$1 == "insmod" { print $2 }'
done | awk '!seen[$0]++' | while read -r ko; do
  mkdir -p "$root$(dirname "$ko")"
  cp "$ko" "$root$ko"
  echo "$ko" >> "$root/etc/modules"
done
cp "/lib/modules/$release"/modules.{dep,alias,builtin,order} "$root/lib/modules/$release/" 2>/dev/null || true

# The programs and the libraries they load.
copy_file() {
  [[ -e "$1" ]] || { echo "run.sh: no such file $1" >&2; exit 2; }
  local f
  f="$(realpath -s "$1")"
  mkdir -p "$root$(dirname "$f")"
  cp -L "$f" "$root$f"
  if file -L "$f" 2>/dev/null | grep -q ELF || head -c4 "$f" | grep -q ELF; then
    { ldd "$f" 2>/dev/null || true; } | awk '/=>/ { print $3 } /^\t\/lib/ { print $1 }' | while read -r lib; do
      [[ -n "$lib" && -e "$lib" && ! -e "$root$lib" ]] || continue
      mkdir -p "$root$(dirname "$lib")"
      cp -L "$lib" "$root$lib"
    done
  fi
}
for f in "${files[@]}"; do copy_file "$f"; done
# Debian's udev as a station has it: the daemon (a link to udevadm), its
# rules, their helper programs and the hardware database.
copy_file "$udevadm_path"
mkdir -p "$root/lib/systemd" "$root/lib/udev" "$root/etc/udev"
[[ "$udevadm_path" == /bin/udevadm ]] || ln -sf "$udevadm_path" "$root/bin/udevadm"
ln -sf "$udevadm_path" "$root/lib/systemd/systemd-udevd"
cp -r /lib/udev/rules.d "$root/lib/udev/"
[[ -f /lib/udev/hwdb.bin ]] && cp /lib/udev/hwdb.bin "$root/lib/udev/"
for helper in /lib/udev/*; do
  if [[ -f "$helper" && -x "$helper" ]]; then copy_file "$helper"; fi
done
[[ -f /etc/udev/udev.conf ]] && cp /etc/udev/udev.conf "$root/etc/udev/"
# How initramfs-tools starts udevd (init-top/udev): in the background, then
# every present device replayed through the rules, then a wait for them.
cat > "$root/etc/udevd-start" <<'START'
SYSTEMD_LOG_TARGET=kmsg SYSTEMD_LOG_LEVEL=notice /lib/systemd/systemd-udevd --daemon --resolve-names=never
udevadm trigger --type=subsystems --action=add
udevadm trigger --type=devices --action=add
udevadm settle || true
START
[[ $udevd -eq 1 ]] && touch "$root/etc/udevd"

[[ "$1" == /* ]] && copy_file "$1"
# The dynamic loader sits under both names.
for ld in /lib64/ld-linux-x86-64.so.2 /lib/x86_64-linux-gnu/ld-linux-x86-64.so.2; do
  [[ -e "$ld" ]] && { mkdir -p "$root$(dirname "$ld")"; cp -L "$ld" "$root$ld"; }
done

printf '%q ' "$@" > "$root/etc/command"
echo "$phones" > "$root/etc/phones"
cp "$here/init" "$root/init"
chmod +x "$root/init"
(cd "$root" && find . | cpio -o -H newc --quiet | gzip -1) > "$work/initrd.gz"

# KVM when it works (it does not under nested virtualisation), software
# emulation otherwise.
echo "run.sh: booting $kernel"
accel=tcg
if [[ -w /dev/kvm ]] && timeout 10 "$qemu" -accel kvm -display none -machine q35 -m 64 \
    -kernel "$kernel" -append "console=ttyS0 panic=-1 rdinit=/bin/false" -no-reboot -serial stdio 2>/dev/null \
    | grep -q -m1 "Run /bin/false"; then
  accel=kvm
fi

console="$work/console"
python3 "$here/qmp_relay.py" "$work/qmp.sock" "$work/relay.sock" 2>>"$work/relay.log" &
relay=$!
set +e
timeout "$timeout_s" "$qemu" -accel "$accel" -machine q35 -m 1024 -smp 2 -display none -no-reboot \
  -monitor none -serial stdio -qmp "unix:$work/qmp.sock,server=on,wait=off" \
  -chardev "socket,id=relay,path=$work/relay.sock,server=on,wait=off" -serial chardev:relay \
  -kernel "$kernel" -initrd "$work/initrd.gz" \
  -append "console=ttyS0 quiet loglevel=3 panic=-1" \
  -device qemu-xhci,id=xhci,addr=0x5 -device usb-hub,id=hub1,bus=xhci.0,port=1 \
  -chardev file,id=ftdi0,path="$work/ftdi0.out" -device usb-serial,id=ftdi0,chardev=ftdi0,bus=xhci.0,port=1.1 \
  -chardev file,id=ftdi1,path="$work/ftdi1.out" -chardev file,id=ftdi2,path="$work/ftdi2.out" \
  </dev/null 2>&1 | tee "$console" | grep -av --line-buffered '^\[ *[0-9]'
rc_qemu=${PIPESTATUS[0]}
kill "$relay" 2>/dev/null; wait "$relay" 2>/dev/null; relay=
set -e
cat "$console" "$work/relay.log" >> "$log" 2>/dev/null || true
if [[ $rc_qemu -eq 124 ]]; then echo "run.sh: the guest did not finish within ${timeout_s}s" >&2; exit 124; fi
status="$(grep -ao 'EKLV-RIG-STATUS [0-9]*' "$console" | awk '{ print $2 }' | tail -1)"
[[ -n "$status" ]] || { echo "run.sh: the guest ended without a status (accel $accel)" >&2; exit 1; }
exit "$status"
