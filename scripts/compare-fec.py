#!/usr/bin/python3
"""Compares what survives packet loss for speech over RTP: zbadpcm with parity frames and
concealment, Opus with in-band FEC and concealment at about 24 kbit/s and at zbadpcm's bit rate,
and L16 with GStreamer's ULPFEC at 100 %, under random loss and a Gilbert burst pattern, at 8 and
16 kHz. Prints a Markdown table per condition and codec: the RTP bit rate, the packets lost, the
residual loss, STOI (intelligibility) and segmental SNR (coding error) of what the receiver
played against what was sent, and the sender's and the receiver's CPU time as a share of one
core over the audio's length.

  scripts/compare-fec.py [--speech-dir build/speech-set] [--build build/release]
                         [--rates 16000,8000] [--losses none,random:5,random:15,gilbert:3:40]
                         [--codecs zbadpcm,zbadpcm-specified,opus-24k,opus-matched,l16-ulpfec]
                         [--parity-delay 0] [--seed 1]

The speech set comes from scripts/make-speech-set.sh (speech-8k.wav, speech-16k.wav); the build
must have the zbadpcm plug-in (BUILD/gst) and speech_score (BUILD/bench). Needs python3-gi and
GStreamer's base, good and bad plug-ins.

Each run is one process, at full speed: the sender pipeline codes and payloads the file into
packets; the loss model drops some of them; the receiver pipeline gets the rest in order and, at
each gap, the lost-packet events rtpjitterbuffer (do-lost=true) would send, after the packet that
follows the gap has reached the FEC storage. CPU is the time of the pipelines' streaming threads
(this script's own main thread left out); from the receiver's, the time of the same packets
through this script's probes alone is taken off. Residual loss counts 20 ms media frames that nothing
recovered: zbadpcm's decoder counts them (frames-lost); for Opus, a lost packet whose successor,
which carries its in-band FEC, was lost too; for ULPFEC, lost media packets that rtpulpfecdec did
not recover. --parity-delay K sends each zbadpcm parity frame K frames late and has the
decoder hold as many frames more.
"""

import argparse
import json
import os
import random
import subprocess
import sys
import tempfile
import threading
import wave
from array import array

import gi

gi.require_version("Gst", "1.0")
from gi.repository import Gst  # noqa: E402

FRAMES_PER_SECOND = 50  # 20 ms frames
RTP_HEADER_BYTES = 12
ZB_HEADER_BYTES = 4
ZB_BLOCK_SAMPLES = 160
ZB_BLOCK_BYTES = 84
PARITY_BIT = 0x80
MEDIA_PT = 96
FEC_PT = 122
SSRC = 0x5A0B  # fixed: the ULPFEC decoder wants the stream's SSRC in its caps
OPUS_LOW_BITRATE = 24000
FEC_STORAGE_NS = 220_000_000
LONGEST_GAP = 1000  # sequence numbers; a longer jump is not a gap


def zb_payload_bitrate(rate):
    """zbadpcm's payload bit rate with parity: a data and a parity frame, each with its header,
    every 20 ms."""
    coded = rate // FRAMES_PER_SECOND // ZB_BLOCK_SAMPLES * ZB_BLOCK_BYTES
    return 2 * (ZB_HEADER_BYTES + coded) * 8 * FRAMES_PER_SECOND


# Per codec: what follows the raw input in the sender, and what follows the network in the
# receiver (`net` is where packets arrive, and where lost-packet events enter). Opus decodes at
# the stream's rate, so that no resampling counts as its cost.
CODECS = {
    "zbadpcm": (
        "zbadpcmenc ! rtpzbadpcmpay pt={pt} parity-delay={delay}",
        "identity name=net ! rtpzbadpcmdepay ! zbadpcmdec name=dec plc=true parity-delay={delay}"),
    "zbadpcm-specified": (
        "zbadpcmenc mode=specified ! rtpzbadpcmpay pt={pt} parity-delay={delay}",
        "identity name=net ! rtpzbadpcmdepay ! zbadpcmdec name=dec plc=true parity-delay={delay}"),
    "opus-24k": (
        "opusenc bitrate=" + str(OPUS_LOW_BITRATE) + " inband-fec=true packet-loss-percentage={loss_pct} "
        "! rtpopuspay pt={pt}",
        "identity name=net ! rtpopusdepay ! opusdec use-inband-fec=true plc=true ! audio/x-raw,rate={rate}"),
    "opus-matched": (
        "opusenc bitrate={zb_bitrate} inband-fec=true packet-loss-percentage={loss_pct} ! rtpopuspay pt={pt}",
        "identity name=net ! rtpopusdepay ! opusdec use-inband-fec=true plc=true ! audio/x-raw,rate={rate}"),
    "l16-ulpfec": (
        "audioconvert ! audio/x-raw,format=S16BE ! rtpL16pay pt={pt} ssrc={ssrc} min-ptime={frame_ns} "
        "max-ptime={frame_ns} ! rtpulpfecenc pt={fec_pt} percentage=100 multipacket=false",
        "rtpstorage name=net size-time={storage_ns} ! rtpulpfecdec name=fec pt={fec_pt} ! rtpL16depay"),
}


def thread_cpu():
    """CPU seconds of each of this process's threads but the main one, by thread id."""
    main = threading.get_native_id()
    ticks = os.sysconf("SC_CLK_TCK")
    times = {}
    for tid in os.listdir("/proc/self/task"):
        if int(tid) == main:
            continue
        try:
            with open(f"/proc/self/task/{tid}/stat") as f:
                fields = f.read().rsplit(")", 1)[1].split()
        except FileNotFoundError:
            continue
        times[tid] = (int(fields[11]) + int(fields[12])) / ticks  # utime, stime
    return times


def cpu_since(before):
    return sum(seconds - before.get(tid, 0) for tid, seconds in thread_cpu().items())


def wait_for_eos(pipeline):
    message = pipeline.get_bus().timed_pop_filtered(Gst.CLOCK_TIME_NONE, Gst.MessageType.EOS | Gst.MessageType.ERROR)
    if message.type == Gst.MessageType.ERROR:
        sys.exit(f"pipeline error: {message.parse_error()}")


def pull_all(sink):
    samples = []
    while (sample := sink.emit("pull-sample")) is not None:
        samples.append(sample)
    return samples


def send(codec, wav, rate, fields):
    """The packets the sender makes of `wav`: (bytes, pts, duration) each, their caps and the
    sender's CPU seconds."""
    pipeline = Gst.parse_launch(
        f"filesrc location={wav} ! wavparse ! audioconvert ! audio/x-raw,format=S16LE,channels=1,rate={rate} "
        f"! {CODECS[codec][0].format(**fields)} ! appsink name=out sync=false")
    before = thread_cpu()
    pipeline.set_state(Gst.State.PLAYING)
    samples = pull_all(pipeline.get_by_name("out"))
    wait_for_eos(pipeline)
    cpu = cpu_since(before)
    pipeline.set_state(Gst.State.NULL)
    packets = []
    for sample in samples:
        buffer = sample.get_buffer()
        packets.append((buffer.extract_dup(0, buffer.get_size()), buffer.pts, buffer.duration))
    return packets, samples[0].get_caps().to_string(), cpu


def lost_pattern(count, loss, rng):
    """Which of `count` packets the link loses: none, random:PERCENT or gilbert:P:R (percent
    chances per packet of going from no loss to loss and back)."""
    kind, *values = loss.split(":")
    if kind == "none":
        return [False] * count
    if kind == "random":
        return [rng.random() < float(values[0]) / 100 for _ in range(count)]
    if kind == "gilbert":
        p, r = (float(v) / 100 for v in values)
        bad = False
        pattern = []
        for _ in range(count):
            bad = rng.random() < (1 - r if bad else p)
            pattern.append(bad)
        return pattern
    sys.exit(f"unknown loss model {loss}")


def mean_loss_pct(loss):
    kind, *values = loss.split(":")
    if kind == "random":
        return round(float(values[0]))
    if kind == "gilbert":
        p, r = (float(v) for v in values)
        return round(100 * p / (p + r))
    return 0


def seq_of(packet):
    return int.from_bytes(packet[2:4], "big")


def drop_fec(_pad, info):
    """rtpulpfecdec passes the FEC packets on; as rtpbin's payload type demuxer would, they stop
    after it rather than reach the L16 depayloader as audio."""
    is_fec = info.get_buffer().extract_dup(1, 1)[0] & 0x7F == FEC_PT
    return Gst.PadProbeReturn.DROP if is_fec else Gst.PadProbeReturn.OK


def receive(codec, caps, packets, lost, rate, fields, harness_only=False):
    """Plays the packets the link kept; returns the samples at their places (holes silent), the
    receiver's CPU seconds and the receiving elements. With `harness_only`, the packets go
    through this script's probes alone, into a fakesink: what they cost, to be taken off."""
    if harness_only:
        chain = "identity name=net ! identity name=fec ! fakesink"
    else:
        chain = (f"{CODECS[codec][1].format(**fields)} ! audioconvert ! audioresample "
                 f"! audio/x-raw,format=S16LE,channels=1,rate={rate} ! appsink name=out sync=false")
    pipeline = Gst.parse_launch(f"appsrc name=src format=time max-bytes=0 caps=\"{caps}\" ! {chain}")
    if codec == "l16-ulpfec":
        fec = pipeline.get_by_name("fec")
        if not harness_only:
            fec.set_property("storage", pipeline.get_by_name("net").get_property("internal-storage"))
        fec.get_static_pad("src").add_probe(Gst.PadProbeType.BUFFER, drop_fec)
    dropped = {seq_of(p[0]): p for p, gone in zip(packets, lost) if gone}
    last_seq = [None]

    # What rtpjitterbuffer do-lost=true sends for each packet missing before this one.
    def announce(pad, info):
        seq = seq_of(info.get_buffer().extract_dup(0, RTP_HEADER_BYTES))
        if last_seq[0] is not None and (seq - last_seq[0]) % 65536 < LONGEST_GAP:
            missing = (last_seq[0] + 1) % 65536
            while missing != seq:
                if missing in dropped:
                    _, pts, duration = dropped.pop(missing)
                    structure = Gst.Structure.new_from_string(
                        f"GstRTPPacketLost, seqnum=(uint){missing}, timestamp=(guint64){pts}, "
                        f"duration=(guint64){duration}, retry=(uint)0")
                    pad.get_peer().send_event(Gst.Event.new_custom(Gst.EventType.CUSTOM_DOWNSTREAM, structure))
                missing = (missing + 1) % 65536
        last_seq[0] = seq
        return Gst.PadProbeReturn.OK

    pipeline.get_by_name("net").get_static_pad("src").add_probe(Gst.PadProbeType.BUFFER, announce)
    source = pipeline.get_by_name("src")
    before = thread_cpu()
    pipeline.set_state(Gst.State.PLAYING)
    for (data, pts, duration), gone in zip(packets, lost):
        if gone:
            continue
        buffer = Gst.Buffer.new_wrapped(data)
        buffer.pts = pts
        buffer.duration = duration
        source.emit("push-buffer", buffer)
    source.emit("end-of-stream")
    samples = [] if harness_only else pull_all(pipeline.get_by_name("out"))
    wait_for_eos(pipeline)
    cpu = cpu_since(before)
    pcm = {}
    for sample in samples:
        buffer = sample.get_buffer()
        pcm[round(buffer.pts * rate / Gst.SECOND)] = buffer.extract_dup(0, buffer.get_size())
    elements = {name: pipeline.get_by_name(name) for name in ("dec", "fec")}
    return pcm, cpu, pipeline, elements


def place(pcm, length):
    """The received buffers at their sample positions in a signal of `length` samples."""
    out = array("h", bytes(2 * length))
    for start, data in pcm.items():
        samples = array("h", data)
        for i, value in enumerate(samples[:max(0, length - start)]):
            if start + i >= 0:
                out[start + i] = value
    return out


def write_wav(path, samples, rate):
    with wave.open(path, "wb") as w:
        w.setnchannels(1)
        w.setsampwidth(2)
        w.setframerate(rate)
        w.writeframes(samples.tobytes())


def run(args, codec, rate, loss, scratch):
    wav = os.path.join(args.speech_dir, f"speech-{rate // 1000}k.wav")
    with wave.open(wav) as w:
        length = w.getnframes()
    seconds = length / rate
    fields = {"pt": MEDIA_PT, "fec_pt": FEC_PT, "ssrc": SSRC, "frame_ns": Gst.SECOND // FRAMES_PER_SECOND,
              "storage_ns": FEC_STORAGE_NS, "rate": rate, "delay": args.parity_delay, "loss_pct": mean_loss_pct(loss),
              "zb_bitrate": zb_payload_bitrate(rate)}
    packets, caps, sender_cpu = send(codec, wav, rate, fields)
    lost = lost_pattern(len(packets), loss, random.Random(args.seed))
    _, harness_cpu, harness, _ = receive(codec, caps, packets, lost, rate, fields, harness_only=True)
    harness.set_state(Gst.State.NULL)
    pcm, receiver_cpu, pipeline, elements = receive(codec, caps, packets, lost, rate, fields)
    receiver_cpu = max(0.0, receiver_cpu - harness_cpu)

    frames = round(seconds * FRAMES_PER_SECOND)
    if codec.startswith("zbadpcm"):
        residual = elements["dec"].get_property("stats").get_value("frames-lost")
    elif codec.startswith("opus"):
        residual = sum(1 for i, gone in enumerate(lost) if gone and (i + 1 == len(lost) or lost[i + 1]))
    else:
        media_lost = sum(1 for (data, _, _), gone in zip(packets, lost) if gone and data[1] & 0x7F == MEDIA_PT)
        residual = max(0, media_lost - elements["fec"].get_property("recovered"))
    pipeline.set_state(Gst.State.NULL)

    received = os.path.join(scratch, f"{codec}-{rate}-{loss.replace(':', '_')}.wav")
    write_wav(received, place(pcm, length), rate)
    score = json.loads(subprocess.run([args.scorer, wav, received], check=True, capture_output=True,
                                      text=True).stdout)
    return {
        "rate": rate, "loss": loss, "codec": codec,
        "kbit_s": sum(len(p[0]) for p in packets) * 8 / seconds / 1000,
        "packets": len(packets), "lost": sum(lost), "frames": frames, "residual": residual,
        "stoi": score["stoi"], "segsnr_db": score["segsnr_db"], "lag": score["lag"],
        "sender_cpu_pct": 100 * sender_cpu / seconds, "receiver_cpu_pct": 100 * receiver_cpu / seconds,
    }


def loss_name(loss):
    kind, *values = loss.split(":")
    if kind == "random":
        return f"random {values[0]} %"
    if kind == "gilbert":
        return f"Gilbert p={values[0]} %, r={values[1]} %"
    return "none"


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--speech-dir", default=os.path.join(here, "..", "build", "speech-set"))
    parser.add_argument("--build", default=os.path.join(here, "..", "build", "release"))
    parser.add_argument("--rates", default="16000,8000")
    parser.add_argument("--losses", default="none,random:5,random:15,gilbert:3:40")
    parser.add_argument("--codecs", default=",".join(CODECS))
    parser.add_argument("--parity-delay", type=int, default=0)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--json", action="store_true", help="print each result as a JSON line as well")
    args = parser.parse_args()
    os.environ["GST_PLUGIN_PATH"] = os.path.join(args.build, "gst")
    args.scorer = os.path.join(args.build, "bench", "speech_score")
    Gst.init(None)
    print("| Rate | Loss | Codec | Bit rate | Packets lost | Residual loss | STOI | Seg. SNR | Sender CPU | Receiver CPU |")
    print("|---|---|---|---|---|---|---|---|---|---|")
    with tempfile.TemporaryDirectory() as scratch:
        for rate in (int(r) for r in args.rates.split(",")):
            for loss in args.losses.split(","):
                for codec in args.codecs.split(","):
                    r = run(args, codec, rate, loss, scratch)
                    print(f"| {rate // 1000} kHz | {loss_name(loss)} | {codec} | {r['kbit_s']:.1f} kbit/s "
                          f"| {r['lost']} of {r['packets']} ({100 * r['lost'] / r['packets']:.1f} %) "
                          f"| {r['residual']} of {r['frames']} ({100 * r['residual'] / r['frames']:.2f} %) "
                          f"| {r['stoi']:.3f} | {r['segsnr_db']:.1f} dB | {r['sender_cpu_pct']:.2f} % "
                          f"| {r['receiver_cpu_pct']:.2f} % |", flush=True)
                    if args.json:
                        print(json.dumps(r), flush=True)


if __name__ == "__main__":
    main()
