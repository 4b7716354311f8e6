#!/usr/bin/env python3
"""One book per folder: `velmora-cli join --each-folder` over a library of 20 book folders
(2 inputs of 10 s each, stereo, 44.1 kHz, 128 kbit/s) against the sum of the 20 single joins
of the same folders (`velmora-cli join -o BOOK.mp3 FOLDER`), with the same settings.

Each way runs --runs times (default 3), interleaved; the median wall times are printed with the
ratio each-folder / sum of singles. Goal: at most 1.05. The outputs of both ways must decode
to the same frame count. The peers come from `scripts/install-deps bench`.
"""
import argparse
import os
import shutil
import statistics
import subprocess
import tempfile

from bench_common import decoded_frames, private_home, require_tools, timed

BOOKS = 20
INPUTS = 2
SECONDS = 10
RATE = 44100
OPTIONS = ["--quiet", "--bitrate", "128", "--frequency", "auto", "--channels", "auto"]


def make_library(root):
    wav = os.path.join(root, "tone.wav")
    books = []
    for b in range(BOOKS):
        folder = os.path.join(root, "lib", "Book %02d" % (b + 1))
        os.makedirs(folder)
        for i in range(INPUTS):
            freq = 220 + 40 * b + 110 * i
            subprocess.run(["sox", "-n", "-r", str(RATE), "-c", "2", "-b", "16", wav, "synth", str(SECONDS),
                            "sine", str(freq), "gain", "-6"], check=True)
            subprocess.run(["lame", "--quiet", "-b", "128", "--cbr", "--tt", "Part %d" % (i + 1),
                            wav, os.path.join(folder, "%02d.mp3" % (i + 1))], check=True)
        books.append(folder)
    os.remove(wav)
    return books


def fresh(folder):
    shutil.rmtree(folder, ignore_errors=True)
    os.makedirs(folder)


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--cli", required=True, help="path of velmora-cli (lame_enc.so beside it)")
    ap.add_argument("--runs", type=int, default=3)
    args = ap.parse_args()
    require_tools("sox", "lame", "mpg123")

    with tempfile.TemporaryDirectory(prefix="velmora-each-bench-") as tmp:
        books = make_library(tmp)
        env = private_home(tmp)
        out_each = os.path.join(tmp, "each")
        out_single = os.path.join(tmp, "single")
        each, singles = [], []
        for _ in range(args.runs):
            fresh(out_each)
            each.append(timed([args.cli, "join", "--each-folder"] + OPTIONS +
                              ["-o", out_each, os.path.join(tmp, "lib")], env))
            fresh(out_single)
            singles.append(sum(timed([args.cli, "join"] + OPTIONS +
                                     ["-o", os.path.join(out_single, os.path.basename(b) + ".mp3"), b], env)
                               for b in books))

        written = sorted(os.listdir(out_each))
        same = len(written) == BOOKS and all(
            decoded_frames(os.path.join(out_each, name)) == decoded_frames(os.path.join(out_single, name))
            for name in written)
        m_each, m_single = statistics.median(each), statistics.median(singles)
        audio = BOOKS * INPUTS * SECONDS
        print("each_bench: %d book folders x %d inputs x %d s, stereo %d Hz, 128 kbit/s; median of %d runs" %
              (BOOKS, INPUTS, SECONDS, RATE, args.runs))
        print("  --each-folder       %7.3f s  (%6.1fx real time)" % (m_each, audio / m_each))
        print("  sum of %d singles   %7.3f s  (%6.1fx real time)" % (BOOKS, m_single, audio / m_single))
        print("  ratio each-folder/sum of singles %.3f  (goal <= 1.05)" % (m_each / m_single))
        print("  outputs: %d books, frame counts %s" % (len(written), "the same" if same else "DIFFERENT"))


if __name__ == "__main__":
    main()
