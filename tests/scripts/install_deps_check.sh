#!/bin/bash
# Runs scripts/install-deps.sh against a stand-in apt that installs nothing unless the security
# suite is pinned to 90 (as after a mirror's half-synced i386 security index), and one that never
# installs: the first must complete on its second try, the second stop with one line saying what
# to do. Nothing on the machine is installed or changed.
set -u
script="$1"
fake=$(mktemp -d)
trap 'rm -rf "$fake"' EXIT
failures=0

# Every package missing, i386 enabled already; apt-get logs each call and its pin folder.
printf '#!/bin/sh\necho i386\n' > "$fake/dpkg"
printf '#!/bin/sh\nexit 1\n' > "$fake/dpkg-query"
cat > "$fake/apt-get" <<'FAKE'
#!/bin/bash
echo "$*" >> "$FAKE_LOG"
[ "$1" = update ] && exit 1
for arg in "$@"; do
  case "$arg" in Dir::Etc::PreferencesParts=*) pins="${arg#*=}"; echo "pins $pins" >> "$FAKE_LOG" ;; esac
done
[ "$FAKE_APT" = pinned ] && [ -n "${pins:-}" ] &&
  cat "$pins"/* 2>/dev/null | tr '\n' ' ' | grep -q 'Pin: release l=Debian-Security Pin-Priority: 90'
FAKE
chmod +x "$fake"/*

run() { # mode: the exit status, then stderr's last line
  FAKE_APT="$1" FAKE_LOG="$fake/$1.log" PATH="$fake:$PATH" bash "$script" > /dev/null 2> "$fake/$1.err"
  echo "$? $(tail -n 1 "$fake/$1.err")"
}
check() { # what, got, expected (a pattern)
  if [[ "$2" != $3 ]]; then
    echo "$1: got '$2', expected '$3'"
    failures=$((failures + 1))
  fi
}

check "pinned: result" "$(run pinned)" "0 *"
check "pinned: apt calls" "$(grep -c '^install' "$fake/pinned.log")" 2
pins=$(sed -n 's/^pins //p' "$fake/pinned.log")
check "pinned: pin folder left behind" "$([ -n "$pins" ] && [ ! -e "$pins" ] && echo removed)" removed
check "never: result" "$(run never)" "1 install-deps: apt could not install * re-run this script"
exit $((failures > 0))
