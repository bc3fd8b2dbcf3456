#!/bin/bash
# Drives the installed-style bash completion of kovctl as bash would and checks its answers.
set -u
source "$1"
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
expect "--stop-on-error" kovctl session --st
expect "" kovctl list --st
expect "--text" kovctl send --te
exit $failures
