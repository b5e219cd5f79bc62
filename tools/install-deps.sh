#!/bin/sh
# Installs what building (`build`), testing (`check`) or benchmarking
# (`bench`) needs on Debian 12, when it is missing, and says what it does:
# one line for each package set it installs and for each change to the
# system (the i386 architecture, the backports source, qemu's binfmt_misc
# registration). As root it acts; otherwise it prints the commands to run
# and fails. With -n it prints what it would do and changes nothing; with -q
# it says nothing when nothing is missing.
#
# Usage: install-deps.sh [-n] [-q] build|check|bench
set -eu
dry=false
quiet=false
while [ $# -gt 0 ]; do
  case "$1" in
    -n) dry=true ;;
    -q) quiet=true ;;
    *) break ;;
  esac
  shift
done
what=${1:-check}

build_packages="cmake make g++ g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix
binutils-mingw-w64-x86-64 binutils-mingw-w64-i686 googletest libgtest-dev libbenchmark-dev python3
python3-dev python3-setuptools"
check_packages="wine wine64 wine32:i386 clang-format clang-14 libclang-rt-14-dev"
# The Python package's tests and the Dask example (for Debian's
# /usr/bin/python3), and the library's example, which builds with pkg-config.
python_packages="python3-pybind11 python3-pytest python3-distributed python3-pip pkg-config"
bench_packages="hyperfine gnuplot-nox"
# The WebAssembly build (emscripten, which runs on Node) and, for the tests,
# the browser that runs the page.
web_packages="emscripten"
web_check_packages="chromium"
case "$what" in
  build | check | bench) ;;
  *) echo "usage: $0 [-n] [-q] build|check|bench" >&2; exit 2 ;;
esac

root=false
[ "$(id -u)" = 0 ] && root=true
$dry && root=true
acted=false       # whether anything was installed or configured
unmet=""          # for a user other than root: the packages to install
apt_updated=false

say() {
  echo "deps: $*"
  acted=true
}

# Runs a command quietly; its output shows only when it fails.
run() {
  if $dry; then
    echo "    $*"
    return 0
  fi
  log=$(mktemp)
  if "$@" >"$log" 2>&1; then
    rm -f "$log"
  else
    status=$?
    cat "$log" >&2
    rm -f "$log"
    echo "deps: failed: $*" >&2
    exit $status
  fi
}

apt_install() {
  if ! $apt_updated; then
    run apt-get update
    apt_updated=true
  fi
  run env DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "$@"
}

# The packages among the arguments that are not installed.
missing() {
  for p in "$@"; do
    status=$(dpkg-query -W -f='${db:Status-Status}' "$p" 2>/dev/null || true)
    [ "$status" = installed ] || printf ' %s' "$p"
  done
}

# install_set NAME PACKAGE...: installs the missing ones, with one line.
install_set() {
  name=$1
  shift
  # shellcheck disable=SC2046
  set -- $(missing "$@")
  [ $# -gt 0 ] || return 0
  if ! $root; then
    unmet="$unmet $*"
    return 0
  fi
  case " $* " in
    *:i386\ *)
      if ! dpkg --print-foreign-architectures | grep -qx i386; then
        say "adding the i386 architecture to dpkg (for Wine's 32-bit side)"
        run dpkg --add-architecture i386
        apt_updated=false
      fi
      ;;
  esac
  say "installing the $name packages: $*"
  apt_install "$@"
}

# shellcheck disable=SC2086
{
  install_set build $build_packages
  if [ "$what" != build ]; then
    install_set test $check_packages
    install_set Python $python_packages
  fi
  # Any Node with npm will do, Debian's or another, so they are looked for as
  # commands.
  web_node=""
  command -v node >/dev/null 2>&1 || web_node="nodejs"
  command -v npm >/dev/null 2>&1 || web_node="$web_node npm"
  install_set WebAssembly $web_packages $web_node
  [ "$what" = build ] || install_set browser $web_check_packages
  if [ "$what" = bench ]; then
    # Any Node with npm will do for the peer programs, Debian's or another,
    # so they are looked for as commands.
    node=""
    command -v node >/dev/null 2>&1 || node="nodejs"
    command -v npm >/dev/null 2>&1 || node="$node npm"
    install_set benchmark $bench_packages $node
  fi
}

if [ -n "$unmet" ]; then
  case "$unmet" in *:i386*) i386=true ;; *) i386=false ;; esac
  target=deps
  [ "$what" = bench ] && target=deps-bench
  echo "deps: missing packages:$unmet. As root, run: make $target; or:" >&2
  add_i386=""
  $i386 && add_i386="sudo dpkg --add-architecture i386 && "
  echo "  ${add_i386}sudo apt-get update && sudo apt-get install -y$unmet" >&2
  exit 1
fi

# 32-bit plug-in tests need 32-bit x86 Linux programs (Wine's 32-bit loader).
# Some virtual machines run 64-bit user code only; there qemu's user-mode
# emulator runs them, registered with binfmt_misc. Wine needs a qemu newer
# than Debian 12's own (7.2), which ignores its address-space reservations:
# the one from bookworm-backports.
setup_32bit_wine() {
  if /usr/lib/wine/wine --version >/dev/null 2>&1; then return 0; fi
  if ! $root; then
    echo "deps: this machine cannot run 32-bit x86 programs itself. As root, run: make deps" >&2
    echo "  (or install qemu-user-static from bookworm-backports and register it" >&2
    echo "  for i386 programs with binfmt_misc)" >&2
    exit 1
  fi
  qemu=/usr/bin/qemu-i386-static
  qemu_major=$($qemu --version 2>/dev/null | sed -n 's/^qemu-i386 version \([0-9]*\).*/\1/p')
  if [ "${qemu_major:-0}" -lt 8 ]; then
    if ! grep -rqs bookworm-backports /etc/apt/sources.list /etc/apt/sources.list.d; then
      say "adding the bookworm-backports package source (for a qemu that runs Wine)"
      line='deb http://deb.debian.org/debian bookworm-backports main'
      run sh -c "echo '$line' >/etc/apt/sources.list.d/bookworm-backports.list"
      apt_updated=false
    fi
    say "installing qemu-user-static from bookworm-backports (for 32-bit x86 programs)"
    apt_install -t bookworm-backports qemu-user-static
  fi
  binfmt=/proc/sys/fs/binfmt_misc
  if [ ! -f $binfmt/register ]; then
    say "mounting binfmt_misc on $binfmt"
    run mount -t binfmt_misc binfmt_misc $binfmt
  fi
  say "registering $qemu with binfmt_misc for 32-bit x86 programs"
  # Re-register, so the entry holds the emulator installed now (F opens it once).
  [ -f $binfmt/qemu-i386 ] && run sh -c "echo -1 >$binfmt/qemu-i386"
  magic='\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00'
  mask='\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'
  run sh -c "printf '%s' ':qemu-i386:M::$magic:$mask:$qemu:FP' >$binfmt/register"
  $dry || /usr/lib/wine/wine --version >/dev/null
}
[ "$what" = build ] || setup_32bit_wine

if [ "$what" = bench ]; then
  # The npm package the Node peers use, at the version of bench/package-lock.json.
  bench=$(dirname "$0")/../bench
  if [ ! -f "$bench/node_modules/.package-lock.json" ] ||
    [ "$bench/package-lock.json" -nt "$bench/node_modules/.package-lock.json" ]; then
    say "installing the benchmark's npm packages into bench/node_modules"
    run sh -c "cd '$bench' && npm ci --no-audit --no-fund"
  fi
fi

if [ "$what" != build ]; then
  # puppeteer-core for the page's tests, at the version of js/package-lock.json;
  # it drives Debian's Chromium and downloads no browser of its own.
  js=$(dirname "$0")/../js
  if [ ! -f "$js/node_modules/.package-lock.json" ] ||
    [ "$js/package-lock.json" -nt "$js/node_modules/.package-lock.json" ]; then
    say "installing the page tests' npm packages into js/node_modules"
    run sh -c "cd '$js' && PUPPETEER_SKIP_DOWNLOAD=1 npm ci --no-audit --no-fund"
  fi
fi

$acted || $quiet || echo "deps: everything for make $([ "$what" = build ] && echo || echo "$what ")is in place"
