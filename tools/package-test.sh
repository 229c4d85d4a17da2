#!/usr/bin/env bash
# Builds the Debian packages from a copy of the tree (amd64 natively, armhf and
# i386 cross), runs lintian on them, then installs the amd64 ones with apt,
# tries them from their installed paths only, purges them and checks that
# nothing of them is left. The armhf and i386 packages are checked for their
# contents, architecture and the ELF class and machine of their binaries.
#
# It installs and removes packages as root, so it runs only as root (the CI
# machine, a container) and refuses when camkit packages are installed already.
#   bash tools/package-test.sh [ARCH...]   (default: amd64 armhf i386)
set -euo pipefail
cd "$(dirname "$0")/.."
src=$(pwd)
archs=("$@")
[ ${#archs[@]} -gt 0 ] || archs=(amd64 armhf i386)

ours=(libcamapi1 libcamapi-dev libdovivuzo1 libdovivuzo-dev camctl boardflash camkit-sim python3-camkit)
if [ "$(id -u)" != 0 ]; then
  echo "package-test: skipped, it installs packages with apt and needs root"
  exit 0
fi
for p in "${ours[@]}"; do
  if dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'ok installed'; then
    echo "package-test: skipped, $p is installed already and the test would purge it"
    exit 0
  fi
done

work=$(mktemp -d "${TMPDIR:-/tmp}/camkit-packages.XXXXXX")
installed=
cleanup() {
  # A failed check still takes the packages off the machine again.
  if [ -n "$installed" ]; then
    DEBIAN_FRONTEND=noninteractive apt-get purge -y -o DPkg::Lock::Timeout=600 $installed >/dev/null 2>&1 || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT
times=()
fail() { echo "package-test: $*" >&2; exit 1; }

# The build runs on a copy, so the checkout stays as it was (build folders and
# .debs land in $work only).
mkdir "$work/camkit"
git ls-files -z --cached --others --exclude-standard | tar --null -T - -cf - | tar -C "$work/camkit" -xf -

for arch in "${archs[@]}"; do
  echo "=== packages for $arch"
  start=$SECONDS
  rm -rf "$work/build-$arch" && mkdir "$work/build-$arch"
  cp -a "$work/camkit" "$work/build-$arch/camkit"
  opts=(-b -us -uc)
  profiles=nocheck
  if [ "$arch" != "$(dpkg --print-architecture)" ]; then
    opts+=(-a "$arch")
    profiles="cross,nocheck"
  fi
  # The tests ran in the presets already; the packages are built without them.
  (cd "$work/build-$arch/camkit" &&
    DEB_BUILD_OPTIONS="nocheck parallel=$(nproc)" DEB_BUILD_PROFILES="${profiles/,/ }" \
      dpkg-buildpackage "${opts[@]}" >"$work/build-$arch.log" 2>&1) ||
    { tail -40 "$work/build-$arch.log"; fail "dpkg-buildpackage for $arch failed"; }
  times+=("build $arch $((SECONDS - start)) s")
done

echo "=== lintian"
start=$SECONDS
# Errors and warnings both fail: every warning that stays has an override.
lintian --fail-on error,warning --tag-display-limit 0 "$work"/build-*/*.changes
times+=("lintian $((SECONDS - start)) s")

# Each package's key files, checked in every architecture's build.
declare -A expect=(
  [libcamapi1]='usr/lib/MA/libcamapi.so.1'
  [libcamapi-dev]='usr/include/camapi.h usr/lib/MA/libcamapi.so usr/lib/MA/pkgconfig/camapi.pc'
  [libdovivuzo1]='usr/lib/MA/libdovivuzo.so.1'
  [libdovivuzo-dev]='usr/include/dovivuzo.h usr/lib/MA/libdovivuzo.so usr/lib/MA/pkgconfig/dovivuzo.pc'
  [camctl]='usr/bin/camctl usr/share/man/man1/camctl.1.gz usr/share/bash-completion/completions/camctl lib/systemd/system/camctl-serve.service etc/default/camctl-serve'
  [boardflash]='usr/bin/boardflash usr/share/man/man1/boardflash.1.gz'
  [python3-camkit]='usr/lib/python3/dist-packages/camkit/__init__.py usr/lib/python3/dist-packages/camkit/__init__.pyi usr/lib/python3/dist-packages/camkit/_native.cpython-PY-MA.so'
  [camkit-sim]='usr/bin/simcam-run usr/bin/simcam-udev usr/lib/MA/simcam/libsimcam.so usr/share/simcam/default.umockdev usr/share/man/man1/simcam-run.1.gz'
)
declare -A shipped=(
  [amd64]='libcamapi1 libcamapi-dev libdovivuzo1 libdovivuzo-dev camctl boardflash camkit-sim python3-camkit'
  [armhf]='libcamapi1 libcamapi-dev camctl boardflash camkit-sim python3-camkit'
  [i386]='libdovivuzo1 libdovivuzo-dev'
)
declare -A elf=([amd64]='ELF64 X86-64' [armhf]='ELF32 ARM' [i386]='ELF32 Intel 80386')

py=$(/usr/bin/python3 -c 'import sys; print("%d%d" % sys.version_info[:2])')
for arch in "${archs[@]}"; do
  echo "=== contents of the $arch packages"
  ma=$(dpkg-architecture -a "$arch" -qDEB_HOST_MULTIARCH 2>/dev/null)
  dir="$work/build-$arch"
  built=$(cd "$dir" && ls ./*.deb | grep -v -- -dbgsym_ | sed -E 's|^\./([^_]+)_.*|\1|' | sort | tr '\n' ' ')
  want=$(printf '%s\n' ${shipped[$arch]} | sort | tr '\n' ' ')
  [ "$built" = "$want" ] || fail "$arch: built '$built', expected '$want'"
  class=${elf[$arch]%% *} machine=${elf[$arch]#* }
  for p in ${shipped[$arch]}; do
    deb=$(ls "$dir/${p}_"*"_$arch.deb")
    [ "$(dpkg-deb -f "$deb" Architecture)" = "$arch" ] || fail "$deb: not Architecture $arch"
    # A build that silently lost libavformat would ship camctl without record.
    [ "$p" != camctl ] || dpkg-deb -f "$deb" Depends | grep -q libavformat ||
      fail "$deb: camctl built without recording (libavformat-dev:$arch missing?)"
    dpkg-deb -c "$deb" | awk '{print $6}' | sed 's|^\./||' >"$work/list"
    # The extension's name carries the Python version and the target's tag
    # (cpython-311-arm-linux-gnueabihf); the build machine's would mean the
    # cross build asked the wrong Python.
    f=${expect[$p]//MA/$ma}
    for f in ${f//PY/$py}; do
      grep -qx "$f" "$work/list" || fail "$deb lacks $f"
    done
    rm -rf "$work/x" && dpkg-deb -x "$deb" "$work/x"
    while IFS= read -r -d '' f; do
      head -c 4 "$f" | grep -q $'^\x7fELF' || continue
      h=$(readelf -h "$f")
      grep -q "Class: *$class" <<<"$h" && grep -q "Machine:.*$machine" <<<"$h" ||
        fail "$deb: ${f#"$work/x"} is not $class $machine"
    done < <(find "$work/x" -type f -print0)
  done
done

native=$(dpkg --print-architecture)
if [[ " ${archs[*]} " != *" $native "* ]]; then
  printf '  %s\n' "${times[@]}"
  exit 0
fi

echo "=== install the $native packages"
start=$SECONDS
debs=()
for p in ${shipped[$native]}; do debs+=("$(ls "$work/build-$native/${p}_"*"_$native.deb")"); done
DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends -o DPkg::Lock::Timeout=600 "${debs[@]}" >"$work/apt.log" 2>&1 ||
  { cat "$work/apt.log"; fail "apt-get install failed"; }
installed=${shipped[$native]}
for p in $installed; do dpkg -L "$p"; done | grep -vx '/\.' | sort -u >"$work/installed"

echo "=== try them from the installed paths"
# Only the installed programs: no build tree on PATH or in the loader's path.
(
  cd "$work"
  export PATH=/usr/sbin:/usr/bin:/sbin:/bin
  unset LD_LIBRARY_PATH LD_PRELOAD PKG_CONFIG_PATH
  [ "$(command -v camctl)" = /usr/bin/camctl ] || fail "camctl is not /usr/bin/camctl"
  camctl --help >/dev/null
  [ "$(camctl --version)" = "camctl $(dpkg-query -W -f='${Version}' camctl)" ] || fail "camctl --version"
  [ "$(boardflash --version)" = "boardflash $(dpkg-query -W -f='${Version}' boardflash)" ] || fail "boardflash --version"
  simcam-run -- camctl list | grep -q /dev/video || fail "simcam-run -- camctl list shows no camera"
  mkdir snaps
  simcam-run -- camctl -q snap -n 2 -o snaps/frame-%d.bmp
  [ "$(head -c 2 snaps/frame-1.bmp)" = BM ] || fail "camctl snap wrote no BMP"
  # The Python module from dist-packages, with Debian's interpreter.
  simcam-run -- python3 -c 'import camkit, sys
assert camkit.__file__.startswith("/usr/lib/python3/dist-packages/"), camkit.__file__
assert [c.node for c in camkit.cameras()] == ["/dev/video0"]
with camkit.Camera() as cam:
    cam.capture().save("snaps/py.png")
    assert cam.capture_rgb().shape == (cam.size[1], cam.size[0], 3)' || fail "python3-camkit does not capture"
  [ "$(head -c 4 snaps/py.png | tail -c 3)" = PNG ] || fail "python3-camkit wrote no PNG"
  cat >prog.cpp <<'CPP'
#include <camapi.h>
#include <cstdio>
int main() {
    std::printf("%d\n", cam_get_device_num());
    return 0;
}
CPP
  # shellcheck disable=SC2046
  g++ -std=c++17 prog.cpp -o prog $(pkg-config --cflags --libs camapi)
  ./prog >/dev/null
  [ "$(readlink -f "$(ldd ./prog | awk '/libcamapi/ {print $3}')")" = \
    "$(readlink -f "/usr/lib/$(dpkg-architecture -qDEB_HOST_MULTIARCH)/libcamapi.so.1")" ] ||
    fail "prog is not linked with the installed libcamapi"
  set +e
  boardflash >/dev/null 2>boardflash.err
  rc=$?
  set -e
  [ $rc = 1 ] && grep -q usage boardflash.err || fail "boardflash without arguments: exit $rc, expected usage and 1"
  if command -v systemd-analyze >/dev/null; then
    systemd-analyze verify /lib/systemd/system/camctl-serve.service
  fi
  bash -c 'source /usr/share/bash-completion/bash_completion &&
           source /usr/share/bash-completion/completions/camctl &&
           COMP_WORDS=(camctl sn) COMP_CWORD=1 COMP_LINE="camctl sn" COMP_POINT=9 && _camctl &&
           [ "${COMPREPLY[*]}" = snap ]' || fail "bash completion does not complete the command"
) || exit 1

echo "=== purge and look for what is left"
DEBIAN_FRONTEND=noninteractive apt-get purge -y -o DPkg::Lock::Timeout=600 ${shipped[$native]} >>"$work/apt.log" 2>&1 ||
  { cat "$work/apt.log"; fail "apt-get purge failed"; }
left=()
while IFS= read -r f; do
  if [ -d "$f" ]; then
    # A folder may stay only when another package still owns it.
    dpkg -S "$f" >/dev/null 2>&1 || left+=("$f")
  elif [ -e "$f" ] || [ -L "$f" ]; then
    left+=("$f")
  fi
done <"$work/installed"
installed=
[ ${#left[@]} = 0 ] || fail "left after purge: ${left[*]}"
times+=("install, try, purge $((SECONDS - start)) s")

echo "=== time per step"
printf '  %s\n' "${times[@]}"
