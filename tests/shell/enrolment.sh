# Sourced by shell tests: one enrolment with scripts/test-ca as the authority.
#   enrol WORK_DIR COMMAND...   runs COMMAND... genreq / setcert (COMMAND is the
#                              tarvenholm program with its global options)
# Leaves the issued chain installed; prints nothing, fails loudly.
enrol() {
  local work=$1 trust=()
  shift
  "$@" genreq --names "2.5.4.3=Completion Test;2.5.4.6=MX" > "$work/request.b64" || return 1
  [[ -s $work/request.b64 ]] || { echo "genreq wrote no request" >&2; return 1; }
  bash "$(dirname "${BASH_SOURCE[0]}")/../../scripts/test-ca" "$work/ca" init > /dev/null &&
    bash "$(dirname "${BASH_SOURCE[0]}")/../../scripts/test-ca" "$work/ca" issue "$work/request.b64" "$work/issued.p7b" --der > /dev/null ||
    return 1
  chmod a+r "$work/issued.p7b"
  # A new root needs the user's consent where the command asks for it.
  "$@" --help 2>/dev/null | grep -q -- --trust-new-roots && trust=(--trust-new-roots)
  local code
  code=$("$@" "${trust[@]}" setcert "$work/issued.p7b") || return 1
  [[ $code == 2000 ]] || { echo "setcert answered '$code', not 2000" >&2; return 1; }
}
