#!/usr/bin/env bash
# The bash completion of trunvex-cli, loaded from the source tree over the built program:
# recordings and folders where a source goes, only paths after an option that takes one,
# nothing at all after one that takes a number, a list or a share.
#   tests/cli/completion_test.sh CLI COMPLETION_FILE
set -euo pipefail
usage="usage: $0 CLI COMPLETION_FILE"
cli=$(realpath "${1:?$usage}")
completion=$(realpath "${2:?$usage}")
[ -f /usr/share/bash-completion/bash_completion ] || {
  echo "completion_test: bash-completion is not installed" >&2
  exit 77
}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/bin" "$work/cwd/folder"
ln -s "$cli" "$work/bin/trunvex-cli"
touch "$work/cwd/"{a.264,b.mp4,notes.txt,old.avi}

# The words offered for the command line given, one a line, sorted.
complete_words() {
  (cd "$work/cwd" && PATH=$work/bin:$PATH bash -c '
    source /usr/share/bash-completion/bash_completion
    source "$0"
    COMP_WORDS=("$@")
    COMP_CWORD=$(($# - 1))
    COMP_LINE="$*"
    COMP_POINT=${#COMP_LINE}
    _trunvex_cli trunvex-cli "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}"
    printf "%s\n" "${COMPREPLY[@]}" | sort' "$completion" "$@")
}

failed=0
expect() {
  local what=$1 expected=$2
  shift 2
  local got
  got=$(complete_words "$@")
  if [ "$got" != "$expected" ]; then
    echo "completion_test: $what: offered '$(tr '\n' ' ' <<<"$got")'" >&2
    failed=1
  fi
}

expect "sources" "$(printf '%s\n' a.264 b.mp4 folder)" trunvex-cli ''
expect "--output takes any file" "$(printf '%s\n' a.264 b.mp4 folder notes.txt old.avi)" \
  trunvex-cli --output ''
expect "--output-dir takes a folder" folder trunvex-cli --output-dir ''
for option in --shard --ext --jobs; do
  expect "$option takes no path" "" trunvex-cli "$option" ''
done
[ "$failed" -eq 0 ] && echo "completion_test: each value completes as what it is"
