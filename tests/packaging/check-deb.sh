#!/usr/bin/env bash
# Builds the Debian package from a finished build folder, unpacks it into a
# scratch root and checks what a user's system would get: the layout (only the
# usual folders under /usr), the dependencies dpkg-shlibdeps found, the desktop
# entry and AppStream metadata (validated by their own tools), the icons in
# their hicolor sizes, and that the installed tidewell-cli reports the build's
# version.
#   check-deb.sh <build folder> <project version>
set -euo pipefail

build=$1
version=$2
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
fail() { echo "check-deb: $*" >&2; exit 1; }

cpack -G DEB --config "$build/CPackConfig.cmake" -B "$scratch/out" >"$scratch/cpack.log" 2>&1 \
  || { cat "$scratch/cpack.log"; fail "cpack failed"; }
debs=("$scratch"/out/*.deb)
[[ ${#debs[@]} -eq 1 && -f ${debs[0]} ]] || fail "expected one .deb, got: ${debs[*]}"
deb=${debs[0]}

[[ $(dpkg-deb -f "$deb" Package) == tidewell ]] || fail "package name"
[[ $(dpkg-deb -f "$deb" Version) == "$version" ]] || fail "package version is not $version"
depends=$(dpkg-deb -f "$deb" Depends)
for lib in libc6 libqt6widgets6 libcurl4 libssl3; do
  [[ $depends == *"$lib"* ]] || fail "Depends lacks $lib: $depends"
done

# Every file under the usual folders, nothing elsewhere.
allowed='^\./usr/(bin/[^/]+|share/(applications|metainfo|doc/tidewell)/[^/]+|share/icons/hicolor/[0-9]+x[0-9]+/apps/tidewell\.png)$'
while read -r path; do
  [[ $path =~ $allowed ]] || fail "unexpected file in the package: $path"
done < <(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ {print $6}')

root="$scratch/root"
dpkg -x "$deb" "$root"
for program in tidewell tidewell-cli twpack tidewell-rendezvous; do
  [[ -x $root/usr/bin/$program ]] || fail "usr/bin/$program missing"
done
desktop=$root/usr/share/applications/org.tidewell.Tidewell.desktop
metainfo=$root/usr/share/metainfo/org.tidewell.Tidewell.metainfo.xml
[[ -f $desktop && -f $metainfo ]] || fail "desktop entry or metadata missing"
desktop-file-validate "$desktop" || fail "desktop entry does not validate"
appstreamcli validate --no-net --pedantic "$metainfo" || fail "AppStream metadata does not validate"
grep -q "version=\"$version\"" "$metainfo" || fail "metadata names another release than $version"

icon_name=$(sed -n 's/^Icon=//p' "$desktop")
for size in 16 32 48 64 128 256; do
  icon=$root/usr/share/icons/hicolor/${size}x${size}/apps/$icon_name.png
  [[ -f $icon ]] || fail "no ${size}x${size} icon"
  file "$icon" | grep -q "$size x $size" || fail "$icon is not ${size}x${size}"
done

got=$("$root/usr/bin/tidewell-cli" --version)
[[ $got == "tidewell-cli $version" ]] || fail "tidewell-cli --version printed '$got'"
echo "check-deb: $(basename "$deb") is complete ($(dpkg-deb -c "$deb" | wc -l) entries)"
