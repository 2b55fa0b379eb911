#!/bin/bash
# Catches a shell completion that offers an option a command refuses, or misses one that a
# command takes or that --help names (the completion list and the programs drifting apart).
# usage: completion_matches_parser.sh BASH_COMPLETION_DIR TAVRIK_CLI [TAVRIK]
set -u
dir=$1
cli=$2
window=${3:-}
fail=0
bad() { echo "FAIL: $*"; fail=1; }

loader=/usr/share/bash-completion/bash_completion
[ -f "$loader" ] || { echo "SKIP: bash-completion missing (scripts/install-deps.sh installs it)"; exit 0; }
# shellcheck disable=SC1090
source "$loader"
source "$dir/tavrik-cli" || { echo "FAIL: cannot source $dir/tavrik-cli"; exit 1; }

# What FUNCTION offers for the words given, the last one being completed; one a line, sorted.
offered() {
  local fn=$1
  shift
  COMP_WORDS=("$@")
  COMP_CWORD=$(($# - 1))
  COMP_LINE="$*"
  COMP_POINT=${#COMP_LINE}
  COMPREPLY=()
  "$fn" "$1" "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}" 2>/dev/null
  [ ${#COMPREPLY[@]} -gt 0 ] && printf '%s\n' "${COMPREPLY[@]}" | sort -u
}

# The long options a help text names, with "=" where the value is attached.
help_options() { grep -o -- '--[a-z][a-z-]*=\?' | sort -u; }

# Does the console program take OPTION (as its help writes it) after COMMAND ("" for none)?
accepts() {
  local command=$1 option=$2 value
  if [[ $option == *= ]]; then
    case $option in
      --on-error=) value=ignore ;;
      --keep-versions=) value=3 ;;
      --format=) value=json ;;
      --links=) value=follow ;;
      --max-delete=) value=25% ;;
      *) value=x ;;
    esac
    "$cli" $command "$option$value" --help >/dev/null 2>&1
  else
    "$cli" $command "$option" --help >/dev/null 2>&1 || "$cli" $command "$option" x --help >/dev/null 2>&1
  fi
}

help=$("$cli" --help) || bad "tavrik-cli --help failed"
commands=$(echo "$help" | sed -n 's/^\(usage:\)\? *tavrik-cli \([a-z][a-z]*\) .*/\2/p' | sort -u)
[ -n "$commands" ] || bad "no commands found in tavrik-cli --help"
got=$(offered _tavrik_cli tavrik-cli '')
[ "$got" = "$commands" ] || bad "commands offered: $(echo $got); --help lists: $(echo $commands)"

# Every option --help names or some command is offered, checked against every command.
all=$( (echo "$help" | help_options
        for c in "" $commands; do offered _tavrik_cli tavrik-cli $c --; done) | sort -u)
checked=0
for c in "" $commands; do
  got=$(offered _tavrik_cli tavrik-cli $c --)
  [ -n "$got" ] || bad "nothing offered after '${c:-(no command)}'"
  for option in $all; do
    in_list=0
    echo "$got" | grep -qx -- "$option" && in_list=1
    if accepts "$c" "$option"; then
      [ $in_list = 1 ] || bad "${c:-(no command)} takes $option, the completion does not offer it"
    else
      [ $in_list = 0 ] || bad "${c:-(no command)} refuses $option, the completion offers it"
    fi
    checked=$((checked + 1))
  done
done
[ $checked -ge 50 ] || bad "only $checked command and option pairs checked"

# The window: the options its --help names are the ones offered before anything else.
if [ -n "$window" ]; then
  source "$dir/tavrik" || bad "cannot source $dir/tavrik"
  named=$(env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "$window" --help | help_options)
  got=$(offered _tavrik tavrik --)
  [ -n "$named" ] && [ "$got" = "$named" ] ||
    bad "tavrik offers: $(echo $got); its --help names: $(echo $named)"
fi

[ $fail -eq 0 ] && echo "completion matches the programs ($checked command and option pairs)"
exit $fail
