#!/usr/bin/env bash
# The Debian package on a machine that has nothing else: a minimal Debian 12
# root made with debootstrap, where `apt install ./package.deb` has to pull
# every runtime dependency from the archive. Then every installed program
# has to find its libraries and answer --help, and the application, started
# as the desktop entry says on a virtual display, has to come up and show
# its welcome assistant. Not part of the tests: it downloads a few hundred
# megabytes. Needs root (debootstrap, chroot, mounts).
#   scripts/fresh-machine-check.sh PACKAGE.deb [ROOT]
# ROOT (default /var/tmp/vsc-fresh-root) is made once and reused; its
# installed packages are removed again before each check.
set -euo pipefail
deb=$(readlink -f "${1:?usage: $0 PACKAGE.deb [ROOT]}")
root=${2:-/var/tmp/vsc-fresh-root}
mirror=${MIRROR:-http://deb.debian.org/debian}

if [ ! -x "$root/usr/bin/apt-get" ]; then
    command -v debootstrap >/dev/null || apt-get install -y -q debootstrap >/dev/null
    debootstrap --variant=minbase bookworm "$root" "$mirror" >"$root.debootstrap.log" 2>&1 ||
        { tail -20 "$root.debootstrap.log" >&2; exit 1; }
fi

mounted=()
cleanup() {
    for ((i = ${#mounted[@]} - 1; i >= 0; i--)); do umount -l "${mounted[$i]}" 2>/dev/null || true; done
}
trap cleanup EXIT
for m in proc sys dev dev/pts; do
    mountpoint -q "$root/$m" || { mount --bind "/$m" "$root/$m" && mounted+=("$root/$m"); }
done
cp /etc/resolv.conf "$root/etc/resolv.conf"
cp "$deb" "$root/tmp/package.deb"
in_root() { chroot "$root" env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8 "$@"; }

echo "== apt install ./package.deb on a minimal Debian 12"
in_root apt-get update -q >/dev/null
in_root apt-get purge -y -q vendaroscope-virtualcam >/dev/null 2>&1 || true
in_root apt-get autoremove -y -q --purge >/dev/null
before=$(in_root dpkg-query -W -f '${Package}\n' | wc -l)
in_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends \
    /tmp/package.deb >"$root.install.log" 2>&1 || { tail -30 "$root.install.log" >&2; exit 1; }
after=$(in_root dpkg-query -W -f '${Package}\n' | wc -l)
echo "installed with $((after - before - 1)) dependencies"

echo "== every installed program finds its libraries and answers --help"
status=0
while read -r file; do
    [ -f "$root$file" ] && [ -x "$root$file" ] || continue
    file "$root$file" | grep -q ELF || continue
    if in_root ldd "$file" | grep -q "not found"; then
        echo "missing libraries: $file" >&2
        in_root ldd "$file" | grep "not found" >&2
        status=1
    elif ! in_root "$file" --help >/dev/null 2>&1; then
        echo "no answer to --help: $file" >&2
        status=1
    else
        echo "ok $file"
    fi
done < <(in_root dpkg -L vendaroscope-virtualcam)
[ "$status" = 0 ] || exit 1

echo "== the desktop entry starts the application"
entry=/usr/share/applications/vendaroscope-virtualcam.desktop
exec_line=$(sed -n 's/^Exec=//p' "$root$entry" | head -1)
echo "Exec=$exec_line"
# A display and a session bus are all a desktop gives it here; the tools
# for them are the checker's, not the package's.
in_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends \
    xvfb xauth dbus dbus-x11 >/dev/null 2>&1
out=$root/tmp/app.out
set +e
# shellcheck disable=SC2086 # the Exec line is split as the desktop does
in_root env XDG_RUNTIME_DIR=/tmp/runtime QT_QPA_PLATFORM=xcb \
    sh -c 'mkdir -p -m 700 /tmp/runtime; exec xvfb-run -a dbus-run-session -- timeout 20 '"$exec_line" \
    >"$out" 2>&1
code=$?
set -e
if [ "$code" != 124 ] || ! grep -q "^welcome button" "$out"; then
    cat "$out" >&2
    echo "the application did not come up with its welcome assistant (exit $code)" >&2
    exit 1
fi
grep "^welcome button" "$out"
echo "== fresh machine check passed"
