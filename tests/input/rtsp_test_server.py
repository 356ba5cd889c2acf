#!/usr/bin/env python3
"""Serves one MP4 file (H.264, optionally AAC) over RTSP on 127.0.0.1 for the input tests.

Every client gets its own pipeline that plays the file once in real time. With --audio-for the
sound goes silent after that many seconds while the picture goes on, as a camera's can. With --check the
script only reports whether GStreamer's RTSP server and the needed elements are installed
(exit 0), or not (exit 77).
"""
import argparse
import signal
import sys

try:
    import gi
    gi.require_version('Gst', '1.0')
    gi.require_version('GstRtspServer', '1.0')
    from gi.repository import GLib, Gst, GstRtspServer
except (ImportError, ValueError) as error:
    print(f'gst-rtsp-server unavailable: {error}', file=sys.stderr)
    sys.exit(77)

NEEDED = ('filesrc', 'qtdemux', 'h264parse', 'rtph264pay', 'aacparse', 'rtpmp4gpay', 'queue')


def build_launch(path, audio):
    location = path.replace('\\', '\\\\').replace('"', '\\"')
    launch = (f'( filesrc location="{location}" ! qtdemux name=d '
              'd.video_0 ! queue ! h264parse ! rtph264pay name=pay0 pt=96 config-interval=-1 ')
    if audio:
        launch += 'd.audio_0 ! queue ! aacparse ! rtpmp4gpay name=pay1 pt=97 '
    return launch + ')'


def silence_audio_after(factory, media, seconds):
    limit = int(seconds * Gst.SECOND)

    def drop_late(pad, info):
        buffer = info.get_buffer()
        if buffer.pts != Gst.CLOCK_TIME_NONE and buffer.pts > limit:
            return Gst.PadProbeReturn.DROP
        return Gst.PadProbeReturn.OK

    payloader = media.get_element().get_by_name('pay1')
    payloader.get_static_pad('sink').add_probe(Gst.PadProbeType.BUFFER, drop_late)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument('--check', action='store_true')
    parser.add_argument('--port', type=int)
    parser.add_argument('--file')
    parser.add_argument('--mount', default='/test')
    parser.add_argument('--audio', action='store_true')
    parser.add_argument('--user')
    parser.add_argument('--password')
    parser.add_argument('--audio-for', type=float)
    args = parser.parse_args()

    Gst.init(None)
    missing = [name for name in NEEDED if Gst.ElementFactory.find(name) is None]
    if missing:
        print('missing GStreamer elements: ' + ' '.join(missing), file=sys.stderr)
        return 77
    if args.check:
        return 0

    server = GstRtspServer.RTSPServer()
    server.set_address('127.0.0.1')
    server.set_service(str(args.port))
    factory = GstRtspServer.RTSPMediaFactory()
    factory.set_launch(build_launch(args.file, args.audio))
    factory.set_shared(False)
    if args.audio and args.audio_for is not None:
        factory.connect('media-configure', silence_audio_after, args.audio_for)
    if args.user is not None:
        auth = GstRtspServer.RTSPAuth()
        token = GstRtspServer.RTSPToken()
        token.set_string('media.factory.role', 'user')
        auth.add_basic(GstRtspServer.RTSPAuth.make_basic(args.user, args.password or ''), token)
        server.set_auth(auth)
        factory.add_role_from_structure(Gst.Structure.new_from_string(
            'user, media.factory.access=(boolean)true, media.factory.construct=(boolean)true'))
    server.get_mount_points().add_factory(args.mount, factory)
    if server.attach(None) == 0:
        print('cannot listen', file=sys.stderr)
        return 1

    loop = GLib.MainLoop()
    for number in (signal.SIGTERM, signal.SIGINT):
        GLib.unix_signal_add(GLib.PRIORITY_DEFAULT, number, loop.quit)
    loop.run()
    return 0


if __name__ == '__main__':
    sys.exit(main())
