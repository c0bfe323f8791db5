#!/usr/bin/env bash
# tests/package.sh SOURCE_DIR OUT_DIR VERSION
# Builds the Debian package with scripts/package, unpacks it and checks what
# an installation relies on: the programs run from where the package puts
# them, the viewer looks for its helper where the package puts it, the desktop
# and the shell find their files, the README and the guides come with every
# link whole and the manual pages point to them, and Depends names the
# libraries' packages.
set -uo pipefail
source_dir=$1 out=$2 version=$3

"$source_dir/scripts/package" "$out" >"$out.log" 2>&1 || {
    cat "$out.log"
    echo "FAIL: scripts/package"
    exit 1
}
deb=$(echo "$out"/brindlequerytool_"$version"_*.deb)
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
dpkg-deb -x "$deb" "$root/tree" && dpkg-deb -e "$deb" "$root/control" || exit 1
tree=$root/tree
depends=$(dpkg-deb -f "$deb" Depends)
id=example.corvelle.brindlequerytool
probe=$(echo "$tree"/usr/lib/*/brindlequerytool/brindle-msi-probe)
probe_from_bin=$(realpath -m --relative-to="$tree/usr/bin" "$probe")

failures=0
check() {
    local what=$1 output
    shift
    if ! output=$(env -u LD_LIBRARY_PATH "$@" 2>&1); then
        printf 'FAIL: %s\n%s\n' "$what" "$output"
        failures=$((failures + 1))
    fi
}
check "brindle-query --version prints the version" \
    bash -c '[ "$("$1" --version)" = "brindle-query $2" ]' - "$tree/usr/bin/brindle-query" "$version"
check "the viewer answers --help and --version without a display" \
    bash -c 'help=$(env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "$1" --help) &&
        grep -qx "Usage: BrindleQueryTool \[FILE\] \[--history DATABASE\]" <<<"$help" &&
        [ "$(env -u DISPLAY QT_QPA_PLATFORM=xcb "$1" -v)" = "BrindleQueryTool $2" ]' - \
    "$tree/usr/bin/BrindleQueryTool" "$version"
check "the helper runs" bash -c '"$1" /nonexistent | grep -qE "^[0-9]+ [0-9]+ v:"' - "$probe"
check "the viewer looks for the helper where it is" \
    bash -c 'strings -el "$1" | grep -qxF "/$2"' - "$tree/usr/bin/BrindleQueryTool" "$probe_from_bin"
check "the version file is a conffile holding the version" \
    bash -c 'grep -qx "$1" "$2/conffiles" && grep -qx "Version=$3" "$4$1"' - \
    /etc/xdg/Corvelle/BrindleQueryTool.conf "$root/control" "$version" "$tree"
check "desktop entry valid, naming the icon" \
    bash -c 'desktop-file-validate "$1" && grep -qx "Icon=$2" "$1"' - \
    "$tree/usr/share/applications/$id.desktop" "$id"
check "icon" test -s "$tree/usr/share/icons/hicolor/scalable/apps/$id.svg"
check "metainfo valid, of this release" \
    bash -c 'appstreamcli validate --no-net "$1" && grep -q "<release version=\"$2\"" "$1"' - \
    "$tree/usr/share/metainfo/$id.metainfo.xml" "$version"
check "manual pages" gzip -t "$tree"/usr/share/man/man1/{brindle-query,BrindleQueryTool}.1.gz
check "the README and the guides, every link resolving" \
    "$source_dir/tests/doclinks.sh" "$tree/usr/share/doc/brindlequerytool"
check "the manual pages point to guides the package holds" \
    bash -c 'for page in "$1"/usr/share/man/man1/*.1.gz; do
            guides=$(zcat "$page" | grep -o "/usr/share/doc/brindlequerytool/[^ ]*\.md") || exit 1
            for guide in $guides; do test -f "$1$guide" || exit 1; done
        done' - "$tree"
check "bash completion" \
    bash -c 'source "$1" && complete -p brindle-query' - \
    "$tree/usr/share/bash-completion/completions/brindle-query"
for package in libqt5widgets5 libquazip1-qt5-1 libmsi0 libqt5svg5 libsqlite3-0; do
    check "Depends names $package" grep -qE "(^|, )$package( |,|$)" <<<"$depends"
done
exit $((failures > 0))
