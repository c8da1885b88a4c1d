#!/usr/bin/env bash
# Checks the bash completion of every program: each program in BINDIR has a completion script
# in COMPDIR, which offers every option its --help names, and completes file names after each
# option whose value --help calls a FILE. Runs the completion functions as bash-completion does.
#
# usage: scripts/check-completion.sh BINDIR COMPDIR
set -euo pipefail
[[ $# -eq 2 && -d "$1" && -d "$2" ]] || { echo "usage: $0 BINDIR COMPDIR" >&2; exit 2; }
bindir=$(realpath "$1")
compdir=$(realpath "$2")
bash_completion=/usr/share/bash-completion/bash_completion
[[ -r $bash_completion ]] || { echo "check-completion: $bash_completion missing (apt-get install bash-completion)" >&2; exit 2; }
work=$(mktemp -d /tmp/esm-completion-XXXXXX)
trap 'rm -rf "$work"' EXIT
touch "$work/probe.file"

# complete COMPFILE WORD...: what completing the last WORD offers, one per line, run in $work
# as bash does on TAB.
complete_words() {
  local file=$1
  shift
  (cd "$work" && bash -c '
    source "$1"; source "$2"; shift 2
    compopt() { :; }  # only valid during a real completion
    read -r _ _ func _ < <(complete -p "$1" | sed "s/.*-F \([^ ]*\) .*/x x \1 x/")
    COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1))
    COMP_LINE="$*"; COMP_POINT=${#COMP_LINE}
    "$func" "$1" "${@: -1}" "${@: -2:1}"
    printf "%s\n" "${COMPREPLY[@]}"' _ "$bash_completion" "$file" "$@")
}

failures=0
programs=0
for prog in "$bindir"/*; do
  [[ -f $prog && -x $prog ]] || continue
  name=$(basename "$prog")
  programs=$((programs + 1))
  file="$compdir/$name"
  if [[ ! -f $file ]]; then
    echo "FAIL: $name has no completion in $compdir"
    failures=$((failures + 1))
    continue
  fi
  help=$("$prog" --help 2>&1) || { echo "FAIL: $name --help failed"; failures=$((failures + 1)); continue; }
  # Every long option named anywhere in --help, and every short one that heads an option line.
  mapfile -t options < <({ grep -oE -- '--[A-Za-z0-9][-A-Za-z0-9]*' <<<"$help"
                           grep -oE '^ {1,8}-[A-Za-z0-9]\b' <<<"$help" | tr -d ' '; } | sort -u)
  offered=$(complete_words "$file" "$name" - | sed 's/=$//')
  missing=()
  for opt in "${options[@]}"; do
    grep -qxF -- "$opt" <<<"$offered" || missing+=("$opt")
  done
  # Options whose value is a FILE complete file names.
  mapfile -t file_options < <(grep -oE -- '--[A-Za-z0-9][-A-Za-z0-9]*[= ]FILE' <<<"$help" |
                              sed -E 's/[= ]FILE$//' | sort -u)
  for opt in "${file_options[@]}"; do
    complete_words "$file" "$name" "$opt" "" | grep -qx probe.file ||
      missing+=("$opt FILE")
  done
  if [[ ${#missing[@]} -gt 0 ]]; then
    echo "FAIL: $name: not completed: ${missing[*]}"
    failures=$((failures + 1))
  else
    echo "$name: ${#options[@]} options completed${file_options:+, file names after ${file_options[*]}}"
  fi
done
[[ $programs -gt 0 ]] || { echo "FAIL: no program in $bindir"; failures=$((failures + 1)); }
if [[ $failures -eq 0 ]]; then
  echo "check-completion: PASS ($programs programs)"
else
  echo "check-completion: FAIL ($failures)"
  exit 1
fi
