# bash completion for kovctl: commands, options, the registry's keys for remove and enable, and
# files where a path is asked for.
_kovctl() {
    local cur prev
    cur="${COMP_WORDS[COMP_CWORD]}"
    prev=""
    [[ $COMP_CWORD -gt 0 ]] && prev="${COMP_WORDS[COMP_CWORD-1]}"
    local commands="list info stats reload register remove lang check-lang send inspect registry session enable version ps top trace help"
    local common="--json --sync --module --timeout --help --version"
    local send_options="--provider --set --version --code --hex --text --file"

    # The command, and its operands so far; an option's value is neither.
    local command="" operands=0 w i takes_value=""
    for ((i = 1; i < COMP_CWORD; i++)); do
        w="${COMP_WORDS[i]}"
        case "$w" in
            --module|--timeout|--pid|--count|--interval) takes_value=1 ;;
            --provider|--set|--code|--hex|--text|--file) [[ $command == send ]] && takes_value=1 ;;
            --version) [[ $command == send ]] && takes_value=1 ;;
            -*) ;;
            *)
                if [[ -z $command ]]; then
                    case " $commands " in *" $w "*) command="$w" ;; esac
                else
                    operands=$((operands + 1))
                fi ;;
        esac
        [[ -n $takes_value ]] && { takes_value=""; i=$((i + 1)); }
    done

    case "$prev" in
        --module|--file)
            COMPREPLY=($(compgen -f -- "$cur"))
            return 0 ;;
        --pid|--count|--interval)
            COMPREPLY=(); return 0 ;;
        --timeout|--provider|--set|--code|--hex|--text)
            # A value is expected; the request's options only after send.
            if [[ $prev == --timeout || $command == send ]]; then COMPREPLY=(); return 0; fi ;;
        --version)
            [[ $command == send ]] && { COMPREPLY=(); return 0; } ;;
    esac

    if [[ $cur == -* ]]; then
        if [[ $command == send ]]; then
            COMPREPLY=($(compgen -W "$common $send_options" -- "$cur"))
        elif [[ $command == list ]]; then
            COMPREPLY=($(compgen -W "$common --loaded-only --wide" -- "$cur"))
        elif [[ $command == session ]]; then
            COMPREPLY=($(compgen -W "$common --stop-on-error" -- "$cur"))
        elif [[ $command == register || $command == remove || $command == registry ]]; then
            COMPREPLY=($(compgen -W "$common --user --machine" -- "$cur"))
        elif [[ $command == stats || $command == trace ]]; then
            # Another process's counters: trace also takes how many requests to show.
            local more="--pid"
            [[ $command == trace ]] && more="--pid --count"
            COMPREPLY=($(compgen -W "$common $more" -- "$cur"))
        elif [[ $command == ps ]]; then
            COMPREPLY=($(compgen -W "$common --clean" -- "$cur"))
        elif [[ $command == top ]]; then
            COMPREPLY=($(compgen -W "$common --once --interval" -- "$cur"))
        else
            COMPREPLY=($(compgen -W "$common" -- "$cur"))
        fi
        return 0
    fi
    case "$command" in
        "" | help) COMPREPLY=($(compgen -W "$commands" -- "$cur")) ;;
        register)
            # KEY (a new one), then PATH: a library file.
            [[ $operands -eq 1 ]] && COMPREPLY=($(compgen -f -- "$cur")) ;;
        remove|enable)
            # KEY, one of the registries' (kovctl lists them without loading anything), then PATH.
            if [[ $operands -eq 0 ]]; then
                local IFS=$'\n' key
                COMPREPLY=()
                for key in $("${COMP_WORDS[0]}" --internal-keys 2>/dev/null); do
                    [[ $key == "$cur"* ]] && COMPREPLY+=("$(printf '%q' "$key")")
                done
            elif [[ $operands -eq 1 ]]; then
                COMPREPLY=($(compgen -f -- "$cur"))
            fi ;;
        inspect|session) COMPREPLY=($(compgen -f -- "$cur")) ;;
        *) COMPREPLY=() ;;
    esac
    return 0
}
complete -F _kovctl kovctl
