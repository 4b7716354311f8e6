#!/usr/bin/env python3
"""Times `velmora-cli list` against a python3-mutagen script that reads the same fields
(duration, rate, channels, bit rate and the eight tag texts) of the same 2000 tagged files, for
each format asked for (MP3; FLAC, which velmora-cli reads with its own parser of the metadata
blocks, and M4A, through TagLib), and prints the ratio, and the system calls per file from `strace -c` when it is
installed. Goals: velmora-cli at least 5x faster on MP3 and 4x on FLAC and M4A; per file at most
1 open and 6 reads or seeks."""

import argparse
import os
import resource
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

# The lean readers: one loop, with a part per format that reads exactly the fields the list
# shows (`fields(audio)`: the eight tag texts, track as "n/total").
MUTAGEN_LOOP = r'''
count = 0
out = []
for name in os.listdir(sys.argv[1]):
    if not name.lower().endswith(EXTENSION):
        continue
    audio = OPEN(os.path.join(sys.argv[1], name))
    info = audio.info
    out.append("\t".join([name, "%.3f" % info.length, str(info.sample_rate), str(info.channels),
                          str(info.bitrate // 1000)] + fields(audio.tags)))
    count += 1
sys.stdout.write("\n".join(out) + "\n%d files\n" % count)
'''
MUTAGEN_PARTS = {
    "mp3": r'''
import os, sys
from mutagen.mp3 import MP3 as OPEN
EXTENSION = ".mp3"
def text(tags, key):
    frame = tags.get(key) if tags else None
    return str(frame.text[0]) if frame is not None and frame.text else ""
def fields(tags):
    comment = ""
    if tags:
        for frame in tags.getall("COMM"):
            comment = str(frame.text[0]) if frame.text else ""
            break
    return [text(tags, k) for k in ("TPE1", "TPE2", "TALB", "TRCK", "TIT2", "TCON", "TDRC")] + [comment]
''',
    "flac": r'''
import os, sys
from mutagen.flac import FLAC as OPEN
EXTENSION = ".flac"
def text(tags, key):
    values = tags.get(key) if tags else None
    return values[0] if values else ""
def fields(tags):
    track = text(tags, "tracknumber")
    if track and text(tags, "tracktotal"):
        track += "/" + text(tags, "tracktotal")
    return [text(tags, "artist"), text(tags, "albumartist"), text(tags, "album"), track, text(tags, "title"),
            text(tags, "genre"), text(tags, "date"), text(tags, "comment")]
''',
    "m4a": r'''
import os, sys
from mutagen.mp4 import MP4 as OPEN
EXTENSION = ".m4a"
def text(tags, key):
    values = tags.get(key) if tags else None
    return str(values[0]) if values else ""
def fields(tags):
    trkn = tags.get("trkn") if tags else None
    track = "%d/%d" % trkn[0] if trkn else ""
    return [text(tags, "\xa9ART"), text(tags, "aART"), text(tags, "\xa9alb"), track, text(tags, "\xa9nam"),
            text(tags, "\xa9gen"), text(tags, "\xa9day"), text(tags, "\xa9cmt")]
''',
}
MUTAGEN_READERS = {fmt: part + MUTAGEN_LOOP for fmt, part in MUTAGEN_PARTS.items()}

# velmora-cli's goal against the mutagen script, per format: MPEG audio has libmpg123's
# cheap probe; the others have a container's metadata to take apart.
GOALS = {"mp3": 5.0, "flac": 4.0, "m4a": 4.0}


def tag_values(i):
    """The eight fields of file `i`: artist, album artist, album, (track, total), title, genre,
    date, comment."""
    return ("Artist %d" % (i % 37), "Album Artist %d" % (i % 11), "Album %d" % (i % 101), (i % 20 + 1, 20),
            "Title number %d \u00e9\u00e8" % i, "Genre %d" % (i % 7), str(1960 + i % 60), "Comment %d" % i)


def make_base(folder, fmt):
    """One 4-second stereo tone in `fmt`, made by sox (MP3 through lame) or ffmpeg (M4A)."""
    base_wav = os.path.join(folder, "base.wav")
    base = os.path.join(folder, "base." + fmt)
    subprocess.run(["sox", "-n", "-r", "44100", "-c", "2", base_wav, "synth", "4", "sine", "440"], check=True)
    if fmt == "mp3":
        subprocess.run(["lame", "--quiet", "-b", "128", base_wav, base], check=True)
    elif fmt == "flac":
        subprocess.run(["sox", base_wav, base], check=True)
    else:
        subprocess.run(["ffmpeg", "-nostdin", "-loglevel", "error", "-y", "-i", base_wav, "-c:a", "aac", "-b:a", "128k",
                        base], check=True)
    os.remove(base_wav)
    return base


def tag_file(path, fmt, i):
    artist, album_artist, album, (track, total), title, genre, date, comment = tag_values(i)
    if fmt == "mp3":
        from mutagen.id3 import ID3, TPE1, TPE2, TALB, TRCK, TIT2, TCON, TDRC, COMM
        tags = ID3()
        tags.add(TPE1(encoding=3, text=artist))
        tags.add(TPE2(encoding=3, text=album_artist))
        tags.add(TALB(encoding=3, text=album))
        tags.add(TRCK(encoding=3, text="%d/%d" % (track, total)))
        tags.add(TIT2(encoding=3, text=title))
        tags.add(TCON(encoding=3, text=genre))
        tags.add(TDRC(encoding=3, text=date))
        tags.add(COMM(encoding=3, lang="eng", desc="", text=comment))
        tags.save(path, v2_version=3, v1=2 if i % 2 else 0)
    elif fmt == "flac":
        from mutagen.flac import FLAC
        audio = FLAC(path)
        audio.update({"artist": artist, "albumartist": album_artist, "album": album, "tracknumber": str(track),
                      "tracktotal": str(total), "title": title, "genre": genre, "date": date, "comment": comment})
        audio.save()
    else:
        from mutagen.mp4 import MP4
        audio = MP4(path)
        audio.update({"\xa9ART": artist, "aART": album_artist, "\xa9alb": album, "trkn": [(track, total)],
                      "\xa9nam": title, "\xa9gen": genre, "\xa9day": date, "\xa9cmt": comment})
        audio.save()


def make_files(folder, fmt, count):
    base = make_base(folder, fmt)
    files = os.path.join(folder, "files-" + fmt)
    os.mkdir(files)
    for i in range(count):
        path = os.path.join(files, "track %04d.%s" % (i, fmt))
        shutil.copyfile(base, path)
        tag_file(path, fmt, i)
    os.remove(base)
    return files


def time_runs(cmd, runs):
    """Median wall time and median processor time (user + system, all threads) of `cmd`, and
    its output. On a shared machine the processor time is the steadier of the two."""
    times, cpus = [], []
    for _ in range(runs):
        before = resource.getrusage(resource.RUSAGE_CHILDREN)
        start = time.perf_counter()
        result = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, check=False)
        times.append(time.perf_counter() - start)
        after = resource.getrusage(resource.RUSAGE_CHILDREN)
        cpus.append(after.ru_utime - before.ru_utime + after.ru_stime - before.ru_stime)
        if result.returncode != 0:
            sys.exit("failed: %s\n%s" % (" ".join(cmd), result.stderr.decode(errors="replace")))
    return statistics.median(times), statistics.median(cpus), result.stdout.decode(errors="replace")


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


def bench_format(tmp, fmt, args):
    """Makes the files and times both readers; True when the goals are met."""
    print("making %d tagged %s files..." % (args.files, fmt.upper()), flush=True)
    files = make_files(tmp, fmt, args.files)
    script = os.path.join(tmp, "read_tags_%s.py" % fmt)
    with open(script, "w") as f:
        f.write(MUTAGEN_READERS[fmt])
    cli_cmd = [args.cli, "list", files]
    py_cmd = [sys.executable, script, files]
    time_runs(cli_cmd, 1)  # warm the page cache
    time_runs(py_cmd, 1)
    cli_time, cli_cpu, cli_out = time_runs(cli_cmd, args.runs)
    py_time, py_cpu, py_out = time_runs(py_cmd, args.runs)
    cli_rows = len(cli_out.splitlines()) - 1
    py_rows = len(py_out.splitlines()) - 1
    if cli_rows != args.files or py_rows != args.files:
        sys.exit("row counts differ: velmora-cli %d, mutagen %d" % (cli_rows, py_rows))
    one_time, one_cpu, _ = time_runs(cli_cmd[:2] + ["--threads", "1"] + cli_cmd[2:], args.runs)
    # What each program costs before its first file (loading its libraries), from an empty
    # folder: the rest, per file, is the readers' own speed.
    empty = os.path.join(tmp, "empty")
    os.makedirs(empty, exist_ok=True)
    cli_start, cli_start_cpu, _ = time_runs(cli_cmd[:-1] + [empty], args.runs)
    py_start, py_start_cpu, _ = time_runs(py_cmd[:-1] + [empty], args.runs)
    ratio = py_time / cli_time
    goal = GOALS[fmt]
    print("%s, %d files, median of %d runs (wall time; processor time in brackets):" % (fmt.upper(), args.files, args.runs))
    print("  velmora-cli list : %.3f s [%.3f s]  (one reading thread: %.3f s [%.3f s]; start-up %.3f s [%.3f s])"
          % (cli_time, cli_cpu, one_time, one_cpu, cli_start, cli_start_cpu))
    print("  mutagen script   : %.3f s [%.3f s]  (start-up %.3f s [%.3f s])" % (py_time, py_cpu, py_start, py_start_cpu))
    print("  ratio mutagen / velmora-cli = %.2fx (goal >= %gx): %s" % (ratio, goal, "met" if ratio >= goal else "MISSED"))
    cli_each = (cli_cpu - cli_start_cpu) / args.files
    py_each = (py_cpu - py_start_cpu) / args.files
    print("  ratio of processor time = %.2fx; per file, start-up taken off: %.0f us / %.0f us = %s"
          % (py_cpu / cli_cpu, 1e6 * cli_each, 1e6 * py_each,
             "%.2fx" % (py_each / cli_each) if cli_each > 0 and py_each > 0 else "n/a (too few files)"))
    calls = syscalls_per_file(cli_cmd, args.files)
    ok = ratio >= goal
    if calls is None:
        print("  system calls per file: strace is not installed")
    else:
        opens, reads = calls
        calls_ok = opens <= 1.05 and reads <= 6
        ok = ok and calls_ok
        print("  system calls per file: %.2f opens, %.2f reads or seeks (goal <= 1 and <= 6): %s"
              % (opens, reads, "met" if calls_ok else "MISSED"), flush=True)
    shutil.rmtree(files)
    return ok


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--cli", required=True)
    parser.add_argument("--files", type=int, default=2000)
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--formats", default="mp3,flac,m4a",
                        help="comma-separated, of: %s" % ",".join(MUTAGEN_READERS))
    args = parser.parse_args()
    formats = [f.strip().lower() for f in args.formats.split(",") if f.strip()]
    unknown = [f for f in formats if f not in MUTAGEN_READERS]
    if unknown:
        parser.error("unknown format: %s" % ", ".join(unknown))
    ok = True
    with tempfile.TemporaryDirectory(prefix="velmora-list-bench-") as tmp:
        for fmt in formats:
            ok = bench_format(tmp, fmt, args) and ok
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
