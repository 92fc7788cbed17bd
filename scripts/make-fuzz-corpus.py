#!/usr/bin/env python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""Writes the seed corpus of the fuzz targets (fuzz/) into OUTDIR/<target>/.

  python3 scripts/make-fuzz-corpus.py OUTDIR

wave_reader:   WAVE files of every table format, and the shapes a reader meets in the wild or in a
               damaged file: odd chunks with and without their pad byte, fmt chunks of 16, 18 and 40
               bytes, the extensible format, data sizes 0, 0xFFFFFFFF and past the end, block align 0,
               0 or 3 channels, rate 0, other tags and widths, headers cut short; 24- and 32-bit
               integer and 32- and 64-bit float samples, plain and extensible, and floats out of range.
flt_loader:    filter records of every class (the payload; the target appends the checksum itself),
               whole ".flt" files, values at and past the accepted bounds, wrong types, short records;
               LV2 plug-in slot records (plug-ins of swh-lv2 and mda-lv2): controls in port order, in
               another order, some left out, repeated, unknown, past their bounds, a choice's other
               values, plug-ins not installed or not offered, fields of impossible lengths.
lst_loader:    chain records: empty, each class, all sixteen classes, 16 filters, n = 17, negative n,
               unknown and mismatching types, short records, missing enable bytes; chains with plug-in
               slots among the built-in types (a mono and a stereo plug-in), and with a missing one.
convert_audio: two format table indices, two cut bytes, then sample bytes.
sound_file:    short files of every kind the input reads through libsndfile, made by sox and opusenc
               (FLAC of 8, 16 and 24 bits, Ogg Vorbis, Opus, MP3, AIFF, AU, CAF, W64), mono, stereo and
               six channels, and the same cut short.
"""

import math
import os
import struct
import subprocess
import sys
import tempfile

RATES = [8000, 11025, 12000, 16000, 22050, 24000, 32000, 44100, 48000]
TABLE = [(r, c, b) for r in RATES for (c, b) in ((1, 8), (2, 8), (1, 16), (2, 16))]


def block_frames(rate):
    tenth = rate // 10
    if tenth < 2:
        return 1
    f = 1
    while f <= tenth // 2:
        f <<= 1
    return f


def samples(rate, channels, bits, frames, hz=440.0, amplitude=0.5):
    out = bytearray()
    for n in range(frames):
        v = amplitude * math.sin(2 * math.pi * hz * n / rate)
        for c in range(channels):
            s = v if c == 0 else -v
            if bits == 8:
                out.append(max(0, min(255, int(round(s * 127)) + 128)))
            else:
                out += struct.pack("<h", int(round(s * 32767)))
    return bytes(out)


def chunk(ident, body, pad=True):
    data = ident + struct.pack("<I", len(body)) + body
    if pad and len(body) % 2 == 1:
        data += b"\0"
    return data


def fmt_body(rate, channels, bits, tag=1, block_align=None, avg=None):
    align = channels * bits // 8 if block_align is None else block_align
    return struct.pack("<HHIIHH", tag, channels, rate, rate * align if avg is None else avg, align, bits)


def riff(*chunks, riff_size=None):
    body = b"WAVE" + b"".join(chunks)
    return b"RIFF" + struct.pack("<I", len(body) if riff_size is None else riff_size) + body


EXTENSIBLE_PCM = bytes.fromhex("0100000000001000800000aa00389b71")
EXTENSIBLE_FLOAT = bytes.fromhex("0300000000001000800000aa00389b71")


def wave_seeds():
    seeds = {}
    for i, (rate, channels, bits) in enumerate(TABLE):
        # Two whole blocks and a partial one, kept small for the lower rates.
        frames = min(2 * block_frames(rate) + 37, 3000)
        pcm = samples(rate, channels, bits, frames)
        seeds[f"table-{i:02d}-{rate}-{channels}ch-{bits}bit"] = riff(
            chunk(b"fmt ", fmt_body(rate, channels, bits)), chunk(b"data", pcm))

    rate, channels, bits = 8000, 1, 16
    pcm = samples(rate, channels, bits, 2000)
    fmt16 = chunk(b"fmt ", fmt_body(rate, channels, bits))
    data = chunk(b"data", pcm)
    seeds["canonical"] = riff(fmt16, data)
    seeds["fmt18"] = riff(chunk(b"fmt ", fmt_body(rate, channels, bits) + struct.pack("<H", 0)), data)
    ext = fmt_body(rate, channels, bits, tag=0xFFFE) + struct.pack("<HHI", 22, bits, 4) + EXTENSIBLE_PCM
    seeds["fmt40-extensible-pcm"] = riff(chunk(b"fmt ", ext), data)
    ext_float = fmt_body(rate, channels, 32, tag=0xFFFE) + struct.pack("<HHI", 22, 32, 4) + EXTENSIBLE_FLOAT
    seeds["fmt40-extensible-float"] = riff(chunk(b"fmt ", ext_float), data)
    seeds["fmt40-extensible-short-cbsize"] = riff(
        chunk(b"fmt ", fmt_body(rate, channels, bits, tag=0xFFFE) + struct.pack("<HHI", 2, bits, 4) +
              EXTENSIBLE_PCM), data)
    seeds["fact-chunk"] = riff(fmt16, chunk(b"fact", struct.pack("<I", 2000)), data)
    seeds["list-odd-with-pad"] = riff(fmt16, chunk(b"LIST", b"INFOISFT\x05\0\0\0abcd\0"), data)
    seeds["list-odd-without-pad"] = riff(fmt16, chunk(b"LIST", b"INFOabc", pad=False), data)
    seeds["junk-before-fmt"] = riff(chunk(b"JUNK", bytes(28)), fmt16, data)
    seeds["data-before-fmt"] = riff(data, fmt16)
    seeds["two-fmt"] = riff(fmt16, chunk(b"fmt ", fmt_body(44100, 2, 8)), data)
    seeds["trailing-chunk"] = riff(fmt16, data, chunk(b"LIST", b"INFOtail"))
    seeds["odd-data-size"] = riff(fmt16, chunk(b"data", pcm[:1001]), chunk(b"id3 ", b"TAG"))
    seeds["data-size-0"] = riff(fmt16, struct.pack("<4sI", b"data", 0) + pcm)
    seeds["data-size-ffffffff"] = riff(fmt16, struct.pack("<4sI", b"data", 0xFFFFFFFF) + pcm)
    seeds["data-size-past-end"] = riff(fmt16, struct.pack("<4sI", b"data", len(pcm) + 5000) + pcm)
    seeds["data-size-short"] = riff(fmt16, struct.pack("<4sI", b"data", 100) + pcm)
    seeds["no-data"] = riff(fmt16)
    seeds["riff-size-0"] = riff(fmt16, data, riff_size=0)
    seeds["chunk-size-huge"] = riff(fmt16, struct.pack("<4sI", b"LIST", 0xFFFFFFF0), data)
    seeds["fmt-size-8"] = riff(struct.pack("<4sI", b"fmt ", 8) + fmt_body(rate, channels, bits)[:8], data)
    seeds["block-align-0"] = riff(chunk(b"fmt ", fmt_body(rate, 1, 16, block_align=0)), data)
    seeds["block-align-wrong"] = riff(chunk(b"fmt ", fmt_body(rate, 2, 16, block_align=3)), data)
    seeds["channels-0"] = riff(chunk(b"fmt ", fmt_body(rate, 0, 16, block_align=2)), data)
    seeds["channels-3"] = riff(chunk(b"fmt ", fmt_body(rate, 3, 16)), data)
    seeds["rate-0"] = riff(chunk(b"fmt ", fmt_body(0, 1, 16)), data)
    seeds["rate-1"] = riff(chunk(b"fmt ", fmt_body(1, 1, 16)), data)
    seeds["rate-96000"] = riff(chunk(b"fmt ", fmt_body(96000, 2, 16)), chunk(b"data", samples(96000, 2, 16, 9000)))
    seeds["bits-24"] = riff(chunk(b"fmt ", fmt_body(rate, 1, 24)), data)
    seeds["bits-0"] = riff(chunk(b"fmt ", fmt_body(rate, 1, 0, block_align=1)), data)
    seeds["tag-float"] = riff(chunk(b"fmt ", fmt_body(rate, 1, 32, tag=3)), data)
    seeds["tag-0"] = riff(chunk(b"fmt ", fmt_body(rate, 1, 16, tag=0)), data)
    # The encodings the reader converts to 16 bits, real samples in them, and floats out of range.
    for channels in (1, 2):
        values = [0.9 * math.sin(2 * math.pi * 440 * n / rate) for n in range(1500 * channels)]
        wide = {
            "pcm24": (1, 24, b"".join(struct.pack("<i", int(v * 8388607))[:3] for v in values)),
            "pcm32": (1, 32, b"".join(struct.pack("<i", int(v * 2147483647)) for v in values)),
            "float32": (3, 32, struct.pack(f"<{len(values)}f", *values)),
            "float64": (3, 64, struct.pack(f"<{len(values)}d", *values)),
        }
        for name, (tag, width, body) in wide.items():
            seeds[f"{name}-{channels}ch"] = riff(chunk(b"fmt ", fmt_body(rate, channels, width, tag=tag)),
                                                 chunk(b"data", body))
            sub = EXTENSIBLE_PCM if tag == 1 else EXTENSIBLE_FLOAT
            ext_wide = (fmt_body(rate, channels, width, tag=0xFFFE) +
                        struct.pack("<HHI", 22, width, 4 if channels == 1 else 3) + sub)
            seeds[f"{name}-{channels}ch-extensible"] = riff(chunk(b"fmt ", ext_wide), chunk(b"data", body))
    odd = struct.pack("<8f", 1.5, -2.0, float("nan"), float("inf"), float("-inf"), 1e30, -1.0, 0.99998)
    seeds["float32-out-of-range"] = riff(chunk(b"fmt ", fmt_body(rate, 1, 32, tag=3)), chunk(b"data", odd))
    seeds["stream-unknown-length"] = riff(fmt16, chunk(b"fact", struct.pack("<I", 0)),
                                          struct.pack("<4sI", b"data", 0x7FFFF000) + pcm)
    seeds["rifx"] = b"RIFX" + riff(fmt16, data)[4:]
    seeds["not-wave"] = b"RIFF" + struct.pack("<I", 4) + b"AVI "
    canonical = seeds["canonical"]
    for cut in (0, 1, 4, 8, 11, 12, 16, 20, 24, 35, 36, 40, 43, 44, 45):
        seeds[f"truncated-{cut:02d}"] = canonical[:cut]
    return seeds


def flt_records():
    """(name, payload) of filter records."""
    lp = lambda t, fc, w, n: struct.pack("<iiii", t, fc, w, n)
    mb = lambda gains, t=4: struct.pack("<i", t) + struct.pack("<20d", *gains)
    echo = lambda d, decay, t=9: struct.pack("<iii", t, d, decay)
    rev = lambda dry, early, rl, time, lines, t=11: struct.pack("<idddii", t, dry, early, rl, time, lines)
    band = lambda t, lo, hi, w, n: struct.pack("<iiiii", t, lo, hi, w, n)
    iir = lambda kind, f, q, g: struct.pack("<iiddd", 5, kind, f, q, g)
    cheb = lambda kind, fc, order, ripple: struct.pack("<iiiid", 6, kind, fc, order, ripple)
    avg = lambda n: struct.pack("<ii", 7, n)
    dc = lambda fc: struct.pack("<ii", 8, fc)
    chorus = lambda v, d, w, rate, mix: struct.pack("<iidddd", 10, v, d, w, rate, mix)
    noise = lambda kind, level, seed: struct.pack("<iidi", 12, kind, level, seed)
    am = lambda f, depth: struct.pack("<idd", 13, f, depth)
    synth = lambda wave, f, level, mix: struct.pack("<iiddd", 14, wave, f, level, mix)
    pitch = lambda s, w: struct.pack("<idi", 15, s, w)
    r = [
        ("lowpass-default", lp(0, 1000, 0, 512)),
        ("lowpass-blackman-8", lp(0, 100, 1, 8)),
        ("lowpass-1024-nyquist", lp(0, 22050, 0, 1024)),
        ("lowpass-fc-0", lp(0, 0, 0, 512)),
        ("lowpass-fc-past-nyquist", lp(0, 22051, 0, 512)),
        ("lowpass-fc-negative", lp(0, -1, 0, 512)),
        ("lowpass-size-not-power", lp(0, 1000, 0, 500)),
        ("lowpass-size-2048", lp(0, 1000, 0, 2048)),
        ("lowpass-size-0", lp(0, 1000, 0, 0)),
        ("lowpass-window-odd", lp(0, 1000, -7, 64)),
        ("highpass-default", lp(1, 1000, 0, 512)),
        ("highpass-top", lp(1, 20000, 1, 16)),
        ("multiband-unity", mb([1.0] * 20)),
        ("multiband-notch", mb([1.0] * 9 + [0.0] + [1.0] * 10)),
        ("multiband-loud", mb([1e6] * 20)),
        ("multiband-huge", mb([1e300] * 20)),
        ("multiband-negative", mb([1.0] * 19 + [-1.0])),
        ("multiband-nan", mb([float("nan")] + [1.0] * 19)),
        ("multiband-inf", mb([float("inf")] + [1.0] * 19)),
        ("echo-default", echo(100, 1000)),
        ("echo-shortest", echo(1, 10)),
        ("echo-longest", echo(1000, 10000)),
        ("echo-delay-0", echo(0, 1000)),
        ("echo-delay-past", echo(1001, 1000)),
        ("echo-decay-past", echo(100, 10001)),
        ("reverb-default", rev(1.0, 1.0, 0.1, 500, 12)),
        ("reverb-one-line", rev(0.0, 0.0, 1.0, 10, 1)),
        ("reverb-32-lines", rev(1.0, 1.0, 1.0, 10000, 32)),
        ("reverb-33-lines", rev(1.0, 1.0, 1.0, 500, 33)),
        ("reverb-0-lines", rev(1.0, 1.0, 1.0, 500, 0)),
        ("reverb-time-9", rev(1.0, 1.0, 1.0, 9, 12)),
        ("reverb-nan", rev(float("nan"), 1.0, 0.1, 500, 12)),
        ("reverb-huge-levels", rev(1e300, 1e300, 1e300, 500, 12)),
        ("bandpass-default", band(2, 300, 3400, 0, 512)),
        ("bandpass-narrow-1024", band(2, 1000, 1000, 1, 1024)),
        ("bandpass-upper-below-lower", band(2, 3400, 300, 0, 512)),
        ("bandpass-past-nyquist", band(2, 300, 22051, 0, 512)),
        ("bandstop-default", band(3, 300, 3400, 0, 512)),
        ("bandstop-size-3", band(3, 300, 3400, 0, 3)),
        ("iir-default", iir(0, 1000.0, 0.707, 6.0)),
        ("iir-high-shelf-top", iir(6, 19845.0, 30.0, 24.0)),
        ("iir-kind-7", iir(7, 1000.0, 0.707, 6.0)),
        ("iir-freq-past", iir(4, 19845.5, 1.0, 0.0)),
        ("iir-q-nan", iir(4, 1000.0, float("nan"), 0.0)),
        ("iir-gain-inf", iir(4, 1000.0, 1.0, float("inf"))),
        ("chebyshev-default", cheb(0, 1000, 4, 0.5)),
        ("chebyshev-high-8-lowest", cheb(1, 10, 8, 3.0)),
        ("chebyshev-order-9", cheb(0, 1000, 9, 0.5)),
        ("chebyshev-ripple-0", cheb(0, 1000, 4, 0.0)),
        ("average-default", avg(16)),
        ("average-longest", avg(4096)),
        ("average-0", avg(0)),
        ("dc-default", dc(10)),
        ("dc-201", dc(201)),
        ("chorus-default", chorus(3, 20.0, 3.0, 0.8, 50.0)),
        ("chorus-widest", chorus(6, 50.0, 20.0, 5.0, 100.0)),
        ("chorus-7-voices", chorus(7, 20.0, 3.0, 0.8, 50.0)),
        ("chorus-mix-past", chorus(3, 20.0, 3.0, 0.8, 100.5)),
        ("noise-default", noise(0, -40.0, 1)),
        ("noise-pink-loudest", noise(1, 0.0, 2147483647)),
        ("noise-seed-negative", noise(0, -40.0, -1)),
        ("noise-level-past", noise(1, 0.5, 1)),
        ("am-default", am(5.0, 50.0)),
        ("am-fastest-deepest", am(1000.0, 100.0)),
        ("am-slow-past", am(0.05, 50.0)),
        ("synthesis-default", synth(0, 440.0, -20.0, 50.0)),
        ("synthesis-saw-lowest", synth(2, 1.0, 0.0, 100.0)),
        ("synthesis-square-top", synth(1, 19845.0, 0.0, 100.0)),
        ("synthesis-waveform-4", synth(4, 440.0, -20.0, 50.0)),
        ("pitch-default", pitch(5.0, 50)),
        ("pitch-octave-down-longest", pitch(-12.0, 200)),
        ("pitch-past", pitch(12.5, 50)),
        ("pitch-window-9", pitch(0.0, 9)),
        ("wrong-type-lowpass-as-highpass", lp(1, 1000, 0, 512)[:4] + lp(0, 1000, 0, 512)[4:]),
        ("type-2-short", struct.pack("<iiii", 2, 0, 0, 0)),
        ("type-minus-1", struct.pack("<i", -1) + bytes(32)),
        ("type-16", struct.pack("<i", 16) + bytes(32)),
        ("empty", b""),
        ("three-bytes", b"\0\0\0"),
    ]
    for name, rec in list(r):
        if name.endswith("default") or name == "multiband-unity":
            for cut in (1, 4, 5, len(rec) - 1):
                r.append((f"{name}-short-{cut}", rec[:cut]))
            r.append((f"{name}-extra", rec + b"\x01\x02\x03"))
    return r


AMP = b"http://plugin.org.uk/swh-plugins/amp"
LIMITER = b"http://drobilla.net/plugins/mda/Limiter"
LATENCY = b"http://plugin.org.uk/swh-plugins/artificialLatency"
LIMITER_DEFAULTS = [(b"thresh", 0.6), (b"output", 0.6), (b"release", 0.5), (b"attack", 0.15), (b"knee", 0.0)]


def slot(uri, controls, n=None, uri_length=None):
    """A plug-in slot's record: type 100, the URI, then each control's symbol and value."""
    rec = struct.pack("<ii", 100, len(uri) if uri_length is None else uri_length) + uri
    rec += struct.pack("<i", len(controls) if n is None else n)
    for symbol, value in controls:
        rec += struct.pack("<i", len(symbol)) + symbol + struct.pack("<d", value)
    return rec


def slot_records():
    r = [
        ("lv2-amp-default", slot(AMP, [(b"gain", 0.0)])),
        ("lv2-amp-20", slot(AMP, [(b"gain", 20.0)])),
        ("lv2-amp-bounds", slot(AMP, [(b"gain", -70.0)])),
        ("lv2-amp-past", slot(AMP, [(b"gain", 70.5)])),
        ("lv2-amp-nan", slot(AMP, [(b"gain", float("nan"))])),
        ("lv2-amp-none-given", slot(AMP, [])),
        ("lv2-amp-twice", slot(AMP, [(b"gain", 1.0), (b"gain", 2.0)])),
        ("lv2-amp-unknown-symbol", slot(AMP, [(b"Gain", 1.0)])),
        ("lv2-amp-n-past", slot(AMP, [(b"gain", 1.0)], n=2)),
        ("lv2-amp-n-negative", slot(AMP, [], n=-1)),
        ("lv2-amp-symbol-empty", slot(AMP, [(b"", 1.0)])),
        ("lv2-uri-empty", slot(b"", [])),
        ("lv2-uri-huge", slot(AMP, [], uri_length=0x7FFFFFFF)),
        ("lv2-uri-longer-than-record", slot(AMP, [], uri_length=len(AMP) + 40)),
        ("lv2-limiter", slot(LIMITER, LIMITER_DEFAULTS)),
        ("lv2-limiter-reordered", slot(LIMITER, LIMITER_DEFAULTS[::-1])),
        ("lv2-limiter-soft-knee", slot(LIMITER, [(b"knee", 1.0), (b"thresh", 0.1)])),
        ("lv2-limiter-knee-half", slot(LIMITER, [(b"knee", 0.5)])),
        ("lv2-latency", slot(LATENCY, [(b"delay", 10.0)])),
        ("lv2-missing", slot(b"urn:sonolab:test:absent", [(b"gain", 1.0)])),
        ("lv2-not-offered", slot(b"http://plugin.org.uk/swh-plugins/inv", [])),
    ]
    rec = r[0][1]
    for cut in (4, 8, 12, len(rec) - 9, len(rec) - 1):
        r.append((f"lv2-amp-default-short-{cut}", rec[:cut]))
    r.append(("lv2-amp-default-extra", rec + b"\x01\x02\x03"))
    return r


def with_checksum(payload):
    return payload + struct.pack("<H", sum(payload) & 0xFFFF)


def flt_seeds():
    seeds = {}
    for name, rec in flt_records() + slot_records():
        seeds[name] = rec
        seeds[name + ".flt"] = with_checksum(rec)
    seeds["bad-checksum.flt"] = with_checksum(flt_records()[0][1])[:-1] + b"\xFF"
    return seeds


def lst_seeds():
    recs = dict(flt_records())
    default = {t: recs[n] for t, n in ((0, "lowpass-default"), (1, "highpass-default"), (2, "bandpass-default"),
                                        (3, "bandstop-default"), (4, "multiband-unity"), (5, "iir-default"),
                                        (6, "chebyshev-default"), (7, "average-default"), (8, "dc-default"),
                                        (9, "echo-default"), (10, "chorus-default"), (11, "reverb-default"),
                                        (12, "noise-default"), (13, "am-default"), (14, "synthesis-default"),
                                        (15, "pitch-default"))}

    def chain(entries, flags=None, n=None):
        body = struct.pack("<i", len(entries) if n is None else n)
        for t, rec in entries:
            body += struct.pack("<i", t) + rec
        if flags is None:
            flags = [1] * len(entries) + [0] * (16 - len(entries))
        return body + bytes(flags[:16])

    seeds = {
        "empty": chain([]),
        "all-classes": chain([(t, default[t]) for t in range(16)]),
        "all-classes-some-off": chain([(t, default[t]) for t in range(16)], [1, 0] * 8),
        "flags-odd-values": chain([(9, default[9])], [2, 255] + [7] * 14),
        "sixteen-echoes": chain([(9, default[9])] * 16),
        "n-17": chain([(9, default[9])] * 17, n=17),
        "n-17-claimed": chain([(9, default[9])], n=17),
        "n-negative": chain([], n=-1),
        "n-huge": chain([], n=0x7FFFFFFF),
        "unknown-type-16": chain([(9, default[9]), (16, struct.pack("<i", 16))]),
        "mismatching-type": chain([(9, default[9]), (0, default[1])]),
        "refused-values": chain([(9, default[9]), (9, recs["echo-delay-0"])]),
        "short-record": chain([(9, default[9][:7])]),
        "no-flags": chain([(0, default[0])])[:-16],
        "few-flags": chain([(0, default[0])])[:-9],
        "n-only": struct.pack("<i", 1),
        "nothing": b"",
    }
    for t in range(16):
        seeds[f"one-{t}"] = chain([(t, default[t])])
        seeds[f"one-{t}.lst"] = with_checksum(chain([(t, default[t])]))
    seeds["loud-chain"] = chain([(4, recs["multiband-loud"]), (11, recs["reverb-32-lines"]),
                                 (9, recs["echo-shortest"]), (0, recs["lowpass-1024-nyquist"])])
    slots = dict(slot_records())
    seeds["plugins-among-types"] = chain([(0, default[0]), (100, slots["lv2-amp-20"]), (9, default[9]),
                                          (100, slots["lv2-limiter-soft-knee"]), (11, default[11])])
    seeds["plugins-among-types.lst"] = with_checksum(seeds["plugins-among-types"])
    seeds["plugin-latency-off"] = chain([(100, slots["lv2-latency"])], [0] * 16)
    seeds["plugin-missing"] = chain([(9, default[9]), (100, slots["lv2-missing"])])
    seeds["plugin-type-mismatch"] = chain([(100, default[9])])
    return seeds


def convert_seeds():
    seeds = {}
    for i, (rate, channels, bits) in enumerate(TABLE):
        pcm = samples(rate, channels, bits, min(block_frames(rate), 2048), hz=1000)
        for j in (i, (i * 7 + 3) % 36, (i + 18) % 36):
            seeds[f"{i:02d}-to-{j:02d}"] = bytes([i, j, 0, 0]) + pcm
        seeds[f"{i:02d}-short-odd"] = bytes([i, (i + 1) % 36, 3, 7]) + pcm[:301]
    seeds["empty-source"] = bytes([31, 0, 0, 0])
    seeds["full-scale"] = bytes([31, 2, 0, 0]) + bytes([0x00, 0x80, 0xFF, 0x7F] * 1024)
    return seeds


def sound_file_seeds():
    """Files made by the tools the tests use too; none when they are missing."""
    seeds = {}
    with tempfile.TemporaryDirectory() as work:
        made = []
        for name, args in (
            ("mono16.flac", ["-r", "8000", "-c", "1", "-b", "16"]),
            ("stereo24.flac", ["-r", "44100", "-c", "2", "-b", "24"]),
            ("mono8.flac", ["-r", "11025", "-c", "1", "-b", "8"]),
            ("six.flac", ["-r", "48000", "-c", "6", "-b", "16"]),
            ("stereo.ogg", ["-r", "22050", "-c", "2"]),
            ("mono.mp3", ["-r", "32000", "-c", "1"]),
            ("stereo.aiff", ["-r", "16000", "-c", "2", "-b", "16"]),
            ("mono.au", ["-r", "8000", "-c", "1", "-b", "8"]),
            ("stereo.caf", ["-r", "12000", "-c", "2", "-b", "16"]),
            ("mono.w64", ["-r", "24000", "-c", "1", "-b", "16"]),
        ):
            path = os.path.join(work, name)
            if subprocess.run(["sox", "-n", *args, path, "synth", "0.3", "sine", "440"],
                              capture_output=True).returncode == 0:
                made.append(path)
        wav = os.path.join(work, "opus.wav")
        opus = os.path.join(work, "stereo.opus")
        if (subprocess.run(["sox", "-n", "-r", "48000", "-c", "2", "-b", "16", wav, "synth", "0.3", "sine", "440"],
                           capture_output=True).returncode == 0 and
                subprocess.run(["opusenc", "--quiet", wav, opus], capture_output=True).returncode == 0):
            made.append(opus)
        for path in made:
            with open(path, "rb") as f:
                data = f.read()
            name = os.path.basename(path)
            seeds[name] = data
            seeds["cut-" + name] = data[: len(data) // 2]
    return seeds


def main():
    if len(sys.argv) != 2:
        print(__doc__, file=sys.stderr)
        return 2
    root = sys.argv[1]
    for target, seeds in (("wave_reader", wave_seeds()), ("flt_loader", flt_seeds()),
                          ("lst_loader", lst_seeds()), ("convert_audio", convert_seeds()),
                          ("sound_file", sound_file_seeds())):
        folder = os.path.join(root, target)
        os.makedirs(folder, exist_ok=True)
        for name, data in seeds.items():
            with open(os.path.join(folder, name), "wb") as f:
                f.write(data)
        print(f"{target}: {len(seeds)} seeds in {folder}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
