#!/bin/sh
# Installs what building (`build`), testing (`check`) or benchmarking
# (`bench`) needs on Debian 12, when it is missing. As root it installs;
# otherwise it prints the command to run and fails.
set -eu
what=${1:-check}

build_packages="cmake make g++ g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix
binutils-mingw-w64-x86-64 binutils-mingw-w64-i686 googletest libgtest-dev libbenchmark-dev python3
python3-dev python3-setuptools python3-pip"
check_packages="wine wine64 wine32:i386 clang-format clang-14 libclang-rt-14-dev
python3-pytest python3-distributed"
bench_packages="hyperfine gnuplot-nox"
case "$what" in
  build) packages=$build_packages ;;
  check) packages="$build_packages $check_packages" ;;
  bench) packages="$build_packages $check_packages $bench_packages" ;;
  *) echo "usage: $0 build|check|bench" >&2; exit 2 ;;
esac
# Any Node with npm will do for the peer programs, Debian's or another, so
# they are looked for as commands.
if [ "$what" = bench ]; then
  command -v node >/dev/null 2>&1 || packages="$packages nodejs"
  command -v npm >/dev/null 2>&1 || packages="$packages npm"
fi

missing=""
for p in $packages; do
  status=$(dpkg-query -W -f='${db:Status-Status}' "$p" 2>/dev/null || true)
  [ "$status" = installed ] || missing="$missing $p"
done

root=false
[ "$(id -u)" = 0 ] && root=true

if [ -n "$missing" ]; then
  case "$missing" in *:i386*) i386=true ;; *) i386=false ;; esac
  if ! $root; then
    echo "Missing packages:$missing. Install them with:" >&2
    $i386 && printf 'sudo dpkg --add-architecture i386 && ' >&2
    echo "sudo apt-get update && sudo apt-get install -y$missing" >&2
    exit 1
  fi
  echo "Installing:$missing"
  $i386 && dpkg --add-architecture i386
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends $missing
fi

[ "$what" = build ] && exit 0

# 32-bit plug-in tests need 32-bit x86 Linux programs (Wine's 32-bit loader).
# Some virtual machines run 64-bit user code only; there qemu's user-mode
# emulator runs them, registered with binfmt_misc. Wine needs a qemu newer
# than Debian 12's own (7.2), which ignores its address-space reservations:
# the one from bookworm-backports.
setup_32bit_wine() {
  if /usr/lib/wine/wine --version >/dev/null 2>&1; then return 0; fi
  echo "This machine cannot run 32-bit x86 programs itself; running them under qemu-i386."
  if ! $root; then
    echo "As root, run: make deps (or install qemu-user-static from bookworm-backports" >&2
    echo "and register it for i386 programs with binfmt_misc)." >&2
    exit 1
  fi
  qemu=/usr/bin/qemu-i386-static
  qemu_major=$($qemu --version 2>/dev/null | sed -n 's/^qemu-i386 version \([0-9]*\).*/\1/p')
  if [ "${qemu_major:-0}" -lt 8 ]; then
    if ! grep -rqs bookworm-backports /etc/apt/sources.list /etc/apt/sources.list.d; then
      echo 'deb http://deb.debian.org/debian bookworm-backports main' \
        >/etc/apt/sources.list.d/bookworm-backports.list
    fi
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
      -t bookworm-backports qemu-user-static
  fi
  binfmt=/proc/sys/fs/binfmt_misc
  [ -f $binfmt/register ] || mount -t binfmt_misc binfmt_misc $binfmt
  # Re-register, so the entry holds the emulator installed now (F opens it once).
  [ -f $binfmt/qemu-i386 ] && echo -1 >$binfmt/qemu-i386
  printf '%s' ':qemu-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:'"$qemu"':FP' \
    >$binfmt/register
  /usr/lib/wine/wine --version >/dev/null
}
setup_32bit_wine

[ "$what" = bench ] || exit 0
# The npm package the Node peers use, at the version of bench/package-lock.json.
bench=$(dirname "$0")/../bench
if [ ! -f "$bench/node_modules/.package-lock.json" ] ||
  [ "$bench/package-lock.json" -nt "$bench/node_modules/.package-lock.json" ]; then
  (cd "$bench" && npm ci --no-audit --no-fund)
fi
