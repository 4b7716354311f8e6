"""What the join benchmarks share: their tool check, a private home for velmora-cli, a timed
run and mpg123's decoded length."""
import os
import shutil
import subprocess
import sys
import time


def require_tools(*tools):
    for tool in tools:
        if not shutil.which(tool):
            sys.exit("%s is missing: run scripts/install-deps bench" % tool)


def private_home(tmp):
    """An environment whose HOME and settings are fresh folders under tmp."""
    home = os.path.join(tmp, "home")
    os.makedirs(home)
    return dict(os.environ, HOME=home, XDG_CONFIG_HOME=os.path.join(home, ".config"))


def timed(cmd, env=None):
    """Wall seconds of cmd; a failure ends the benchmark with its error output."""
    start = time.perf_counter()
    proc = subprocess.run(cmd, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    if proc.returncode != 0:
        sys.exit("failed (%d): %s\n%s" % (proc.returncode, " ".join(cmd), proc.stderr[-2000:]))
    return time.perf_counter() - start


def decoded_frames(path, channels=2):
    """Frames of an MP3 decoded by mpg123 (gapless, 16-bit raw at the file's own format)."""
    out = subprocess.run(["mpg123", "-q", "-s", path], stdout=subprocess.PIPE, check=True).stdout
    return len(out) // (2 * channels)
