#!/bin/sh
# Installs what Zentu needs to build, test and run on Debian 12 (uses sudo when not root);
# with --aarch64 also what the aarch64 cross build (preset aarch64) needs.
set -eu
SUDO=""
if [ "$(id -u)" != 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
APT="$SUDO apt-get -o DPkg::Lock::Timeout=300 -y -q"
$APT update
# build
$APT install --no-upgrade g++ clang cmake ninja-build pkg-config libgtest-dev libbenchmark-dev \
    qt6-base-dev libicu-dev libasound2-dev libwayland-dev wayland-protocols
# tests: encoders, taggers and a peer decoder for fixtures made at test time, a headless X
# server with a tray host, a Japanese font, and a sound server the tests start themselves
# (with ALSA's "pulse" device)
$APT install --no-upgrade lame twolame mpg123 sox eyed3 python3-mutagen id3v2 ffmpeg \
    xvfb xauth x11-utils xdotool trayer fonts-ipafont-gothic pulseaudio pulseaudio-utils libasound2-plugins
# the PipeWire sound-server test: the server, its session manager and PulseAudio service; its
# ALSA device comes from pipewire-alsa, which conflicts with pulseaudio, so that package is only
# unpacked into a folder of its own, which the test names in its ~/.asoundrc
$APT install --no-upgrade --no-install-recommends pipewire pipewire-bin wireplumber pipewire-pulse
PIPEWIRE_ALSA=/usr/local/lib/zentu-tests/pipewire-alsa
if [ ! -e "$PIPEWIRE_ALSA/usr/share/alsa/alsa.conf.d/50-pipewire.conf" ]; then
    download=$(mktemp -d)
    chmod 755 "$download"  # apt's download user writes here
    (cd "$download" && $SUDO apt-get -q download pipewire-alsa)
    $SUDO mkdir -p "$PIPEWIRE_ALSA"
    $SUDO dpkg-deb -x "$download"/pipewire-alsa_*.deb "$PIPEWIRE_ALSA"
    $SUDO rm -rf "$download"
fi
# the media-controls test (a private session bus, playerctl) and the install and package test
$APT install --no-upgrade dbus-daemon dbus-bin playerctl desktop-file-utils dpkg-dev
# the StatusNotifier test's watcher and host (tests/e2e/sni_host.py)
$APT install --no-upgrade python3-dbus python3-gi
# the desktop tests: Qt's wayland platform, headless sway with waybar's tray (and a window to
# cover ours), a headless GNOME Shell with the AppIndicator extension
$APT install --no-upgrade --no-install-recommends qt6-wayland sway waybar jq weston xwayland \
    gnome-shell gnome-shell-extension-appindicator
# the aarch64 cross build, on request: the cross compiler, qemu-user to run its tests, and the
# libraries it links from the arm64 architecture
if [ "${1:-}" = --aarch64 ]; then
    $SUDO dpkg --add-architecture arm64
    $APT update
    $APT install --no-upgrade g++-aarch64-linux-gnu qemu-user-static libgtest-dev:arm64 libasound2-dev:arm64
fi
