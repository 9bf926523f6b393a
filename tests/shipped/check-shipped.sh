#!/usr/bin/env bash
# check-shipped.sh OBJDUMP BUDGET EXE...
# The shipped form of each program: stripped (no symbol table, no debug
# sections), no link time in the header, and a .gnu_debuglink naming a symbol
# file beside it whose CRC matches and which holds the debug information.
# A BUDGET above 0 is the most bytes the first program may have: the stub
# travels with every download, and its size must not creep back.
# Each imports only libraries that Windows always takes from its own system
# folder (the known DLLs, Windows 7 to 11, and ntdll, which is mapped
# before anything else): a library outside that set is looked for beside
# the program first, in the download folder, before the program can
# restrict the search. The common controls, the theme library, version and
# dbghelp are not among them: the stub loads what it needs of them at run
# time, from the system, once it has restricted the search.
set -uo pipefail
objdump=$1 budget=$2
shift 2
status=0 first=1
fail() { echo "FAIL $exe: $*"; status=1; }
known_dlls='^(ntdll|kernel32|user32|gdi32|advapi32|shell32|ole32|oleaut32|msvcrt|shlwapi|comdlg32|imagehlp|psapi|rpcrt4|setupapi|ws2_32|wldap32|normaliz|nsi|imm32)\.dll$'
for exe in "$@"; do
  if [ ! -f "$exe" ]; then echo "FAIL $exe: missing"; status=1; continue; fi
  size=$(stat -c %s "$exe")
  if [ "$first" = 1 ] && [ "$budget" -gt 0 ] && [ "$size" -gt "$budget" ]; then
    fail "$size bytes, over the budget of $budget bytes"
  fi
  first=0
  headers=$("$objdump" -h -p "$exe") || { fail "objdump cannot read it"; continue; }
  grep -Eq '^Time/Date[[:space:]]+Thu Jan  1 00:00:00 1970' <<<"$headers" \
    || fail "the header carries a link time: $(grep '^Time/Date' <<<"$headers")"
  grep -q 'symbols stripped' <<<"$headers" || fail "not stripped: it has a symbol table"
  while read -r dll; do
    grep -Eqi "$known_dlls" <<<"$dll" || fail "imports $dll, which is not a known DLL: it would be looked for beside the program"
  done < <(awk '/DLL Name:/ {print $3}' <<<"$headers")
  grep -Eq '[[:space:]]\.debug_' <<<"$headers" && fail "not stripped: it has debug sections"

  # The link: a file name (no folder), padding to 4 bytes, the CRC-32 of
  # the symbol file.
  link=$("$objdump" -s -j .gnu_debuglink "$exe" 2>/dev/null | grep -E '^ [0-9a-f]+ ')
  verdict=$(python3 - "$exe" "$link" <<'PY'
import os, struct, sys, zlib
exe = sys.argv[1]
# objdump's hex dump: an address, up to four groups of hex digits, two
# blanks, the bytes as text.
link = bytes.fromhex(''.join(''.join(line[1:].split('  ')[0].split()[1:]) for line in sys.argv[2].splitlines()))
if b'\0' not in link:
    print('no .gnu_debuglink section'); sys.exit()
end = link.index(b'\0')
name = link[:end].decode('ascii', 'replace')
if '/' in name or '\\' in name:
    print('the debug link names a folder: ' + name); sys.exit()
crc = struct.unpack_from('<I', link, (end + 4) & ~3)[0]
path = os.path.join(os.path.dirname(exe), name)
if not os.path.isfile(path):
    print('the symbol file ' + name + ' is not beside it'); sys.exit()
if zlib.crc32(open(path, 'rb').read()) != crc:
    print('the CRC of ' + name + ' does not match the link'); sys.exit()
print('ok ' + path)
PY
)
  symbols=
  case $verdict in
    ok\ *) symbols=${verdict#ok }
           "$objdump" -h "$symbols" | grep -c '\.debug_info' >/dev/null || fail "$symbols holds no debug information"
           "$objdump" -t "$symbols" | grep -cE '[ _](WinMain@16|WinMain|main)$' >/dev/null || fail "$symbols holds no symbol table" ;;
    *) fail "$verdict" ;;
  esac
  [ $status -eq 0 ] && echo "shipped form OK: $exe ($size bytes), symbols in $symbols"
done
exit $status
