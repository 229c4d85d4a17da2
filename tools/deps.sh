#!/usr/bin/env bash
# Installs the Debian packages the kit needs to build, run and test; does
# nothing when they are all present already.
set -euo pipefail

pkgs=(
  cmake ninja-build g++ pkg-config
  libudev-dev libjpeg62-turbo-dev
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  umockdev libumockdev-dev v4l-utils
  avrdude  # boardflash's upload tests run the real one
  libturbojpeg0-dev libyuv-dev
  libmicrohttpd-dev nlohmann-json3-dev
  zlib1g-dev  # camctl snap's PNG files
  libavformat-dev libavcodec-dev libavutil-dev  # camctl record
  ffmpeg  # record's tests read its files with ffprobe and ffmpeg; the benchmark's reference
  chromium chromium-driver python3-selenium  # the page's browser test
  pybind11-dev python3-dev python3-numpy python3-pytest dh-python  # the Python module, its tests and package
  python3-opencv  # the Python benchmark measures against OpenCV's VideoCapture
)
# i686 cross build and its tests under qemu-i386 (never gcc-multilib: it removes the cross compilers)
pkgs+=(g++-i686-linux-gnu qemu-user libjpeg62-turbo-dev:i386)
# armhf cross build and its tests under plain qemu-arm
pkgs+=(g++-arm-linux-gnueabihf libstdc++6:armhf libudev-dev:armhf libjpeg62-turbo-dev:armhf
  libmicrohttpd-dev:armhf zlib1g-dev:armhf)
# ... and camctl record on the board
pkgs+=(libavformat-dev:armhf libavcodec-dev:armhf libavutil-dev:armhf)
# ... and the armhf Python module of the packages (the target's Python headers)
pkgs+=(libpython3-dev:armhf)
# ABI baselines of the libraries (abidw, abidiff)
pkgs+=(abigail-tools)
# Debian packages, built natively and cross, and their install test (tools/package-test.sh)
pkgs+=(debhelper dpkg-dev fakeroot lintian bash-completion pkgconf:armhf pkgconf:i386 avrdude)
pkgs+=(clang-14 libclang-rt-14-dev)  # libFuzzer targets (tools/reliability.sh)
pkgs+=(ustreamer)  # bench/serve measures camctl serve beside it
# The real-driver stage (tests/kernel): Debian's kernel under qemu, a busybox
# initramfs, the kernel's module dependencies; xz unpacks the kernel image.
pkgs+=(qemu-system-x86 busybox-static cpio kmod xz-utils)
# ... and Debian's 32-bit ARM kernel on qemu's virt board (its busybox,
# busybox-static:armhf, would replace the host's: fetch-kernel unpacks it into
# the kernel cache instead).
pkgs+=(qemu-system-arm)
pkgs+=("$@")

missing=()
for p in "${pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  # Target libraries of cross builds (pkg:arch) need dpkg to know their architecture.
  for p in "${missing[@]}"; do
    case "$p" in
      *:*) dpkg --print-foreign-architectures | grep -qx "${p##*:}" || dpkg --add-architecture "${p##*:}" ;;
    esac
  done
  apt-get update -q
  apt-get install -y --no-install-recommends "${missing[@]}"
fi
