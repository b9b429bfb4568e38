#!/usr/bin/env bash
# Checks the desktop files as a desktop and a package manager will read them:
# the desktop entry and the metainfo pass their validators and agree with
# each other and with the project's version and release date, the man pages
# carry the same and format without a single groff warning, the generated
# udev rule is well formed, covers the
# same readers as the metainfo and sorts before the seat rules, and the icons
# render at the sizes their folders claim.
#
#   check_packaging.sh SOURCE_DIR BINARY_DIR PROJECT_VERSION
#
# BINARY_DIR is the build tree's top; the packaging files are built by the
# readertool_desktop target (part of a full build).
set -uo pipefail

src=${1:?source dir}
bin=${2:?binary dir}
version=${3:?project version}
pkg=$src/packaging
out=$bin/packaging
app_id=io.github.readertool.ReaderTool
desktop=$pkg/$app_id.desktop
metainfo=$out/$app_id.metainfo.xml
rule=$out/60-readertool.rules

failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
pass() { echo "ok: $*"; }

for tool in desktop-file-validate appstreamcli groff rsvg-convert od; do
  command -v "$tool" >/dev/null || { echo "FAIL: $tool is missing (scripts/install-deps.sh installs it)"; exit 1; }
done
for f in "$metainfo" "$rule" "$out/man/readertool.1"; do
  [ -f "$f" ] || { echo "FAIL: $f is missing: build the readertool_desktop target first"; exit 1; }
done

# --- desktop entry ----------------------------------------------------------
# Hints count too: a desktop shows the entry either way, but a hint today is
# an entry in the wrong menu.
msg=$(desktop-file-validate "$desktop" 2>&1)
if [ $? -eq 0 ] && [ -z "$msg" ]; then pass "desktop entry validates"; else fail "desktop entry: $msg"; fi

key() { sed -n "s/^$1=//p" "$desktop" | head -n1; }
[ "$(key Icon)" = "$app_id" ] || fail "desktop Icon is '$(key Icon)', not the application id"
exec_prog=$(key Exec | awk '{print $1}')
[ "$exec_prog" = readertool ] || fail "desktop Exec starts '$exec_prog', not readertool"
[ "$(key Type)" = Application ] || fail "desktop Type is not Application"

# --- metainfo ---------------------------------------------------------------
msg=$(appstreamcli validate --no-net --strict "$metainfo" 2>&1)
if [ $? -eq 0 ]; then pass "metainfo validates"; else fail "metainfo: $msg"; fi

tag() { sed -n "s:.*<$1[^>]*>\([^<]*\)</$1>.*:\1:p" "$metainfo" | head -n1; }
[ "$(tag id)" = "$app_id" ] || fail "metainfo id is '$(tag id)'"
[ "$(tag launchable)" = "$app_id.desktop" ] || fail "metainfo launchable is '$(tag launchable)'"
newest=$(sed -n 's/.*<release version="\([^"]*\)".*/\1/p' "$metainfo" | head -n1)
[ "$newest" = "$version" ] || fail "newest release in the metainfo is '$newest', the project is $version"
grep -q '@MODALIASES@' "$metainfo" && fail "metainfo still holds its marker"
grep -q '@[A-Z_]*@' "$metainfo" && fail "metainfo has an unfilled placeholder"
release_date=$(sed -n 's/.*<release version="[^"]*" date="\([^"]*\)".*/\1/p' "$metainfo" | head -n1)

# --- man pages --------------------------------------------------------------
for prog in readertool readerctl readersim; do
  page=$out/man/$prog.1
  [ -f "$page" ] || { fail "no man page for $prog"; continue; }
  warn=$(LC_ALL=C.UTF-8 groff -man -Tutf8 -ww -z "$page" 2>&1)
  [ -z "$warn" ] || fail "$prog.1: $warn"
  grep -n '@[A-Z_]*@' "$page" && fail "$prog.1 has an unfilled placeholder"
  th=$(sed -n 's/^\.TH \([^ ]*\) \([^ ]*\) .*/\1(\2)/p' "$page")
  prog_upper=$(echo "$prog" | tr '[:lower:]' '[:upper:]')
  [ "$th" = "$prog_upper(1)" ] || fail "$prog.1 is titled '$th'"
  grep -q "^\.TH .*\"readertool $version\"" "$page" || fail "$prog.1 does not carry version $version"
  grep -q "^\.TH [^ ]* 1 $release_date " "$page" || fail "$prog.1 is not dated $release_date, the metainfo's release"
  [ -s "$page.gz" ] || fail "$prog.1.gz is missing"
done
[ "$failures" -eq 0 ] && pass "man pages format cleanly"

# --- udev rule --------------------------------------------------------------
# Seat rules turn the uaccess tag into an access list: ours must come first.
[[ "60-readertool.rules" < "73-seat-late.rules" ]] || fail "the rule sorts after the seat rules"
# Every rule line: comma-separated KEY[{attr}] OP "value" pairs.
pair='[A-Z_]+(\{[A-Za-z_]+\})?(==|!=|=|\+=)"[^"]*"'
bad=$(grep -v -e '^#' -e '^$' "$rule" | grep -Ev "^$pair(, $pair)*$")
[ -z "$bad" ] || fail "malformed rule lines: $bad"
goto=$(sed -n 's/.*GOTO="\([^"]*\)".*/\1/p' "$rule" | sort -u)
for label in $goto; do grep -q "^LABEL=\"$label\"$" "$rule" || fail "GOTO $label has no LABEL"; done

# The kernel names a HID device upper case (0003:VVVV:PPPP.NNNN) and sysfs
# shows idVendor/idProduct lower case; udev compares case-sensitively, so
# each form has to be right. Collect both as VVVV:PPPP lower case and compare
# them with each other and with the metainfo's modalias list.
hid_ids=$(sed -n 's/^SUBSYSTEM=="hidraw", KERNELS=="\*:\([0-9A-F]\{4\}\):\([0-9A-F]\{4\}\)\.\*", TAG+="uaccess"$/\1:\2/p' "$rule" |
  tr '[:upper:]' '[:lower:]')
usb_ids=$(sed -n 's/^SUBSYSTEMS=="usb", ATTRS{idVendor}=="\([0-9a-f]\{4\}\)", ATTRS{idProduct}=="\([0-9a-f]\{4\}\)", ENV{ID_MM_DEVICE_IGNORE}="1"$/\1:\2/p' "$rule")
alias_ids=$(sed -n 's:.*<modalias>usb\:v\([0-9A-F]\{4\}\)p\([0-9A-F]\{4\}\)d\*</modalias>.*:\1\:\2:p' "$metainfo" |
  tr '[:upper:]' '[:lower:]')
n=$(echo "$hid_ids" | grep -c .)
[ "$n" -gt 0 ] || fail "the rule gives access to no hidraw node"
[ "$(grep -c 'TAG+="uaccess"' "$rule")" -eq "$n" ] || fail "some uaccess lines are not in the expected form"
[ "$(grep -c 'ENV{ID_MM_DEVICE_IGNORE}' "$rule")" -eq "$n" ] || fail "some ModemManager lines are not in the expected form"
[ "$hid_ids" = "$usb_ids" ] || fail "hidraw and ModemManager lines cover different readers"
[ "$hid_ids" = "$alias_ids" ] || fail "the rule and the metainfo list different readers"
[ "$(echo "$hid_ids" | sort -u | grep -c .)" -eq "$n" ] || fail "a reader is listed twice"
# A real kernel name matches the first reader's pattern, a neighbour does not.
first=$(echo "$hid_ids" | head -n1 | tr '[:lower:]' '[:upper:]')
glob="*:${first}.*"
[[ "0003:${first}.0007" == $glob ]] || fail "the hidraw pattern misses a USB HID device"
[[ "0005:${first}.0001" == $glob ]] || fail "the hidraw pattern misses a Bluetooth HID device"
[[ "0003:${first}0.0001" == $glob ]] && fail "the hidraw pattern matches a longer product ID"
[ "$failures" -eq 0 ] && pass "udev rule covers $n readers"

# --- icons ------------------------------------------------------------------
png_size() { od -An -tu1 -j16 -N8 "$1" | awk '{print $1*16777216+$2*65536+$3*256+$4 "x" $5*16777216+$6*65536+$7*256+$8}'; }
for svg in "$pkg/art/icon.svg" "$pkg/art/logo.svg"; do
  rsvg-convert "$svg" >/dev/null 2>&1 || fail "$svg does not render"
done
pngs=0
for png in "$out"/icons/*/"$app_id".png; do
  [ -f "$png" ] || continue
  pngs=$((pngs + 1))
  want=$(basename "$(dirname "$png")")
  got=$(png_size "$png")
  [ "$got" = "$want" ] || fail "$png is $got, not $want"
done
[ "$pngs" -eq 6 ] || fail "$pngs of the 6 icon sizes were rendered"
[ "$failures" -eq 0 ] && pass "icons render at their sizes"

if [ "$failures" -ne 0 ]; then
  echo "$failures packaging check(s) failed"
  exit 1
fi
echo "packaging checks passed"
