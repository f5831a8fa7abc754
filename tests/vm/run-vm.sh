#!/usr/bin/env bash
# Boots Debian's own kernel under QEMU with the parallel port and USB printer drivers, runs a
# static PROGRAM in it and exits with the program's status (77: QEMU cannot run here).
#   run-vm.sh [--bench] WORK_DIR PROGRAM [ARGS...]
# The guest's parallel port loops back into its second serial line, so the program reads what
# the port strobed out. --bench runs on QEMU's instruction clock and throws the port's bytes away.
set -euo pipefail
bench=0
[[ ${1:-} == --bench ]] && { bench=1; shift; }
work=$1 program=$2
shift 2
here=$(cd "$(dirname "$0")" && pwd)

skip() {
    echo "vm: $*" >&2
    [[ ${KESTRUN_REQUIRE_VM:-0} == 1 ]] && exit 1
    exit 77
}
for tool in qemu-system-x86_64 busybox cpio; do
    command -v "$tool" >/dev/null || skip "$tool is missing (bash tools/setup test installs it)"
done
ldd "$(command -v busybox)" >/dev/null 2>&1 &&
    skip "busybox is not the static one (busybox-static)"

# The kernel linux-image-amd64 points to, unpacked beside WORK_DIR for every run of this build:
# nothing is installed on the machine. Its version, written last, marks a whole unpack. Runs
# that share the folder take turns at it.
mkdir -p "$work"
cache=$(dirname "$work")
exec {work_lock}>"$work.lock" {cache_lock}>"$cache/.lock"
flock "$work_lock" && flock "$cache_lock"
kernel_package=$(apt-cache depends linux-image-amd64 2>/dev/null | awk '/Depends:/ {print $2; exit}')
[[ -n $kernel_package ]] || skip "apt knows no linux-image-amd64 (run apt-get update)"
kernel=$cache/$kernel_package
if [[ ! -f $kernel/version ]]; then
    (cd "$cache" && { apt-get download -q "$kernel_package" 2>/dev/null ||
        { apt-get update -q >/dev/null && apt-get download -q "$kernel_package"; }; }) ||
        skip "cannot download $kernel_package"
    rm -rf "$kernel.tmp" && dpkg-deb -x "$cache/$kernel_package"_*.deb "$kernel.tmp"
    dpkg-deb -f "$cache/$kernel_package"_*.deb Version >"$kernel.tmp/version"
    rm -rf "$kernel" && mv "$kernel.tmp" "$kernel" && rm -f "$cache/$kernel_package"_*.deb
fi
# Debian 12's kernel ships its modules in /lib, later ones in /usr/lib.
for modules_root in "$kernel/lib/modules" "$kernel/usr/lib/modules"; do
    [[ -d $modules_root ]] && break
done
[[ -d $modules_root ]] || skip "$kernel_package has no modules folder"
release=$(ls "$modules_root")
version=$(cat "$kernel/version")

# A printer on a parallel port made of software (parport_sim.c), built against the headers of
# exactly this kernel, unpacked beside it like the kernel, and built again only when its source
# changes.
headers=$cache/linux-headers-$release
if [[ ! -f $headers/version ]]; then
    rm -rf "$headers.tmp" && mkdir -p "$headers.tmp/debs"
    # The headers name the common headers and the build tools that go with them.
    header_depends() {
        apt-cache depends "linux-headers-$release=$version" 2>/dev/null |
            awk '$1 == "Depends:" && $2 ~ /^linux-(headers-.*-common|kbuild-)/ {print $2}'
    }
    depends=$(header_depends) || true
    if [[ $(wc -w <<<"$depends") != 2 ]]; then
        apt-get update -q >/dev/null || true
        depends=$(header_depends) || true
    fi
    [[ $(wc -w <<<"$depends") == 2 ]] || skip "apt knows no linux-headers-$release $version"
    header_packages=("linux-headers-$release=$version")
    for package in $depends; do header_packages+=("$package=$version"); done
    (cd "$headers.tmp/debs" && { apt-get download -q "${header_packages[@]}" 2>/dev/null ||
        apt-get download -q "${header_packages[@]}"; }) ||
        skip "cannot download the headers of $release ($version)"
    for deb in "$headers.tmp/debs"/*.deb; do dpkg-deb -x "$deb" "$headers.tmp"; done
    rm -rf "$headers.tmp/debs"
    # Its Makefile includes the common one by its installed path.
    sed -i 's|^include /usr/src/|include ../|' "$headers.tmp/usr/src/linux-headers-$release/Makefile"
    echo "$version" >"$headers.tmp/version"
    rm -rf "$headers" && mv "$headers.tmp" "$headers"
fi
kbuild=$headers/usr/src/linux-headers-$release
compiler=$(sed -n 's/^CONFIG_CC_VERSION_TEXT="\([^ ]*\) .*/\1/p' "$kbuild/.config")
command -v "$compiler" >/dev/null || skip "$compiler is missing (the compiler $release was built with)"
sim=$(cd "$cache" && pwd)/parport_sim-$release
if [[ ! -f $sim/parport_sim.ko ]] || ! cmp -s "$here/parport_sim.c" "$sim/parport_sim.c"; then
    rm -rf "$sim" && mkdir -p "$sim"
    cp "$here/parport_sim.c" "$sim/" && echo 'obj-m := parport_sim.o' >"$sim/Kbuild"
    # Without the type information for BPF, which would need pahole and serves no test.
    make -s -C "$kbuild" M="$sim" CONFIG_DEBUG_INFO_BTF_MODULES= modules >"$sim/build.log" 2>&1 ||
        { cat "$sim/build.log" >&2; rm -f "$sim/parport_sim.ko"; skip "cannot build parport_sim"; }
fi
exec {cache_lock}>&-

# The initramfs: busybox, the driver modules and what they need, the program, and the gconv
# modules of the glibc it was linked with (iconv loads them at run time, even when static).
root=$work/root
rm -rf "$root" && mkdir -p "$root"/{bin,proc,sys,dev,gconv,lib/modules/"$release"}
cp "$(command -v busybox)" "$root/bin/busybox"
cp "$here/init" "$root/init"
cp "$program" "$root/program"
echo "$*" >"$root/args"
gconv=$(dirname "$(find /usr/lib /lib -path '*/gconv/GBK.so' -print -quit)")
cp "$gconv/GBK.so" "$root/gconv/"
cat "$gconv/gconv-modules" "$gconv"/gconv-modules.d/*.conf 2>/dev/null | grep -E 'GBK' >"$root/gconv/gconv-modules"
for library in libc.so.6 ld-linux-x86-64.so.2; do
    file=$(readlink -f "$(gcc -print-file-name="$library")")
    mkdir -p "$root/$(dirname "$file")" "$root/lib64"
    cp "$file" "$root/$file"
    ln -sf "$file" "$root/lib64/$library"
done
# Each driver after what it depends on, unpacked where the kernel ships them compressed.
modules=$modules_root/$release
declare -A added
add_module() {
    local file
    [[ -z ${added[$1]:-} ]] || return 0
    added[$1]=1
    file=$(find "$modules/kernel" -regex ".*/${1//[-_]/[-_]}\.ko\(\.xz\)?" -print -quit)
    [[ -n $file ]] || skip "$release has no module $1"
    local target=$root/lib/modules/$release/${file#"$modules/"}
    mkdir -p "$(dirname "$target")"
    case $file in
        *.xz) xz -dc "$file" >"${target%.xz}" ;;
        *) cp "$file" "$target" ;;
    esac
    local depends
    depends=$(tr '\0' '\n' <"${target%.xz}" | sed -n 's/^depends=//p' | tr ',' ' ')
    for dependency in $depends; do add_module "$dependency"; done
}
for name in parport_pc lp usb_f_printer dummy_hcd usblp; do add_module "$name"; done
mkdir -p "$root/lib/modules/$release/extra"
cp "$sim/parport_sim.ko" "$root/lib/modules/$release/extra/"
busybox depmod -b "$root" "$release"
(cd "$root" && find . | cpio -o -H newc --quiet | gzip -1) >"$work/initramfs.gz"

# The parallel port's FIFO is the second serial line's input.
lines=$work/lines
rm -rf "$lines" && mkdir -p "$lines"
mkfifo "$lines/port.out" "$lines/serial.out"
ln -s port.out "$lines/serial.in"
ln -s serial.out "$lines/port.in"
qemu=(qemu-system-x86_64 -m 512 -display none -monitor none -no-reboot -nodefaults
    -kernel "$kernel/boot/vmlinuz-$release" -initrd "$work/initramfs.gz"
    -chardev stdio,id=console,signal=off -serial chardev:console
    -chardev pipe,id=back,path="$lines/serial" -serial chardev:back
    -append "console=ttyS0 quiet panic=-1 rdinit=/init")
if ((bench)); then
    qemu+=(-parallel file:/dev/null -icount shift=4,sleep=off -accel tcg)
else
    qemu+=(-chardev pipe,id=port,path="$lines/port" -parallel chardev:port)
    # A working KVM boots to a panic within a second; a paravirtual one fails or hangs. Asked
    # once per build folder.
    if [[ ! -f $cache/accel ]]; then
        echo tcg >"$cache/accel"
        if [[ -w /dev/kvm ]] && timeout 8 "${qemu[0]}" -accel kvm -cpu host -m 128 -display none \
            -monitor none -nodefaults -no-reboot -serial stdio -append "console=ttyS0 panic=-1" \
            -kernel "$kernel/boot/vmlinuz-$release" </dev/null 2>&1 | grep -q 'Kernel panic'; then
            echo kvm >"$cache/accel"
        fi
    fi
    qemu+=(-accel "$(cat "$cache/accel")")
    [[ $(cat "$cache/accel") == tcg ]] || qemu+=(-cpu host)
fi
log=$work/console.log
timeout 280 "${qemu[@]}" </dev/null | tee "$log" || true
status=$(sed -n 's/^kestrun-vm-exit=\([0-9]*\).*/\1/p' "$log" | tail -n 1)
[[ -n $status ]] || { echo "vm: the guest ended without the program's status" >&2; exit 1; }
exit "$status"
