#!/usr/bin/env bash
# Installs every Debian package the project builds, tests and demonstrates with.
# Idempotent: packages already present are left alone; apt is only asked when
# something is missing.
set -euo pipefail

PACKAGES=(
  # build and tests
  build-essential cmake ninja-build pkg-config clang-format ccache
  clang libclang-rt-14-dev  # libFuzzer for the fuzz targets
  file dpkg-dev  # cpack's Debian package: dependencies from the libraries linked
  libgtest-dev libgmock-dev libbenchmark-dev
  # libraries the programs link
  libpipewire-0.3-dev libspa-0.2-dev
  libavahi-client-dev
  libcurl4-openssl-dev nlohmann-json3-dev
  libswscale-dev libavutil-dev
  libcairo2-dev libpango1.0-dev fonts-dejavu-core
  libsystemd-dev
  qt6-base-dev
  # programs run at run time
  ffmpeg
  pipewire pipewire-bin wireplumber dbus
  avahi-daemon avahi-utils
  # the test studio and the real clients the tests read with
  python3-gi gir1.2-gst-rtsp-server-1.0 gir1.2-gstreamer-1.0
  gstreamer1.0-tools gstreamer1.0-plugins-base gstreamer1.0-plugins-good
  gstreamer1.0-plugins-bad gstreamer1.0-plugins-ugly gstreamer1.0-libav
  gstreamer1.0-rtsp gstreamer1.0-pipewire
  curl procps psmisc iproute2 sox
  # a notification server on a virtual display, for the notification tests
  dunst xvfb
  # a tray host, pointer clicks and screenshots, for the tray application's tests
  trayer xdotool x11-utils x11-apps imagemagick
  # real clients of the camera and microphone: a browser that reaches PipeWire
  # cameras through the desktop's camera portal and sound through PipeWire's
  # PulseAudio server, and the V4L2 shim for programs that know only V4L2
  chromium xdg-desktop-portal xdg-desktop-portal-gtk pipewire-pulse pipewire-v4l2
)

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  echo "setup: all ${#PACKAGES[@]} packages present"
  exit 0
fi

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
echo "setup: installing ${#missing[@]} packages: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
echo "setup: done"
