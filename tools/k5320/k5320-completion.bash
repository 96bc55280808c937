# bash completion for k5320 (installed as .../bash-completion/completions/k5320)

_k5320_buses() {
    # The buses of the user's backplane, from its configuration file when one is set.
    local conf=${TARN_BACKPLANE_CONFIG:-}
    if [[ -n $conf && -r $conf ]]; then
        awk '$1 == "bus" { print $2 }' "$conf" 2>/dev/null
    else
        echo can0
    fi
}

_k5320() {
    local cur prev words cword
    _init_completion -n =:@, 2>/dev/null || {
        cur=${COMP_WORDS[COMP_CWORD]}
        prev=${COMP_WORDS[COMP_CWORD - 1]}
        words=("${COMP_WORDS[@]}")
        cword=$COMP_CWORD
    }
    local commands="list dump send play gen busload status cyclic mailbox flash fault help"
    local rates="10k 20k 50k 125k 250k 500k 800k 1M"
    local slots="1 2 3 4 5 6 7"

    if ((cword == 1)); then
        COMPREPLY=($(compgen -W "$commands --help --version" -- "$cur"))
        return
    fi
    local command=${words[1]}
    # The first argument after the command, counting only words that are not options.
    local args=0 i
    for ((i = 2; i < cword; i++)); do
        [[ ${words[i]} != -* ]] && ((args++))
    done

    case $prev in
        -b | --bitrate)
            COMPREPLY=($(compgen -W "$rates" -- "$cur"))
            return ;;
        -t | --timestamp)
            [[ $command == dump ]] && COMPREPLY=($(compgen -W "a d z A" -- "$cur"))
            return ;;
        -s | --silent)
            [[ $command == dump ]] && { COMPREPLY=($(compgen -W "0 1 2" -- "$cur")); return; } ;;
        -o | --output)
            [[ $command == dump ]] && { _filedir 2>/dev/null || COMPREPLY=($(compgen -f -- "$cur")); return; } ;;
        -I)
            if [[ $command == play ]]; then
                _filedir 2>/dev/null || COMPREPLY=($(compgen -f -- "$cur"))
            elif [[ $command == gen ]]; then
                COMPREPLY=($(compgen -W "r i" -- "$cur"))
            fi
            return ;;
        -L | -D)
            [[ $command == gen ]] && { COMPREPLY=($(compgen -W "r i" -- "$cur")); return; } ;;
        -l)
            [[ $command == play ]] && { COMPREPLY=($(compgen -W "i" -- "$cur")); return; } ;;
        -n | --count | -T | --timeout | -g | --every)
            return ;;
    esac

    local options
    case $command in
        dump) options="-t -L -l -o -s -n -T -e -x -b -f --timestamp= --log-format --log --output= --silent= --count= --timeout= --errors --extra --bitrate= --filter= --module-time --help" ;;
        send) options="-b --bitrate= --help" ;;
        play) options="-I -l -t -g -s -v -b --bitrate= --help" ;;
        gen) options="-g -e -R -m -I -L -D -n -v -b --bitrate= --help" ;;
        busload) options="-t -r -n --help" ;;
        cyclic) options="--every= --count= -b --bitrate= --help" ;;
        *) options="--help" ;;
    esac
    if [[ $cur == -* ]]; then
        COMPREPLY=($(compgen -W "$options" -- "$cur"))
        [[ ${COMPREPLY[0]} == *= ]] && compopt -o nospace 2>/dev/null
        return
    fi

    case $command in
        help)
            ((args == 0)) && COMPREPLY=($(compgen -W "$commands" -- "$cur")) ;;
        dump)
            ((args == 0)) && COMPREPLY=($(compgen -W "$slots $(_k5320_buses)" -- "$cur")) ;;
        busload)
            COMPREPLY=($(compgen -W "$(_k5320_buses)" -- "$cur")) ;;
        send | play | gen | status | cyclic | mailbox)
            ((args == 0)) && COMPREPLY=($(compgen -W "$slots" -- "$cur")) ;;
        flash)
            if ((args == 0)); then
                COMPREPLY=($(compgen -W "$slots" -- "$cur"))
            elif ((args == 1)); then
                _filedir 2>/dev/null || COMPREPLY=($(compgen -f -- "$cur"))
            fi ;;
        fault)
            if ((args == 0)); then
                COMPREPLY=($(compgen -W "$slots" -- "$cur"))
            elif ((args == 1)); then
                COMPREPLY=($(compgen -W "silence drop answer repeats stray lose freeze-status flash-fail seen clear" -- "$cur"))
            fi ;;
    esac
}
complete -F _k5320 k5320
