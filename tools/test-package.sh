#!/usr/bin/env bash
# The Debian package on this machine: build it, lint it, install it with apt-get (which pulls
# its dependencies), use what it installed, purge it and check that nothing of it is left.
# The package is purged on every way out. Needs root (or sudo). Ends with the line
# "package: N passed, M failed".
set -euo pipefail
cd "$(dirname "$0")/.."

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
work=$(mktemp -d)
# shellcheck source=tools/checks.sh
. tools/checks.sh

purge() { $sudo env DEBIAN_FRONTEND=noninteractive apt-get purge -y -qq trunvex >/dev/null; }
installed() { dpkg-query -W -f='${Status}' trunvex 2>/dev/null | grep -q "install ok installed"; }
finish() {
  if installed; then purge || true; fi
  rm -rf "$work"
  echo "package: $passed passed, $failed failed"
}
trap finish EXIT

build_package() {
  tools/package-linux.sh | tail -n 1 >"$work/package-path"
}
lint_package() { lintian --fail-on error,warning "$package"; }

# The package's paths, and which of its folders exist already (those stay after the purge).
record_folders_before() {
  dpkg-deb --fsys-tarfile "$package" | tar -t | sed -e 's|^\./|/|' -e 's|/$||' |
    grep -v '^$' >"$work/contents"
  while IFS= read -r path; do
    if [ -d "$path" ]; then echo "$path"; fi
  done <"$work/contents" >"$work/folders-before"
}

install_package() {
  (cd "$(dirname "$package")" &&
    $sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "./$(basename "$package")") \
    >/dev/null
  installed || fail "trunvex is not installed"
  dpkg -L trunvex >"$work/installed"
}

version_matches() {
  local package_version program_version
  package_version=$(dpkg-query -W -f='${Version}' trunvex)
  program_version=$(trunvex-cli --version)
  [ "$program_version" = "trunvex-cli $package_version" ] ||
    fail "package $package_version, program says '$program_version'"
}

# dpkg-shlibdeps computes them from the binaries: Qt for the dialog, the C library for both.
dependencies_computed() {
  local depends
  depends=$(dpkg-query -W -f='${Depends}' trunvex)
  echo "$depends"
  grep -q 'libqt6widgets6 (>= ' <<<"$depends" || fail "no versioned Qt Widgets dependency"
  grep -q 'libc6 (>= ' <<<"$depends" || fail "no versioned C library dependency"
  # The About box and the messages are Chinese; choosers and buttons follow the desktop.
  grep -q 'fonts-wqy-microhei' <<<"$depends" || fail "no font with Chinese glyphs"
  grep -q 'qt6-translations-l10n' <<<"$depends" || fail "no Qt translations"
  for binary in /usr/bin/trunvex /usr/bin/trunvex-cli; do
    if ldd "$binary" | grep 'not found'; then fail "$binary misses a library"; fi
  done
}

converts_sample() {
  local out
  [ "$(command -v trunvex-cli)" = /usr/bin/trunvex-cli ] || fail "trunvex-cli is not /usr/bin's"
  out=$(trunvex-cli samples/sample.264 "$work/sample.avi" 2>&1) || fail "trunvex-cli failed: $out"
  [ "$out" = "Trunvex succeeded!" ] || fail "trunvex-cli said: $out"
  ffprobe -v error -show_entries stream=codec_type -of csv=p=0 "$work/sample.avi" |
    sort | tr '\n' ' ' | grep -qx 'audio video ' || fail "the AVI lacks its audio or video"
}

# Every spelling of every option the installed trunvex-cli's --help lists, one a line.
help_options() {
  trunvex-cli --help | sed -n 's/^ \{1,4\}\(-[^ ]*\).*/\1/p' | tr ',' '\n'
}

manual_pages() {
  [ "$(man -w trunvex-cli)" = /usr/share/man/man1/trunvex-cli.1.gz ] || fail "man -w trunvex-cli"
  [ "$(man -w trunvex)" = /usr/share/man/man1/trunvex.1.gz ] || fail "man -w trunvex"
  # The page comes from --help: every option the program lists is on it.
  local page option
  page=$(MANWIDTH=200 man trunvex-cli 2>/dev/null | col -b)
  for option in $(help_options); do
    grep -qe "$option" <<<"$page" || fail "the manual page lacks $option"
  done
}

desktop_entry() {
  local entry=/usr/share/applications/trunvex.desktop icon out
  out=$(desktop-file-validate "$entry" 2>&1) || fail "$out"
  [ -z "$out" ] || fail "$out"
  command -v "$(sed -n 's/^Exec=\([^ ]*\).*/\1/p' "$entry")" >/dev/null || fail "Exec not found"
  # "Open with" hands the dialog the recording.
  grep -qx 'Exec=trunvex %f' "$entry" || fail "Exec takes no file"
  icon=$(sed -n 's/^Icon=//p' "$entry")
  ls /usr/share/icons/hicolor/*/apps/"$icon".png >/dev/null || fail "icon $icon not found"
  appstreamcli validate --no-net /usr/share/metainfo/*.metainfo.xml
}

# Runs the completion bash-completion loads for trunvex-cli on the words given, in $work/cwd.
complete_words() {
  (cd "$work/cwd" && bash -c '
    source /usr/share/bash-completion/bash_completion
    __load_completion trunvex-cli
    COMP_WORDS=("$@")
    COMP_CWORD=$(($# - 1))
    COMP_LINE="$*"
    COMP_POINT=${#COMP_LINE}
    $(complete -p trunvex-cli | sed -n "s/.*-F \([^ ]*\) .*/\1/p") \
      trunvex-cli "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}"
    printf "%s\n" "${COMPREPLY[@]}" | sort' _ "$@")
}

bash_completion() {
  mkdir -p "$work/cwd/folder"
  touch "$work/cwd/"{a.264,b.mp4,C.MP4,notes.txt,old.avi}
  [ -f /usr/share/bash-completion/completions/trunvex-cli ] || fail "no completion file"
  local expected
  expected=$(help_options | grep -- '^--' | sort)
  [ "$(complete_words trunvex-cli --)" = "$expected" ] ||
    fail "options offered: $(complete_words trunvex-cli --)"
  [ "$(complete_words trunvex-cli '')" = "$(printf '%s\n' C.MP4 a.264 b.mp4 folder | sort)" ] ||
    fail "sources offered: $(complete_words trunvex-cli '')"
  [ -z "$(complete_words trunvex-cli --jobs '')" ] || fail "--jobs takes a number"
  [ -z "$(complete_words trunvex-cli --shard '')" ] || fail "--shard takes a share"
  [ -z "$(complete_words trunvex-cli --ext '')" ] || fail "--ext takes a list"
  complete_words trunvex-cli --output '' | grep -qx old.avi || fail "--output takes any file"
}

# Options the program may gain complete from its --help alone: a stand-in program lists a
# choice, a folder and a number the way the option parser prints them.
completion_follows_help() {
  mkdir -p "$work/stand-in" "$work/cwd/folder"
  touch "$work/cwd/notes.txt"
  cat >"$work/stand-in/trunvex-cli" <<'EOF'
#!/bin/sh
cat <<'HELP'
Options:
  -r,--recursive              descend into folders
  --hash TEXT:{md5,sha256} Excludes: --info
                              checksum to print
  --output-dir TEXT           folder for the AVI files
  --shard UINT:UINT in [1 - 8]
                              - this part of the work
HELP
EOF
  chmod +x "$work/stand-in/trunvex-cli"
  local PATH=$work/stand-in:$PATH
  [ "$(complete_words trunvex-cli -)" = "$(printf '%s\n' -r --recursive --hash --output-dir --shard |
    sort)" ] || fail "options offered: $(complete_words trunvex-cli -)"
  [ "$(complete_words trunvex-cli --hash s)" = sha256 ] || fail "--hash s: no sha256"
  [ "$(complete_words trunvex-cli --output-dir '')" = folder ] || fail "--output-dir: not folders"
  [ -z "$(complete_words trunvex-cli --shard '')" ] || fail "--shard takes a number"
}

purge_package() {
  purge
  ! installed || fail "trunvex is still installed"
}

# Files of the package must be gone, and its folders unless they were there before.
nothing_left() {
  local path left=0
  while IFS= read -r path; do
    if [ "$path" = /. ] || [ ! -e "$path" ]; then continue; fi
    if [ -d "$path" ] && grep -qxF "$path" "$work/folders-before"; then continue; fi
    echo "left behind: $path"
    left=1
  done <"$work/installed"
  [ "$left" -eq 0 ]
}

must "package builds" build_package
package=$(cat "$work/package-path")
check "lintian finds no error or warning" lint_package
if installed; then
  echo "note: purging the trunvex package an earlier run left installed"
  purge
fi
must "folders recorded" record_folders_before
must "apt-get installs $(basename "$package")" install_package
check "version of package and program agree" version_matches
check "dependencies computed from the binaries" dependencies_computed
check "installed trunvex-cli converts the sample" converts_sample
check "manual pages found by man" manual_pages
check "desktop entry, icon and AppStream data" desktop_entry
check "bash completion loaded and working" bash_completion
check "bash completion follows the options --help lists" completion_follows_help
must "package purged" purge_package
check "nothing of the package left" nothing_left
[ "$failed" -eq 0 ]
