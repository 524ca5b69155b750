#!/usr/bin/python3
"""Test studio: a small stand-in for a broadcast studio's RTSP programme feed.

Serves three RTSP paths and a little HTTP API, for the tests and the demo.

Usage:
    /usr/bin/python3 tools/test-studio/test_studio.py \\
        [--address 127.0.0.1] [--rtsp-port 8554] [--api-port 9997] \\
        [--width 1280] [--height 720] [--fps 30] \\
        [--announce SERVICE [--pcr-name N] [--pcr-code C] [--pcr-sid S]
                            [--pcr-stage STAGE_1]]

    A port of 0 picks a free one; the ready line tells which.

DNS-SD (with --announce; needs a running avahi-daemon):
    Announces the studio as SERVICE of type _vsc-pcr._tcp at the RTSP port,
    with the TXT keys name, code, sid, stage, rtsp and api (the ports are the
    ones actually listening), through avahi's D-Bus API on the system bus. The
    ready line waits until avahi has established the announcement.

RTSP paths (rtsp://ADDR:RTSP_PORT/...):
    STAGE_1   H.264 video + AAC audio
    STAGE_2   H.264 video only
    STAGE_3   AAC audio only
    STAGE_4   H.264 video + AAC audio, a studio event to measure sync by: a
              black picture that turns white for 100 ms every 2 s, and
              silence with a 1 kHz beep (volume 0.5) over the same 100 ms.
              The beep starts on the sample at the mark, the flash on the
              first frame at or after it (within one frame period).
    The picture is SMPTE colour bars with fresh noise in the lower right
    quarter (the bars stay still while every frame differs); the sound is a
    1 kHz sine at volume 0.5, 48 kHz stereo. Every reader gets a pipeline of
    its own, so its stream starts on a key frame.

HTTP API (http://ADDR:API_PORT), GET or POST, JSON answers:
    /v3/paths/list                   all paths; a dropped one has "ready": false
    /v3/paths/get/STAGE_1            one path
    /control/health                  {"ok": true}
    /control/drop?path=STAGE_1       close the path's RTSP clients, answer 404
                                     to new DESCRIBEs until restored
    /control/restore?path=STAGE_1    serve the path again
    /control/stall?seconds=S[&path=STAGE_1]
                                     stop media flowing for S seconds while the
                                     RTSP sessions stay open (RTCP keeps going,
                                     so readers stay connected); resumes by
                                     itself. Without path: every path.
    /control/resume[?path=STAGE_1]   end a stall early
    /control/withdraw                withdraw the DNS-SD announcement
    /control/announce                announce it again (after a withdraw)
    /control/stage?name=STAGE_2      change the announced stage (TXT "stage") in place

When both servers listen, one line goes to stdout:
    test-studio ready rtsp=rtsp://ADDR:PORT api=http://ADDR:PORT
SIGTERM or SIGINT stops it cleanly.
"""

import argparse
import json
import os
import signal
import sys
import threading
import time
import urllib.parse
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

import gi

gi.require_version("Gst", "1.0")
gi.require_version("GstController", "1.0")
gi.require_version("GstRtspServer", "1.0")
from gi.repository import Gio, GLib, Gst, GstController, GstRtspServer  # noqa: E402

PATHS = {
    "STAGE_1": {"video": True, "audio": True},
    "STAGE_2": {"video": True, "audio": False},
    "STAGE_3": {"video": False, "audio": True},
    "STAGE_4": {"video": True, "audio": True, "marks": True},
}

# STAGE_4's marks: every MARK_EVERY, for MARK_LENGTH, for the first hour.
MARK_EVERY = 2 * Gst.SECOND
MARK_LENGTH = 100 * Gst.MSECOND
MARK_COUNT = 1800

# How often the RTP sessions send RTCP. A reader with a socket timeout of a
# few seconds must see some bytes during a stall, and the stock 5 s (with
# random spread up to 7.5 s) is too slow for that.
RTCP_INTERVAL_NS = 1 * Gst.SECOND


def log(msg):
    sys.stderr.write("test-studio: %s\n" % msg)
    sys.stderr.flush()


def build_launch(spec, width, height, fps):
    parts = []
    if spec["video"]:
        # videotestsrc's SMPTE picture keeps its bars still and fills the
        # bottom right quarter with fresh noise every frame: a moving picture
        # whose bars a test can check. (A compositor laying a ball over it
        # made the stream come out at half rate now and then.)
        keyint = max(1, fps)
        picture = (
            "name=marks_v pattern=solid-color foreground-color=0xff000000"
            if spec.get("marks")
            else "pattern=smpte"
        )
        parts.append(
            "videotestsrc {p} is-live=true "
            "! video/x-raw,format=I420,width={w},height={h},framerate={f}/1 "
            "! valve name=stallvalve_v drop=false "
            "! queue max-size-buffers=2 leaky=downstream "
            "! x264enc tune=zerolatency speed-preset=ultrafast "
            "sliced-threads=false threads=1 key-int-max={k} bitrate=2500 "
            "! video/x-h264,profile=constrained-baseline "
            "! rtph264pay name=pay0 pt=96 config-interval=-1".format(
                p=picture, w=width, h=height, f=fps, k=keyint
            )
        )
    if spec["audio"]:
        pay = "pay1" if spec["video"] else "pay0"
        # The beep's volume follows its marks buffer by buffer: 5 ms buffers.
        sound = (
            "name=marks_a volume=0 samplesperbuffer=240"
            if spec.get("marks")
            else "volume=0.5 samplesperbuffer=1024"
        )
        parts.append(
            "audiotestsrc wave=sine freq=1000 {s} is-live=true "
            "! audio/x-raw,rate=48000,channels=2 "
            "! valve name=stallvalve_a drop=false "
            "! audioconvert ! avenc_aac bitrate=128000 "
            "! rtpmp4gpay name={pay} pt=97".format(s=sound, pay=pay)
        )
    return "( " + " ".join(parts) + " )"


def on_main(func, timeout=5.0):
    """Run func on the GLib main loop and hand back its result."""
    done = threading.Event()
    box = {}

    def call():
        try:
            box["value"] = func()
        except Exception as exc:  # reported to the HTTP caller
            box["error"] = exc
        done.set()
        return False

    GLib.idle_add(call)
    if not done.wait(timeout):
        raise TimeoutError("main loop did not answer")
    if "error" in box:
        raise box["error"]
    return box.get("value")


class Studio:
    def __init__(self, args):
        self.args = args
        self.server = GstRtspServer.RTSPServer()
        self.server.set_address(args.address)
        self.server.set_service(str(args.rtsp_port))
        self.mounts = self.server.get_mount_points()
        self.factories = {}
        self.medias = {name: [] for name in PATHS}  # live medias, one per reader
        self.dropped = set()
        self.stalled_until = {}  # name -> monotonic deadline
        self.stall_timers = {}  # name -> GLib source id
        self.ready_since = {}
        self.rtsp_port = None
        for name in PATHS:
            self.factories[name] = self._make_factory(name)
            self._mount(name)

    # ---- media -----------------------------------------------------------

    def _make_factory(self, name):
        a = self.args
        factory = GstRtspServer.RTSPMediaFactory()
        factory.set_launch(build_launch(PATHS[name], a.width, a.height, a.fps))
        # Every reader gets its own pipeline, so its stream opens on a key
        # frame. A reader joining a shared stream mid-GOP made ffmpeg's
        # decoder lose the picture for good now and then (missing reference
        # picture, then no more frames while the sound went on).
        factory.set_shared(False)
        factory.connect("media-configure", self._on_media_configure, name)
        return factory

    def _mount(self, name):
        self.mounts.add_factory("/" + name, self.factories[name])
        self.ready_since[name] = time.time()

    def _on_media_configure(self, factory, media, name):
        self.medias[name].append(media)
        if PATHS[name].get("marks"):
            self._add_marks(media.get_element())
        media.connect("unprepared", self._on_media_unprepared, name)
        media.connect("prepared", self._on_media_prepared, name)
        if name in self.stalled_until:
            self._set_valves(media, True)

    @staticmethod
    def _add_marks(bin_):
        # Stepped values on the sources' own timeline (the buffers' times):
        # the flash colour and the beep's volume at each mark, and back after.
        for element, prop, on, off in (
            ("marks_v", "foreground-color", float(0xFFFFFFFF), float(0xFF000000)),
            ("marks_a", "volume", 0.5, 0.0),
        ):
            source = bin_.get_by_name(element)
            control = GstController.InterpolationControlSource()
            control.set_property("mode", GstController.InterpolationMode.NONE)
            for k in range(MARK_COUNT):
                control.set(k * MARK_EVERY, on)
                control.set(k * MARK_EVERY + MARK_LENGTH, off)
            source.add_control_binding(
                GstController.DirectControlBinding.new_absolute(source, prop, control)
            )

    def _on_media_prepared(self, media, name):
        for i in range(media.n_streams()):
            sess = media.get_stream(i).get_rtpsession()
            if sess is not None:
                sess.set_property("rtcp-min-interval", RTCP_INTERVAL_NS)

    def _on_media_unprepared(self, media, name):
        try:
            self.medias[name].remove(media)
        except ValueError:
            pass

    @staticmethod
    def _set_valves(media, drop):
        bin_ = media.get_element()
        for vname in ("stallvalve_v", "stallvalve_a"):
            valve = bin_.get_by_name(vname)
            if valve is not None:
                valve.set_property("drop", drop)

    # ---- controls (main loop only) --------------------------------------

    def drop(self, name):
        if name not in self.dropped:
            self.dropped.add(name)
            self.mounts.remove_factory("/" + name)
        closed = self._close_readers(name)
        return {"ok": True, "path": name, "dropped": True, "closedClients": closed}

    def restore(self, name):
        if name in self.dropped:
            self.dropped.discard(name)
            self._mount(name)
        return {"ok": True, "path": name, "dropped": False}

    def _session_medias(self, sess, name):
        """The parts of an RTSP session that play one of the path's medias."""
        medias = self.medias[name]
        hit = []

        def per_media(_sess, sessmedia, *_):
            if sessmedia.get_media() in medias:
                hit.append(sessmedia)
            return GstRtspServer.RTSPFilterResult.KEEP

        sess.filter(per_media, None)
        return hit

    def _sessions_of(self, name):
        found = []

        def per_session(_pool, sess, *_):
            if self._session_medias(sess, name):
                found.append(sess)
            return GstRtspServer.RTSPFilterResult.KEEP

        if self.medias[name]:
            self.server.get_session_pool().filter(per_session, None)
        return found

    def _close_readers(self, name):
        closed = [0]

        # Closing the RTSP connection is what a reader sees as the end of
        # the stream; with TCP transport it also ends the session.
        def per_client(_server, client, *_):
            found = []

            def per_session(_client, sess, *_):
                if self._session_medias(sess, name):
                    found.append(sess)
                return GstRtspServer.RTSPFilterResult.KEEP

            client.session_filter(per_session, None)
            if found:
                closed[0] += 1
                return GstRtspServer.RTSPFilterResult.REMOVE
            return GstRtspServer.RTSPFilterResult.KEEP

        self.server.client_filter(per_client, None)

        # Sessions whose transport is UDP live on without their RTSP
        # connection; take them out of the pool so their media stops.
        def per_pool_session(_pool, sess, *_):
            hit = self._session_medias(sess, name)
            if not hit:
                return GstRtspServer.RTSPFilterResult.KEEP
            for sessmedia in hit:
                sessmedia.set_state(Gst.State.NULL)
                sess.release_media(sessmedia)
            return GstRtspServer.RTSPFilterResult.REMOVE

        self.server.get_session_pool().filter(per_pool_session, None)
        return closed[0]

    def stall(self, seconds, names):
        deadline = time.monotonic() + seconds
        for name in names:
            self.stalled_until[name] = deadline
            for media in self.medias[name]:
                self._set_valves(media, True)
            old = self.stall_timers.pop(name, None)
            if old:
                GLib.source_remove(old)
            self.stall_timers[name] = GLib.timeout_add(
                int(seconds * 1000), self._stall_over, name
            )
        return {"ok": True, "stalled": sorted(names), "seconds": seconds}

    def _stall_over(self, name):
        self.stall_timers.pop(name, None)
        self.resume([name])
        return False

    def resume(self, names):
        for name in names:
            self.stalled_until.pop(name, None)
            old = self.stall_timers.pop(name, None)
            if old:
                GLib.source_remove(old)
            for media in self.medias[name]:
                self._set_valves(media, False)
        return {"ok": True, "resumed": sorted(names)}

    def path_item(self, name):
        spec = PATHS[name]
        ready = name not in self.dropped
        tracks = []
        if spec["video"]:
            tracks.append("H264")
        if spec["audio"]:
            tracks.append("MPEG-4 Audio")
        readers = [
            {"type": "rtspSession", "id": sess.get_sessionid()}
            for sess in self._sessions_of(name)
        ]
        deadline = self.stalled_until.get(name)
        stall_left = max(0.0, deadline - time.monotonic()) if deadline else 0.0
        return {
            "name": name,
            "confName": name,
            "source": (
                {"type": "testStudio", "id": name.lower()} if ready else None
            ),
            "ready": ready,
            "readyTime": (
                time.strftime(
                    "%Y-%m-%dT%H:%M:%SZ", time.gmtime(self.ready_since[name])
                )
                if ready
                else None
            ),
            "tracks": tracks if ready else [],
            "bytesReceived": 0,
            "bytesSent": 0,
            "readers": readers,
            "stalled": deadline is not None,
            "stallSecondsLeft": round(stall_left, 1),
        }

    def paths_list(self):
        items = [self.path_item(n) for n in PATHS]
        return {"itemCount": len(items), "pageCount": 1, "items": items}

    # ---- lifetime --------------------------------------------------------

    def attach(self):
        if self.server.attach(None) == 0:
            return False
        self.rtsp_port = self.server.get_bound_port()
        return True

    def shutdown(self):
        for name in list(self.stall_timers):
            GLib.source_remove(self.stall_timers.pop(name))
        self.server.client_filter(
            lambda *_: GstRtspServer.RTSPFilterResult.REMOVE, None
        )


class Announcement:
    """The studio's DNS-SD announcement, an entry group of avahi-daemon's.

    Made over avahi's D-Bus API on the system bus, so the TXT record can be
    changed in place. The group belongs to our bus connection: however the
    studio ends, avahi withdraws it.
    """

    AVAHI = "org.freedesktop.Avahi"
    GROUP = "org.freedesktop.Avahi.EntryGroup"
    ESTABLISHED, COLLISION, FAILURE = 2, 3, 4

    def __init__(self, service, txt, port):
        self.service = service
        self.txt = list(txt)
        self.port = port
        self.lock = threading.Lock()
        self.bus = Gio.bus_get_sync(Gio.BusType.SYSTEM, None)
        self.group = None
        self.announced = False

    def _call(self, path, interface, method, args=None, reply=None):
        return self.bus.call_sync(
            self.AVAHI, path, interface, method, args,
            GLib.VariantType(reply) if reply else None,
            Gio.DBusCallFlags.NONE, 10000, None,
        )

    def _txt(self):
        return [("%s=%s" % kv).encode() for kv in self.txt]

    def announce(self, timeout=10.0):
        with self.lock:
            if self.group is not None and not self._group_alive():
                # avahi-daemon restarted: our group went with it
                self.group = None
                self.announced = False
            if self.announced:
                return {"ok": True, "announced": True}
            if self.group is None:
                (self.group,) = self._call(
                    "/", "org.freedesktop.Avahi.Server", "EntryGroupNew", None, "(o)"
                ).unpack()
            self._call(self.group, self.GROUP, "AddService", GLib.Variant(
                "(iiussssqaay)",
                (-1, -1, 0, self.service, "_vsc-pcr._tcp", "", "", self.port, self._txt()),
            ))
            self._call(self.group, self.GROUP, "Commit")
            deadline = time.monotonic() + timeout
            while True:
                (state,) = self._call(self.group, self.GROUP, "GetState", None, "(i)").unpack()
                if state == self.ESTABLISHED:
                    break
                if state in (self.COLLISION, self.FAILURE) or time.monotonic() > deadline:
                    self._call(self.group, self.GROUP, "Reset")
                    raise RuntimeError("avahi entry group state %d" % state)
                time.sleep(0.05)
            self.announced = True
            return {"ok": True, "announced": True}

    def _group_alive(self):
        try:
            self._call(self.group, self.GROUP, "GetState", None, "(i)")
            return True
        except GLib.Error:
            return False

    def withdraw(self):
        with self.lock:
            if self.announced:
                self._call(self.group, self.GROUP, "Reset")
                self.announced = False
            return {"ok": True, "announced": False}

    def set_stage(self, stage):
        with self.lock:
            self.txt = [(k, stage if k == "stage" else v) for k, v in self.txt]
            if self.announced:
                self._call(self.group, self.GROUP, "UpdateServiceTxt", GLib.Variant(
                    "(iiusssaay)", (-1, -1, 0, self.service, "_vsc-pcr._tcp", "", self._txt())
                ))
            return {"ok": True, "stage": stage}


class ApiHandler(BaseHTTPRequestHandler):
    studio = None
    announcement = None
    protocol_version = "HTTP/1.1"

    def log_message(self, fmt, *args):
        pass

    def _send(self, code, obj):
        body = (json.dumps(obj) + "\n").encode()
        self.send_response(code)
        self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def do_POST(self):
        length = int(self.headers.get("Content-Length") or 0)
        if length:
            self.rfile.read(length)
        self.do_GET()

    def do_GET(self):
        url = urllib.parse.urlsplit(self.path)
        query = dict(urllib.parse.parse_qsl(url.query))
        route = url.path.rstrip("/") or "/"
        studio = self.studio
        try:
            if route == "/control/health":
                return self._send(200, {"ok": True})
            if route == "/v3/paths/list":
                return self._send(200, on_main(studio.paths_list))
            if route.startswith("/v3/paths/get/"):
                name = route[len("/v3/paths/get/"):]
                if name not in PATHS:
                    return self._send(404, {"error": "path not found"})
                return self._send(200, on_main(lambda: studio.path_item(name)))
            if route in ("/control/drop", "/control/restore"):
                name = query.get("path", "")
                if name not in PATHS:
                    return self._send(400, {"ok": False, "error": "unknown path"})
                fn = studio.drop if route.endswith("drop") else studio.restore
                return self._send(200, on_main(lambda: fn(name)))
            if route in ("/control/stall", "/control/resume"):
                name = query.get("path")
                if name is not None and name not in PATHS:
                    return self._send(400, {"ok": False, "error": "unknown path"})
                names = [name] if name else list(PATHS)
                if route.endswith("resume"):
                    return self._send(200, on_main(lambda: studio.resume(names)))
                try:
                    seconds = float(query.get("seconds", "10"))
                except ValueError:
                    seconds = -1
                if not 0 < seconds <= 3600:
                    return self._send(400, {"ok": False, "error": "bad seconds"})
                return self._send(
                    200, on_main(lambda: studio.stall(seconds, names))
                )
            if route in ("/control/withdraw", "/control/announce", "/control/stage"):
                if self.announcement is None:
                    return self._send(400, {"ok": False, "error": "not announced"})
                if route.endswith("withdraw"):
                    return self._send(200, self.announcement.withdraw())
                if route.endswith("stage"):
                    stage = query.get("name", "")
                    if not stage:
                        return self._send(400, {"ok": False, "error": "no stage name"})
                    return self._send(200, self.announcement.set_stage(stage))
                return self._send(200, self.announcement.announce())
            return self._send(404, {"error": "not found"})
        except Exception as exc:
            return self._send(500, {"ok": False, "error": str(exc)})


def main():
    ap = argparse.ArgumentParser(description="RTSP test studio")
    ap.add_argument("--rtsp-port", type=int, default=8554)
    ap.add_argument("--api-port", type=int, default=9997)
    ap.add_argument("--address", default="127.0.0.1")
    ap.add_argument("--width", type=int, default=1280)
    ap.add_argument("--height", type=int, default=720)
    ap.add_argument("--fps", type=int, default=30)
    ap.add_argument("--announce", metavar="SERVICE", help="DNS-SD service name")
    ap.add_argument("--pcr-name", default="Test Studio")
    ap.add_argument("--pcr-code", default="TS")
    ap.add_argument("--pcr-sid", default="1")
    ap.add_argument("--pcr-stage", default="STAGE_1")
    ap.add_argument(
        "--nice",
        type=int,
        default=0,
        help="run at this nice level where allowed: a studio sharing the machine "
        "with the programs under test stands for a machine of its own",
    )
    args = ap.parse_args()
    if args.width < 64 or args.height < 64 or args.width % 2 or args.height % 2:
        ap.error("width and height must be even and at least 64")
    if not 1 <= args.fps <= 120:
        ap.error("fps must be between 1 and 120")

    if args.nice:
        # Before any thread starts: every thread the studio makes inherits it.
        try:
            os.setpriority(os.PRIO_PROCESS, 0, args.nice)
        except OSError as exc:
            log("keeps its nice level: %s" % exc)

    Gst.init(None)
    loop = GLib.MainLoop()
    studio = Studio(args)
    if not studio.attach():
        log("cannot listen for RTSP on %s:%d" % (args.address, args.rtsp_port))
        return 1

    ApiHandler.studio = studio
    try:
        httpd = ThreadingHTTPServer((args.address, args.api_port), ApiHandler)
    except OSError as exc:
        log("cannot listen for HTTP on %s:%d: %s" % (args.address, args.api_port, exc))
        return 1
    httpd.daemon_threads = True
    http_thread = threading.Thread(target=httpd.serve_forever, daemon=True)
    http_thread.start()

    def stop(*_):
        # Should closing the sessions ever hang, leave anyway: a test
        # harness must never be left waiting on the studio.
        killer = threading.Timer(5.0, lambda: os._exit(0))
        killer.daemon = True
        killer.start()
        loop.quit()
        return GLib.SOURCE_REMOVE

    GLib.unix_signal_add(GLib.PRIORITY_HIGH, signal.SIGTERM, stop)
    GLib.unix_signal_add(GLib.PRIORITY_HIGH, signal.SIGINT, stop)

    # A harness that dies without stopping us must not leave us behind.
    parent = os.getppid()

    def parent_gone():
        if os.getppid() != parent:
            stop()
            return GLib.SOURCE_REMOVE
        return GLib.SOURCE_CONTINUE

    GLib.timeout_add(500, parent_gone)

    announcement = None
    if args.announce:
        try:
            announcement = Announcement(
                args.announce,
                [
                    ("name", args.pcr_name),
                    ("code", args.pcr_code),
                    ("sid", args.pcr_sid),
                    ("stage", args.pcr_stage),
                    ("rtsp", str(studio.rtsp_port)),
                    ("api", str(httpd.server_address[1])),
                ],
                studio.rtsp_port,
            )
            announcement.announce()
        except (RuntimeError, GLib.Error) as exc:
            log("cannot announce on DNS-SD: %s" % exc)
            httpd.shutdown()
            return 1
        ApiHandler.announcement = announcement

    host = args.address
    if ":" in host:
        host = "[%s]" % host
    print(
        "test-studio ready rtsp=rtsp://%s:%d api=http://%s:%d"
        % (host, studio.rtsp_port, host, httpd.server_address[1]),
        flush=True,
    )
    try:
        loop.run()
    finally:
        if announcement is not None:
            announcement.withdraw()
        httpd.shutdown()
        httpd.server_close()
        studio.shutdown()
    return 0


if __name__ == "__main__":
    sys.exit(main())
