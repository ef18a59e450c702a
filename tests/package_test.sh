#!/usr/bin/env bash
# Builds the Debian package from a build folder, installs it with dpkg on
# this machine, and runs what it installed: qst --version, man -w qst, and
# the bash completion; lintian has nothing to say of it. Removes it again.
# Needs root, dpkg and lintian; skips (77) without them.
set -euo pipefail
build=$1
if [[ $(id -u) != 0 ]] || ! command -v dpkg >/dev/null || ! command -v cpack >/dev/null ||
  ! command -v lintian >/dev/null; then
  echo "needs root, dpkg, cpack and lintian"; exit "$([ -n "${CI:-}" ] && echo 1 || echo 77)"
fi
if dpkg -s quillstamp >/dev/null 2>&1; then
  echo "a quillstamp package is installed already: left alone"; exit "$([ -n "${CI:-}" ] && echo 1 || echo 77)"
fi
work=$(mktemp -d)
trap 'dpkg -r quillstamp >/dev/null 2>&1 || true; rm -rf "$work"' EXIT
cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work" >/dev/null
deb=$(ls "$work"/quillstamp_*.deb)
# Lintian finds nothing to say, errors, warnings or info.
if ! said=$(lintian --fail-on error,warning,info --tag-display-limit 0 "$deb" 2>&1); then
  echo "$said"
  exit 1
fi
fields=$(dpkg-deb -f "$deb" Depends Recommends)
echo "$fields"
grep -q '^Depends: .*libc6' <<<"$fields"
grep -q '^Recommends: libtsk' <<<"$fields"
if dpkg-deb -f "$deb" Depends | grep -q tsk; then echo "libtsk must not be a dependency"; exit 1; fi
dpkg -i "$deb" >/dev/null
[[ $(command -v qst) == /usr/bin/qst ]]
version=$(/usr/bin/qst --version)
echo "$version"
[[ $(head -1 <<<"$version") == "qst "* ]]
man=$(man -w qst)
[[ $man == /usr/share/man/man1/qst.1.gz ]]
# What lintian asks first of a package: a compressed manual page, a
# copyright file.
dpkg -L quillstamp | grep -qx /usr/share/doc/quillstamp/copyright
man -l "$man" 2>&1 | grep -q -- '--bodyfile'
bash -c 'source /usr/share/bash-completion/completions/qst; COMP_WORDS=(qst --bod); COMP_CWORD=1; _qst; [[ ${COMPREPLY[*]} == --bodyfile ]]'
echo "installed, ran and removed"
