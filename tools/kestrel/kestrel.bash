# bash completion for kestrel: subcommands and options are read from the
# command's own --help, so they never drift from it.
_kestrel()
{
    local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD-1]}
    local cmd=${COMP_WORDS[0]} words=() i
    # The subcommand path typed so far (kestrel xml get ...).
    for ((i = 1; i < COMP_CWORD; i++)); do
        [[ ${COMP_WORDS[i]} == -* ]] && break
        words+=("${COMP_WORDS[i]}")
    done
    case $prev in
        --out|-o|--library|--driver|--block-driver)
            COMPREPLY=($(compgen -f -- "$cur"))
            return ;;
    esac
    local help
    help=$("$cmd" "${words[@]}" --help 2>/dev/null) || return
    if [[ $cur == -* ]]; then
        COMPREPLY=($(compgen -W "$(grep -oE -- '(^|[ ,])--?[A-Za-z][A-Za-z0-9-]*' <<<"$help" | tr -d ' ,' | sort -u)" -- "$cur"))
        return
    fi
    local subcommands
    subcommands=$(sed -n '/^Subcommands:/,/^$/s/^  \([a-z][a-z0-9-]*\) .*/\1/p' <<<"$help")
    if [[ -n $subcommands && ${#words[@]} -eq $((COMP_CWORD - 1)) ]]; then
        COMPREPLY=($(compgen -W "$subcommands" -- "$cur"))
    else
        COMPREPLY=($(compgen -f -- "$cur"))
    fi
}
complete -F _kestrel kestrel
