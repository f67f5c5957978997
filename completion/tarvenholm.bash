# Bash completion of tarvenholm(1): commands, options and their values, store
# names, thumbprints and key containers. Commands, options and operands are
# read from the program's own help, so the completion knows exactly what the
# installed version offers; thumbprints and containers are read from the home
# the line names (--home, else as the program chooses it).

# The help lines that define options, as "OPTION VALUE" ("OPTION" for a flag).
_tarvenholm_options() {
  local line pattern='^[[:space:]]+(-[[:alnum:]], )?(--[[:alnum:]-]+)( ([^[:space:]]+))?([[:space:]]|$)'
  while IFS= read -r line; do
    [[ $line =~ $pattern ]] || continue
    printf '%s %s\n' "${BASH_REMATCH[2]}" "${BASH_REMATCH[4]}"
    [[ -n ${BASH_REMATCH[1]} ]] && printf '%s %s\n' "${BASH_REMATCH[1]%, }" "${BASH_REMATCH[4]}"
  done
}

# The command names of the general help ("store list", "help", ...).
_tarvenholm_commands() {
  local line listing=0 pattern='^  ([a-z][a-z0-9-]*( [a-z][a-z0-9-]*)*)'
  while IFS= read -r line; do
    if [[ $line == Commands: ]]; then listing=1; continue; fi
    [[ $listing == 1 && -z $line ]] && break
    [[ $listing == 1 && $line =~ $pattern ]] && printf '%s\n' "${BASH_REMATCH[1]}"
  done
}

# The home the program would use, when it exists (completion never creates one).
_tarvenholm_home() {
  local home=$1
  [[ -n $home ]] || home=${TARVENHOLM_HOME:-}
  [[ -n $home || -z ${XDG_DATA_HOME:-} ]] || home=$XDG_DATA_HOME/tarvenholm
  [[ -n $home ]] || home=${HOME:-/tmp}/.local/share/tarvenholm
  home=${home/#\~/$HOME}
  [[ -d $home ]] && printf '%s\n' "$home"
}

# Candidates for a placeholder of the help (FILE, MY|CA|ROOT, THUMBPRINT, ...);
# thumbprints are those of STORE.
_tarvenholm_values() {
  local program=$1 home=$2 placeholder=$3 store=${4:-MY}
  home=$(_tarvenholm_home "$home")
  case $placeholder in
    *FILE*) compgen -f -- "$cur" ;;
    DIR) compgen -d -- "$cur" ;;
    *'|'*) local IFS='|'; compgen -W "$placeholder" -- "$cur" ;;
    COMMAND) _tarvenholm_commands <<<"$("$program" --help 2>/dev/null)" | cut -d' ' -f1 | sort -u |
      compgen -W "$(cat)" -- "$cur" ;;
    THUMBPRINT)
      [[ -n $home ]] || return 0
      "$program" --home "$home" --quiet --batch store list "$store" </dev/null 2>/dev/null | cut -f1 |
        compgen -W "$(cat)" -- "$cur" ;;
    CONTAINER)
      [[ -n $home ]] || return 0
      "$program" --home "$home" --quiet --batch keys list </dev/null 2>/dev/null | cut -f1 |
        compgen -W "$(cat)" -- "$cur" ;;
  esac
}

_tarvenholm() {
  local program=${COMP_WORDS[0]} cur=${COMP_WORDS[COMP_CWORD]}
  local help word index home="" pending="" last_option="" command="" complete=0
  local -a operands=()
  local -A takes=()  # the options of the current scope (global, then the command's) and their values
  help=$("$program" --help 2>/dev/null) || return 0
  local commands option value
  commands=$(_tarvenholm_commands <<<"$help")
  while read -r option value; do takes[$option]=$value; done < <(_tarvenholm_options <<<"$help")

  # What the line holds before the word being completed.
  for ((index = 1; index < COMP_CWORD; index++)); do
    word=${COMP_WORDS[index]}
    if [[ -n $pending ]]; then
      [[ $pending == --home ]] && ((!complete)) && home=$word
      pending=""
    elif [[ $word == = && -n ${takes[$last_option]:-} ]]; then
      pending=$last_option
    elif [[ $word == -?* ]]; then
      last_option=${word%%=*}
      if [[ $word == *=* ]]; then
        [[ $last_option == --home ]] && ((!complete)) && home=${word#*=}
      elif [[ -n ${takes[$word]:-} ]]; then
        pending=$word
      fi
    elif ((complete)); then
      operands+=("$word")
    elif grep -q -- "^${command:+$command }$word\( \|$\)" <<<"$commands"; then
      command=${command:+$command }$word
      if grep -qxF -- "$command" <<<"$commands"; then
        complete=1
        takes=([-h]="" [--help]="")
        while read -r option value; do takes[$option]=$value; done \
          < <("$program" $command --help 2>/dev/null | _tarvenholm_options)
      fi
    fi
  done
  if [[ $cur == = && -n ${takes[$last_option]:-} ]]; then pending=$last_option; cur=""; fi

  COMPREPLY=()
  if [[ -n $pending ]]; then
    [[ ${takes[$pending]} == *FILE* || ${takes[$pending]} == DIR ]] && compopt -o filenames 2>/dev/null
    mapfile -t COMPREPLY < <(_tarvenholm_values "$program" "$home" "${takes[$pending]}")
  elif [[ $cur == -* ]]; then
    mapfile -t COMPREPLY < <(compgen -W "${!takes[*]}" -- "$cur")
  elif ((!complete)); then
    local prefix=${command:+$command }
    mapfile -t COMPREPLY < <(grep -- "^$prefix" <<<"$commands" | cut -d' ' -f$(($(wc -w <<<"$prefix") + 1)) |
      sort -u | compgen -W "$(cat)" -- "$cur")
  else
    # The operand's placeholder in the command's usage line (else its line in
    # the general help), options and their values left out.
    local usage token skip=0 store=MY
    local -a placeholders=()
    usage=$("$program" $command --help 2>/dev/null | grep -m1 "^Usage: .* $command\( \|$\)")
    [[ -n $usage ]] || usage=$(grep -m1 "^  $command " <<<"$help" | sed 's/   .*//')
    for token in ${usage#*"$command"}; do
      token=${token//[\[\]]/}
      if ((skip)); then skip=0; continue; fi
      case $token in
        -*) [[ -n ${takes[$token]:-} ]] && skip=1 ;;
        '|' | '-' | '...' | '') ;;
        *) placeholders+=("$token") ;;
      esac
    done
    # A store named earlier on the line is the one whose thumbprints are meant.
    for word in "${operands[@]}"; do [[ $word == @(MY|CA|ROOT) ]] && store=$word; done
    local placeholder=${placeholders[${#operands[@]}]:-}
    [[ $placeholder == *FILE* ]] && compopt -o filenames 2>/dev/null
    [[ -n $placeholder ]] && mapfile -t COMPREPLY < <(_tarvenholm_values "$program" "$home" "$placeholder" "$store")
  fi
  return 0
}

complete -F _tarvenholm tarvenholm
