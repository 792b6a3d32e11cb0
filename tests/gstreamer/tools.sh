#!/bin/bash
# tools.sh PLUGIN_FOLDER KESTREL
# The plugin as GStreamer's own tools see it, and the files `kestrel stream`
# writes as GStreamer reads them back: gst-inspect-1.0 lists the plugin and
# the element without a warning, gst-launch-1.0 runs it to EOS, every format
# demuxes and decodes frame by frame, from a file and from a pipe.
set -euo pipefail
plugins=$1 kestrel=$2
root=$(mktemp -d /tmp/kestrel-gst-tools-XXXXXX)
trap 'rm -rf "$root"' EXIT
mkdir -m 0700 "$root/rpc"
# A registry of our own, so that the plugin is scanned afresh.
export KESTREL_RPC_DIR=$root/rpc XDG_CONFIG_DIRS=/nonexistent GST_PLUGIN_PATH=$plugins \
       GST_REGISTRY=$root/registry.bin SIMCAM_WIDTH=320 SIMCAM_HEIGHT=240 SIMCAM_FPS=30
fail() { echo "FAILED: $*" >&2; exit 1; }

gst-inspect-1.0 kestrel >"$root/inspect.out" 2>"$root/inspect.err" || { cat "$root/inspect.err"; fail "gst-inspect-1.0 kestrel"; }
[ ! -s "$root/inspect.err" ] || { cat "$root/inspect.err"; fail "gst-inspect-1.0 kestrel wrote to standard error"; }
grep -q "kestrelsrc: Kestrel camera source" "$root/inspect.out" || { cat "$root/inspect.out"; fail "element not listed"; }
# The element's class and properties: no GLib warning either.
gst-inspect-1.0 kestrelsrc >"$root/element.out" 2>"$root/element.err" || fail "gst-inspect-1.0 kestrelsrc"
[ ! -s "$root/element.err" ] || { cat "$root/element.err"; fail "gst-inspect-1.0 kestrelsrc wrote to standard error"; }

# The default driver is the build's simulated camera; 60 frames, then EOS.
gst-launch-1.0 kestrelsrc num-buffers=60 ! jpegdec ! videoconvert ! fakesink >"$root/launch.out" 2>&1 ||
    { cat "$root/launch.out"; fail "gst-launch-1.0 kestrelsrc num-buffers=60"; }
grep -q "Got EOS from element" "$root/launch.out" || { cat "$root/launch.out"; fail "no EOS"; }

# Frames that reach the sink: one "chain" line each.
count_frames() { grep -c "last-message = chain" "$1" || true; }
decode() { # decode SOURCE DEMUXER: every frame demuxed and decoded
    gst-launch-1.0 -v $1 ! $2 ! jpegdec ! fakesink silent=false 2>&1
}
cd "$root"
for format in mkv multipart; do  # (mjpeg: the command's own test reads its frames)
    "$kestrel" stream --format "$format" --frames 12 --seconds 600 --out "clip.$format" 2>"stream.err" ||
        { cat stream.err; fail "kestrel stream --format $format"; }
    demux=$([ "$format" = mkv ] && echo matroskademux || echo multipartdemux)
    decode "filesrc location=clip.$format" "$demux" >"decode.out" || { cat decode.out; fail "$format: decoding"; }
    frames=$(grep -o "[0-9]* frames" stream.err | tail -1 | cut -d' ' -f1)
    [ "$(count_frames decode.out)" = "$frames" ] || { cat stream.err decode.out; fail "$format: $frames frames written, $(count_frames decode.out) decoded"; }
done
# Matroska says how long and how large, and plays at the camera's rate.
gst-discoverer-1.0 clip.mkv >discover.out 2>&1 || { cat discover.out; fail "gst-discoverer-1.0 clip.mkv"; }
grep -q "Width: 320" discover.out && grep -q "Height: 240" discover.out && grep -q "Frame rate: 30/1" discover.out &&
    ! grep -q "Duration: 0:00:00.000000000" discover.out || { cat discover.out; fail "gst-discoverer-1.0 clip.mkv"; }
# A pipe cannot be sought: an open-ended recording, read as it comes.
"$kestrel" stream --format mkv --frames 12 --seconds 600 --out - 2>stream.err | decode "fdsrc" matroskademux >decode.out ||
    { cat stream.err decode.out; fail "mkv through a pipe"; }
frames=$(grep -o "[0-9]* frames" stream.err | tail -1 | cut -d' ' -f1)
[ "$(count_frames decode.out)" = "$frames" ] || { cat stream.err decode.out; fail "pipe: $frames frames written, $(count_frames decode.out) decoded"; }
echo "gstreamer tools: ok"
