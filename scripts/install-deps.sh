#!/usr/bin/env bash
# Installs what building and testing both targets needs on Debian 12 (run as root).
# Safe to re-run: it only installs packages that are missing.
set -euo pipefail

packages=(cmake ninja-build g++-multilib g++-mingw-w64-i686 wine wine32:i386
          libsqlite3-dev:i386 libbenchmark-dev:i386 googletest sqlite3 pkgconf
          libcli11-dev nlohmann-json3-dev   # header-only: kovctl's command line and JSON
          clang libclang-rt-14-dev   # clang-rt holds the i386 libFuzzer and sanitizer runtimes
          lld llvm                   # lld-link, llvm-dlltool, llvm-readobj: the MSVC import library
          spin                       # checks the reclamation protocol (model/guard.pml)
          valgrind libc6-dbg:i386    # the instruction count; valgrind needs the symbols of 32-bit libc
          qemu-user)                 # ... where valgrind cannot run 32-bit programs (below)

if ! dpkg --print-foreign-architectures | grep -qx i386; then
  dpkg --add-architecture i386
  need_update=1
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

# When a mirror is mid-sync, the i386 security index may fail to download while the amd64 one is
# fresh: apt then wants the security versions of the amd64 twins of the i386 packages, finds no
# i386 ones to match ("pkgProblemResolver::Resolve generated breaks") and installs nothing. For
# that one install, the security suite is pinned below the installed versions (priority 90):
# what is installed stays as it is and the new packages come at the versions of the main suite.
# Nothing of it stays on the machine; /etc/apt/preferences.d is copied, not changed.
install_missing() {
  apt-get install -y -qq --no-install-recommends "$@" "${missing[@]}" >/dev/null
}
install_below_security() {
  local pins rc
  pins=$(mktemp -d)
  cp -a /etc/apt/preferences.d/. "$pins/" 2>/dev/null || true
  printf '%s\n' 'Package: *' 'Pin: release l=Debian-Security' 'Pin-Priority: 90' \
    > "$pins/zz-kov-install-deps-security-below-installed.pref"
  install_missing -o Dir::Etc::PreferencesParts="$pins"
  rc=$?
  rm -rf "$pins"
  return $rc
}

if [ "${#missing[@]}" -gt 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq || echo "install-deps: some package indexes could not be refreshed; installing from those at hand" >&2
  if ! install_missing; then
    echo "install-deps: trying again with the security suite pinned below the installed versions" >&2
    if ! install_below_security; then
      echo "install-deps: apt could not install ${missing[*]}; if a mirror is mid-sync, run 'apt-get update' again in a while and re-run this script" >&2
      exit 1
    fi
  fi
fi

# Some kernels are built without 32-bit support, so 32-bit programs (our tests, and Wine's 32-bit
# loader) cannot start natively. qemu-user then runs them, registered through binfmt_misc. There
# valgrind cannot run them either, and the instruction count takes the dynamic qemu-i386
# (qemu-user, above: the static one cannot load plugins). qemu-user registers no binfmt handler
# (qemu-user-binfmt does, which conflicts with qemu-user-static), so it leaves the registration
# below to qemu-i386-static, as before.
probe=$(mktemp -d)
trap 'rm -rf "$probe"' EXIT
printf 'int main(void) { return 0; }\n' > "$probe/probe.c"
gcc -m32 -o "$probe/probe" "$probe/probe.c"
if ! "$probe/probe" 2>/dev/null; then
  if ! dpkg-query -W -f='${Status}' qemu-user-static 2>/dev/null | grep -q "install ok installed"; then
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends qemu-user-static >/dev/null
  fi
  mountpoint -q /proc/sys/fs/binfmt_misc || mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc
  if [ ! -e /proc/sys/fs/binfmt_misc/qemu-i386 ]; then
    printf '%s' ':qemu-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:/usr/bin/qemu-i386-static:F' \
      > /proc/sys/fs/binfmt_misc/register
  fi
  echo 1 > /proc/sys/fs/binfmt_misc/qemu-i386
  if ! "$probe/probe"; then
    echo "install-deps: this machine cannot run 32-bit programs, even through qemu-user" >&2
    exit 1
  fi
  echo "install-deps: the kernel cannot run 32-bit programs; they run under qemu-user (slower)"
fi
