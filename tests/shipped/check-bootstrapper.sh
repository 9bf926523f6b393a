#!/usr/bin/env bash
# check-bootstrapper.sh OBJDUMP WINDRES EXE VERSION
# The shipped stub: a GUI-subsystem program whose embedded manifest asks for
# administrator rights and carries the Windows 7 compatibility entry, and
# whose string table names the vendor (2001) and the product (2002), whose
# version information is the release's VERSION (a.b.c), and whose resource
# section is its last (chunkpack rewrites it at pack time); the manifest also
# asks for the common controls 6 and per-monitor DPI.
set -uo pipefail
objdump=$1 windres=$2 exe=$3 version=$4
status=0
fail() { echo "FAIL $exe: $*"; status=1; }

headers=$("$objdump" -p "$exe") || fail "objdump cannot read the headers"
grep -Eq '^Subsystem[[:space:]]+00000002' <<<"$headers" || fail "not a GUI-subsystem program"
last=$("$objdump" -h "$exe" | awk '$1 ~ /^[0-9]+$/ { name = $2 } END { print name }')
[ "$last" = .rsrc ] || fail "the last section is $last, not .rsrc"

resources=$("$windres" --input-format=coff --output-format=rc -i "$exe" 2>/dev/null) \
  || resources=$("$windres" -i "$exe" -O rc 2>/dev/null) || fail "windres cannot read the resources"
grep -Eq '2001,[[:space:]]*"Brellory"' <<<"$resources" || fail "string 2001 is not \"Brellory\""
grep -Eq '2002,[[:space:]]*"Tarnwick"' <<<"$resources" || fail "string 2002 is not \"Tarnwick\""
grep -q 'ICON' <<<"$resources" || fail "no icon"
grep -q "FILEVERSION ${version//./, }, 0" <<<"$resources" &&
  grep -q "VALUE \"FileVersion\", \"$version\"" <<<"$resources" || fail "its version information is not $version"

# The manifest is emitted as hex bytes by windres; decode the RT_MANIFEST data.
manifest=$(python3 - "$exe" <<'PY'
import re, struct, sys
data = open(sys.argv[1], 'rb').read()
m = re.search(rb'<assembly.*?</assembly>', data, re.S)
print(m.group(0).decode('utf-8', 'replace') if m else '')
PY
)
grep -q 'level="requireAdministrator"' <<<"$manifest" || fail "manifest does not require administrator"
grep -q '35138b9a-5d96-4fbd-8e2d-a2440225f93a' <<<"$manifest" || fail "manifest lacks the Windows 7 compatibility entry"
grep -q 'name="Microsoft.Windows.Common-Controls" version="6.0.0.0"' <<<"$manifest" \
  || fail "manifest lacks the dependency on the common controls 6 (visual styles)"
grep -q '<dpiAwareness[^>]*>PerMonitorV2' <<<"$manifest" || fail "manifest does not declare per-monitor DPI awareness"
[ $status -eq 0 ] && echo "bootstrapper resources and manifest OK: $exe"
exit $status
