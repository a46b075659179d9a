# bash completion for wrapper-pack, wrapper-inspect and wrapper-stamp: their options, and
# file names where an option takes a file, also in the --option=value form. Where a
# Windows program goes (a launcher, a payload, a package to read), .exe files and folders
# are offered.

# COMPREPLY: the .exe files (any letter case) and folders that start with $1.
_wrapper_tools_programs() {
    local -a folders programs
    mapfile -t folders < <(compgen -d -- "$1")
    mapfile -t programs < <(compgen -f -X '!*.[eE][xX][eE]' -- "$1")
    COMPREPLY=("${folders[@]}" "${programs[@]}")
}

_wrapper_tools() {
    local current option options tool=${1##*/}
    current=${COMP_WORDS[COMP_CWORD]}
    option=${COMP_WORDS[COMP_CWORD-1]}
    # --option=value: bash splits it into "--option", "=" and the value when "=" breaks
    # words (its default), otherwise it is one word.
    if [[ $current == = ]]; then
        current=
    elif [[ $option == = && $COMP_CWORD -ge 2 ]]; then
        option=${COMP_WORDS[COMP_CWORD-2]}
    elif [[ $current == --*=* ]]; then
        option=${current%%=*}
        current=${current#*=}
        _wrapper_tools_value "$option" "$current" || COMPREPLY=()
        COMPREPLY=("${COMPREPLY[@]/#/$option=}")
        return
    fi
    case $tool in
        wrapper-pack)
            options="--launcher --payload -o --output -s --settings --link --campaign
                     --landing --uninstall --allow-ansi --strict -q --quiet --json --unchecked
                     --payload-size --trailing-bytes --trailing-file --help --version" ;;
        wrapper-stamp)
            options="--campaign -o --output --campaigns --output-dir --help --version" ;;
        *)
            options="--json --verify --allow-ansi --strict --expect-product-id
                     --require-signature --require-timestamp --extract-payload --help
                     --version" ;;
    esac
    _wrapper_tools_value "$option" "$current" && return
    if [[ $current == -* ]]; then
        mapfile -t COMPREPLY < <(compgen -W "$options" -- "$current")
    elif [[ $tool == wrapper-pack ]]; then
        mapfile -t COMPREPLY < <(compgen -f -- "$current")
    else
        # wrapper-inspect's and wrapper-stamp's package.
        _wrapper_tools_programs "$current"
    fi
}

# COMPREPLY for the value of option $1 that starts with $2; fails when $1 takes no value.
_wrapper_tools_value() {
    case $1 in
        --launcher|--payload)
            _wrapper_tools_programs "$2" ;;
        -o|--output|-s|--settings|--trailing-file|--extract-payload|--campaigns)
            mapfile -t COMPREPLY < <(compgen -f -- "$2") ;;
        --output-dir)
            mapfile -t COMPREPLY < <(compgen -d -- "$2") ;;
        --link|--campaign|--landing|--uninstall|--payload-size|--trailing-bytes|--expect-product-id)
            COMPREPLY=() ;;
        *)
            return 1 ;;
    esac
}

complete -o filenames -F _wrapper_tools wrapper-pack wrapper-inspect wrapper-stamp
