# bash completion for wrapper-pack, wrapper-inspect and wrapper-stamp: their options, and file names where
# an option takes a file.

_wrapper_tools() {
    local current previous options
    current=${COMP_WORDS[COMP_CWORD]}
    previous=${COMP_WORDS[COMP_CWORD-1]}
    case $1 in
        *wrapper-pack)
            options="--launcher --payload -o --output -s --settings --link --campaign
                     --landing --uninstall --allow-ansi --strict -q --quiet --json --unchecked
                     --payload-size --trailing-bytes --trailing-file --help --version" ;;
        *wrapper-stamp)
            options="--campaign -o --output --campaigns --output-dir --help --version" ;;
        *)
            options="--json --verify --allow-ansi --strict --expect-product-id
                     --require-signature --require-timestamp --extract-payload --help
                     --version" ;;
    esac
    case $previous in
        --launcher|--payload|-o|--output|-s|--settings|--trailing-file|--extract-payload|--campaigns)
            mapfile -t COMPREPLY < <(compgen -f -- "$current")
            return ;;
        --output-dir)
            mapfile -t COMPREPLY < <(compgen -d -- "$current")
            mapfile -t COMPREPLY < <(compgen -f -- "$current")
            return ;;
        --link|--campaign|--landing|--uninstall|--payload-size|--trailing-bytes|--expect-product-id)
            COMPREPLY=()
            return ;;
    esac
    if [[ $current == -* ]]; then
        mapfile -t COMPREPLY < <(compgen -W "$options" -- "$current")
    else
        mapfile -t COMPREPLY < <(compgen -f -- "$current")
    fi
}
complete -o filenames -F _wrapper_tools wrapper-pack wrapper-inspect wrapper-stamp
