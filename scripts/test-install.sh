#!/usr/bin/env bash
# Install and package, as a station would get eklv:
#  1. cmake --install into a staging folder; the example host of
#     examples/installed built out of tree against it with find_package and
#     with pkg-config, and run;
#  2. the Debian package made by CPack, installed with apt-get; eklvctl
#     --help and the out-of-tree example against the installed package;
#  3. the package's udev rule run by the system's udevadm on the umockdev
#     rig of eklv_rig_record: the supported phones' ttys and devices match,
#     nothing else does;
#  4. an ordinary user in dialout: the example reads /etc/eklv/eklv.ini and
#     logs to ~/.local/state/eklv; eklvctl lists the rig's phones with no
#     copying, and its demo runs;
#  5. cmake --install --prefix P of a build with the default folders, into
#     an empty DESTDIR: every file lands under P.
# Needs root (apt-get, useradd); leaves the machine as it found it, except
# that EKLV_KEEP_PACKAGE=1 leaves the package installed (CI then runs the
# suites beside it, which must neither read nor change it).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
dir=build-install
# The ordinary user is made here and removed on exit. A name that is taken
# (a user of the machine, or one left by a run that was killed) is not
# touched: the next free one is used.
user=
for n in "" 1 2 3 4 5 6 7 8 9; do
  if ! id "eklv-station$n" >/dev/null 2>&1 && [ ! -e "/home/eklv-station$n" ]; then user=eklv-station$n; break; fi
done
work=$(mktemp -d)
made_user=
cleanup() {
  if [ "${EKLV_KEEP_PACKAGE:-0}" != 1 ] && dpkg -s eklv >/dev/null 2>&1; then apt-get purge -y eklv >/dev/null || true; fi
  if [ -n "$made_user" ]; then userdel -r "$user" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "test-install: FAILED: $*" >&2; exit 1; }
step() { echo "== install: $*"; }

step "build with prefix /usr"
cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_INSTALL_PREFIX=/usr -DCMAKE_INSTALL_SYSCONFDIR=/etc \
  -DEKLV_BUILD_TESTS=OFF -DEKLV_BUILD_BENCH=OFF >/dev/null
cmake --build "$dir" -j"$(nproc)" >/dev/null

step "cmake --install into a staging folder"
stage=$work/stage
DESTDIR=$stage cmake --install "$dir" >/dev/null
libdir=$(dirname "$(find "$stage" -name eklv.pc)")
for f in "$libdir"/../libeklv.so.1 "$libdir"/../libeklv_host.so.1 "$libdir"/../libeklv.so \
         "$libdir"/../cmake/eklv/eklvConfig.cmake "$stage"/usr/include/eklv/eklv.h "$stage"/usr/include/eklv/eklv_host.h \
         "$stage"/usr/bin/eklvctl "$stage"/etc/eklv/eklv.ini "$stage"/usr/lib/udev/rules.d/70-eklv.rules \
         "$stage"/usr/share/doc/eklv/examples/USBConnectivityConfig.ini "$stage"/usr/share/doc/eklv/README.md; do
  [ -e "$f" ] || fail "cmake --install did not install $f"
done
[[ "$(objdump -p "$libdir/../libeklv.so.1")" =~ SONAME\ +libeklv\.so\.1 ]] || fail "libeklv.so.1 has no versioned soname"
# The folder compiled into the library and eklvctl is where eklv.ini went.
for f in "$libdir/../libeklv.so.1" "$stage/usr/bin/eklvctl"; do
  grep -qx /etc/eklv <(strings -a "$f") || fail "$f does not read its settings from /etc/eklv"
done

# The example host, out of tree, both ways; $1: how to find the package.
build_example() {
  local out=$1; shift
  cmake -S examples/installed -B "$out/cmake" -G Ninja "$@" >/dev/null
  cmake --build "$out/cmake" >/dev/null
  cc -std=c99 -Wall -Wextra -Werror examples/installed/host.c $(pkg-config --cflags --libs eklv) -o "$out/pkg-config-host"
}
# Runs the example: it must load, start (or say why not: this machine may
# have no USB hub, answer 1) and stop.
run_example() {
  local output
  output=$("$@" 1 2>&1) || true
  grep -Eq '^EKLVInitialize -> [01]$' <<<"$output" || fail "$* did not run: $output"
  if grep -q '^EKLVInitialize -> 0$' <<<"$output"; then
    grep -q '^EKLVUninitialize -> 0$' <<<"$output" || fail "$*: $output"
  fi
}
step "example host against the staged install (find_package, pkg-config)"
PKG_CONFIG_PATH=$libdir build_example "$work/staged" -DCMAKE_PREFIX_PATH="$stage/usr"
LD_LIBRARY_PATH=$libdir/.. EKLV_CONFIG_DIR=$stage/etc/eklv EKLV_LOG_DIR=$work run_example "$work/staged/cmake/eklv_host_example"
LD_LIBRARY_PATH=$libdir/.. EKLV_CONFIG_DIR=$stage/etc/eklv EKLV_LOG_DIR=$work run_example "$work/staged/pkg-config-host"

step "Debian package"
(cd "$dir" && cpack -G DEB >/dev/null)
deb=$(ls "$dir"/eklv_*.deb)
depends=$(dpkg-deb -f "$deb" Depends)
for d in libudev1 libstdc++6 libc6 libumockdev0; do
  grep -q "$d" <<<"$depends" || fail "the package does not depend on $d: $depends"
done
DEBIAN_FRONTEND=noninteractive apt-get install -y "$root/$deb" >/dev/null
[[ "$(eklvctl --help)" == *udev-rules* ]] || fail "eklvctl --help"
[ "$(stat -c %a /etc/eklv/eklv.ini)" = 644 ] || fail "/etc/eklv/eklv.ini is not 644"
build_example "$work/installed"
run_example "$work/installed/cmake/eklv_host_example"
run_example "$work/installed/pkg-config-host"

step "udev rule on the rig's phones (udevadm test)"
rule=/usr/lib/udev/rules.d/70-eklv.rules
[ -f "$rule" ] || fail "the package has no $rule"
eklvctl udev-rules --ini /etc/eklv/eklv.ini | diff <(grep -v '^#' "$rule") <(grep -v '^#' -) \
  || fail "the installed rule differs from eklvctl udev-rules of /etc/eklv/eklv.ini"
rig=$work/rig.umockdev
"$dir"/tools/rig/eklv_rig_record >"$rig"
# udevadm test writes its database under /run/udev: a private one where a
# mount namespace can be had. Its debug lines (which rules file it read,
# which rule set MODE) go to stderr whatever the caller's journal and log
# level settings are.
# A rule of the same name in a folder udev reads first (a cmake --install
# under /usr/local, or one the admin made) overrides the package's: it is
# hidden inside that mount namespace, so that the package's rule is the one
# tested.
private=()
if unshare --mount true 2>/dev/null; then private=(unshare --mount); fi
overrides=()
for d in /etc/udev/rules.d /usr/local/lib/udev/rules.d; do
  [ ! -e "$d/70-eklv.rules" ] || overrides+=("$d")
done
[ ${#overrides[@]} -eq 0 ] || echo "udev rule: 70-eklv.rules in ${overrides[*]} overrides the package's on this machine"
if [ ${#overrides[@]} -gt 0 ] && [ ${#private[@]} -eq 0 ]; then
  echo "udev rule: no mount namespace to hide it in; the rule was checked by its text only"
else
  "${private[@]}" env SYSTEMD_LOG_LEVEL=debug SYSTEMD_LOG_TARGET=console bash -euo pipefail -c '
  if [ -n "'"${private[*]}"'" ]; then mkdir -p /run/udev && mount -t tmpfs tmpfs /run/udev; fi
  for d in '"${overrides[*]}"'; do
    copy=$(mktemp -d -p "'"$work"'") && cp -a "$d"/. "$copy"/ && rm -f "$copy/70-eklv.rules" && mount --bind "$copy" "$d"
  done
  show() { echo "udevadm test said:"; head -n 40 <<<"$out" | sed "s/^/  | /"; }
  check() {  # syspath, expected: match or none
    out=$(umockdev-run --device "'"$rig"'" -- udevadm test --action=add "/sys$1" 2>&1) || true
    if ! grep -q "^DEVPATH=$1$" <<<"$out"; then
      # Some sandboxes hide the rig from udevadm (it cannot open the
      # device): the rule is then checked by its text alone, above.
      echo "udev rule: udevadm test cannot see the rig here ($1); the rule was checked by its text only"; show; exit 0
    fi
    # Without its debug lines (a udevadm that ignores the log settings) the
    # properties alone are compared: the phones matching proves the rule read.
    debug=0; if grep -q "Reading rules file:" <<<"$out"; then debug=1; fi
    [ $debug = 0 ] || grep -q "Reading rules file: '"$rule"'" <<<"$out" || { echo "udevadm did not read the rule for $1"; show; exit 1; }
    if grep -q "^ID_MM_DEVICE_IGNORE=1$" <<<"$out"; then got=match; else got=none; fi
    case $debug$1 in 1*/tty/*) grep -q "70-eklv.rules:[0-9]* MODE 0660" <<<"$out" || [ $got = none ] || got=partial ;; esac
    [ "$got" = "$2" ] || { echo "udev rule: $1: expected $2, got $got"; show; exit 1; }
  }
  for p in $(grep "^P: " "'"$rig"'" | cut -c4-); do
    case $p in
      */1-3.1|*/1-3.2|*/tty/ttyACM0|*/tty/ttyUSB0) check "$p" match ;;
      *) check "$p" none ;;
    esac
  done
' || fail "udev rule"
fi

step "an ordinary user in dialout"
[ -n "$user" ] || fail "no free name for a test user (eklv-station, eklv-station1..9 are taken)"
useradd -m -G dialout "$user"
made_user=1
home=$(getent passwd "$user" | cut -d: -f6)
# TMPDIR in the home: what the demo keeps goes with the user.
run_as() { runuser -u "$user" -- env -i HOME="$home" PATH=/usr/bin:/bin TMPDIR="$home" "$@"; }
cp "$work/installed/pkg-config-host" "$home/host" && chown "$user" "$home/host"
output=$(run_as "$home/host" 1 2>&1) || true
grep -Eq '^EKLVInitialize -> [01]$' <<<"$output" || fail "example as $user: $output"
log=$(ls "$home"/.local/state/eklv/*EKLV_Core.log 2>/dev/null | head -n 1)
[ -n "$log" ] || fail "no log in $home/.local/state/eklv"
[ "$(stat -c %a "$home/.local/state/eklv")" = 700 ] || fail "the state folder is not private"
cp "$rig" "$home/rig.umockdev"
run_as umockdev-run --device "$home/rig.umockdev" -- eklvctl list >"$work/list" 2>&1 \
  || fail "eklvctl list as $user: $(cat "$work/list")"
grep -Eq "^0 .*INF_DATA ttyACM0" "$work/list" && grep -Eq "^1 .*INF_UART ttyUSB0" "$work/list" \
  || fail "eklvctl list as $user: $(cat "$work/list")"
# The settings in /etc/eklv are not the user's to change: one line in the
# log, no failure.
run_as umockdev-run --device "$home/rig.umockdev" -- eklvctl log --level 0x7 >"$work/log" 2>&1 \
  || fail "eklvctl log as $user: $(cat "$work/log")"
grep -q "Can NOT write Level and Flush back to \[/etc/eklv/eklv.ini\]" "$home"/.local/state/eklv/*EKLV_Core.log \
  || fail "no line about the settings that could not be written back"
run_as eklvctl demo >"$work/demo" 2>&1 || fail "eklvctl demo as $user: $(tail -n 20 "$work/demo")"

step "cmake --install --prefix into an empty DESTDIR"
# The normal build has the default (relative) folders; made or brought up
# to date here.
scripts/build.sh normal >/dev/null
empty=$work/destdir
prefix=/opt/eklv-prefix-check
mkdir "$empty"
DESTDIR=$empty cmake --install build --prefix "$prefix" >/dev/null
outside=$(find "$empty" \( -type f -o -type l \) ! -path "$empty$prefix/*")
[ -z "$outside" ] || fail "cmake --install --prefix $prefix wrote outside it: $outside"
for f in etc/eklv/eklv.ini lib/udev/rules.d/70-eklv.rules bin/eklvctl include/eklv/eklv.h; do
  [ -e "$empty$prefix/$f" ] || fail "cmake --install --prefix $prefix did not install $f"
done
step "ok"
