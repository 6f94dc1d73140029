# Bash completion for polc, polcdump, polcq and polclint: options, polcq's
# commands, class and operation names from the class table (by way of
# `polcq classes`), and polclint's warnings (`polclint --list-warnings`).
# Installed once per command name, where bash-completion looks for it.

_polc_files() {
  mapfile -t COMPREPLY < <(compgen -f -- "$1")
}

# An option of the words $1, or a file.
_polc_option_or_file() {
  local cur=${COMP_WORDS[COMP_CWORD]}
  if [[ $cur == -* ]]; then
    mapfile -t COMPREPLY < <(compgen -W "$1" -- "$cur")
  else
    _polc_files "$cur"
  fi
}

_polc() { _polc_option_or_file "-c -m -o"; }

_polcdump() { _polc_option_or_file "-j --json -s --stats -h --help"; }

# The class given with -c before the word being completed, if any.
_polcq_class() {
  local i
  for ((i = 2; i < COMP_CWORD - 1; i++)); do
    [[ ${COMP_WORDS[i]} == -c ]] && echo "${COMP_WORDS[i + 1]}"
  done
}

_polcq() {
  local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD - 1]}
  local polcq=${COMP_WORDS[0]}
  if ((COMP_CWORD == 1)); then
    mapfile -t COMPREPLY < <(compgen -W "access transitions check reach flow diff classes --help" -- "$cur")
    return
  fi
  local command=${COMP_WORDS[1]} words
  case $prev in
    -c)
      words=$("$polcq" classes 2>/dev/null)
      ;;
    -p)
      local class
      class=$(_polcq_class)
      if [[ -n $class ]]; then
        words=$("$polcq" classes "$class" 2>/dev/null)
      else
        words=$(for class in $("$polcq" classes 2>/dev/null); do "$polcq" classes "$class"; done)
      fi
      ;;
    -s | -o | -t | --max-depth | --min-weight)
      COMPREPLY=()
      return
      ;;
  esac
  if [[ -z $words && $command == classes ]]; then
    words=$("$polcq" classes 2>/dev/null)
  elif [[ -z $words && $cur == -* ]]; then
    case $command in
      access) words="-s -o -c -p --explain --json" ;;
      transitions) words="-s -o -c --explain" ;;
      diff) words="--effective --json" ;;
      reach) words="-s -t --max-depth --explain --dot" ;;
      flow) words="-s -t --min-weight --max-depth --map --explain --dot" ;;
    esac
  fi
  if [[ -n $words ]]; then
    mapfile -t COMPREPLY < <(compgen -W "$words" -- "$cur" | sort -u)
  else
    _polc_files "$cur"
  fi
}

_polclint() {
  local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD - 1]}
  local warnings
  if [[ $prev == -W ]]; then
    warnings=$("${COMP_WORDS[0]}" --list-warnings 2>/dev/null | cut -f1)
    mapfile -t COMPREPLY < <(compgen -W "error $(printf 'no-%s ' $warnings)" -- "$cur")
  elif [[ $cur == -* ]]; then
    mapfile -t COMPREPLY < <(compgen -W "--format=text --format=json --format=sarif
      --color=auto --color=always --color=never -W -Werror --list-warnings" -- "$cur")
  else
    _polc_files "$cur"
  fi
}

complete -o filenames -F _polc polc
complete -o filenames -F _polcdump polcdump
complete -o filenames -F _polcq polcq
complete -o filenames -F _polclint polclint
