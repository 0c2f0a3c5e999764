#!/usr/bin/env bash
# Builds the program as the README does, without the test packages (one line
# says so, also when only what Qt's private API needs is missing), checks that cpack refuses the build for /usr/local, then builds it
# for /usr and installs it: a desktop must start it from its menu entry (with
# its sound and icons, in a folder that holds the sound), software centres
# list it (metainfo), its manual and documents are there. Its Debian package
# must hold the same, name /usr/local nowhere, and satisfy lintian.
#
#   install_test.sh <cmake> <cpack> <source folder> <version>
set -euo pipefail

cmake=$1
cpack=$2
source=$3
version=$4
bindir=/usr/bin
datadir=/usr/share

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

passes=0
failures=0
expect() {
    local what=$1
    shift
    if "$@"; then
        echo "ok: $what"
        passes=$((passes + 1))
    else
        echo "FAIL: $what"
        failures=$((failures + 1))
    fi
}

# The value of a key of the entry's [Desktop Entry] group.
entry_value() {
    sed -n '/^\[Desktop Entry\]/,/^\[/ s/^'"$2"'=//p' "$1" | head -n1
}

is_elf() { [ "$(head -c4 "$1" | od -An -tx1 | tr -d ' \n')" = 7f454c46 ]; }
is_wav() { [ "$(head -c4 "$1")" = RIFF ] && [ "$(tail -c+9 "$1" | head -c4)" = WAVE ]; }

# A PNG whose header gives $2 by $2 pixels.
is_square_png() {
    [ -f "$1" ] || return 1
    [ "$(head -c8 "$1" | od -An -tx1 | tr -d ' \n')" = 89504e470d0a1a0a ] || return 1
    [ "$(od -An -j16 -N8 --endian=big -tu4 "$1" | xargs)" = "$2 $2" ]
}

is_svg() { [ -f "$1" ] && grep -q '<svg' "$1"; }
is_gzip() { [ "$(head -c2 "$1" | od -An -tx1 | tr -d ' \n')" = 1f8b ]; }

entry_validates() {
    local report
    report=$(desktop-file-validate "$1" 2>&1) || { echo "$report"; return 1; }
    [ -z "$report" ] || { echo "$report"; return 1; }
}

# Checks an installed tree laid out under $1 as it would be under /.
check_tree() {
    local root=$1
    local data=$root$datadir/ekgdemo
    local entry=$root$datadir/applications/ekgdemo.desktop

    expect "the program is in bin/" is_elf "$root$bindir/ekgdemo"
    expect "the program is executable" test -x "$root$bindir/ekgdemo"
    expect "ding.wav is in the data folder" is_wav "$data/ding.wav"
    local size
    for size in 16 22 24 32 48 64 128 256; do
        expect "the theme icon ${size}x$size is a PNG of that size" \
            is_square_png "$root$datadir/icons/hicolor/${size}x$size/apps/ekgdemo.png" "$size"
    done
    expect "the scalable theme icon is an SVG" is_svg "$root$datadir/icons/hicolor/scalable/apps/ekgdemo.svg"
    expect "the manual page is compressed" is_gzip "$root$datadir/man/man1/ekgdemo.1.gz"
    expect "the copyright file is there" test -f "$root$datadir/doc/ekgdemo/copyright"
    expect "the changelog is compressed" is_gzip "$root$datadir/doc/ekgdemo/changelog.gz"

    local metainfo=("$root$datadir"/metainfo/*.metainfo.xml)
    expect "one metainfo file" test "${#metainfo[@]}" -eq 1 -a -f "${metainfo[0]}"
    # appstreamcli fails on errors and warnings alike.
    expect "the metainfo validates" appstreamcli validate --no-net "${metainfo[0]}"
    expect "the metainfo's newest release is $version" \
        test "$(grep -om1 '<release version="[^"]*"' "${metainfo[0]}")" = "<release version=\"$version\""
    expect "the changelog's newest entry is $version" \
        test "$(zcat "$root$datadir/doc/ekgdemo/changelog.gz" | dpkg-parsechangelog -l- -SVersion)" = "$version"

    expect "the desktop entry is installed" test -f "$entry"
    [ -f "$entry" ] || return 0

    expect "the desktop entry validates cleanly" entry_validates "$entry"
    local path exec icon program
    path=$(entry_value "$entry" Path)
    exec=$(entry_value "$entry" Exec)
    icon=$(entry_value "$entry" Icon)
    program=${exec%% *}
    [ "${program:0:1}" = / ] || program=$bindir/$program

    expect "Path= is the data folder ($path)" test "$path" = "$datadir/ekgdemo"
    expect "Path= holds ding.wav" is_wav "$root$path/ding.wav"
    expect "Exec= names the installed program ($exec)" test "$program" = "$bindir/ekgdemo"
    expect "Icon= names the theme icon ($icon)" test -f "$root$datadir/icons/hicolor/scalable/apps/$icon.svg"
    expect "Keywords= is there" test -n "$(entry_value "$entry" Keywords)"
}

# True when no file under $1, even compressed, names /usr/local; prints those that do.
nowhere_usr_local() {
    ! find "$1" -type f -exec sh -c 'zcat -f "$1" | grep -qa /usr/local' _ {} \; -print | grep .
}

# Runs a step whose output is kept in $scratch/$1.log, shown only if it fails.
step() {
    "${@:2}" >"$scratch/$1.log" 2>&1 || { cat "$scratch/$1.log"; exit 1; }
}

echo "== configured without the test packages, for /usr/local"
tree=$scratch/build
step configure "$cmake" -S "$source" -B "$tree" -DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON \
    -DCMAKE_DISABLE_FIND_PACKAGE_benchmark=ON -DCMAKE_DISABLE_FIND_PACKAGE_X11=ON
expect "one line says the tests are left out" \
    test "$(grep -c 'Tests and benchmarks left out' "$scratch/configure.log")" -eq 1
# Everything else there but what Qt's private API links: left out again, or
# refused when the tests are asked for.
step configure-xkb "$cmake" -S "$source" -B "$scratch/build-xkb" -DCMAKE_DISABLE_FIND_PACKAGE_XKB=ON
expect "without XKB one line says the tests are left out" \
    grep -q 'Tests and benchmarks left out: libxkbcommon-dev not found' "$scratch/configure-xkb.log"
"$cmake" -S "$source" -B "$scratch/build-xkb" -DCMAKE_DISABLE_FIND_PACKAGE_XKB=ON -DBUILD_TESTING=ON \
    >"$scratch/asked.log" 2>&1 && asked=configured || asked=stopped
expect "and asking for the tests stops, naming it" \
    test $asked = stopped -a -n "$(grep 'need libxkbcommon-dev' "$scratch/asked.log")"
(cd "$tree" && "$cpack") >"$scratch/refused.log" 2>&1 && refused=no || refused=yes
expect "cpack refuses to make a .deb of it" test $refused = yes -a -z "$(find "$tree" -name '*.deb')"
expect "and says it needs a build for /usr" grep -q -- "-DCMAKE_INSTALL_PREFIX=/usr;" "$scratch/refused.log"

echo "== configured again for /usr, built and installed into a staging folder"
step reconfigure "$cmake" -S "$source" -B "$tree" -DCMAKE_INSTALL_PREFIX=/usr
step build "$cmake" --build "$tree" -j"$(nproc)"
step install env DESTDIR="$scratch/stage" "$cmake" --install "$tree"
check_tree "$scratch/stage"

echo "== Debian package"
step cpack "$cpack" -G DEB --config "$tree/CPackConfig.cmake" -B "$scratch/deb"
deb=$(echo "$scratch"/deb/*.deb)
dpkg-deb -I "$deb"
expect "the package is named ekgdemo" test "$(dpkg-deb -f "$deb" Package)" = ekgdemo
depends=$(dpkg-deb -f "$deb" Depends)
for package in libqt6widgets6 libpulse0 qt6-qpa-plugins fonts-liberation2; do
    expect "it depends on $package" grep -Eq "(^|, )$package( |,|$)" <<<"$depends"
done
expect "it recommends qt6-wayland" test "$(dpkg-deb -f "$deb" Recommends)" = qt6-wayland
expect "it names its homepage" test -n "$(dpkg-deb -f "$deb" Homepage)"
dpkg-deb -x "$deb" "$scratch/package"
check_tree "$scratch/package"
expect "no file in it names /usr/local" nowhere_usr_local "$scratch/package"
expect "lintian reports no error and no warning" lintian --fail-on error,warning "$deb"

echo "$passes passed, $failures failed"
[ "$failures" -eq 0 ]
