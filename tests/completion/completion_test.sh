#!/usr/bin/env bash
# The bash completion and the manual pages against the tools' own --help:
# the completion offers exactly the options (and nicdiag's commands) that
# --help lists, each sub-command it offers is one --help shows, and each
# manual page carries every option.
# usage: completion_test.sh COMPLETION_FILE NETPURGE_SIM NICDIAG MAN_DIR
set -u
completion=$1 netpurge_sim=$2 nicdiag=$3 man_dir=$4
# shellcheck source=/dev/null
source "$completion"
failed=0

# Options the help names as another tool's ("dmidecode --from-dump") are not the tool's own.
options_of() {
  sed -E 's/(dmidecode|lspci|setpci|ethtool) --[a-z0-9-]+/\1/g' | grep -oE -- '(^|[^a-z-])--[a-z][a-z0-9-]*' |
    grep -oE -- '--[a-z0-9-]+' | sort -u
}
# What the completion offers for the words given, the last one being typed.
offers() {
  local function=$1
  shift
  COMP_WORDS=("$@")
  COMP_CWORD=$(($# - 1))
  COMPREPLY=()
  "$function"
  ((${#COMPREPLY[@]})) && printf '%s\n' "${COMPREPLY[@]}" | sort -u
}
same() {
  if [ "$2" != "$3" ]; then
    echo "FAIL: $1 differ (< --help, > completion):"
    diff <(echo "$2") <(echo "$3")
    failed=1
  fi
}

sim_help=$("$netpurge_sim" --help) || { echo "FAIL: netpurge-sim --help"; exit 1; }
diag_help=$("$nicdiag" --help) || { echo "FAIL: nicdiag --help"; exit 1; }

same "netpurge-sim options" "$(options_of <<<"$sim_help")" "$(offers _nickit_netpurge_sim netpurge-sim --)"
same "netpurge-sim --user answers" "$(printf '%s\n' cancel close enter escape ok)" \
  "$(offers _nickit_netpurge_sim netpurge-sim --user ok, | sed 's/^ok,//')"

global=$(sed -n '/^Options:/,/^$/p' <<<"$diag_help" | options_of)
same "nicdiag options" "$global" "$(offers _nickit_nicdiag nicdiag --)"
same "nicdiag command options" "$(comm -23 <(options_of <<<"$diag_help") <(echo "$global"))" \
  "$(offers _nickit_nicdiag nicdiag id --)"
commands=$(sed -n '/^Commands/,/^$/p' <<<"$diag_help" | grep -oE '^  [a-z][a-z0-9-]*' | sed 's/^  //' | sort -u)
same "nicdiag commands" "$commands" "$(offers _nickit_nicdiag nicdiag '')"
same "nicdiag commands after ';'" "$commands" "$(offers _nickit_nicdiag nicdiag --json id ';' '')"
for command in $commands; do
  [ "$command" = install ] && continue  # its argument is a file name, completed as one
  for sub in $(offers _nickit_nicdiag nicdiag "$command" ''); do
    if ! grep -qE "^  $command ([A-Za-z0-9.|-]+ )*([A-Za-z0-9.-]+\|)*$sub([ |]|\$)" <<<"$diag_help"; then
      echo "FAIL: the completion offers 'nicdiag $command $sub', which --help does not show"
      failed=1
    fi
  done
done

for tool in netpurge-sim nicdiag; do
  page=$man_dir/$tool.1
  if [ ! -s "$page" ]; then
    echo "FAIL: no manual page $page"
    failed=1
    continue
  fi
  help=$sim_help
  [ $tool = nicdiag ] && help=$diag_help
  for option in $(options_of <<<"$help"); do
    grep -q -- "${option//-/\\\\-}" "$page" || { echo "FAIL: $page lacks $option"; failed=1; }
  done
done
[ $failed = 0 ] && echo "completion and manual pages agree with --help"
exit $failed
