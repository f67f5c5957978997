#!/usr/bin/env bash
# Every command and option a program's help lists must be documented in its
# manual page: global options in OPTIONS, each command in COMMANDS with its own
# options in its entry. Prints exactly what is missing.
#   man_pages_test.sh BINARY_DIR SOURCE_DIR
set -uo pipefail
binary_dir=$1
source_dir=$2

# program | manual page source | the source folder that builds the program |
# whether it has a --help (the browser starts the bridge; it has none)
pages=(
  "tarvenholm|docs/man/tarvenholm.1.scd|src/host|help"
  "tarvenholm-bridge|docs/man/tarvenholm-bridge.1.scd|src/bridge|"
)

# Options defined by help lines ("  -q, --quiet ...", "      --out FILE ...").
options_of() {
  grep -oE '^[[:space:]]+(-[[:alnum:]], )?--[[:alnum:]-]+' | tr -d ' ' | tr ',' '\n'
}

# Command names of the general help's "Commands:" list.
commands_of() {
  sed -n '/^Commands:$/,/^$/p' | grep -oE '^  [a-z][a-z0-9-]*( [a-z][a-z0-9-]*)*' | sed 's/^  //'
}

# The lines of a manual page section ("# OPTIONS" up to the next heading).
section_of() {
  awk -v heading="# $2" '$0 == heading {inside = 1; next} /^# / {inside = 0} inside' "$1"
}

# A command's entry in COMMANDS: from its term line to the next term line.
entry_of() {
  section_of "$1" COMMANDS | awk -v term="*$2*" 'index($0, term) == 1 {inside = 1; print; next}
                                                  /^[^[:space:]]/ {inside = 0} inside'
}

missing=()
for row in "${pages[@]}"; do
  IFS='|' read -r program page builds has_help <<<"$row"
  [[ -d $source_dir/$builds ]] || continue
  page_file=$source_dir/$page
  binary=$binary_dir/$program
  if [[ ! -f $page_file ]]; then missing+=("$page: the page itself (for $program)"); continue; fi
  [[ -n $has_help ]] || continue
  if ! help=$("$binary" --help); then missing+=("$program --help: failed, nothing to compare"); continue; fi

  options=$(section_of "$page_file" OPTIONS)
  for option in $(options_of <<<"$help"); do
    grep -qF -- "*$option*" <<<"$options" || missing+=("$page: option $option in OPTIONS (from '$program --help')")
  done

  while IFS= read -r command; do
    [[ -n $command ]] || continue
    entry=$(entry_of "$page_file" "$command")
    if [[ -z $entry ]]; then missing+=("$page: command '$command' in COMMANDS (from '$program --help')"); continue; fi
    [[ $command == help ]] && continue  # the help of help is the general help
    if ! command_help=$("$binary" $command --help); then
      missing+=("$program $command --help: failed, nothing to compare"); continue
    fi
    for option in $(options_of <<<"$command_help"); do
      grep -qF -- "*$option*" <<<"$entry" ||
        missing+=("$page: option $option in the entry of '$command' (from '$program $command --help')")
    done
  done < <(commands_of <<<"$help")
done

if ((${#missing[@]})); then
  printf 'Missing from the manual pages:\n' >&2
  printf '  %s\n' "${missing[@]}" >&2
  exit 1
fi
echo "manual pages document every command and option of the help"
