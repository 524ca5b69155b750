#!/usr/bin/python3
"""Call probe: what a video call receives from the virtual camera and microphone.

Reads the camera "Vendaroscope Program" (and the microphone) through GStreamer's
pipewiresrc, as a call application would, and prints one line of figures.

Usage:
    /usr/bin/python3 tools/call-probe/call_probe.py first-picture [--timeout 20]
        Waits for the first frame that shows a programme (a light picture
        where the slate is dark) and prints
            first-picture at=<CLOCK_REALTIME ns>
        so a script can subtract the time it clicked Start. Exit status 1
        when none came in time.

    /usr/bin/python3 tools/call-probe/call_probe.py av-offset [--seconds 8]
        Reads the camera and the microphone in one pipeline while the test
        studio's STAGE_4 is sent (a white flash and a beep at the same moment
        every 2 s), pairs each flash with its beep by their timestamps, and
        prints
            av-offset median=<ms> min=<ms> max=<ms> marks=<n>
        The offset is how much later the microphone carries the beep than the
        camera shows the flash (negative: the sound comes first), by their
        times of arrival at the reader. Exit status 1 when no mark was seen.
"""

import argparse
import struct
import sys
import time

import gi

gi.require_version("Gst", "1.0")
from gi.repository import Gst  # noqa: E402

CAMERA = "Vendaroscope Program"
MICROPHONE = "vendaroscope_program_audio_mic"
WIDTH, HEIGHT = 1920, 1080
# A point in the picture's upper left: the first colour bar of the studio's
# picture (luma 235) and its flash (235) are light, the slate there is dark (33)
# and so is STAGE_4 between its marks (16).
PROBE_X, PROBE_Y = 137, 300
LIGHT = 150
# The beep is 1 kHz at 0.5; silence between the marks is exactly zero.
LOUD = 0.05


def luma_at(buffer):
    ok, info = buffer.map(Gst.MapFlags.READ)
    if not ok:
        return 0
    try:
        return info.data[PROBE_Y * WIDTH + PROBE_X]
    finally:
        buffer.unmap(info)


def run(description, on_video, on_audio, seconds):
    pipeline = Gst.parse_launch(description)
    video = pipeline.get_by_name("video")
    video.connect("new-sample", lambda sink: on_video(sink.emit("pull-sample")) or Gst.FlowReturn.OK)
    if on_audio:
        audio = pipeline.get_by_name("audio")
        audio.connect(
            "new-sample", lambda sink: on_audio(sink.emit("pull-sample")) or Gst.FlowReturn.OK
        )
    pipeline.set_state(Gst.State.PLAYING)
    bus = pipeline.get_bus()
    message = bus.timed_pop_filtered(int(seconds * Gst.SECOND), Gst.MessageType.ERROR)
    pipeline.set_state(Gst.State.NULL)
    if message:
        error, _ = message.parse_error()
        print("call-probe: %s" % error.message, file=sys.stderr)
        return False
    return True


def first_picture(timeout):
    seen = []

    def on_video(sample):
        if not seen and luma_at(sample.get_buffer()) > LIGHT:
            seen.append(time.time_ns())

    description = (
        'pipewiresrc target-object="{c}" ! video/x-raw,format=NV12,width={w},height={h} '
        "! appsink name=video emit-signals=true sync=false max-buffers=4 drop=true"
    ).format(c=CAMERA, w=WIDTH, h=HEIGHT)
    pipeline = Gst.parse_launch(description)
    pipeline.get_by_name("video").connect(
        "new-sample", lambda sink: on_video(sink.emit("pull-sample")) or Gst.FlowReturn.OK
    )
    pipeline.set_state(Gst.State.PLAYING)
    deadline = time.monotonic() + timeout
    bus = pipeline.get_bus()
    while not seen and time.monotonic() < deadline:
        if bus.timed_pop_filtered(50 * Gst.MSECOND, Gst.MessageType.ERROR):
            break
    pipeline.set_state(Gst.State.NULL)
    if not seen:
        print("call-probe: no programme picture in %.0f s" % timeout, file=sys.stderr)
        return 1
    print("first-picture at=%d" % seen[0])
    return 0


def onsets(times, gap):
    """The first of each run of times closer than `gap` to the one before."""
    starts = []
    for t in times:
        if not starts or t - last > gap:
            starts.append(t)
        last = t
    return starts


def av_offset(seconds):
    flashes, beeps = [], []

    # Times of arrival at the reader, as a call gets them (the two sources'
    # buffer times need not share a base): a picture when it arrives, a
    # sample by its place before the end of the block that brought it.
    def on_video(sample):
        arrived = time.monotonic()
        if luma_at(sample.get_buffer()) > LIGHT:
            flashes.append(arrived)

    def on_audio(sample):
        arrived = time.monotonic()
        buffer = sample.get_buffer()
        ok, info = buffer.map(Gst.MapFlags.READ)
        if not ok:
            return
        try:
            left = struct.unpack("<%df" % (len(info.data) // 4), info.data)[0::2]
        finally:
            buffer.unmap(info)
        for i, value in enumerate(left):
            if abs(value) > LOUD:
                beeps.append(arrived - (len(left) - i) / 48000.0)

    description = (
        'pipewiresrc target-object="{c}" ! video/x-raw,format=NV12,width={w},height={h} '
        "! appsink name=video emit-signals=true sync=false "
        'pipewiresrc target-object="{m}" ! audio/x-raw,format=F32LE,rate=48000,channels=2 '
        "! appsink name=audio emit-signals=true sync=false"
    ).format(c=CAMERA, m=MICROPHONE, w=WIDTH, h=HEIGHT)
    if not run(description, on_video, on_audio, seconds):
        return 1
    flash_starts = onsets(flashes, 0.5)
    beep_starts = onsets(beeps, 0.5)
    offsets = []
    for flash in flash_starts:
        nearest = min(beep_starts, key=lambda b: abs(b - flash), default=None)
        if nearest is not None and abs(nearest - flash) < 0.9:
            offsets.append((nearest - flash) * 1000.0)
    if not offsets:
        print(
            "call-probe: no mark seen (%d flashes, %d beeps)" % (len(flash_starts), len(beep_starts)),
            file=sys.stderr,
        )
        return 1
    offsets.sort()
    print(
        "av-offset median=%+.0f min=%+.0f max=%+.0f marks=%d"
        % (offsets[len(offsets) // 2], offsets[0], offsets[-1], len(offsets))
    )
    return 0


def main():
    parser = argparse.ArgumentParser(description="what a call receives from the camera and microphone")
    sub = parser.add_subparsers(dest="command", required=True)
    first = sub.add_parser("first-picture")
    first.add_argument("--timeout", type=float, default=20.0)
    offset = sub.add_parser("av-offset")
    offset.add_argument("--seconds", type=float, default=8.0)
    args = parser.parse_args()
    Gst.init(None)
    if args.command == "first-picture":
        return first_picture(args.timeout)
    return av_offset(args.seconds)


if __name__ == "__main__":
    sys.exit(main())
