# Debian roots: a directory holding a minimal Debian made with debootstrap from Debian's
# packages, for running tovra on another CPython or, through the kernel's binfmt_misc and
# Debian's qemu-user-static, on another processor. Sourced by the scripts that make one root
# each (scripts/root-*.sh); not run on its own.
#
# A root is kept under ${TOVRA_ROOTS:-${XDG_CACHE_HOME:-~/.cache}/tovra-roots}/NAME, outside the
# checkout, and reused when it is whole: the marker file .tovra-root is written last, so a root
# whose making was cut short is made again from nothing.
#
# root_main NAME SUITE ARCH PACKAGE... -- "$@" handles the command line of a root script:
#   (no arguments)   make the root, or reuse it, and print its directory
#   dir              print its directory if it is whole; exit 1, making nothing, if not
#   run CMD ARG...   run CMD inside the root, with /proc, /dev and the checkout (at /tovra) mounted
# Exit status 77 means this machine cannot have the root (for example, no binfmt_misc to run
# another processor's programs); the reason is printed on standard error. Any other failure
# exits 1 with what went wrong.

root_checkout=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
root_cache=${TOVRA_ROOTS:-${XDG_CACHE_HOME:-$HOME/.cache}/tovra-roots}
root_marker=.tovra-root

root_fail() {
  echo "root $root_name: $*" >&2
  exit 1
}

root_skip() {
  echo "root $root_name: skipped: $*" >&2
  exit 77
}

root_as_root() {
  if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

root_apt_updated=
# Installs the Debian packages (on this machine, not in a root) whose commands are missing.
# Arguments: command=package pairs.
root_host_packages() {
  local missing=() pair
  for pair in "$@"; do
    [ -e "${pair%%=*}" ] || command -v "${pair%%=*}" >/dev/null 2>&1 || missing+=("${pair#*=}")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "root $root_name: installing Debian packages: ${missing[*]}" >&2
  if [ -z "$root_apt_updated" ]; then
    root_as_root apt-get update -qq >&2 || root_fail "apt-get update failed"
    root_apt_updated=1
  fi
  root_as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >&2 ||
    root_fail "could not install ${missing[*]} with apt-get"
}

# The Debian mirror this machine's apt uses (the first one for its own release), unless
# TOVRA_DEBIAN_MIRROR names one.
root_mirror() {
  if [ -n "${TOVRA_DEBIAN_MIRROR:-}" ]; then
    echo "$TOVRA_DEBIAN_MIRROR"
    return
  fi
  local uri
  uri=$(cat /etc/apt/sources.list.d/*.sources 2>/dev/null |
    awk '/^URIs:/ { print $2 }' | grep -v -- '-security' | head -n 1)
  if [ -z "$uri" ]; then
    uri=$(grep -hE '^deb (\[[^]]*\] )?[a-z]+://' /etc/apt/sources.list 2>/dev/null |
      grep -v -- '-security' | sed -E 's/^deb (\[[^]]*\] )?//' | awk '{ print $1; exit }')
  fi
  [ -n "$uri" ] || root_fail "no Debian mirror in /etc/apt (set TOVRA_DEBIAN_MIRROR)"
  echo "$uri"
}

# Makes binfmt_misc run ARCH's programs through qemu-user-static, or skips: without it, the
# root's programs cannot run on this processor.
root_binfmt() {
  local arch=$1 qemu
  case "$arch" in
    arm64) qemu=aarch64 ;;
    *) qemu=$arch ;;
  esac
  root_host_packages "/usr/bin/qemu-$qemu-static=qemu-user-static" update-binfmts=binfmt-support
  local dir=/proc/sys/fs/binfmt_misc
  if [ ! -e "$dir/status" ]; then
    root_as_root mount -t binfmt_misc binfmt_misc "$dir" 2>/dev/null ||
      root_skip "binfmt_misc is not mounted at $dir and cannot be mounted here, so $arch programs cannot run on this $(uname -m) machine"
  fi
  if [ ! -e "$dir/qemu-$qemu" ]; then
    root_as_root update-binfmts --enable "qemu-$qemu" >/dev/null 2>&1 || true
  fi
  [ -e "$dir/qemu-$qemu" ] ||
    root_skip "binfmt_misc has no qemu-$qemu entry and update-binfmts could not register one"
  grep -q '^enabled' "$dir/qemu-$qemu" ||
    root_skip "the binfmt_misc entry qemu-$qemu is disabled"
  # F: the kernel opened the emulator when the entry was registered, so it runs inside a root
  # that has no emulator of its own.
  grep -q '^flags:.*F' "$dir/qemu-$qemu" ||
    root_skip "the binfmt_misc entry qemu-$qemu lacks the F flag, so it cannot run inside a root"
}

# Copies this machine's CA bundle into the root, so that pip there trusts what this machine
# trusts (the package index may be reached through a proxy whose certificate only it knows).
root_trust() {
  local dir=$1 bundle=/etc/ssl/certs/ca-certificates.crt
  [ -f "$bundle" ] || return 0
  mkdir -p "$dir/etc/ssl/certs"
  cp "$bundle" "$dir/etc/ssl/certs/ca-certificates.crt"
}

# Removes a root that was not made whole, never crossing into a file system mounted inside it.
root_remove() {
  local dir=$1 mounted
  mounted=$(awk -v d="$dir" 'index($2, d "/") == 1 { print $2 }' /proc/mounts)
  [ -z "$mounted" ] || root_fail "$dir has file systems mounted inside it ($mounted); unmount them first"
  rm -rf --one-file-system "$dir"
}

root_make() {
  local dir=$root_cache/$root_name
  if [ -f "$dir/$root_marker" ]; then
    [ "$root_arch" = "$(dpkg --print-architecture)" ] || root_binfmt "$root_arch"
    root_trust "$dir"
    echo "$dir"
    return
  fi
  root_host_packages debootstrap=debootstrap
  [ "$root_arch" = "$(dpkg --print-architecture)" ] || root_binfmt "$root_arch"
  local mirror
  mirror=$(root_mirror)
  [ ! -e "$dir" ] || root_remove "$dir"
  mkdir -p "$root_cache"
  local log=$root_cache/$root_name.log started=$SECONDS
  echo "root $root_name: debootstrap $root_suite ($root_arch) into $dir; log in $log" >&2
  local packages
  packages=$(
    IFS=,
    echo "${root_packages[*]}"
  )
  if ! root_as_root debootstrap --variant=minbase --arch="$root_arch" --include="$packages" \
    "$root_suite" "$dir" "$mirror" >"$log" 2>&1; then
    tail -n 30 "$log" >&2
    root_fail "debootstrap of $root_suite ($root_arch) failed; see $log"
  fi
  root_trust "$dir"
  echo "$root_suite $root_arch ${root_packages[*]}" >"$dir/$root_marker"
  echo "root $root_name: made in $((SECONDS - started)) s" >&2
  echo "$dir"
}

# Runs a command inside the root. What is mounted for it is unmounted when it ends, however it
# ends.
root_run() {
  local dir
  dir=$(root_make)
  local mounted=()
  root_unmount() {
    local i
    for ((i = ${#mounted[@]} - 1; i >= 0; i--)); do
      root_as_root umount "${mounted[i]}" 2>/dev/null || root_as_root umount -l "${mounted[i]}" || true
    done
    mounted=()
  }
  trap root_unmount EXIT
  trap 'root_unmount; exit 130' INT
  trap 'root_unmount; exit 143' TERM
  root_mount() {
    root_as_root mount "$@" || root_fail "could not mount ${*: -1}"
    mounted+=("${*: -1}")
  }
  root_mount -t proc proc "$dir/proc"
  # The emulator tests look for the binfmt_misc entry that runs this root's programs.
  if [ -e /proc/sys/fs/binfmt_misc/status ]; then
    root_mount -t binfmt_misc binfmt_misc "$dir/proc/sys/fs/binfmt_misc"
  fi
  root_mount --bind /dev "$dir/dev"
  if [ -d /dev/shm ]; then
    root_mount -t tmpfs -o mode=1777 tmpfs "$dir/dev/shm"
  fi
  mkdir -p "$dir/tovra"
  root_mount --bind "$root_checkout" "$dir/tovra"
  local status=0
  root_as_root chroot "$dir" /usr/bin/env -i HOME=/root LANG=C.UTF-8 TERM="${TERM:-dumb}" \
    PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
    ${CI:+CI="$CI"} ${PIP_INDEX_URL:+PIP_INDEX_URL="$PIP_INDEX_URL"} \
    /bin/sh -c 'cd /tovra && exec "$@"' sh "$@" || status=$?
  root_unmount
  trap - EXIT INT TERM
  return "$status"
}

root_main() {
  root_name=$1 root_suite=$2 root_arch=$3
  shift 3
  root_packages=()
  while [ $# -gt 0 ] && [ "$1" != -- ]; do
    root_packages+=("$1")
    shift
  done
  [ $# -gt 0 ] && shift
  case "${1:-}" in
    "") root_make ;;
    dir)
      [ -f "$root_cache/$root_name/$root_marker" ] || exit 1
      # Another processor's root is of use only while binfmt_misc runs its programs.
      if [ "$root_arch" != "$(dpkg --print-architecture)" ]; then
        grep -qs '^enabled' "/proc/sys/fs/binfmt_misc/qemu-${root_arch/arm64/aarch64}" || exit 1
      fi
      echo "$root_cache/$root_name"
      ;;
    run)
      shift
      [ $# -gt 0 ] || root_fail "run needs a command"
      root_run "$@"
      ;;
    *)
      echo "usage: $0 [run COMMAND ARG...]" >&2
      exit 2
      ;;
  esac
}
