#!/bin/bash
# Two unprivileged users share a root-owned machine registry, each with a registry of their own:
# each sees the machine's providers and their own, never the other's; a key of their own shadows
# the machine's; a registry another user may write is refused with its reason; a broken one costs
# the machine's providers nothing; a set-user-id program reads the machine's registry alone.
# Arguments: kovctl, the broker module, the set-user-id probe, the folder of the test providers,
# the library suffix.
set -u
kovctl="$1" module="$2" probe="$3" libs="$4" suffix="$5"
if [ "$(id -u)" != 0 ]; then
  echo "skipped: switching to two unprivileged users needs root"
  exit 77
fi
work=$(mktemp -d "${TMPDIR:-/tmp}/kov_user_layers_XXXXXX")
trap 'rm -rf "$work"' EXIT
chmod 755 "$work"
mkdir -m 755 "$work/machine"
export KOV_BROKER_REGISTRY="$work/machine/registry.db"
unset KOV_BROKER_USER_REGISTRY
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
# Everything the users run, where they may reach it: the build tree may be private (a clone
# in a folder only root may enter). kovctl finds the broker module beside itself.
mkdir -m 755 "$work/bin"
cp "$kovctl" "$probe" "$module" "$work/bin/" || exit 1
for name in kv immediate three_sets deferring threaded; do
  cp "$libs/kov_test_$name$suffix" "$work/bin/" || exit 1
done
chmod 755 "$work/bin"/*
kovctl="$work/bin/$(basename "$kovctl")" probe="$work/bin/$(basename "$probe")"
lib() { echo "$work/bin/kov_test_$1$suffix"; }

# Runs kovctl as user $1 (a bare uid: it needs no account), with a home of its own.
as_user() {
  local uid=$1; shift
  setpriv --reuid="$uid" --regid="$uid" --clear-groups \
    env HOME="$work/home$uid" XDG_CONFIG_HOME="$work/home$uid/.config" \
    KOV_BROKER_STATE_DIR="$work/home$uid/state" "$@"
}
# The keys `list` shows with their layers, as "key:layer" words in handle order.
listed() {
  as_user "$1" "$kovctl" list --json | grep -o '"key":"[^"]*","path":"[^"]*","layer":"[a-z]*"' |
    sed 's/"key":"\([^"]*\)","path":"[^"]*","layer":"\([a-z]*\)"/\1:\2/' | tr '\n' ' '
}
expect_list() { # uid, expected, what
  local got; got=$(listed "$1")
  [ "$got" = "$2" ] || fail "$3: user $1 lists '$got', expected '$2'"
}

KOV_BROKER_STATE_DIR="$work/root-state" "$kovctl" register --machine Shared "$(lib kv)" >/dev/null &&
  KOV_BROKER_STATE_DIR="$work/root-state" "$kovctl" register Both "$(lib immediate)" >/dev/null ||
  fail "root registers into the machine's registry"
for uid in 64101 64102; do mkdir -m 700 "$work/home$uid" && chown "$uid:$uid" "$work/home$uid"; done

# Without write access to the machine's registry, register goes to the user's own and says so.
out=$(as_user 64101 "$kovctl" register Mine "$(lib three_sets)")
[[ $? == 0 && "$out" == *"using the user's own registry"* ]] || fail "register as a user: $out"
as_user 64101 "$kovctl" register Both "$(lib deferring)" >/dev/null || fail "a user's Both"
as_user 64102 "$kovctl" register --user Theirs "$(lib threaded)" >/dev/null || fail "user 2 registers"
as_user 64102 "$kovctl" register --machine Nope "$(lib threaded)" >/dev/null &&
  fail "a user wrote the machine's registry"

expect_list 64101 "Shared:machine Both:user Mine:user " "shadowing"
expect_list 64102 "Both:machine Shared:machine Theirs:user " "the other user"
out=$(as_user 64101 "$kovctl" registry)
[[ "$out" == *"kov_test_immediate$suffix  loads  (shadowed by the user's key)"* &&
   "$out" == *"kov_test_deferring$suffix  loads  (user)"* ]] ||
  fail "registry shows the shadowed entry: $out"
[[ "$(as_user 64101 "$kovctl" registry --machine)" != *Mine* ]] || fail "registry --machine"

# A registry another user may write is refused with why; one that is no registry at all is
# reported; either way the machine's providers load.
user1="$work/home64101/.config/kov_broker/registry.db"
chmod 666 "$user1"
expect_list 64101 "Both:machine Shared:machine " "a world-writable registry"
out=$(as_user 64101 "$kovctl" list)
[[ "$out" == *"may be written by every user (mode 0666)"* ]] || fail "refusal's reason: $out"
chmod 600 "$user1"
mkdir -m 755 "$work/public" && cp -p "$user1" "$work/public/" && chown -R 64101:64101 "$work/public"
out=$(as_user 64102 env KOV_BROKER_USER_REGISTRY="$work/public/registry.db" "$kovctl" list)
[[ "$out" == *"belongs to user 64101"* ]] || fail "another user's registry: $out"
cp "$user1" "$work/saved.db"
echo "not a registry" > "$user1"
expect_list 64101 "Both:machine Shared:machine " "a corrupt registry"
cp "$work/saved.db" "$user1"

# remove takes a key from the registry that holds it.
as_user 64101 "$kovctl" remove Both >/dev/null || fail "a user removes their Both"
expect_list 64101 "Both:machine Shared:machine Mine:user " "after remove"

# A set-user-id program reads the machine's registry alone, where the bit is honoured at all.
mkdir -m 755 "$work/suid" && cp "$probe" "$kovctl" "$module" "$work/suid/" &&
  chmod 4755 "$work/suid/$(basename "$probe")" "$work/suid/$(basename "$kovctl")"
read -r euid secure < <(as_user 64101 "$work/suid/$(basename "$probe")")
if [ "$euid" != 0 ] || [ "$secure" = 0 ]; then
  echo "note: set-user-id case not run: this machine does not honour the set-user-id bit of a" \
       "32-bit program (euid $euid, AT_SECURE $secure; qemu-user through binfmt without flag C)"
else
  kovctl="$work/suid/$(basename "$kovctl")"
  expect_list 64101 "Both:machine Shared:machine " "a set-user-id program"
fi
exit $((failures > 0))
