#!/bin/bash
# package_check.sh BUILD_DIR VERSION
# Builds the Debian packages from the build tree (as `make package` does, into
# a scratch folder), checks what each holds and needs with dpkg-deb, runs
# lintian where installed, then unpacks them into a throw-away root and runs
# the command there, with the library reading the Proxies.ini that mirrors
# its own folder.
set -euo pipefail
build=$1 version=$2
root=$(mktemp -d /tmp/kestrel-package-test-XXXXXX)
trap 'rm -rf "$root"' EXIT
fail() { echo "FAILED: $*" >&2; exit 1; }

cpack -G DEB --config "$build/CPackConfig.cmake" -B "$root/out" >"$root/cpack.log" 2>&1 ||
    { tail -40 "$root/cpack.log"; fail "cpack"; }
deb() { echo "$root/out/$1_${version}_$2.deb"; }

# What each package holds (and what it must leave to another).
while read -r package arch paths; do
    file=$(deb "$package" "$arch")
    [ -f "$file" ] || fail "no package $package"
    contents=$(dpkg-deb -c "$file" | awk '{print $6}')
    for path in $paths; do
        if [[ $path == !* ]]; then
            ! grep -qx "./${path#!}" <<<"$contents" || fail "$package holds ${path#!}"
        else
            grep -qx "./$path" <<<"$contents" || fail "$package lacks $path"
        fi
    done
done <<EOF_TABLE
libkestrel1 amd64 usr/lib/libKestrel.so.1 usr/lib/libKestrel.so.1.0.0 usr/lib/kestrel/drivers/hostproc/HostProc usr/share/doc/libkestrel1/copyright !usr/lib/libKestrel.so
libkestrelc1 amd64 usr/lib/libKestrelC.so.1 !usr/lib/libKestrelC.so
libkestrel-dev amd64 usr/lib/libKestrel.so usr/lib/libKestrelC.so usr/include/kestrel/kestrel.h usr/include/kestrel/kestrel_c.h usr/lib/pkgconfig/kestrel.pc usr/lib/cmake/Kestrel/KestrelConfig.cmake
kestrel amd64 usr/bin/kestrel usr/lib/kestrel/drivers/libsimcam.so usr/lib/kestrel/drivers/libkestrel_blocks.so usr/share/man/man1/kestrel.1.gz usr/share/man/man1/kestrel-stream.1.gz usr/share/bash-completion/completions/kestrel
gstreamer1.0-kestrel amd64 usr/lib/x86_64-linux-gnu/gstreamer-1.0/libgstkestrel.so usr/libexec/kestrel/kestrel-gst-record
python3-kestrel all usr/lib/python3/dist-packages/kestrel/__init__.py usr/lib/python3/dist-packages/kestrel/_installed.py
EOF_TABLE

# Dependencies: on each other at the exact version, on the system's
# libraries through dpkg-shlibdeps.
depends() { dpkg-deb -f "$(deb "$1" "$2")" Depends; }
grep -q "libkestrel1 (= $version)" <<<"$(depends kestrel amd64)" || fail "kestrel: $(depends kestrel amd64)"
grep -q "libkestrel1 (= $version)" <<<"$(depends libkestrelc1 amd64)" || fail "libkestrelc1: $(depends libkestrelc1 amd64)"
grep -q "libc6 (>= " <<<"$(depends libkestrel1 amd64)" || fail "libkestrel1 has no shlibs dependencies: $(depends libkestrel1 amd64)"
grep -q "libelf1" <<<"$(depends kestrel amd64)" || fail "kestrel: $(depends kestrel amd64)"

# Debug information lives apart: every binary stripped, its build id in a
# -dbgsym package.
for package in libkestrel1 libkestrelc1 kestrel gstreamer1.0-kestrel; do
    mkdir -p "$root/x/$package" "$root/dbg/$package"
    dpkg -x "$(deb "$package" amd64)" "$root/x/$package"
    ddeb="$root/out/$package-dbgsym_${version}_amd64.ddeb"
    [ -f "$ddeb" ] || fail "no $package-dbgsym"
    dpkg -x "$ddeb" "$root/dbg/$package"
    while read -r binary; do
        file -L "$binary" | grep -q ', stripped' || fail "not stripped: $binary"
        id=$(readelf -n "$binary" | sed -n 's/.*Build ID: //p')
        [ -f "$root/dbg/$package/usr/lib/debug/.build-id/${id:0:2}/${id:2}.debug" ] || fail "no debug file for $binary"
    done < <(find "$root/x/$package" -type f \( -name '*.so*' -o -perm -u+x \))
done
lib=$root/x/libkestrel1/usr/lib/libKestrel.so.1.0.0
readelf -d "$lib" | grep -q 'Library soname: \[libKestrel.so.1\]' || fail "SONAME"
if nm -D --defined-only "$lib" | awk '{print $NF}' | grep -q '^_Z'; then fail "C++ symbols exported"; fi

if command -v lintian >/dev/null; then
    lintian --fail-on error "$root"/out/*.deb "$root"/out/*.ddeb >"$root/lintian.log" 2>&1 ||
        { cat "$root/lintian.log"; fail "lintian"; }
else
    echo "lintian is not installed: not run"
fi

# A throw-away root: every package unpacked, the command run from there.
mkdir "$root/root" "$root/rpc" "$root/xdg"
chmod 0700 "$root/rpc"
for file in "$root"/out/*.deb; do dpkg -x "$file" "$root/root"; done
export KESTREL_RPC_DIR=$root/rpc XDG_CONFIG_DIRS=$root/xdg
# libKestrel.so.1 in <root>/usr/lib reads <xdg>/VideoDeviceDrivers/<root>/usr/Proxies.ini.
mkdir -p "$root/xdg/VideoDeviceDrivers$root/root/usr"
printf '[ProxyLogging]\nLevel=1\n' >"$root/xdg/VideoDeviceDrivers$root/root/usr/Proxies.ini"
cd "$root"
"$root/root/usr/bin/kestrel" demo --seconds 1 --out "$root/demo" >"$root/demo.out" 2>"$root/demo.err" ||
    { cat "$root/demo.out" "$root/demo.err"; fail "kestrel demo from the unpacked packages"; }
grep -q "library: $root/root/usr/lib/libKestrel.so" "$root/demo.out" || { cat "$root/demo.out"; fail "demo used another library"; }
grep -q "demo finished: ok" "$root/demo.out" || fail "demo"
grep -q "^Kestrel - " "$root/demo.err" || { head "$root/demo.err"; fail "no trace lines: Proxies.ini beside the versioned library not read"; }
echo "packages: ok ($(cd "$root/out" && ls *.deb *.ddeb | tr '\n' ' '))"
