#!/bin/bash
# Install into a prefix and make the Debian package from a finished build.
# Usage: package_test.sh BUILD_DIR  (exit 77: a tool is missing)
BUILD=$1
. "$(dirname "$0")/e2e_lib.sh"
need cmake cpack dpkg-deb dpkg-shlibdeps desktop-file-validate
PREFIX=$WORK/prefix
cmake --install "$BUILD" --prefix "$PREFIX" > "$LOG" 2>&1 || fail "cmake --install"
ls "$PREFIX"/bin/{zentu,zentu-play,zentu-decode} "$PREFIX"/share/icons/hicolor/scalable/apps/zentu.svg > /dev/null || fail "not installed"
desktop-file-validate "$PREFIX/share/applications/zentu.desktop" || fail "desktop entry not valid"
grep -qx 'Categories=AudioVideo;Audio;Player;' "$PREFIX/share/applications/zentu.desktop" || fail "categories"

cpack --config "$BUILD/CPackConfig.cmake" -G DEB -B "$WORK/package" > "$LOG" 2>&1 || fail "cpack"
DEB=$(ls "$WORK"/package/zentu_*.deb) || fail "no package"
dpkg-deb -c "$DEB" > "$WORK/contents" && grep -q ' \./usr/bin/zentu$' "$WORK/contents" || fail "no usr/bin/zentu"
DEPENDS=$(dpkg-deb -f "$DEB" Depends)
for library in libqt6core6 libqt6gui6 libqt6widgets6 libqt6dbus6 libasound2; do
  grep -q "$library" <<<"$DEPENDS" || fail "$library missing from Depends: $DEPENDS"
done
grep -q 'qt6-wayland' <<<"$(dpkg-deb -f "$DEB" Recommends)" || fail "qt6-wayland not recommended"
echo "install and package: passed"
