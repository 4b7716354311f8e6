#!/usr/bin/env python3
"""Times `velmora-cli list` against a python3-mutagen script that reads the same fields
(duration, rate, channels, bit rate and the eight tag texts) of the same 2000 tagged MP3 files,
and prints the ratio, and the system calls per file from `strace -c` when it is installed.
Goals: velmora-cli at least 5x faster; per file at most 1 open and 6 reads or seeks."""

import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

# Debian's python3-mutagen lives with the system interpreter; another python3 first on PATH
# (pyenv, a venv) may not see it.
try:
    import mutagen  # noqa: F401
except ImportError:
    if os.path.exists("/usr/bin/python3") and os.path.realpath(sys.executable) != "/usr/bin/python3":
        os.execv("/usr/bin/python3", ["/usr/bin/python3"] + sys.argv)
    sys.exit("python3-mutagen is needed (scripts/install-deps installs it)")

MUTAGEN_READER = r'''
import os, sys
from mutagen.mp3 import MP3
def text(tags, key):
    frame = tags.get(key) if tags else None
    return str(frame.text[0]) if frame is not None and frame.text else ""
count = 0
out = []
for name in os.listdir(sys.argv[1]):
    if not name.lower().endswith(".mp3"):
        continue
    audio = MP3(os.path.join(sys.argv[1], name))
    info, tags = audio.info, audio.tags
    comment = ""
    if tags:
        for frame in tags.getall("COMM"):
            comment = str(frame.text[0]) if frame.text else ""
            break
    out.append("\t".join([name, "%.3f" % info.length, str(info.sample_rate), str(info.channels),
                          str(info.bitrate // 1000), text(tags, "TPE1"), text(tags, "TPE2"), text(tags, "TALB"),
                          text(tags, "TRCK"), text(tags, "TIT2"), text(tags, "TCON"), text(tags, "TDRC"), comment]))
    count += 1
sys.stdout.write("\n".join(out) + "\n%d files\n" % count)
'''


def make_files(folder, count):
    base_wav = os.path.join(folder, "base.wav")
    base_mp3 = os.path.join(folder, "base.mp3")
    subprocess.run(["sox", "-n", "-r", "44100", "-c", "2", base_wav, "synth", "4", "sine", "440"], check=True)
    subprocess.run(["lame", "--quiet", "-b", "128", base_wav, base_mp3], check=True)
    os.remove(base_wav)
    from mutagen.id3 import ID3, TPE1, TPE2, TALB, TRCK, TIT2, TCON, TDRC, COMM
    files = os.path.join(folder, "files")
    os.mkdir(files)
    for i in range(count):
        path = os.path.join(files, "track %04d.mp3" % i)
        shutil.copyfile(base_mp3, path)
        tags = ID3()
        tags.add(TPE1(encoding=3, text="Artist %d" % (i % 37)))
        tags.add(TPE2(encoding=3, text="Album Artist %d" % (i % 11)))
        tags.add(TALB(encoding=3, text="Album %d" % (i % 101)))
        tags.add(TRCK(encoding=3, text="%d/%d" % (i % 20 + 1, 20)))
        tags.add(TIT2(encoding=3, text="Title number %d \u00e9\u00e8" % i))
        tags.add(TCON(encoding=3, text="Genre %d" % (i % 7)))
        tags.add(TDRC(encoding=3, text=str(1960 + i % 60)))
        tags.add(COMM(encoding=3, lang="eng", desc="", text="Comment %d" % i))
        tags.save(path, v2_version=3, v1=2 if i % 2 else 0)
    return files


def time_runs(cmd, runs):
    times = []
    for _ in range(runs):
        start = time.perf_counter()
        result = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, check=False)
        times.append(time.perf_counter() - start)
        if result.returncode != 0:
            sys.exit("failed: %s\n%s" % (" ".join(cmd), result.stderr.decode(errors="replace")))
    return statistics.median(times), result.stdout.decode(errors="replace")


def syscalls_per_file(cmd, files):
    """Opens and reads-or-seeks per file of `cmd` (all threads), from strace -c; None without
    strace. The process's own start-up is measured on an empty folder and taken off."""
    if not shutil.which("strace"):
        return None

    def counts(command):
        with tempfile.NamedTemporaryFile("r", suffix=".strace") as out:
            subprocess.run(["strace", "-f", "-c", "-o", out.name] + command,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=False)
            calls = {}
            for line in out.read().splitlines():
                parts = line.split()
                if len(parts) >= 5 and parts[-1].isidentifier() and parts[3].isdigit():
                    calls[parts[-1]] = int(parts[3])
            return calls

    def summed(calls, names):
        return sum(calls.get(n, 0) for n in names)

    empty = tempfile.mkdtemp(prefix="velmora-list-bench-empty-")
    try:
        base = counts(cmd[:-1] + [empty])
    finally:
        os.rmdir(empty)
    full = counts(cmd)
    opens = ("open", "openat", "openat2")
    reads = ("read", "pread64", "readv", "preadv", "preadv2", "lseek", "_llseek")
    return ((summed(full, opens) - summed(base, opens)) / files, (summed(full, reads) - summed(base, reads)) / files)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--cli", required=True)
    parser.add_argument("--files", type=int, default=2000)
    parser.add_argument("--runs", type=int, default=5)
    args = parser.parse_args()
    with tempfile.TemporaryDirectory(prefix="velmora-list-bench-") as tmp:
        print("making %d tagged MP3 files..." % args.files, flush=True)
        files = make_files(tmp, args.files)
        script = os.path.join(tmp, "read_tags.py")
        with open(script, "w") as f:
            f.write(MUTAGEN_READER)
        cli_cmd = [args.cli, "list", files]
        py_cmd = [sys.executable, script, files]
        time_runs(cli_cmd, 1)  # warm the page cache
        time_runs(py_cmd, 1)
        cli_time, cli_out = time_runs(cli_cmd, args.runs)
        py_time, py_out = time_runs(py_cmd, args.runs)
        cli_rows = len(cli_out.splitlines()) - 1
        py_rows = len(py_out.splitlines()) - 1
        if cli_rows != args.files or py_rows != args.files:
            sys.exit("row counts differ: velmora-cli %d, mutagen %d" % (cli_rows, py_rows))
        one_time, _ = time_runs(cli_cmd[:2] + ["--threads", "1"] + cli_cmd[2:], args.runs)
        ratio = py_time / cli_time
        print("%d files, median of %d runs:" % (args.files, args.runs))
        print("  velmora-cli list : %.3f s  (one reading thread: %.3f s)" % (cli_time, one_time))
        print("  mutagen script   : %.3f s" % py_time)
        print("  ratio mutagen / velmora-cli = %.2fx (goal >= 5x): %s" % (ratio, "met" if ratio >= 5 else "MISSED"))
        calls = syscalls_per_file(cli_cmd, args.files)
        ok = ratio >= 5
        if calls is None:
            print("  system calls per file: strace is not installed")
        else:
            opens, reads = calls
            calls_ok = opens <= 1.05 and reads <= 6
            ok = ok and calls_ok
            print("  system calls per file: %.2f opens, %.2f reads or seeks (goal <= 1 and <= 6): %s"
                  % (opens, reads, "met" if calls_ok else "MISSED"))
        return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
