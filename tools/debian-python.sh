#!/usr/bin/env bash
# A Debian unstable (sid) chroot with Debian's packages of a Python newer than
# the machine has (python3.X, -dev, -venv), the compilers and CMake, kept in
# a cache outside the clone and reused:
#
#   tools/debian-python.sh                 make the chroot (once); prints its path
#   tools/debian-python.sh --print-path    the chroot's path, or nothing and
#                                          exit 1; makes nothing
#   tools/debian-python.sh run CMD ARG...  CMD run inside the chroot, in the
#                                          current directory, which is mounted
#                                          there at the same path
#
#   --python 3.X      the interpreter (default 3.14)
#   --experimental    it comes from Debian's experimental release (a beta)
#
# The chroot is $CACHE/debian-sid-python3.X-<key>, where <key> is a hash of
# the release, the package list and the apt settings below, so a change to
# any of them makes a new one.  CACHE is $TALVORA_CACHE, by default
# ~/.cache/talvora.  A complete chroot carries a stamp file (.installed),
# written last: a second run finds it and returns at once, with no network.
# A directory without the stamp is what a failed or interrupted run left, and
# is made again from scratch.  Remove a chroot to have it made anew with
# newer packages.
#
# The suite on a beta, e.g. Python 3.15 from experimental:
#   tools/debian-python.sh --python 3.15 --experimental run \
#     make test PYTHON=python3.15 VENV=.venv315-sid NATIVE_DIR=build/native-sid
#
# Needs root (debootstrap, chroot, mounts).  The mounts (/proc, /dev, /sys,
# the working directory) live in a mount namespace of their own and vanish
# with the command.  The host's CA bundle and pip configuration are copied in
# before each command, so that pip reaches PyPI as it does on the host.
#
# Environment: DEBIAN_MIRROR (default http://deb.debian.org/debian).
set -euo pipefail

version=3.14
experimental=0
print_path=0
while [ $# -gt 0 ]; do
  case "$1" in
    --python) version=$2; shift 2 ;;
    --experimental) experimental=1; shift ;;
    --print-path) print_path=1; shift ;;
    run) break ;;
    -h | --help) sed -n '2,/^set -e/{/^set -e/d;s/^# \{0,1\}//;p}' "$0"; exit 0 ;;
    *) echo "$0: unknown argument: $1" >&2; exit 2 ;;
  esac
done

CACHE=${TALVORA_CACHE:-$HOME/.cache/talvora}
MIRROR=${DEBIAN_MIRROR:-http://deb.debian.org/debian}
py=python$version
packages=("$py" "$py-dev" "$py-venv" g++ make cmake util-linux ca-certificates)
# Debian's unstable mirrors may serve a Release file whose Valid-Until has
# passed; the archive's signature is still checked.
apt_conf='Acquire::Check-Valid-Until "false";
APT::Install-Recommends "false";
Acquire::Languages "none";'
sources="deb [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] $MIRROR sid main"
if [ "$experimental" = 1 ]; then
  sources+=$'\n'"deb [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] $MIRROR experimental main"
fi
key=$(printf '%s\n' "$sources" "${packages[*]}" "$apt_conf" | sed "s|$MIRROR||" | sha256sum | cut -c1-12)
root=$CACHE/debian-sid-$py-$key
STAMP=.installed

log() { echo "== $*" >&2; }
now() { date +%s; }

# CMD run in the chroot with the working directory mounted at its own path.
run_in() {
  local dir=$PWD f
  for f in /etc/resolv.conf /etc/ssl/certs/ca-certificates.crt /etc/pip.conf /root/.config/pip/pip.conf; do
    if [ -f "$f" ]; then
      mkdir -p "$root$(dirname "$f")"
      cp -L "$f" "$root$f"
    fi
  done
  mkdir -p "$root$dir"
  # shellcheck disable=SC2016
  unshare --mount --propagation private -- /bin/sh -ec '
    root=$1 dir=$2; shift 2
    mount -t proc proc "$root/proc"
    mount --rbind /dev "$root/dev"
    mount --rbind /sys "$root/sys"
    mount --bind "$dir" "$root$dir"
    if [ -d /opt/wheels ]; then mkdir -p "$root/opt/wheels"; mount --bind -o ro /opt/wheels "$root/opt/wheels"; fi
    exec chroot "$root" /usr/bin/env PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
      HOME=/root LANG=C.UTF-8 /bin/sh -c '\''cd "$1" && shift && exec "$@"'\'' sh "$dir" "$@"
  ' sh "$root" "$dir" "$@"
}

if [ "$print_path" = 1 ]; then
  [ -f "$root/$STAMP" ] || exit 1
  echo "$root"
  exit 0
fi

make_chroot() {
  [ -f "$root/$STAMP" ] && return 0
  mkdir -p "$CACHE"
  exec 9>"$root.lock"
  flock 9
  [ -f "$root/$STAMP" ] && return 0
  if ! command -v debootstrap >/dev/null; then
    log "installing debootstrap"
    export DEBIAN_FRONTEND=noninteractive
    apt-get install -y -qq debootstrap >/dev/null ||
      { apt-get update -qq && apt-get install -y -qq debootstrap >/dev/null; }
  fi
  local t0 logfile=$CACHE/logs/debian-sid-$py-$key.log
  mkdir -p "$CACHE/logs"
  rm -rf "$root"
  t0=$(now)
  log "debootstrap sid into $root (log: $logfile)"
  if ! debootstrap --variant=minbase sid "$root" "$MIRROR" >"$logfile" 2>&1; then
    tail -n 30 "$logfile" >&2
    echo "$0: debootstrap failed; see $logfile" >&2
    exit 1
  fi
  printf '%s\n' "$sources" >"$root/etc/apt/sources.list"
  rm -f "$root/etc/apt/sources.list.d/"*
  printf '%s\n' "$apt_conf" >"$root/etc/apt/apt.conf.d/90talvora"
  local install=(apt-get install -y -qq)
  [ "$experimental" = 1 ] && install+=(-t experimental)
  log "installing ${packages[*]}"
  if ! run_in env DEBIAN_FRONTEND=noninteractive sh -c 'apt-get update -qq && "$@" && apt-get clean' \
    sh "${install[@]}" "${packages[@]}" >>"$logfile" 2>&1; then
    tail -n 30 "$logfile" >&2
    echo "$0: installing the packages failed; see $logfile" >&2
    exit 1
  fi
  run_in "$py" -c 'import sys, ensurepip, venv; print(sys.version)' >&2
  touch "$root/$STAMP"
  log "chroot ready in $(($(now) - t0)) s ($(du -sh "$root" | cut -f1))"
}

make_chroot
exec 9>&-
if [ "${1:-}" = run ]; then
  shift
  run_in "$@"
else
  echo "$root"
fi
