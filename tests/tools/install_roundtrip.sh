#!/bin/bash
# install_roundtrip.sh CMAKE BUILD_DIR TEMPLATE_DIR LIBDIR [SANITIZER]
# Installs the build into a fresh prefix, then checks what a user of the
# installation relies on: the package files, a driver built against the
# installed header, and the installed kestrel finding its library, driver
# folder and HostProc.
set -euo pipefail
cmake_bin=$1 build=$2 template=$3 libdir=$4 sanitizer=${5:-}
root=$(mktemp -d /tmp/kestrel-install-test-XXXXXX)
trap 'rm -rf "$root"' EXIT
prefix=$root/prefix
mkdir -m 0700 "$root/rpc" "$root/xdg"
export KESTREL_RPC_DIR=$root/rpc XDG_CONFIG_DIRS=$root/xdg XDG_STATE_HOME=$root/state

fail() { echo "FAILED: $*" >&2; exit 1; }

"$cmake_bin" --install "$build" --prefix "$prefix" >"$root/install.log" || { cat "$root/install.log"; fail "cmake --install"; }
drivers=$prefix/$libdir/kestrel/drivers
# What the steps below do not use themselves.
for f in include/kestrel/driver_exports.h include/kestrel/kestrel_c.h "$libdir/libKestrelC.so"; do
    [ -e "$prefix/$f" ] || fail "not installed: $f"
done

# pkg-config resolves the moved prefix from the file's own place.
cflags=$(PKG_CONFIG_PATH=$prefix/$libdir/pkgconfig pkg-config --cflags kestrel)
libs=$(PKG_CONFIG_PATH=$prefix/$libdir/pkgconfig pkg-config --libs kestrel)
[ -f "$(echo "$cflags" | sed 's/^-I//;s/ *$//')/kestrel/kestrel.h" ] || fail "pkg-config --cflags: $cflags"
echo "$libs" | grep -q -- "-lKestrel" || fail "pkg-config --libs: $libs"

# The driver template against the installed package.
"$cmake_bin" -S "$template" -B "$root/template" -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_BUILD_TYPE=Release \
    >"$root/template.log" 2>&1 || { cat "$root/template.log"; fail "configure the template"; }
"$cmake_bin" --build "$root/template" >>"$root/template.log" 2>&1 || { cat "$root/template.log"; fail "build the template"; }
cp "$root/template/libtemplate_driver.so" "$drivers/"

# An application linking libKestrel.so through the CMake package, in one line.
mkdir "$root/app"
cat >"$root/app/CMakeLists.txt" <<'CM'
cmake_minimum_required(VERSION 3.16)
project(app CXX)
find_package(Kestrel 1.0 CONFIG REQUIRED)
add_executable(app app.cpp)
target_link_libraries(app PRIVATE Kestrel::Kestrel)
CM
cat >"$root/app/app.cpp" <<'CPP'
#include <kestrel/kestrel.h>
#include <cstdio>
int main() { std::printf("%d\n", GetRuntimeVersion()); return GetRuntimeVersion() == 1000 ? 0 : 1; }
CPP
"$cmake_bin" -S "$root/app" -B "$root/app/build" -DCMAKE_PREFIX_PATH="$prefix" >"$root/app.log" 2>&1 &&
    "$cmake_bin" --build "$root/app/build" >>"$root/app.log" 2>&1 || { cat "$root/app.log"; fail "build an application"; }
# A sanitizer build's library wants its runtime loaded first, which a plain
# application does not do; there it is only linked.
if [ -z "$sanitizer" ]; then
    LD_LIBRARY_PATH=$prefix/$libdir "$root/app/build/app" >/dev/null || fail "the application linked with Kestrel::Kestrel"
fi

# The installed kestrel finds everything relative to itself.
cd "$root"
"$prefix/bin/kestrel" snapshot --out "$root/installed.jpg" >"$root/snapshot.out" 2>&1 || { cat "$root/snapshot.out"; fail "installed kestrel snapshot"; }
grep -q "$prefix/$libdir/libKestrel.so\|1280x720 JPEG" "$root/snapshot.out" || { cat "$root/snapshot.out"; fail "snapshot output"; }
"$prefix/bin/kestrel" probe "$drivers/libtemplate_driver.so" --password template >"$root/probe.out" 2>&1 ||
    { cat "$root/probe.out"; fail "installed kestrel probe of the template driver"; }
grep -q "through $prefix/$libdir/libKestrel.so" "$root/probe.out" || { cat "$root/probe.out"; fail "probe used another library"; }
grep -q "32x24 JPEG" "$root/probe.out" || { cat "$root/probe.out"; fail "template picture"; }
# The Python package finds the C interface it was installed with.
if [ -z "$sanitizer" ]; then
    PYTHONPATH=$(echo "$prefix"/lib/python3*/*-packages) /usr/bin/python3 -c \
        "import kestrel; assert kestrel.Library().path == '$prefix/$libdir/libKestrelC.so.1'" || fail "python package"
fi
# The GStreamer plugin, where the build has it: under the prefix as the
# platform's plugin folder is under GStreamer's, finding libKestrelC.so and
# its default driver in the installation.
if [ -z "$sanitizer" ] && pkg-config --exists gstreamer-1.0; then
    gst_prefix=$(pkg-config --variable=prefix gstreamer-1.0)
    plugins=$prefix/$(pkg-config --variable=pluginsdir gstreamer-1.0 | sed "s|^$gst_prefix/||")
    [ -e "$plugins/libgstkestrel.so" ] || fail "not installed: $plugins/libgstkestrel.so"
    export GST_PLUGIN_PATH=$plugins GST_REGISTRY=$root/registry.bin
    gst-inspect-1.0 kestrelsrc >"$root/inspect.out" 2>&1 && grep -q "Default: \"$drivers/libsimcam.so\"" "$root/inspect.out" ||
        { cat "$root/inspect.out"; fail "installed plugin: default driver"; }
    gst-launch-1.0 kestrelsrc num-buffers=2 ! fakesink >"$root/launch.out" 2>&1 || { cat "$root/launch.out"; fail "installed plugin"; }
fi
echo "install round trip: ok ($prefix)"
