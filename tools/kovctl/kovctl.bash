# bash completion for kovctl: commands, options, and files where a path is asked for.
_kovctl() {
    local cur prev words cword
    cur="${COMP_WORDS[COMP_CWORD]}"
    prev=""
    [[ $COMP_CWORD -gt 0 ]] && prev="${COMP_WORDS[COMP_CWORD-1]}"
    local commands="list info stats reload register remove lang check-lang send inspect registry session enable help"
    local common="--json --sync --module --timeout --help --version"
    local send_options="--provider --set --version --code --hex --text --file"

    case "$prev" in
        --module|--file)
            COMPREPLY=($(compgen -f -- "$cur"))
            return 0 ;;
        --timeout|--provider|--set|--version|--code|--hex|--text)
            # A value is expected; --version outside send takes none.
            local w
            for w in "${COMP_WORDS[@]:1:COMP_CWORD-1}"; do
                [[ $w == send ]] && { COMPREPLY=(); return 0; }
            done
            [[ $prev != --version ]] && { COMPREPLY=(); return 0; } ;;
    esac

    local command="" w
    for w in "${COMP_WORDS[@]:1:COMP_CWORD-1}"; do
        case " $commands " in *" $w "*) command="$w"; break ;; esac
    done

    if [[ $cur == -* ]]; then
        if [[ $command == send ]]; then
            COMPREPLY=($(compgen -W "$common $send_options" -- "$cur"))
        elif [[ $command == list ]]; then
            COMPREPLY=($(compgen -W "$common --loaded-only" -- "$cur"))
        elif [[ $command == session ]]; then
            COMPREPLY=($(compgen -W "$common --stop-on-error" -- "$cur"))
        else
            COMPREPLY=($(compgen -W "$common" -- "$cur"))
        fi
        return 0
    fi
    case "$command" in
        "") COMPREPLY=($(compgen -W "$commands" -- "$cur")) ;;
        help) COMPREPLY=($(compgen -W "$commands" -- "$cur")) ;;
        register|remove)
            # KEY, then PATH: a library file.
            local operands=0
            for w in "${COMP_WORDS[@]:1:COMP_CWORD-1}"; do
                [[ $w != -* && $w != "$command" ]] && operands=$((operands + 1))
            done
            [[ $operands -eq 1 ]] && COMPREPLY=($(compgen -f -- "$cur")) ;;
        inspect|session) COMPREPLY=($(compgen -f -- "$cur")) ;;
        *) COMPREPLY=() ;;
    esac
    return 0
}
complete -F _kovctl kovctl
