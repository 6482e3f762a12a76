#!/usr/bin/env bash
# Checks of what brisolt installs: check.sh CHECK VERSION, with BRISOLT_SOURCE_DIR and
# BRISOLT_BINARY_DIR set (CTest sets them). Everything is installed into a temporary
# folder only; nothing here touches the system's own directories.
set -euo pipefail

check=$1
version=$2
src=${BRISOLT_SOURCE_DIR:?}
bin=${BRISOLT_BINARY_DIR:?}
id=io.github.brisolt.Brisolt

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

failures=0
fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}
expect_equal() {  # what, expected, actual
    if [ "$2" != "$3" ]; then
        fail "$1"
        diff <(printf '%s\n' "$2") <(printf '%s\n' "$3") >&2 || true
    fi
}

# The files of an installation, relative to its prefix.
expected_files() {
    printf '%s\n' \
        bin/brisolt \
        share/applications/$id.desktop \
        share/doc/brisolt/copyright \
        share/icons/hicolor/128x128/apps/$id.png \
        share/icons/hicolor/16x16/apps/$id.png \
        share/icons/hicolor/256x256/apps/$id.png \
        share/icons/hicolor/32x32/apps/$id.png \
        share/icons/hicolor/48x48/apps/$id.png \
        share/icons/hicolor/scalable/apps/$id.svg \
        share/man/man1/brisolt.1 \
        share/metainfo/$id.metainfo.xml
}

install_tree() {
    local prefix=/opt/brisolt-check root=$tmp/root
    DESTDIR=$root cmake --install "$bin" --prefix "$prefix" >"$tmp/install.log" \
        || { cat "$tmp/install.log" >&2; fail "cmake --install"; return; }
    expect_equal "installed files" "$(expected_files)" \
        "$(cd "$root$prefix" && find . ! -type d | sed 's|^\./||' | LC_ALL=C sort)"
    [ -z "$(find "$root" -mindepth 1 -maxdepth 1 ! -name opt)" ] \
        || fail "files outside the prefix: $(ls "$root")"

    local dir=$root$prefix
    for size in 16 32 48 128 256; do
        file -b "$dir/share/icons/hicolor/${size}x$size/apps/$id.png" \
            | grep "^PNG image data, $size x $size," >/dev/null || fail "the $size px icon is not $size x $size"
    done
    file -b "$dir/share/icons/hicolor/scalable/apps/$id.svg" | grep SVG >/dev/null || fail "scalable icon"
    # The menu entry names the installed icon and program; the AppStream data its entry.
    grep -qx "Icon=$id" "$dir/share/applications/$id.desktop" || fail "Icon= of the menu entry"
    grep -q "<launchable type=\"desktop-id\">$id.desktop</launchable>" \
        "$dir/share/metainfo/$id.metainfo.xml" || fail "launchable of the AppStream data"
    [ -x "$dir/bin/brisolt" ] || fail "bin/brisolt is not executable"
    local answer
    answer=$(env -u DISPLAY -u WAYLAND_DISPLAY "$dir/bin/brisolt" --version)
    expect_equal "installed --version" "brisolt $version" "$(head -n1 <<<"$answer")"
    grep -q '^License GPL-3.0-or-later' <<<"$answer" || fail "--version does not name the licence"
    # The copyright file names the licence in the machine-readable form Debian reads.
    local copyright=$dir/share/doc/brisolt/copyright
    grep -qx 'Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/' "$copyright" \
        || fail "the copyright file is not machine-readable"
    grep -qx 'License: GPL-3.0-or-later' "$copyright" || fail "the copyright file does not name GPL-3.0-or-later"
}

desktop_entry() {
    local entry=$src/packaging/$id.desktop
    desktop-file-validate "$entry" || fail "desktop-file-validate"
    [ -z "$(desktop-file-validate "$entry" 2>&1)" ] || fail "desktop-file-validate has remarks"
    grep -qx 'Exec=brisolt' "$entry" || fail "Exec=brisolt"
    grep -qx 'Categories=AudioVideo;Video;Recorder;' "$entry" || fail "Categories="
    # Windows name their menu entry by the same id (QGuiApplication::desktopFileName).
    # grep -q would stop reading early, and under pipefail the cut-off strings counts as a failure.
    strings -el "$bin/brisolt" | grep -x "$id" >/dev/null || fail "the program does not name its menu entry $id"
}

metainfo() {
    local data=$src/packaging/$id.metainfo.xml
    appstreamcli validate --no-net "$data" || fail "appstreamcli validate"
    expect_equal "id" "<id>$id</id>" "$(grep -o '<id>[^<]*</id>' "$data")"
    expect_equal "newest release" "$version" \
        "$(grep -o '<release version="[^"]*"' "$data" | head -n1 | cut -d'"' -f2)"
    for element in '<summary>' '<description>' '<screenshot type="default">' \
                   '<content_rating type="oars-1.1"' '<launchable type="desktop-id">'; do
        grep -qF "$element" "$data" || fail "no $element"
    done
    # The screenshot is published from packaging/screenshots, at the size the data states.
    local image width height shot
    image=$(grep -o '<image type="source"[^<]*</image>' "$data")
    width=$(sed 's/.*width="\([0-9]*\)".*/\1/' <<<"$image")
    height=$(sed 's/.*height="\([0-9]*\)".*/\1/' <<<"$image")
    shot=$src/packaging/screenshots/$(sed 's|.*/\([^/<]*\)</image>|\1|' <<<"$image")
    file -b "$shot" | grep "^PNG image data, $width x $height," >/dev/null \
        || fail "screenshot $shot is not a $width x $height PNG"
}

manual_page() {
    local page=$src/packaging/brisolt.1
    local warnings
    warnings=$(groff -man -Tutf8 -ww -z "$page" 2>&1) || fail "groff failed"
    [ -z "$warnings" ] || fail "groff warns: $warnings"
    MANWIDTH=80 man -l "$page" 2>"$tmp/man.err" | col -b >"$tmp/man.txt"
    [ ! -s "$tmp/man.err" ] || fail "man -l: $(cat "$tmp/man.err")"
    for section in NAME SYNOPSIS DESCRIPTION OPTIONS FILES 'WAKE PRIVILEGE' 'EXIT STATUS' \
                   EXAMPLES 'SEE ALSO'; do
        grep -qx "$section" "$tmp/man.txt" || fail "no section $section"
    done
    grep -q 'ffprobe(1), ffmpeg(1)' "$tmp/man.txt" || fail "SEE ALSO ffprobe(1), ffmpeg(1)"
    grep -q "^\.TH BRISOLT 1 .*\"brisolt $version\"" "$page" || fail "version in .TH"
    # Every option of the program is in the page.
    local options
    options=$(env -u DISPLAY "$bin/brisolt" --help | grep -oE '^ +-[a-zA-Z], --[a-z-]+' \
        | grep -oE '\-\-?[a-zA-Z-]+')
    [ -n "$options" ] || fail "no options in --help"
    for option in $options; do
        grep -qE "(^| )$option( |,|$)" "$tmp/man.txt" || fail "$option missing in the page"
    done
}

# The installed package that holds the library the program loads for a soname. With merged
# /usr, dpkg may know the file by its path under /usr or by the one without.
library_package() {
    local file path
    file=$(ldd "$bin/brisolt" | awk -v so="$1" '
        $1 == so && $3 ~ /^\// { print $3; exit }
        $1 ~ /^\// && $1 ~ ("/" so "$") { print $1; exit }')
    [ -n "$file" ] || return 0
    path=$(readlink -f "$file")
    for candidate in "$path" "${path#/usr}" "$file"; do
        dpkg -S "$candidate" 2>/dev/null | head -n1 | cut -d: -f1 | grep . && return 0
    done
    return 0
}

debian_package() {
    cpack -G DEB --config "$bin/CPackConfig.cmake" -B "$tmp/out" >"$tmp/cpack.log" 2>&1 \
        || { cat "$tmp/cpack.log" >&2; fail "cpack"; return; }
    local deb=$tmp/out/brisolt_${version}_$(dpkg --print-architecture).deb
    [ -f "$deb" ] || { fail "no $(basename "$deb"): $(ls "$tmp/out")"; return; }

    dpkg-deb --info "$deb" >"$tmp/info"
    expect_equal "Package" brisolt "$(dpkg-deb --field "$deb" Package)"
    expect_equal "Version" "$version" "$(dpkg-deb --field "$deb" Version)"
    # Computed from what the program links against, whatever this release calls the
    # packages: every library it needs directly comes from a package that Depends names.
    local depends
    depends=$(sed -n 's/^ Depends: //p' "$tmp/info" | tr ',' '\n' | sed 's/^ *//; s/ .*//' | sort -u)
    local needed package
    needed=$(objdump -p "$bin/brisolt" | awk '$1 == "NEEDED" { print $2 }')
    [ -n "$needed" ] || fail "objdump finds no libraries the program needs"
    for soname in $needed; do
        package=$(library_package "$soname")
        [ -n "$package" ] || { fail "no package holds $soname"; continue; }
        grep -qx "$package" <<<"$depends" || fail "Depends lacks $package (for $soname): $depends"
    done
    for package in libcap2-bin fonts-dejavu-core; do
        grep -qx "$package" <<<"$depends" || fail "Depends lacks $package: $depends"
    done
    expect_equal "Recommends" qt6-wayland "$(dpkg-deb --field "$deb" Recommends)"
    local description
    description=$(dpkg-deb --field "$deb" Description)
    for box in "'use sleep' suspends the computer after each frame" \
               "'suspend end' hibernates" CAP_WAKE_ALARM; do
        tr -s ' \n' ' ' <<<"$description" | grep -F "$box" >/dev/null || fail "the description does not mention $box"
    done

    dpkg-deb --contents "$deb" >"$tmp/contents"
    expect_equal "packaged files" "$(expected_files | sed 's|^|usr/|')" \
        "$(grep -v '^d' "$tmp/contents" | awk '{print $6}' | sed 's|^\./||' | LC_ALL=C sort)"
    grep -q '^-rwxr-xr-x .* \./usr/bin/brisolt$' "$tmp/contents" \
        || fail "usr/bin/brisolt is not rwxr-xr-x"

    # The post-install step grants the wake privilege and never fails the installation. A
    # stand-in setcap records what it was asked and succeeds or fails as told.
    dpkg-deb --control "$deb" "$tmp/control"
    local postinst=$tmp/control/postinst
    [ -x "$postinst" ] || { fail "no executable postinst"; return; }
    mkdir "$tmp/fake" "$tmp/empty"
    printf '#!/bin/sh\necho "$*" >>"%s"\nexit "${SETCAP_STATUS:-0}"\n' "$tmp/setcap.log" \
        >"$tmp/fake/setcap"
    chmod +x "$tmp/fake/setcap"
    local status
    for case in 0:fake 1:fake 0:empty; do
        : >"$tmp/setcap.log"
        status=0
        SETCAP_STATUS=${case%%:*} PATH=$tmp/${case#*:} /bin/sh "$postinst" configure \
            2>"$tmp/postinst.err" || status=$?
        expect_equal "postinst exit status ($case)" 0 "$status"
        if [ "$case" = 0:fake ]; then
            expect_equal "setcap arguments" "cap_wake_alarm+p /usr/bin/brisolt" \
                "$(cat "$tmp/setcap.log")"
            [ ! -s "$tmp/postinst.err" ] || fail "postinst complains: $(cat "$tmp/postinst.err")"
        else
            grep -q 'could not grant cap_wake_alarm' "$tmp/postinst.err" \
                || fail "postinst ($case) does not say the privilege is missing"
        fi
    done
    : >"$tmp/setcap.log"
    PATH=$tmp/fake /bin/sh "$postinst" abort-upgrade 2>/dev/null
    [ ! -s "$tmp/setcap.log" ] || fail "postinst ran setcap outside configure"
}

"$check"
if [ "$failures" -ne 0 ]; then
    echo "$check: $failures failure(s)" >&2
    exit 1
fi
echo "$check: passed"
