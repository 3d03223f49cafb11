# bash completion for veskacure-offline                     -*- shell-script -*-
# Options after a dash; a folder after --quarantine, --undo and --list, a file (or -)
# after --files-from; files and folders anywhere else (the PATHs).

_veskacure_offline()
{
    local cur=${COMP_WORDS[COMP_CWORD]} prev=""
    [ "$COMP_CWORD" -gt 0 ] && prev=${COMP_WORDS[COMP_CWORD - 1]}
    COMPREPLY=()

    case $prev in
        --quarantine | --undo | --list)
            compopt -o filenames 2>/dev/null
            mapfile -t COMPREPLY < <(compgen -d -- "$cur")
            return
            ;;
        --files-from)
            compopt -o filenames 2>/dev/null
            mapfile -t COMPREPLY < <(compgen -f -- "$cur")
            [[ -z $cur || $cur == - ]] && COMPREPLY+=(-)
            return
            ;;
        --root | -j | --jobs)
            return
            ;;
        -h | --help | --version)
            return
            ;;
    esac

    if [[ $cur == -* ]]; then
        local options="--clean --quarantine --undo --list --root --force --revert-force
                       --unshare --files-from --json
                       -q --quiet --no-archives -j --jobs -h --help --version"
        mapfile -t COMPREPLY < <(compgen -W "$options" -- "$cur")
        return
    fi
    compopt -o filenames 2>/dev/null
    mapfile -t COMPREPLY < <(compgen -f -- "$cur")
} &&
    complete -F _veskacure_offline veskacure-offline

# ex: filetype=sh
