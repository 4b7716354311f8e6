#!/bin/sh
# The installed tree works from a temporary prefix, and the .deb holds every installed file.
#   test_install.sh BUILD_DIR SOURCE_DIR
set -eu
build=$1
source=$2
scratch=$(mktemp -d "${TMPDIR:-/tmp}/velmora-install-test.XXXXXX")
trap 'rm -rf "$scratch"' EXIT INT TERM
fail() { echo "FAIL: $*" >&2; exit 1; }

prefix=$scratch/prefix
cmake --install "$build" --prefix "$prefix" >"$scratch/install.log" 2>&1 || { cat "$scratch/install.log" >&2; fail "cmake --install"; }

# Every file a Linux desktop expects, where it expects it.
for f in bin/velmora bin/velmora-cli share/doc/velmora/Help.html share/applications/velmora.desktop \
         share/icons/hicolor/scalable/apps/velmora.svg; do
    [ -f "$prefix/$f" ] || fail "missing $f"
done
[ -x "$prefix/bin/velmora" ] && [ -x "$prefix/bin/velmora-cli" ] || fail "programs not executable"
man=$(find "$prefix/share/man/man1" -name 'velmora-cli.1*' | head -n 1)
[ -n "$man" ] || fail "missing the velmora-cli manual page"
module=$(find "$prefix" -name lame_enc.so | head -n 1)
[ -n "$module" ] || fail "missing lame_enc.so"
[ -f "$prefix/lib/velmora/velmora_ffmpeg.so" ] || fail "missing lib/velmora/velmora_ffmpeg.so"
# FFmpeg is loaded through that module when a file needs it: the programs do not link it.
for program in velmora velmora-cli; do
    if readelf -d "$prefix/bin/$program" | grep NEEDED | grep -q 'libav\|libswresample'; then
        fail "$program links FFmpeg's libraries"
    fi
done

# The installed velmora-cli joins with the installed module: two generated tones, a private
# account so no real settings are read, and the build tree out of reach.
home=$scratch/home
mkdir -p "$home/Music" "$scratch/in"
sox -n -r 44100 -c 2 "$scratch/in/a.wav" synth 1.0 sine 440 2>/dev/null || fail "sox"
sox -n -r 44100 -c 2 "$scratch/in/b.wav" synth 0.5 sine 660 2>/dev/null || fail "sox"
lame --quiet -b 128 "$scratch/in/a.wav" "$scratch/in/a.mp3" || fail "lame"
lame --quiet -b 128 "$scratch/in/b.wav" "$scratch/in/b.mp3" || fail "lame"
out=$scratch/joined.mp3
env -i PATH=/usr/bin:/bin HOME="$home" XDG_CONFIG_HOME="$home/.config" \
    "$prefix/bin/velmora-cli" join --quiet -o "$out" "$scratch/in/a.mp3" "$scratch/in/b.mp3" \
    >"$scratch/join.log" 2>&1 || { cat "$scratch/join.log" >&2; fail "velmora-cli join from the installed tree"; }
[ -s "$out" ] || fail "no output written"
# 1.5 s of audio at 44.1 kHz: decode and count the samples per channel.
samples=$(mpg123 -q -s "$out" 2>/dev/null | wc -c)
frames=$((samples / 4))
[ "$frames" -ge 64000 ] && [ "$frames" -le 70000 ] || fail "joined output has $frames frames, expected about 66150"
# A WAV file is read through the installed velmora_ffmpeg.so.
env -i PATH=/usr/bin:/bin HOME="$home" XDG_CONFIG_HOME="$home/.config" \
    "$prefix/bin/velmora-cli" list "$scratch/in/a.wav" >"$scratch/list.log" 2>&1 || { cat "$scratch/list.log" >&2; fail "velmora-cli list from the installed tree"; }
grep -q "	WAV	.*44100 Hz" "$scratch/list.log" || { cat "$scratch/list.log" >&2; fail "the installed tree does not read WAV"; }

# Help.html is a real guide and names its pictures by relative paths.
grep -q '<h2' "$prefix/share/doc/velmora/Help.html" || fail "Help.html has no sections"
if grep -o 'src="[^"]*"' "$prefix/share/doc/velmora/Help.html" | grep -q 'src="/'; then
    fail "Help.html refers to absolute paths"
fi

# The package: built by CPack, unpacked into a scratch root, holds every installed file.
mkdir -p "$scratch/pkg"
(cd "$scratch/pkg" && cpack -G DEB --config "$build/CPackConfig.cmake" -B "$scratch/pkg" >"$scratch/cpack.log" 2>&1) \
    || { cat "$scratch/cpack.log" >&2; fail "cpack -G DEB"; }
deb=$(find "$scratch/pkg" -maxdepth 1 -name 'velmora_*.deb' | head -n 1)
[ -n "$deb" ] || fail "no .deb built"
root=$scratch/root
dpkg-deb -x "$deb" "$root" || fail "dpkg-deb -x"
(cd "$prefix" && find . -type f | sort) >"$scratch/installed.txt"
missing=0
while read -r f; do
    if [ ! -f "$root/usr/$f" ]; then echo "not in the package: $f" >&2; missing=1; fi
done <"$scratch/installed.txt"
[ "$missing" -eq 0 ] || fail "the package lacks installed files"
depends=$(dpkg-deb -f "$deb" Depends)
for lib in libmpg123 libsox libtag libmp3lame libavformat libavcodec libswresample libqt6widgets6 libqt6svg6; do
    echo "$depends" | grep -q "$lib" || fail "Depends lacks $lib: $depends"
done
[ "$(dpkg-deb -f "$deb" Package)" = velmora ] || fail "package name"

# What a distribution checks: the package, the software-centre metadata, the desktop entry.
if command -v lintian >/dev/null 2>&1; then
    lintian --tag-display-limit 0 "$deb" >"$scratch/lintian.log" 2>&1 || true
    if grep -E '^[EW]: ' "$scratch/lintian.log" >&2; then fail "lintian reports errors or warnings"; fi
else
    echo "lintian is missing: package check skipped (scripts/install-deps installs it)" >&2
fi
if command -v appstreamcli >/dev/null 2>&1; then
    appstreamcli validate --no-net "$prefix/share/metainfo/com.example.Velmora.metainfo.xml" >"$scratch/as.log" 2>&1 \
        || { cat "$scratch/as.log" >&2; fail "appstreamcli validate"; }
    if grep -E '^[EW]: ' "$scratch/as.log" >&2; then fail "AppStream metadata has errors or warnings"; fi
else
    echo "appstreamcli is missing: metadata check skipped (scripts/install-deps installs it)" >&2
fi
if command -v desktop-file-validate >/dev/null 2>&1; then
    desktop-file-validate "$prefix/share/applications/velmora.desktop" >&2 || fail "desktop-file-validate"
else
    echo "desktop-file-validate is missing: desktop entry check skipped (scripts/install-deps installs it)" >&2
fi
# Both programs answer --version without a display.
[ "$(env -i PATH=/usr/bin:/bin "$prefix/bin/velmora" --version)" = "velmora 5.0.9" ] || fail "velmora --version"
env -i PATH=/usr/bin:/bin "$prefix/bin/velmora" --help | grep -q '^usage: velmora' || fail "velmora --help"
for page in velmora velmora-cli; do
    [ -f "$prefix/share/man/man1/$page.1.gz" ] || fail "missing the $page manual page"
done
# The bash completion of velmora-cli: commands, options, option values, files.
completion=$prefix/share/bash-completion/completions/velmora-cli
[ -f "$completion" ] || fail "missing the bash completion of velmora-cli"
if [ -f /usr/share/bash-completion/bash_completion ]; then
    mkdir -p "$scratch/pick/sub"
    : >"$scratch/pick/one.mp3"
    : >"$scratch/pick/notes.txt"
    # complete WORDS...: what the completion offers for the last word, one per line, sorted.
    cat >"$scratch/complete.bash" <<'SCRIPT'
. /usr/share/bash-completion/bash_completion
. "$1"
shift
cd "$1"
shift
COMP_WORDS=("$@")
COMP_CWORD=$(($# - 1))
COMP_LINE="$*"
COMP_POINT=${#COMP_LINE}
_velmora_cli velmora-cli "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}"
printf '%s\n' "${COMPREPLY[@]}" | LC_ALL=C sort
SCRIPT
    complete() { bash "$scratch/complete.bash" "$completion" "$scratch/pick" "$@" | tr '\n' ' ' | sed 's/ $//'; }
    [ "$(complete velmora-cli j)" = "join" ] || fail "completion of a command: '$(complete velmora-cli j)'"
    [ "$(complete velmora-cli join --ch)" = "--channels --chapters --chapters-from" ] || fail "completion of options"
    [ "$(complete velmora-cli join --bitrate 1)" = "112 128 16 160 192" ] || fail "completion of --bitrate"
    [ "$(complete velmora-cli join --channels "")" = "auto dual joint mono stereo" ] || fail "completion of --channels"
    [ "$(complete velmora-cli join --frequency 4)" = "44100 48000" ] || fail "completion of --frequency"
    [ "$(complete velmora-cli join --rec)" = "--recursive" ] || fail "completion of join --recursive"
    [ "$(complete velmora-cli join "")" = "one.mp3 sub" ] || fail "completion of files: '$(complete velmora-cli join "")'"
    [ "$(complete velmora-cli list --threads "")" = "1 2 3 4 5 6 7 8" ] || fail "completion of list --threads"
    [ "$(complete velmora-cli lou)" = "loudness" ] || fail "completion of the loudness command"
    [ "$(complete velmora-cli join --loudness a)" = "audiobook" ] || fail "completion of --loudness: '$(complete velmora-cli join --loudness a)'"
else
    echo "bash-completion is missing: completion check skipped (scripts/install-deps installs it)" >&2
fi
echo "installed tree and package OK"
