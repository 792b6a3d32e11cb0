#!/usr/bin/env python3
"""Streams a camera's video blocks into a file for some seconds, surviving a
driver crash midway: the instance is added again and the stream goes on.

    stream.py --driver /usr/local/lib/kestrel/drivers/libsimcam.so --seconds 4 --crash

The simulated camera's blocks are JPEG frames, so the file is MJPEG. With
--crash a second thread asks the driver to crash (its "crash" command)
halfway through.
"""

import argparse
import threading
import time

import kestrel


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--driver", required=True, help="the driver file")
    parser.add_argument("--instance", default="cam-1")
    parser.add_argument("--password", default="simcam")
    parser.add_argument("--seconds", type=float, default=4.0)
    parser.add_argument("--out", default="stream.mjpeg")
    parser.add_argument("--crash", action="store_true", help="crash the driver halfway")
    args = parser.parse_args()

    lib = kestrel.Library()
    cam = lib.add(args.instance, args.driver, "stream", password=args.password)
    if args.crash:
        threading.Timer(args.seconds / 2, crash, (cam,)).start()

    frames = recoveries = 0
    end = time.monotonic() + args.seconds
    with open(args.out, "wb") as out:
        while time.monotonic() < end:
            try:
                for block in cam.video(camera=1):
                    out.write(block)
                    frames += 1
                    if time.monotonic() >= end:
                        break
            except (kestrel.ProxyServerLost, kestrel.UnknownInstance) as error:
                print("stream: %s; adding %s again" % (error.words, cam.id), flush=True)
                cam.readd()
                recoveries += 1
    cam.remove()
    print("%d frames in %.1f s, %d recoveries -> %s" % (frames, args.seconds, recoveries, args.out))
    return 0 if frames > 0 and (recoveries > 0 or not args.crash) else 1


def crash(cam):
    try:
        cam.command("crash")
    except kestrel.KestrelError as error:
        print("crash: %s" % error.words, flush=True)


if __name__ == "__main__":
    raise SystemExit(main())
