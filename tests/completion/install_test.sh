#!/usr/bin/env bash
# `cmake --install` of the host build: both tools, their manual pages and
# the completion file under the prefix, in the places man and bash-completion
# look, and each of them usable from there.
# usage: install_test.sh BUILD_DIR
set -u
build=$1
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
cmake --install "$build" --prefix "$prefix" >/dev/null || { echo "FAIL: cmake --install"; exit 1; }
failed=0
for tool in netpurge-sim nicdiag; do
  "$prefix/bin/$tool" --version >/dev/null || { echo "FAIL: $prefix/bin/$tool --version"; failed=1; }
  MANPATH=$prefix/share/man man -w "$tool" >/dev/null 2>&1 || { echo "FAIL: man finds no $tool page"; failed=1; }
  completion=$prefix/share/bash-completion/completions/$tool
  # shellcheck disable=SC2016
  bash -c 'source "$1" && complete -p "$2"' _ "$completion" "$tool" >/dev/null ||
    { echo "FAIL: $completion does not complete $tool"; failed=1; }
done
[ $failed = 0 ] && echo "installed: $(cd "$prefix" && find . -type f | sort | tr '\n' ' ')"
exit $failed
