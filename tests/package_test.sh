#!/usr/bin/env bash
# The Debian package packed from the built tree (nothing is rebuilt): its name, its files, its
# dependencies, and its programs answering from the unpacked tree. Skipped (77) without dpkg.
# Usage: package_test.sh BUILD_DIR VERSION
set -euo pipefail
build="$1"
version="$2"
for tool in dpkg-deb dpkg-shlibdeps cpack; do
  command -v "$tool" >/dev/null || { echo "SKIP: $tool is missing"; exit 77; }
done
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
(cd "$build" && cpack -G DEB -B "$out" >"$out/cpack.log" 2>&1) || { cat "$out/cpack.log"; exit 1; }
deb="$out/kivo_${version}_$(dpkg --print-architecture).deb"
[ -f "$deb" ] || { echo "FAIL: no $deb"; ls "$out"; exit 1; }

fail() { echo "FAIL: $*"; exit 1; }
files=$(dpkg-deb -c "$deb" | awk '{print $6}')
for f in ./usr/bin/kivo ./usr/bin/kivo-run ./usr/share/applications/kivo.desktop \
         ./usr/share/icons/hicolor/scalable/apps/kivo.svg ./usr/share/mime/packages/kivo.xml \
         ./usr/share/man/man6/kivo.6.gz ./usr/share/man/man6/kivo-run.6.gz \
         ./usr/share/metainfo/io.github.kivo.Kivo.metainfo.xml; do
  grep -qx -- "$f" <<<"$files" || fail "$f is not in the package"
done
programs=$(grep -c '^\./usr/bin/.' <<<"$files")
[ "$programs" -eq 2 ] || fail "$programs programs in /usr/bin, expected kivo and kivo-run"

depends=$(dpkg-deb -f "$deb" Depends)
names=$(sed 's/ ([^)]*)//g; s/, */\n/g' <<<"$depends")
for lib in libc6 libstdc++6 libqt6widgets6 libqt6gui6 libqt6core6 libsdl2-2.0-0 libpng16-16; do
  grep -Fqx -- "$lib" <<<"$names" || fail "Depends lacks $lib: $depends"
done
[ "$(dpkg-deb -f "$deb" Package Version | tr '\n' ' ')" = "Package: kivo Version: $version " ] ||
  fail "control: $(dpkg-deb -f "$deb" Package Version)"

dpkg-deb -x "$deb" "$out/root"
[ "$("$out/root/usr/bin/kivo-run" --version)" = "kivo-run $version" ] || fail "kivo-run --version"
[ "$(env -u DISPLAY -u WAYLAND_DISPLAY "$out/root/usr/bin/kivo" --version)" = "kivo $version" ] ||
  fail "kivo --version"
echo "ok: $(basename "$deb"), Depends: $depends"
