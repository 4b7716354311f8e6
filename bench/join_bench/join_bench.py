#!/usr/bin/env python3
"""Join benchmark: 8 inputs of 60 s (stereo, 44.1 kHz, 128 kbit/s) joined at 128 kbit/s by
velmora-cli, by ffmpeg (concat demuxer, libmp3lame, -compression_level 9) and by sox (-C 128.9).

Each tool runs --runs times (default 5) under /usr/bin/time -v; the median wall time and the
peak resident memory are printed with the ratios velmora/ffmpeg and velmora/sox. Goals:
velmora/ffmpeg <= 1.0, velmora peak memory <= 40 MiB, and the joined output decodes to exactly
the inputs' frame count. "velmora" is the bare join; "velmora+tags" the same join with the
inputs' tags, a 1 MB cover and a chapter per input (goal: at most 2 % slower). "velmora+loud"
evens out the loudness with the podcast preset (measuring pass, gain and the true-peak limiter
on every input; goal: at most 1.25x the bare join). "velmora-copy" joins
without re-encoding (--copy) against "ffmpeg-copy" (concat demuxer, -c copy): goals
velmora-copy/ffmpeg-copy <= 1.0, at least 30x faster than the re-encoding join, peak memory
<= 40 MiB. "velmora-1t" is the re-encoding join on one encoder thread (--threads 1), the
single stream; "velmora" uses every hardware thread (segment-parallel encoding). "velmora-vbr" and
"velmora-vbr-1t" are the same joins at VBR quality 4 (--vbr 4): goal at most 1.1x the constant-rate
join's time at the same thread count. "velmora-m4b" joins the same inputs into an M4B audiobook
(--format m4b, AAC at 64 kbit/s, tags and a chapter per input) against "ffmpeg-m4b" (concat
demuxer, -c:a aac -b:a 64k): goals velmora-m4b/ffmpeg-m4b <= 1.0, peak memory <= 64 MiB, and the
output decodes to the inputs' length within one AAC frame. --only runs some of the joins (the
M4B pair: --only velmora-m4b,ffmpeg-m4b). The peers come from `scripts/install-deps bench`.
"""
import argparse
import os
import re
import statistics
import subprocess
import sys
import tempfile

from bench_common import decoded_frames, private_home, require_tools

INPUTS = 8
SECONDS = 60
RATE = 44100


CPU = {}  # command name -> CPU seconds (user + system) of each run


def run_timed(cmd, env=None, name=None):
    """Runs cmd under /usr/bin/time -v; returns (wall seconds, peak RSS in KiB). With a name, the
    run's CPU seconds are kept in CPU[name]: on a shared machine they vary less than the wall."""
    proc = subprocess.run(["/usr/bin/time", "-v"] + cmd, env=env, stdout=subprocess.DEVNULL,
                          stderr=subprocess.PIPE, text=True)
    if proc.returncode != 0:
        sys.exit("failed (%d): %s\n%s" % (proc.returncode, " ".join(cmd), proc.stderr[-2000:]))
    wall = re.search(r"Elapsed \(wall clock\) time.*: (?:(\d+):)?(\d+):([\d.]+)", proc.stderr)
    rss = re.search(r"Maximum resident set size \(kbytes\): (\d+)", proc.stderr)
    if name:
        user = re.search(r"User time \(seconds\): ([\d.]+)", proc.stderr)
        system = re.search(r"System time \(seconds\): ([\d.]+)", proc.stderr)
        CPU.setdefault(name, []).append(float(user.group(1)) + float(system.group(1)))
    h = int(wall.group(1) or 0)
    seconds = h * 3600 + int(wall.group(2)) * 60 + float(wall.group(3))
    return seconds, int(rss.group(1))


def make_inputs(folder):
    paths = []
    for i in range(INPUTS):
        wav = os.path.join(folder, "in%d.wav" % i)
        mp3 = os.path.join(folder, "in%d.mp3" % i)
        freq = 220 * (i + 2)
        subprocess.run(["sox", "-n", "-r", str(RATE), "-c", "2", "-b", "16", wav, "synth", str(SECONDS),
                        "sine", str(freq), "sine", str(freq * 1.5), "gain", "-6"], check=True)
        subprocess.run(["lame", "--quiet", "-b", "128", "--cbr", "--tt", "Part %d" % (i + 1), "--tl", "Bench",
                        wav, mp3], check=True)
        os.remove(wav)
        paths.append(mp3)
    return paths


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--cli", required=True, help="path of velmora-cli (lame_enc.so beside it)")
    ap.add_argument("--runs", type=int, default=5)
    ap.add_argument("--only", help="comma-separated names of the joins to run (default: all)")
    args = ap.parse_args()
    require_tools("ffmpeg", "sox", "lame", "mpg123")

    with tempfile.TemporaryDirectory(prefix="velmora-join-bench-") as tmp:
        inputs = make_inputs(tmp)
        env = private_home(tmp)
        concat = os.path.join(tmp, "list.txt")
        with open(concat, "w") as f:
            for p in inputs:
                f.write("file '%s'\n" % p)

        cover = os.path.join(tmp, "cover.jpg")
        with open(cover, "wb") as f:
            f.write(b"\xff\xd8\xff\xe0" + os.urandom(1024 * 1024 - 4))
        out_t = os.path.join(tmp, "velmora-tags.mp3")
        out_v = os.path.join(tmp, "velmora.mp3")
        out_v1 = os.path.join(tmp, "velmora-1t.mp3")
        out_f = os.path.join(tmp, "ffmpeg.mp3")
        out_s = os.path.join(tmp, "sox.mp3")
        out_c = os.path.join(tmp, "velmora-copy.mp3")
        out_fc = os.path.join(tmp, "ffmpeg-copy.mp3")
        commands = {
            "velmora": [args.cli, "join", "--quiet", "--overwrite", "--bitrate", "128", "--frequency", "auto",
                        "--channels", "auto", "--no-tags", "--chapters", "none", "-o", out_v] + inputs,
            "velmora+loud": [args.cli, "join", "--quiet", "--overwrite", "--bitrate", "128", "--frequency", "auto",
                             "--channels", "auto", "--no-tags", "--chapters", "none", "--loudness", "podcast", "-o",
                             os.path.join(tmp, "velmora-loud.mp3")] + inputs,
            "velmora+tags": [args.cli, "join", "--quiet", "--overwrite", "--bitrate", "128", "--frequency", "auto",
                             "--channels", "auto", "--chapters", "file", "--cover", cover, "-o", out_t] + inputs,
            "ffmpeg": ["ffmpeg", "-nostdin", "-loglevel", "error", "-y", "-f", "concat", "-safe", "0", "-i", concat,
                       "-c:a", "libmp3lame", "-b:a", "128k", "-compression_level", "9", out_f],
            "sox": ["sox"] + inputs + ["-C", "128.9", out_s],
            "velmora-copy": [args.cli, "join", "--quiet", "--overwrite", "--copy", "--no-tags", "--chapters", "none",
                             "-o", out_c] + inputs,
            "ffmpeg-copy": ["ffmpeg", "-nostdin", "-loglevel", "error", "-y", "-f", "concat", "-safe", "0", "-i",
                            concat, "-c", "copy", out_fc],
        }
        out_m = os.path.join(tmp, "velmora.m4b")
        commands["velmora-m4b"] = [args.cli, "join", "--quiet", "--overwrite", "--format", "m4b", "--bitrate", "64",
                                   "--frequency", "auto", "--channels", "auto", "--chapters", "file", "-o",
                                   out_m] + inputs
        commands["ffmpeg-m4b"] = ["ffmpeg", "-nostdin", "-loglevel", "error", "-y", "-f", "concat", "-safe", "0",
                                  "-i", concat, "-c:a", "aac", "-b:a", "64k", os.path.join(tmp, "ffmpeg.m4b")]
        # VBR against the constant rate, on every hardware thread and on one.
        vbr = [args.cli, "join", "--quiet", "--overwrite", "--vbr", "4", "--frequency", "auto", "--channels", "auto",
               "--no-tags", "--chapters", "none"]
        commands["velmora-vbr"] = vbr + ["-o", os.path.join(tmp, "velmora-vbr.mp3")] + inputs
        commands["velmora-vbr-1t"] = vbr + ["--threads", "1", "-o", os.path.join(tmp, "velmora-vbr-1t.mp3")] + inputs
        # The scaling of the re-encoding join: 1, 2, 4 ... encoder threads up to the machine's.
        threads = [1]
        while threads[-1] * 2 <= (os.cpu_count() or 1):
            threads.append(threads[-1] * 2)
        for t in threads:
            commands["velmora-%dt" % t] = [args.cli, "join", "--quiet", "--overwrite", "--bitrate", "128",
                                           "--frequency", "auto", "--channels", "auto", "--no-tags", "--chapters",
                                           "none", "--threads", str(t), "-o", out_v1] + inputs
        if args.only:
            only = args.only.split(",")
            commands = {n: c for n, c in commands.items() if n in only}
        results = {name: [] for name in commands}
        # Interleaved, so that a slow moment of the machine does not favour one tool.
        for _ in range(args.runs):
            for name, cmd in commands.items():
                results[name].append(run_timed(cmd, env, name))

        expected = INPUTS * SECONDS * RATE
        med = {n: statistics.median(w for w, _ in r) for n, r in results.items()}
        peak = {n: max(k for _, k in r) / 1024.0 for n, r in results.items()}
        audio = INPUTS * SECONDS
        print("join_bench: %d inputs x %d s, stereo %d Hz, 128 kbit/s; median of %d runs" %
              (INPUTS, SECONDS, RATE, args.runs))
        for n in commands:
            print("  %-12s %7.3f s  (%6.1fx real time)  peak %6.1f MiB" % (n, med[n], audio / med[n], peak[n]))
        if "velmora-m4b" in med and "ffmpeg-m4b" in med:
            print("  ratio velmora-m4b/ffmpeg-m4b %.3f  (goal <= 1.0; CPU time %.3f)"
                  % (med["velmora-m4b"] / med["ffmpeg-m4b"],
                     statistics.median(CPU["velmora-m4b"]) / statistics.median(CPU["ffmpeg-m4b"])))
            print("  velmora-m4b peak memory %.1f MiB  (goal <= 64 MiB)" % peak["velmora-m4b"])
            decoded = subprocess.run(["ffmpeg", "-nostdin", "-loglevel", "error", "-i", out_m, "-f", "s16le", "-"],
                                     stdout=subprocess.PIPE, check=True).stdout
            m4b_frames = len(decoded) // 4
            print("  velmora-m4b output frames %d, inputs %d: %s" %
                  (m4b_frames, expected, "within one AAC frame" if abs(m4b_frames - expected) <= 1024 else "DIFFERENT"))
        if args.only:
            return
        frames = decoded_frames(out_v)
        print("  ratio velmora/ffmpeg %.3f  (goal <= 1.0)" % (med["velmora"] / med["ffmpeg"]))
        print("  ratio velmora/sox    %.3f" % (med["velmora"] / med["sox"]))
        print("  ratio velmora/ffmpeg %.3f with every hardware thread  (goal <= 0.60 on 2 cores)"
              % (med["velmora"] / med["ffmpeg"]))
        for t in threads:
            print("  scaling: %2d encoder threads %7.3f s  speed-up %.2fx  (goal at 2: >= 1.7x)"
                  % (t, med["velmora-%dt" % t], med["velmora-1t"] / med["velmora-%dt" % t]))
        wide = run_timed([args.cli, "join", "--quiet", "--overwrite", "--no-tags", "--chapters", "none", "--threads",
                          "16", "-o", out_v1] + inputs, env)
        print("  velmora peak memory at 16 encoder threads %.1f MiB  (goal <= 64 MiB)" % (wide[1] / 1024.0))
        print("  velmora peak memory  %.1f MiB  (goal <= 40 MiB)" % peak["velmora"])
        print("  ratio velmora+tags/velmora %.3f  (goal <= 1.02)" % (med["velmora+tags"] / med["velmora"]))
        print("  ratio velmora+loud/velmora %.3f  (goal <= 1.25: loudness measured first, limiter included;"
              " CPU time %.3f)" % (med["velmora+loud"] / med["velmora"],
                                   statistics.median(CPU["velmora+loud"]) / statistics.median(CPU["velmora"])))
        print("  ratio velmora-copy/ffmpeg-copy %.3f  (goal <= 1.0)" % (med["velmora-copy"] / med["ffmpeg-copy"]))
        print("  re-encoding/copy speed-up %.1fx  (goal >= 30x)" % (med["velmora"] / med["velmora-copy"]))
        print("  velmora-copy peak memory %.1f MiB  (goal <= 40 MiB)" % peak["velmora-copy"])
        copied = decoded_frames(out_c)
        print("  velmora-copy output frames %d (inputs %d; each interior seam keeps its inputs' delay and padding)"
              % (copied, expected))
        tagged = decoded_frames(out_t)
        print("  velmora+tags output frames %d: %s" % (tagged, "exact" if tagged == expected else "DIFFERENT"))
        print("  velmora output frames %d, inputs %d: %s" %
              (frames, expected, "exact" if frames == expected else "DIFFERENT"))
        print("  ratio velmora-vbr/velmora %.3f with every hardware thread, velmora-vbr-1t/velmora-1t %.3f at one"
              "  (goal <= 1.1)" % (med["velmora-vbr"] / med["velmora"], med["velmora-vbr-1t"] / med["velmora-1t"]))
        vbr_frames = decoded_frames(os.path.join(tmp, "velmora-vbr.mp3"))
        print("  velmora-vbr output frames %d, %.1f kbit/s on average: %s" %
              (vbr_frames, os.path.getsize(os.path.join(tmp, "velmora-vbr.mp3")) * 8 / audio / 1000,
               "exact" if vbr_frames == expected else "DIFFERENT"))


if __name__ == "__main__":
    main()
