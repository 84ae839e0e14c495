#!/usr/bin/env bash
# Installs a built tree into a temporary prefix and packs it as a Debian package, as a user's
# machine would get it: the files in place and valid, the manual page in step with --help, a
# package lintian accepts that holds the same files and no build path, and the menu entry's
# command recording into the videos folder under the test's X display.
#   package_test.sh SOURCE_DIR BUILD_DIR
# Ends with 77 (skipped) when all else passed but there is no X display to run the entry on.
set -euo pipefail
source_dir=$1
build=$2
id=io.github.camfx.Camfx

tmp=$(mktemp -d)
viewer_pid=
cleanup() {
    if [[ -n $viewer_pid ]]; then kill -KILL "$viewer_pid" 2>/dev/null || true; fi
    rm -rf "$tmp"
}
trap cleanup EXIT
failures=0
fail() {
    echo "FAILED: $*" >&2
    failures=$((failures + 1))
}

echo "== cmake --install into a fresh prefix"
prefix=$tmp/usr
cmake --install "$build" --prefix "$prefix" >/dev/null
files=(
    bin/camfx
    "share/applications/$id.desktop"
    "share/icons/hicolor/scalable/apps/$id.svg"
    "share/metainfo/$id.metainfo.xml"
    share/man/man1/camfx.1.gz
    share/doc/camfx/copyright
    share/doc/camfx/changelog.gz
)
for file in "${files[@]}"; do
    [[ -s $prefix/$file ]] || fail "$file is not installed"
done
[[ -x $prefix/bin/camfx ]] || fail "bin/camfx is not executable"
# Nothing beyond these: a stray install rule would land in every user's /usr.
installed=$(cd "$prefix" && find . -type f -printf '%P\n' | sort)
expected=$(printf '%s\n' "${files[@]}" | sort)
[[ $installed == "$expected" ]] ||
    fail "the installed files differ:"$'\n'"$(diff <(echo "$expected") - <<<"$installed")"

echo "== the program's version"
version_line=$("$prefix/bin/camfx" --version | head -n1)
[[ $version_line =~ ^camfx\ ([0-9]+\.[0-9]+\.[0-9]+)$ ]] ||
    fail "camfx --version starts with \"$version_line\", not \"camfx X.Y.Z\""
version=${BASH_REMATCH[1]:-none}

echo "== desktop-file-validate, appstreamcli validate --no-net"
if ! output=$(desktop-file-validate "$prefix/share/applications/$id.desktop" 2>&1) ||
    [[ -n $output ]]; then
    fail "desktop-file-validate: $output"
fi
if ! output=$(appstreamcli validate --no-net "$prefix/share/metainfo/$id.metainfo.xml" 2>&1) ||
    grep -qE '^[EW]:' <<<"$output"; then
    fail "appstreamcli validate: $output"
fi
python3 - "$prefix/share/icons/hicolor/scalable/apps/$id.svg" <<'EOF' || fail "the icon is no SVG"
import sys, xml.etree.ElementTree as tree
sys.exit(tree.parse(sys.argv[1]).getroot().tag != "{http://www.w3.org/2000/svg}svg")
EOF

echo "== the manual page against --help"
# ASCII, so that roff's minus signs read as the "-" that --help writes.
page=$(LC_ALL=C MANWIDTH=200 man -l "$prefix/share/man/man1/camfx.1.gz")
section() { awk -v name="$1" '/^[A-Z]/ { inside = ($0 == name) } inside' <<<"$page"; }
options=$("$prefix/bin/camfx" --help |
    awk '/^ +-/ { n = split($1, names, ","); for (i = 1; i <= n; i++) print names[i] }' |
    grep -E '^--?[A-Za-z]' | sort -u)
if [[ $(wc -l <<<"$options") -lt 5 ]] || ! grep -qx -- --output <<<"$options"; then
    fail "too few options read from --help: $options"
fi
for option in $options; do
    section OPTIONS | grep -qE -- "(^|[ ,])$option([ =,]|\$)" ||
        fail "the manual page's OPTIONS lack $option, which --help lists"
done
keys=$(section KEYS)
for key in '1 2 3 4' Space F11 Esc S Q; do
    grep -qE -- "^ +$key( |\$)" <<<"$keys" || fail "the manual page's KEYS lack the key $key"
done
for effect in mosaic negative mirror swirl; do
    grep -qw "$effect" <<<"$keys" || fail "the manual page's KEYS lack the effect $effect"
done
for variable in XDG_VIDEOS_DIR XDG_PICTURES_DIR; do
    section ENVIRONMENT | grep -q "$variable" ||
        fail "the manual page's ENVIRONMENT lacks $variable"
done
tail -n1 <<<"$page" | grep -q "camfx $version" || fail "the manual page is not of camfx $version"

echo "== cpack -G DEB, lintian"
cpack -G DEB --config "$build/CPackConfig.cmake" -B "$tmp/deb" >"$tmp/cpack.log" 2>&1 ||
    { cat "$tmp/cpack.log"; fail "cpack failed"; }
arch=$(dpkg --print-architecture)
deb=$tmp/deb/camfx_${version}_${arch}.deb
if [[ -f $deb ]]; then
    lintian_output=$(lintian "$deb" 2>&1 | grep -v '^running with root privileges' || true)
    [[ -n $lintian_output ]] && echo "$lintian_output"
    grep -q '^E:' <<<"$lintian_output" && fail "lintian reports errors"
    fields=$(dpkg-deb -f "$deb" Package Version Section | tr '\n' ' ')
    [[ $fields == "Package: camfx Version: $version Section: video " ]] ||
        fail "the package's fields: $fields"
    dpkg-deb -f "$deb" Depends | grep -q 'libc6 (>=' ||
        fail "the package's Depends were not found by dpkg-shlibdeps: $(dpkg-deb -f "$deb" Depends)"
    packed=$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { sub("^\\./usr/", "", $6); print $6 }' | sort)
    [[ $packed == "$expected" ]] ||
        fail "the package's files differ:"$'\n'"$(diff <(echo "$expected") - <<<"$packed")"
    dpkg-deb -x "$deb" "$tmp/unpacked"
    binary=$tmp/unpacked/usr/bin/camfx
    readelf -S "$binary" | grep -qE '\.(symtab|debug_info)' &&
        fail "the packaged camfx is not stripped"
    readelf -d "$binary" | grep -qE 'RPATH|RUNPATH' && fail "the packaged camfx has an RPATH"
    # The source folder as a path of its own, not as the tail of another ("/src" in "/usr/src").
    pattern="(^|[^[:alnum:]_./-])$(sed 's/[][\.*^$+?(){}|]/\\&/g' <<<"$source_dir")/"
    leaks=$(strings "$binary" | grep -E "$pattern" || true)
    [[ -z $leaks ]] || fail "the packaged camfx holds build paths: $(head -n3 <<<"$leaks")"
else
    fail "cpack made no $(basename "$deb"): $(ls "$tmp/deb")"
fi

if [[ -z ${DISPLAY:-} ]]; then
    ((failures == 0)) || exit 1
    echo "no X display: the menu entry's command was not run; skipped"
    exit 77
fi

echo "== the menu entry's command"
# Launched as a desktop launches it (GLib's gio), through a camfx first on the PATH that adds the
# test pattern and no sound to what the entry passes: the test leaves camera and microphone alone.
mkdir -p "$tmp/launcher"
printf '#!/bin/sh\nprintf "%%s\\n" "$@" >"%s"\nexec "%s" "$@" --test-pattern --no-audio\n' \
    "$tmp/arguments" "$prefix/bin/camfx" >"$tmp/launcher/camfx"
chmod +x "$tmp/launcher/camfx"

home=$tmp/home  # none of these folders exists yet
videos="$home/My Videos"
pictures="$home/My Pictures"
started=$(date +%s)
# The test pattern rather than a camera, and no sound: the test leaves the microphone alone.
HOME=$home XDG_VIDEOS_DIR=$videos XDG_PICTURES_DIR=$pictures XDG_CONFIG_HOME=$home/.config \
    PATH=$tmp/launcher:$PATH gio launch "$prefix/share/applications/$id.desktop" \
    >"$tmp/viewer.log" 2>&1
for _ in $(seq 100); do
    viewer_pid=$(pgrep -n -f "^$prefix/bin/camfx" || true)
    [[ -n $viewer_pid ]] && break
    sleep 0.1
done
# The entry's arguments as camfx gets them: the "$" is for camfx to expand, not a shell.
# shellcheck disable=SC2016
expected_arguments=$(printf '%s\n' --output '$XDG_VIDEOS_DIR/camfx %Y-%m-%d %H-%M-%S.mp4' \
    --snapshots '$XDG_PICTURES_DIR')
[[ $(cat "$tmp/arguments" 2>/dev/null) == "$expected_arguments" ]] ||
    fail "the entry passes [$(cat "$tmp/arguments" 2>/dev/null)], not [$expected_arguments]"
window=$(timeout 20 xdotool search --sync --onlyvisible --name '^Camera$' | head -n1 || true)
if [[ -n $window ]]; then
    # Held long enough for the viewer's polling to see each key down.
    press() { xdotool keydown "$1" && sleep 0.3 && xdotool keyup "$1"; }
    timeout 5 xdotool windowfocus --sync "$window" || fail "the window took no focus"
    press space
    for _ in $(seq 50); do
        [[ $(xdotool getwindowname "$window") == "Encoding video..." ]] && break
        sleep 0.1
    done
    [[ $(xdotool getwindowname "$window") == "Encoding video..." ]] ||
        fail "Space did not start recording"
    sleep 2
    press s
    sleep 1
else
    fail "no window titled Camera appeared"
fi
# The launcher's child, not ours: no status to read, but a bad end leaves an ERROR line.
kill -TERM "$viewer_pid" 2>/dev/null || true
if ! timeout 15 tail --pid="$viewer_pid" -f /dev/null; then
    fail "the viewer did not end within 15 s of SIGTERM"
    kill -KILL "$viewer_pid"
fi
viewer_pid=
ended=$(date +%s)
grep -q "ERROR" "$tmp/viewer.log" && fail "the viewer reported an error"

recordings=$(find "$videos" -maxdepth 1 -type f -name '*.mp4' -printf '%f\n' 2>/dev/null || true)
# Exactly one, named after the local time it was made.
name_pattern='^camfx ([0-9]{4}-[0-9]{2}-[0-9]{2}) ([0-9]{2})-([0-9]{2})-([0-9]{2})\.mp4$'
if [[ $recordings =~ $name_pattern ]]; then
    when="${BASH_REMATCH[1]} ${BASH_REMATCH[2]}:${BASH_REMATCH[3]}:${BASH_REMATCH[4]}"
    named=$(date -d "$when" +%s)
    ((named >= started && named <= ended)) ||
        fail "the recording's name \"$recordings\" is not the time it was made"
    duration=$(ffprobe -v error -show_entries format=duration -of csv=p=0 "$videos/$recordings")
    awk -v d="$duration" 'BEGIN { exit !(d > 0.5) }' ||
        fail "the recording \"$recordings\" plays ${duration:-no} seconds"
else
    fail "no one recording named \"camfx YYYY-MM-DD HH-MM-SS.mp4\" in $videos: ${recordings:-none}"
fi
find "$pictures" -maxdepth 1 -type f -name '*.png' 2>/dev/null | grep -q . ||
    fail "S saved no snapshot into $pictures"
((failures == 0)) || { echo "== the viewer's output"; cat "$tmp/viewer.log"; exit 1; }
echo "== passed"
