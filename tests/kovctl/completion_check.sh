#!/bin/bash
# Drives the installed-style bash completion of kovctl as bash would and checks its answers.
# Arguments: the completion script, kovctl, the registry writer and a provider library (for keys
# in the registry KOV_BROKER_REGISTRY names).
set -u
source "$1"
kovctl="$2"
rm -f "$KOV_BROKER_REGISTRY"
"$3" "alpha" "$4" && "$3" "beta key" "$4" || exit 1
failures=0
complete_words() { # the words of the line so far; the last one is being completed
    COMP_WORDS=("$@")
    COMP_CWORD=$(($# - 1))
    COMPREPLY=()
    _kovctl
    echo "${COMPREPLY[*]}"
}
expect() { # expected, then the words
    local expected="$1"; shift
    local got
    got="$(complete_words "$@")"
    if [[ "$got" != "$expected" ]]; then
        echo "completing '$*': got '$got', expected '$expected'"
        failures=$((failures + 1))
    fi
}
expect "check-lang" kovctl ch
expect "reload register remove registry" kovctl re
expect "--sync" kovctl list --sy
expect "--sync --set" kovctl send --s
expect "--json" kovctl --js
expect "" kovctl send --code ""
expect "info" kovctl help inf
expect "inspect" kovctl ins
expect "registry" kovctl registr
expect "--loaded-only" kovctl list --lo
expect "" kovctl registry --lo
expect "" kovctl register key /x.so ""
expect "send session" kovctl se
expect "enable" kovctl en
expect "ps" kovctl p
expect "top trace" kovctl t
expect "--count" kovctl trace --c
expect "--once" kovctl top --o
expect "--clean" kovctl ps --cl
expect "" kovctl stats --pid ""
expect "--stop-on-error" kovctl session --st
expect "" kovctl list --st
expect "--text" kovctl send --te
expect "version" kovctl vers
expect "--wide" kovctl list --wi
expect "--user" kovctl register --us
expect "--machine" kovctl registry --ma
expect "" kovctl list --us
# An option's value is no operand: PATH comes after the key here too.
here=$(mktemp -d)
touch "$here/kv.so"
expect "$here/kv.so" kovctl --timeout 100 register kv "$here/kv"
expect "$here/kv.so" kovctl register --module /m.so kv "$here/kv"
expect "" kovctl --timeout 100 register "$here/kv"
# remove and enable offer the registry's keys, then library files.
expect "alpha" "$kovctl" remove al
expect "alpha" "$kovctl" enable al
expect "alpha beta\\ key" "$kovctl" --timeout 100 remove ""
expect "$here/kv.so" "$kovctl" remove alpha "$here/kv"
rm -rf "$here" "$KOV_BROKER_REGISTRY"
exit $failures
