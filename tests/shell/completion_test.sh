#!/usr/bin/env bash
# Drives the bash completion as bash does (COMP_WORDS, COMP_CWORD, then the
# completion function) against a real home holding one enrolled certificate.
#   completion_test.sh TARVENHOLM SOURCE_DIR
set -uo pipefail
program=$1
source_dir=$2
work=$(mktemp -d "${TMPDIR:-/tmp}/tarvenholm-completion.XXXXXX")
trap 'rm -rf "$work"' EXIT
home=$work/home
source "$source_dir/tests/shell/enrolment.sh"
enrol "$work" "$program" --home "$home" --batch --quiet || { echo "enrolment failed" >&2; exit 1; }
thumbprint=$("$program" --home "$home" store list MY | cut -f1)
container=$("$program" --home "$home" keys list | cut -f1)
[[ $thumbprint =~ ^[0-9A-F]{40}$ && -n $container ]] || { echo "no certificate or container in $home" >&2; exit 1; }

# The program completes under its own name, as once installed.
mkdir "$work/bin" && ln -s "$(readlink -f "$program")" "$work/bin/tarvenholm"
export PATH="$work/bin:$PATH"
source "$source_dir/completion/tarvenholm.bash"
# Without --home on the line the default home is elsewhere and empty.
export HOME=$work/elsewhere XDG_DATA_HOME="" TARVENHOLM_HOME=""

# Completes the line (the last word is the one being completed) and prints COMPREPLY.
complete_line() {
  local line=$1
  read -r -a COMP_WORDS <<<"$line"
  [[ $line == *' ' ]] && COMP_WORDS+=("")
  COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
  COMPREPLY=()
  _tarvenholm tarvenholm "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}"
  printf '%s\n' "${COMPREPLY[@]}" | sort | tr '\n' ' ' | sed 's/ $//'
}

# line | exactly the completions expected
cases=(
  "tarvenholm st|store"
  "tarvenholm store |delete export import list"
  "tarvenholm --ho|--home"
  "tarvenholm --lang |en es"
  "tarvenholm -q --home $home store list |CA MY ROOT"
  "tarvenholm --home $home store export |$thumbprint"
  "tarvenholm --home $home store list ROOT --|--help --json"
  "tarvenholm --home=$home store export ${thumbprint:0:6}|$thumbprint"
  "tarvenholm store export |"
  "tarvenholm --home $home store export $thumbprint --o|--out"
  "tarvenholm genreq --key-size 1024 --|--help --key-size --names --provider"
  "tarvenholm help ke|keys"
)
# A command that names a key container completes the containers.
if "$program" --help | grep -qE '^  keys delete'; then
  cases+=("tarvenholm --home $home keys delete |$container")
fi

failures=0
for row in "${cases[@]}"; do
  line=${row%|*}
  expected=${row##*|}
  actual=$(complete_line "$line")
  if [[ $actual != "$expected" ]]; then
    printf 'completing "%s": got "%s", expected "%s"\n' "$line" "$actual" "$expected" >&2
    failures=$((failures + 1))
  fi
done
# Containers as the completion reads them from the line's home.
actual=$(cur="" _tarvenholm_values tarvenholm "$home" CONTAINER)
[[ $actual == "$container" ]] || { echo "containers of $home: got \"$actual\", expected \"$container\"" >&2; failures=$((failures + 1)); }
# Completion never creates a home it was not given.
[[ ! -e $HOME ]] || { echo "completion created $HOME" >&2; failures=$((failures + 1)); }
((failures == 0)) || exit 1
echo "${#cases[@]} completions as expected"
