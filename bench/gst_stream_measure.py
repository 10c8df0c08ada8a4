#!/usr/bin/python3
"""Measures a sender and a receiver pipeline, each in a process of its own, streaming speech
over UDP on 127.0.0.1 through a network simulator that drops packets: zbadpcm with parity
against GStreamer's ULPFEC at 100 % around L16. Prints, per codec, the CPU time of each process
over the stream as a share of one core, the link's bit rate, the packets the simulator dropped
and the residual loss (media frames that nothing recovered).

  bench/gst_stream_measure.py SPEECH [--seconds 30] [--loss 5] [--plugin-path DIR]

Needs python3-gi and gir1.2-gstreamer-1.0; the zbadpcm plug-in through --plugin-path (default:
build/release/gst) or GStreamer's own folder. The input is looped to --seconds."""

import argparse
import json
import os
import resource
import subprocess
import sys
import wave

import gi

gi.require_version("Gst", "1.0")
from gi.repository import Gst  # noqa: E402

RATE = 16000
FRAME_NS = 20_000_000
FEC_PT = 122
SSRC = 0x5A0B  # fixed, since the ULPFEC decoder wants the stream's SSRC in its caps

SENDERS = {
    "zbadpcm": "audio/x-raw,format=S16LE,rate={rate},channels=1 ! zbadpcmenc "
               "! rtpzbadpcmpay name=pay pt=96",
    "ulpfec": "audio/x-raw,format=S16BE,rate={rate},channels=1 "
              "! rtpL16pay name=pay pt=96 ssrc={ssrc} min-ptime={frame} max-ptime={frame} "
              "! rtpulpfecenc pt={fec} percentage=100 multipacket=false",
}
RECEIVERS = {
    "zbadpcm": "application/x-rtp,media=audio,clock-rate={rate},encoding-name=ZBADPCM,payload=96\" "
               "! rtpjitterbuffer do-lost=true latency=100 ! rtpzbadpcmdepay ! zbadpcmdec name=dec",
    "ulpfec": "application/x-rtp,media=audio,clock-rate={rate},encoding-name=L16,channels=1,payload=96,ssrc=(uint){ssrc}\" "
              "! rtpstorage name=storage size-time=220000000 ! rtpjitterbuffer do-lost=true latency=100 "
              "! rtpulpfecdec name=fec pt={fec} ! rtpL16depay name=depay",
}


def run_pipeline(pipeline, until_eos=True, stop_after=None):
    """Plays `pipeline` to EOS (or for `stop_after` seconds, then sends EOS); returns the CPU
    seconds this process spent meanwhile."""
    bus = pipeline.get_bus()
    start = resource.getrusage(resource.RUSAGE_SELF)
    pipeline.set_state(Gst.State.PLAYING)
    if stop_after is not None:
        message = bus.timed_pop_filtered(int(stop_after * Gst.SECOND), Gst.MessageType.ERROR)
        if message is None:
            pipeline.send_event(Gst.Event.new_eos())
    message = bus.timed_pop_filtered(Gst.CLOCK_TIME_NONE, Gst.MessageType.EOS | Gst.MessageType.ERROR)
    end = resource.getrusage(resource.RUSAGE_SELF)
    if message.type == Gst.MessageType.ERROR:
        sys.exit(f"pipeline error: {message.parse_error()}")
    return (end.ru_utime - start.ru_utime) + (end.ru_stime - start.ru_stime)


def count_buffers(pad, counter, key):
    def probe(_pad, info):
        counter[key] = counter.get(key, 0) + 1
        counter[key + "_bytes"] = counter.get(key + "_bytes", 0) + info.get_buffer().get_size()
        return Gst.PadProbeReturn.OK
    pad.add_probe(Gst.PadProbeType.BUFFER, probe)


def sender(args):
    description = (f"filesrc location={args.input} ! wavparse ! audioconvert "
                   f"! {SENDERS[args.codec].format(rate=RATE, frame=FRAME_NS, fec=FEC_PT, ssrc=SSRC)} "
                   f"! identity name=link ! netsim drop-probability={args.loss / 100} name=sim "
                   f"! udpsink host=127.0.0.1 port={args.port} sync=true")
    pipeline = Gst.parse_launch(description)
    counts = {}
    count_buffers(pipeline.get_by_name("link").get_static_pad("src"), counts, "sent")
    count_buffers(pipeline.get_by_name("sim").get_static_pad("src"), counts, "delivered")
    cpu = run_pipeline(pipeline)
    pipeline.set_state(Gst.State.NULL)
    print(json.dumps({"cpu": cpu, **counts}))


def receiver(args):
    description = (f"udpsrc port={args.port} caps=\"{RECEIVERS[args.codec].format(rate=RATE, fec=FEC_PT, ssrc=SSRC)} "
                   f"! fakesink sync=false")
    pipeline = Gst.parse_launch(description)
    counts = {}
    if args.codec == "ulpfec":
        storage = pipeline.get_by_name("storage").get_property("internal-storage")
        pipeline.get_by_name("fec").set_property("storage", storage)
        count_buffers(pipeline.get_by_name("depay").get_static_pad("sink"), counts, "media")
    print("ready", flush=True)
    cpu = run_pipeline(pipeline, stop_after=args.seconds + 2)
    result = {"cpu": cpu, **counts}
    if args.codec == "zbadpcm":
        stats = pipeline.get_by_name("dec").get_property("stats")
        result.update({field: stats.get_value(field) for field in
                       ("frames-received", "frames-rebuilt", "frames-lost", "frames-concealed")})
    else:
        fec = pipeline.get_by_name("fec")
        result.update({"recovered": fec.get_property("recovered"), "unrecovered": fec.get_property("unrecovered")})
    pipeline.set_state(Gst.State.NULL)
    print(json.dumps(result))


def measure(args, codec):
    common = [sys.executable, __file__, args.input, "--codec", codec, "--seconds", str(args.seconds),
              "--loss", str(args.loss), "--port", str(args.port)]
    env = dict(os.environ, GST_PLUGIN_PATH=args.plugin_path)
    rx = subprocess.Popen(common + ["--role", "receiver"], stdout=subprocess.PIPE, text=True, env=env)
    assert rx.stdout.readline().strip() == "ready"
    tx = subprocess.run(common + ["--role", "sender"], stdout=subprocess.PIPE, text=True, env=env, check=True)
    sent = json.loads(tx.stdout.strip().splitlines()[-1])
    received = json.loads(rx.communicate()[0].strip().splitlines()[-1])
    frames = round(args.seconds * 1_000_000_000 / FRAME_NS)
    if codec == "zbadpcm":
        lost = received["frames-lost"]
    else:
        lost = max(0, frames - received["media"])
    return {
        "codec": codec,
        "sender_cpu_pct": 100 * sent["cpu"] / args.seconds,
        "receiver_cpu_pct": 100 * received["cpu"] / args.seconds,
        "kbit_s": sent["sent_bytes"] * 8 / args.seconds / 1000,
        "packets": sent["sent"],
        "dropped": sent["sent"] - sent["delivered"],
        "frames": frames,
        "residual": lost,
        "detail": received,
    }


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("input")
    parser.add_argument("--seconds", type=float, default=30)
    parser.add_argument("--loss", type=float, default=5)
    parser.add_argument("--port", type=int, default=5004)
    parser.add_argument("--plugin-path", default=os.path.join(os.path.dirname(__file__), "..", "build", "release", "gst"))
    parser.add_argument("--codec", choices=sorted(SENDERS))
    parser.add_argument("--role", choices=("sender", "receiver"))
    args = parser.parse_args()
    Gst.init(None)
    if args.role == "sender":
        return sender(args)
    if args.role == "receiver":
        return receiver(args)
    args.input = looped_input(args)
    print(f"{'codec':10} {'sender CPU':>11} {'receiver CPU':>13} {'bit rate':>13} {'packets':>8} "
          f"{'dropped':>8} {'frames':>7} {'residual loss':>17}")
    for codec in ("zbadpcm", "ulpfec"):
        r = measure(args, codec)
        print(f"{codec:10} {r['sender_cpu_pct']:10.2f}% {r['receiver_cpu_pct']:12.2f}% "
              f"{r['kbit_s']:8.1f} kbit/s {r['packets']:8d} {r['dropped']:8d} {r['frames']:7d} "
              f"{r['residual']:6d} ({100 * r['residual'] / max(1, r['frames']):5.2f} %)   {json.dumps(r['detail'])}")


def looped_input(args):
    """The input as a 16 kHz mono WAV file repeated to --seconds, so that both codecs carry the
    same audio and the senders read it without resampling."""
    raw = f"/tmp/gst_stream_measure_{os.getpid()}.raw"
    pipeline = Gst.parse_launch(f"filesrc location={args.input} ! decodebin ! audioconvert ! audioresample "
                                f"! audio/x-raw,format=S16LE,rate={RATE},channels=1 ! filesink location={raw}")
    pipeline.set_state(Gst.State.PLAYING)
    message = pipeline.get_bus().timed_pop_filtered(Gst.CLOCK_TIME_NONE, Gst.MessageType.EOS | Gst.MessageType.ERROR)
    pipeline.set_state(Gst.State.NULL)
    if message.type == Gst.MessageType.ERROR:
        sys.exit(f"cannot read {args.input}: {message.parse_error()}")
    with open(raw, "rb") as f:
        pcm = f.read()
    os.unlink(raw)
    wanted = int(args.seconds * RATE) * 2
    pcm = (pcm * (wanted // len(pcm) + 1))[:wanted]
    out = f"/tmp/gst_stream_measure_{os.getpid()}.wav"
    with wave.open(out, "wb") as w:
        w.setnchannels(1)
        w.setsampwidth(2)
        w.setframerate(RATE)
        w.writeframes(pcm)
    return out


if __name__ == "__main__":
    main()
