# bash completion for burrowlink. Needs nothing from the bash-completion
# package, which only loads this file on first use.

_burrowlink() {
  local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD - 1]}
  COMPREPLY=()
  if ((COMP_CWORD == 1)); then
    mapfile -t COMPREPLY < <(compgen -W \
      'list send receive help --help -h --version -V' -- "$cur")
    return
  fi

  case $prev in
    --dir)
      compopt -o filenames
      mapfile -t COMPREPLY < <(compgen -d -- "$cur")
      return
      ;;
    --seconds | --to | --name | --text | --port)
      return  # a value only the user knows
      ;;
  esac

  local options
  case ${COMP_WORDS[1]} in
    list) options='--seconds' ;;
    send) options='--to --name --text -r --recursive' ;;
    receive) options='--dir --yes --once --name --port' ;;
    *) return ;;
  esac
  if [[ $cur == -* ]]; then
    mapfile -t COMPREPLY < <(compgen -W "$options" -- "$cur")
  elif [[ ${COMP_WORDS[1]} == send ]]; then
    compopt -o filenames
    mapfile -t COMPREPLY < <(compgen -f -- "$cur")
  fi
}
complete -F _burrowlink burrowlink
