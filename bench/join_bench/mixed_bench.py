#!/usr/bin/env python3
"""Mixed-format join benchmark: --minutes (default 60) of FLAC, of AAC in M4A and of Opus joined
into one MP3 by velmora-cli, against the same audio as three MP3 inputs (128 kbit/s CBR).

Each MP3 input is made from the same WAV as its FLAC, M4A or Opus twin, at the same rate (Opus is
always 48 kHz), so both joins convert the same rates and the difference between them is what
decoding those formats costs over decoding MP3. Prints the median wall times of both joins over
--runs runs, their ratio, and that difference as a share of the mixed join's wall time. Goal: at
most 10 %. For reference it also prints the ffmpeg program's decode of the mixed inputs alone
(single-threaded, into nothing: the same FFmpeg decoders velmora uses). The inputs come from sox,
lame and ffmpeg (`scripts/install-deps bench`).
"""
import argparse
import os
import statistics
import subprocess
import tempfile

from bench_common import private_home, require_tools, timed


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--cli", required=True, help="path of velmora-cli (lame_enc.so beside it)")
    ap.add_argument("--minutes", type=int, default=60, help="length of each input")
    ap.add_argument("--runs", type=int, default=3)
    args = ap.parse_args()
    require_tools("ffmpeg", "sox", "lame")

    with tempfile.TemporaryDirectory(prefix="velmora-mixed-bench-") as tmp:
        seconds = args.minutes * 60
        formats = [("flac", 44100, ["-c:a", "flac"]), ("m4a", 44100, ["-c:a", "aac", "-b:a", "128k"]),
                   ("opus", 48000, ["-c:a", "libopus", "-b:a", "96k"])]
        mixed, mp3s = [], []
        for i, (ext, rate, codec) in enumerate(formats):
            wav = os.path.join(tmp, "in%d.wav" % i)
            freq = 220 * (i + 2)
            subprocess.run(["sox", "-n", "-r", str(rate), "-c", "2", "-b", "16", wav, "synth", str(seconds),
                            "sine", str(freq), "sine", str(freq * 1.5), "gain", "-6"], check=True)
            path = os.path.join(tmp, "in%d.%s" % (i, ext))
            subprocess.run(["ffmpeg", "-nostdin", "-loglevel", "error", "-y", "-i", wav] + codec + [path], check=True)
            mp3 = os.path.join(tmp, "in%d.mp3" % i)
            subprocess.run(["lame", "--quiet", "-b", "128", "--cbr", wav, mp3], check=True)
            os.remove(wav)
            mixed.append(path)
            mp3s.append(mp3)
        env = private_home(tmp)

        def join(inputs, out):
            return [args.cli, "join", "--quiet", "--overwrite", "--bitrate", "128", "--frequency", "44100",
                    "--channels", "auto", "--no-tags", "--chapters", "none", "-o", os.path.join(tmp, out)] + inputs

        times = {"mixed": [], "mp3": [], "decode": []}
        for _ in range(args.runs):
            times["mixed"].append(timed(join(mixed, "mixed.mp3"), env))
            times["mp3"].append(timed(join(mp3s, "mp3.mp3"), env))
            times["decode"].append(sum(timed(["ffmpeg", "-nostdin", "-loglevel", "error", "-threads", "1", "-i", p,
                                              "-f", "null", "-"]) for p in mixed))
        med = {k: statistics.median(v) for k, v in times.items()}
        audio = 3 * seconds
        print("mixed_bench: FLAC + M4A (AAC) + Opus, %d min each, into one MP3; median of %d runs"
              % (args.minutes, args.runs))
        print("  velmora mixed inputs %8.3f s  (%6.1fx real time)" % (med["mixed"], audio / med["mixed"]))
        print("  velmora MP3 inputs   %8.3f s  (%6.1fx real time)" % (med["mp3"], audio / med["mp3"]))
        print("  ratio mixed/MP3 inputs %.3f" % (med["mixed"] / med["mp3"]))
        print("  decoding FLAC, M4A and Opus instead of MP3 costs %.3f s = %.1f %% of the mixed join"
              "  (goal <= 10 %%)" % (med["mixed"] - med["mp3"], 100.0 * (med["mixed"] - med["mp3"]) / med["mixed"]))
        print("  (the ffmpeg program decodes the mixed inputs alone in %.3f s, single-threaded)" % med["decode"])


if __name__ == "__main__":
    main()
