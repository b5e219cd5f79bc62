#!/bin/sh
# Installs what installing the library and the tool (`install`), building
# (`build`), testing (`check`) or benchmarking (`bench`) needs on Debian 12,
# when it is missing, and says what it does: one line for each package set it
# installs and for each change to the system (the i386 architecture, the
# backports source, qemu's binfmt_misc registration). As root it acts;
# otherwise it prints the commands to run and fails. With -n it prints what
# it would do and changes nothing; with -q it says nothing when nothing is
# missing.
#
# 32-bit Wine (wine32:i386) alone may be missing without failing `check`: the
# i386 side of a Debian mirror can be out of step for hours while the amd64
# side installs fine. Then the reason goes to build/deps-missing.txt, where
# the 32-bit plug-in tests, skipped, and `make check`'s last lines show it;
# the file goes once wine32 is installed.
#
# Usage: install-deps.sh [-n] [-q] install|build|check|bench
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

# The library and the tool alone (make install: no tests, no cross compiler).
install_packages="cmake make g++"
build_packages="g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix binutils-mingw-w64-x86-64
binutils-mingw-w64-i686 googletest libgtest-dev libbenchmark-dev python3 python3-dev
python3-setuptools"
check_packages="wine wine64 clang-format clang-14 libclang-rt-14-dev"
# The Python package's tests and the Dask example (for Debian's
# /usr/bin/python3), and the library's example, which builds with pkg-config.
python_packages="python3-pytest python3-distributed python3-pip pkg-config"
bench_packages="hyperfine gnuplot-nox"
# The WebAssembly build (emscripten, which runs on Node) and, for the tests,
# the browser that runs the page.
web_packages="emscripten"
web_check_packages="chromium"
case "$what" in
  install | build | check | bench) ;;
  *) echo "usage: $0 [-n] [-q] install|build|check|bench" >&2; exit 2 ;;
esac
# apt-get update: how many times, and the seconds between two tries.
update_tries=${TOBBLE_APT_UPDATE_TRIES:-3}
update_pause=${TOBBLE_APT_UPDATE_PAUSE:-20}
top=$(cd "$(dirname "$0")/.." && pwd)
deps_missing=$top/build/deps-missing.txt

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

# Runs a command quietly, its output kept in $output; returns its status.
output=""
attempt() {
  if $dry; then
    echo "    $*"
    return 0
  fi
  status=0
  output=$("$@" 2>&1) || status=$?
  return $status
}

# Runs a command quietly; when it fails, shows its output and stops here.
run() {
  attempt "$@" && return 0
  status=$?
  printf '%s\n' "$output" >&2
  echo "deps: failed: $*" >&2
  exit $status
}

# apt-get update, tried again after a pause when it fails (a mirror in the
# middle of a sync serves index files of the wrong size for a while). When
# every try fails, the packages are installed from the lists apt has: most
# likely only some index failed, and what is installed next may not need it.
update_errors=""  # apt's errors from the last failed update
apt_update() {
  try=1
  while ! attempt apt-get update; do
    update_errors=$(printf '%s\n' "$output" | grep '^E:' || true)
    if [ "$try" -ge "$update_tries" ]; then
      printf '%s\n' "$update_errors" >&2
      echo "deps: apt-get update failed $try times; going on with the package lists apt has" >&2
      return 0
    fi
    printf '%s\n' "$update_errors" | head -n 1 >&2
    echo "deps: apt-get update failed; trying again in $update_pause seconds" >&2
    sleep "$update_pause"
    try=$((try + 1))
  done
  update_errors=""
}

# apt-get install, after an update; returns apt's status.
apt_try_install() {
  if ! $apt_updated; then
    apt_update
    apt_updated=true
  fi
  attempt env DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "$@"
}

apt_install() {
  apt_try_install "$@" && return 0
  status=$?
  printf '%s\n' "$output" >&2
  echo "deps: failed: apt-get install $*" >&2
  exit $status
}

# Notes why something the tests need is missing, for the tests that then
# skip and for make check's last lines.
record_missing() {
  $dry && return 0
  { mkdir -p "$(dirname "$deps_missing")" && printf '%s\n' "$@" >"$deps_missing"; } 2>/dev/null ||
    echo "deps: cannot write $deps_missing" >&2
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
  say "installing the $name packages: $*"
  apt_install "$@"
}

# 32-bit Wine, for the 32-bit plug-in's tests. When it cannot be installed,
# the reason is recorded and everything else goes on.
wine32_missing=false
install_wine32() {
  if [ -z "$(missing wine32:i386)" ]; then
    if [ -e "$deps_missing" ] && ! $dry; then rm -f "$deps_missing"; fi
    return 0
  fi
  wine32_missing=true
  if ! $root; then
    echo "deps: wine32:i386 is missing: the 32-bit plug-in tests will be skipped. As root, run:" \
      "make deps" >&2
    record_missing "wine32:i386 is not installed. As root, run: make deps; or:" \
      "  sudo dpkg --add-architecture i386 && sudo apt-get update && sudo apt-get install -y wine32:i386"
    return 0
  fi
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    say "adding the i386 architecture to dpkg (for Wine's 32-bit side)"
    run dpkg --add-architecture i386
    apt_updated=false
  fi
  say "installing 32-bit Wine: wine32:i386"
  if apt_try_install wine32:i386; then
    wine32_missing=false
    if [ -e "$deps_missing" ] && ! $dry; then rm -f "$deps_missing"; fi
    return 0
  fi
  # apt's error lines, and the first few packages it could not resolve.
  install_errors=$(
    printf '%s\n' "$output" | grep '^E:'
    printf '%s\n' "$output" | grep -m 4 'Depends:'
  )
  printf '%s\n' "$install_errors" >&2
  echo "deps: wine32:i386 could not be installed: the 32-bit plug-in tests will be skipped" \
    "(the reason is in build/deps-missing.txt)" >&2
  if [ -n "$update_errors" ]; then
    record_missing "wine32:i386 could not be installed ($(date -u '+%Y-%m-%d %H:%M UTC'))." \
      "apt-get update failed $update_tries times:" "$update_errors" \
      "apt-get install wine32:i386 failed:" "$install_errors"
  else
    record_missing "wine32:i386 could not be installed ($(date -u '+%Y-%m-%d %H:%M UTC'))." \
      "apt-get install wine32:i386 failed:" "$install_errors"
  fi
}

# shellcheck disable=SC2086
{
  install_set install $install_packages
  if [ "$what" != install ]; then
    install_set build $build_packages
  fi
  if [ "$what" = check ] || [ "$what" = bench ]; then
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
  case "$what" in
    install | build | bench) target=deps-$what ;;
    *) target=deps ;;
  esac
  echo "deps: missing packages:$unmet. As root, run: make $target; or:" >&2
  echo "  sudo apt-get update && sudo apt-get install -y$unmet" >&2
  exit 1
fi

# 32-bit plug-in tests need 32-bit x86 Linux programs (Wine's 32-bit loader).
# Some virtual machines run 64-bit user code only; there qemu's user-mode
# emulator runs them, registered with binfmt_misc. Wine needs a qemu newer
# than Debian 12's own (7.2), which ignores its address-space reservations:
# the one from bookworm-backports.
setup_32bit_wine() {
  if /usr/lib/wine/wine --version >/dev/null 2>&1; then return 0; fi
  # Without 32-bit Wine there is nothing to run (build/deps-missing.txt says why).
  $wine32_missing && return 0
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
  # The entry has this project's own name: any other registration for i386
  # programs (a qemu-i386 of the system's, say) is left as it is. The kernel
  # tries the newest entry first, so this one is used. Our own entry from an
  # earlier run is replaced, so that it holds the emulator installed now (F
  # opens it once).
  entry=tobble-qemu-i386
  say "registering $qemu with binfmt_misc for 32-bit x86 programs (entry $entry)"
  if [ -f $binfmt/$entry ]; then run sh -c "echo -1 >$binfmt/$entry"; fi
  magic='\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00'
  mask='\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'
  run sh -c "printf '%s' ':$entry:M::$magic:$mask:$qemu:FP' >$binfmt/register"
  $dry || /usr/lib/wine/wine --version >/dev/null
}
if [ "$what" = check ] || [ "$what" = bench ]; then
  install_wine32
  setup_32bit_wine
fi

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

if $wine32_missing; then
  echo "deps: everything for make $what is in place but 32-bit Wine (wine32:i386):" \
    "the 32-bit plug-in tests will be skipped" >&2
elif ! $acted && ! $quiet; then
  echo "deps: everything for make $([ "$what" = build ] && echo || echo "$what ")is in place"
fi
