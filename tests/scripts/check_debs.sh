#!/usr/bin/env bash
# Builds the Debian packages with scripts/build-package.sh into a folder of
# its own and judges them: lintian must report no error and no warning on
# any of them, nor a binary without hardening or with the compiler's notes
# left in (informational tags), and the split must hold (readerctl without
# Qt and with the udev rule, readertool needing readerctl and recommending
# the fonts, readersim apart), with the maintainer and version of the
# project's own files.
#
#   check_debs.sh SOURCE_DIR PACKAGE_DIR PROJECT_VERSION MAINTAINER
#
# PACKAGE_DIR keeps its build between runs, so a run after a small change
# costs an incremental release build, CPack and lintian.
set -uo pipefail

src=${1:?source dir}
dir=${2:?package build dir}
version=${3:?project version}
maintainer=${4:?maintainer}

for tool in lintian dpkg-deb dpkg-buildflags; do
  command -v "$tool" >/dev/null || { echo "FAIL: $tool is missing (scripts/install-deps.sh installs it)"; exit 1; }
done

READERTOOL_NO_WINDOWS=1 READERTOOL_PACKAGE_DIR=$dir bash "$src/scripts/build-package.sh" >"$dir.log" 2>&1 || {
  tail -n 40 "$dir.log"; echo "FAIL: scripts/build-package.sh failed (log: $dir.log)"; exit 1; }

failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

arch=$(dpkg --print-architecture)
field() { dpkg-deb --field "$1" "$2"; }
for pkg in readertool readerctl readersim; do
  deb=$dir/${pkg}_${version}_${arch}.deb
  [ -f "$deb" ] || { fail "$deb was not made"; continue; }
  [ "$(field "$deb" Package)" = "$pkg" ] || fail "$deb is named '$(field "$deb" Package)'"
  [ "$(field "$deb" Maintainer)" = "$maintainer" ] || fail "$pkg maintainer is '$(field "$deb" Maintainer)'"
  files=$(dpkg-deb --contents "$deb" | awk '{print $6}')
  for f in ./usr/bin/$pkg ./usr/share/man/man1/$pkg.1.gz ./usr/share/doc/$pkg/copyright ./usr/share/doc/$pkg/changelog.gz; do
    grep -qx "$f" <<<"$files" || fail "$pkg lacks $f"
  done
  # Each program in its own package, and nothing of another's.
  for other in readertool readerctl readersim; do
    [ "$other" = "$pkg" ] && continue
    grep -q "/$other\(\.1\.gz\)\?$" <<<"$files" && fail "$pkg holds $other's files"
  done
  # Errors and warnings fail; so do the informational tags of an unhardened
  # or badly stripped binary, which Debian's own packages never show.
  out=$(lintian --display-info --fail-on error,warning "$deb" 2>&1)
  status=$?
  bad=$(grep -E '^[EW]: |^I: .*(hardening-|binary-has-unneeded-section|unstripped-binary)' <<<"$out")
  if [ $status -eq 0 ] && [ -z "$bad" ]; then
    echo "ok: lintian $pkg"
  else
    fail "lintian $pkg:"$'\n'"$out"
  fi
done

ctl=$dir/readerctl_${version}_${arch}.deb
win=$dir/readertool_${version}_${arch}.deb
sim=$dir/readersim_${version}_${arch}.deb
if [ -f "$ctl" ] && [ -f "$win" ] && [ -f "$sim" ]; then
  grep -qi qt <<<"$(field "$ctl" Depends)$(field "$sim" Depends)" && fail "readerctl or readersim depends on Qt"
  grep -qi qt <<<"$(field "$win" Depends)" || fail "readertool does not depend on Qt"
  grep -q "readerctl (= $version)" <<<"$(field "$win" Depends)" || fail "readertool does not depend on readerctl $version"
  [ "$(field "$win" Recommends)" = "fonts-crosextra-carlito, fonts-liberation" ] || fail "readertool recommends '$(field "$win" Recommends)'"
  # Whole outputs into variables: a grep -q that stops reading early would
  # break dpkg-deb's pipe.
  ctl_files=$(dpkg-deb --contents "$ctl")
  win_files=$(dpkg-deb --contents "$win")
  grep -q '/lib/udev/rules.d/60-readertool.rules$' <<<"$ctl_files" || fail "readerctl lacks the udev rule"
  grep -q 'rules.d' <<<"$win_files" && fail "readertool holds a udev rule"
  tmp=$(mktemp -d); trap 'rm -rf "$tmp"' EXIT
  dpkg-deb --control "$ctl" "$tmp"
  grep -q 'attr-match\|parent-match' "$tmp/postinst" || fail "the postinst triggers more than the readers"
  grep -q 'subsystem-match=usb *\($\||\)' "$tmp/postinst" && fail "the postinst triggers every USB device"
  changelog=$(dpkg-deb --fsys-tarfile "$ctl" | tar -xO ./usr/share/doc/readerctl/changelog.gz | zcat)
  [[ "$changelog" == "readertool ($version) "* ]] || fail "the changelog does not start at $version"
fi

if [ "$failures" -ne 0 ]; then echo "$failures package check(s) failed"; exit 1; fi
echo "package checks passed"
