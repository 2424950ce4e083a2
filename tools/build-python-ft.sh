#!/usr/bin/env bash
# Build a free-threaded CPython 3.13 (configure --disable-gil) from
# the pristine upstream tarball of Debian trixie's python3.13 source package
# (Debian's patches are not applied) and install it into a cache outside the
# clone:
#
#   tools/build-python-ft.sh               $CACHE/python3.13t-<version>/
#   tools/build-python-ft.sh --tsan        $CACHE/python3.13t-tsan-<version>/
#                                          (also --with-thread-sanitizer)
#   tools/build-python-ft.sh [--tsan] --print-path
#                                          the installed interpreter, or
#                                          nothing and exit 1; builds nothing
#
# CACHE is $TALVORA_CACHE, by default ~/.cache/talvora.  A complete install
# carries a stamp file (.installed), written last: a second run finds it and
# returns at once, with no network.  A prefix without the stamp is what a
# failed or interrupted build left, and is rebuilt from scratch.  Remove the
# prefix to rebuild.  The interpreter's path is the last line printed.
#
# The source package comes through apt with a configuration of its own (one
# deb-src line for trixie, lists and archives under $CACHE/apt); nothing in
# /etc/apt or the system's lists is used for it.  Build dependencies missing
# from the machine are installed from Debian's packages by the system's apt.
#
# The ThreadSanitizer build leaves out the test modules (no _testcapi) and
# pip (ensurepip stays, for virtual environments).
#
# Environment: CC (compiler; default gcc), JOBS (make -j, default 2),
# DEBIAN_MIRROR (default http://deb.debian.org/debian).
set -euo pipefail

tsan=0
print_path=0
for arg in "$@"; do
  case "$arg" in
    --tsan) tsan=1 ;;
    --print-path) print_path=1 ;;
    -h | --help) sed -n '2,/^set -e/{/^set -e/d;s/^# \{0,1\}//;p}' "$0"; exit 0 ;;
    *) echo "$0: unknown argument: $arg" >&2; exit 2 ;;
  esac
done

CACHE=${TALVORA_CACHE:-$HOME/.cache/talvora}
JOBS=${JOBS:-2}
CC=${CC:-gcc}
MIRROR=${DEBIAN_MIRROR:-http://deb.debian.org/debian}
flavour=python3.13t
configure_flags=(--disable-gil)
install_flags=()
if [ "$tsan" = 1 ]; then
  flavour=python3.13t-tsan
  # Without the test package and its extension modules, with bytecode
  # compiled at install time for the top-level modules only (packages are
  # compiled on first import), and without pip in the prefix (a virtual
  # environment installs its own): under ThreadSanitizer, compiling the whole
  # library three times took three quarters of the build, and installing pip
  # four minutes.
  configure_flags+=(--with-thread-sanitizer --disable-test-modules --with-ensurepip=no)
  install_flags+=(COMPILEALL_OPTS="-j0 -l")
else
  configure_flags+=(--with-ensurepip=install)
fi
STAMP=.installed

# The newest stamped install of this flavour, if any.
installed_prefix() {
  local stamp
  stamp=$(ls -1d "$CACHE/$flavour"-3.13.*/"$STAMP" 2>/dev/null | sort -V | tail -n 1)
  [ -n "$stamp" ] && dirname "$stamp"
}

if [ "$print_path" = 1 ]; then
  prefix=$(installed_prefix) || exit 1
  echo "$prefix/bin/python3.13t"
  exit 0
fi

mkdir -p "$CACHE"
exec 9>"$CACHE/.build-python-ft.lock"
flock 9

if prefix=$(installed_prefix); then
  echo "$flavour: using $prefix" >&2
  echo "$prefix/bin/python3.13t"
  exit 0
fi

log() { echo "== $*" >&2; }
now() { date +%s; }
# Run a step with its output in a log file; on failure show the log's end.
step() {
  local name=$1 logfile=$LOGS/$1.log t0
  shift
  log "$name (log: $logfile)"
  t0=$(now)
  if ! "$@" >"$logfile" 2>&1; then
    tail -n 40 "$logfile" >&2
    echo "$0: $name failed; see $logfile" >&2
    exit 1
  fi
  log "$name took $(($(now) - t0)) s"
}

# Build dependencies: the compiler and the libraries the standard library's
# extension modules need (_ssl and hashlib for pip, _ctypes, zlib, bz2,
# lzma, sqlite3, readline, _uuid, curses, dbm).
deps=(make pkg-config xz-utils libssl-dev libffi-dev zlib1g-dev libbz2-dev liblzma-dev
  libsqlite3-dev libreadline-dev uuid-dev libncurses-dev libgdbm-dev libgdbm-compat-dev)
case "$CC" in
  gcc) deps+=(gcc) ;;
  clang) deps+=(clang) ;;
  clang-[0-9]*) deps+=("$CC") ;;
esac
missing=()
for p in "${deps[@]}"; do
  dpkg-query -W -f='${Status}\n' "$p" 2>/dev/null | grep -q 'ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  log "installing build dependencies: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get install -y -qq "${missing[@]}" >/dev/null ||
    { apt-get update -qq && apt-get install -y -qq "${missing[@]}" >/dev/null; }
fi

# The source package, through a private apt configuration.
APT=$CACHE/apt
SRC=$CACHE/src
mkdir -p "$APT/lists/partial" "$APT/cache/archives/partial" "$SRC"
echo "deb-src [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] $MIRROR trixie main" \
  >"$APT/sources.list"
apt_opts=(-o "Dir::Etc::SourceList=$APT/sources.list" -o Dir::Etc::SourceParts=/dev/null
  -o "Dir::State::Lists=$APT/lists" -o "Dir::Cache=$APT/cache" -o APT::Sandbox::User=root)
t0=$(now)
log "fetching the python3.13 source package from trixie"
apt-get "${apt_opts[@]}" -qq update >&2
(cd "$SRC" && apt-get "${apt_opts[@]}" -qq source --download-only python3.13 >&2)
tarball=$(ls -1 "$SRC"/python3.13_3.13.*.orig.tar.xz | sort -V | tail -n 1)
version=${tarball##*/python3.13_}
version=${version%.orig.tar.xz}
log "download took $(($(now) - t0)) s: $(basename "$tarball") (upstream $version)"

prefix=$CACHE/$flavour-$version
build=$CACHE/build/$flavour-$version
LOGS=$CACHE/logs/$flavour-$version
rm -rf "$prefix" "$build" "$LOGS"
mkdir -p "$build" "$LOGS"
tar -xJf "$tarball" -C "$build" --strip-components=1

cd "$build"
step configure env CC="$CC" ./configure --prefix="$prefix" "${configure_flags[@]}"
step build make -j"$JOBS"
step install make install "${install_flags[@]}"

py=$prefix/bin/python3.13t
check() {
  "$py" - "$tsan" <<'EOF'
import sys, sysconfig
import ssl, hashlib, ctypes, zlib, bz2, lzma, sqlite3, readline, uuid, curses, dbm.gnu  # noqa: F401
assert sysconfig.get_config_var("Py_GIL_DISABLED") == 1, "GIL not disabled at build time"
assert not sys._is_gil_enabled(), "GIL enabled at run time"
tsan = "-fsanitize=thread" in sysconfig.get_config_var("CONFIG_ARGS") + sysconfig.get_config_var("PY_CFLAGS")
assert tsan == (sys.argv[1] == "1"), "ThreadSanitizer flags: %r" % tsan
print(sys.version)
EOF
  if [ "$tsan" = 1 ]; then "$py" -m ensurepip --version; else "$py" -m pip --version; fi
}
step check check

touch "$prefix/$STAMP"
rm -rf "$build"
log "$flavour $version installed in $prefix ($(du -sh "$prefix" | cut -f1))"
echo "$py"
