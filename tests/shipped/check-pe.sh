#!/usr/bin/env bash
# check-pe.sh OBJDUMP MACHINE DIR
# Checks every .exe in DIR: the machine type (i386 or x86-64), ASLR and DEP
# flags (and high-entropy ASLR on x86-64), base relocations present (so that
# ASLR can move the image), and that every imported DLL is a
# Windows system DLL: no toolchain runtime (libgcc, libstdc++, winpthread).
# Several of these (comctl32, version, dbghelp, userenv, ...) are not known
# DLLs and are looked for beside the program first; the shipped programs
# may import none of them (check-shipped.sh), the test programs may.
set -uo pipefail
objdump=$1 machine=$2 dir=$3
system_dlls='^(kernel32|user32|advapi32|shell32|ole32|oleaut32|shlwapi|gdi32|comctl32|comdlg32|version|msvcrt|ntdll|ws2_32|crypt32|bcrypt|rpcrt4|secur32|userenv|psapi|dbghelp|imagehlp)\.dll$'
status=0 count=0
for exe in "$dir"/*.exe; do
  [ -e "$exe" ] || continue
  count=$((count + 1))
  dump=$("$objdump" -p "$exe") || { echo "FAIL $exe: objdump failed"; status=1; continue; }
  case $machine in
    i386)   grep -q 'file format pei-i386' <<<"$dump" || { echo "FAIL $exe: not PE32 i386"; status=1; } ;;
    x86-64) grep -q 'file format pei-x86-64' <<<"$dump" || { echo "FAIL $exe: not PE32+ x86-64"; status=1; } ;;
  esac
  dll_chars=$(awk '/^DllCharacteristics/ {print $2}' <<<"$dump")
  flags=$((16#$dll_chars))
  (( flags & 0x40 )) || { echo "FAIL $exe: no DYNAMIC_BASE (ASLR)"; status=1; }
  (( flags & 0x100 )) || { echo "FAIL $exe: no NX_COMPAT (DEP)"; status=1; }
  # DYNAMIC_BASE is only a request: without relocations the loader cannot
  # move the image, and it stays at its preferred address.
  reloc_size=$(awk '/Base Relocation Directory/ {print $3; exit}' <<<"$dump")
  if [ -z "$reloc_size" ] || (( 16#$reloc_size == 0 )) || grep -q 'relocations stripped' <<<"$dump"; then
    echo "FAIL $exe: no base relocations, so ASLR cannot move it"; status=1
  fi
  if [ "$machine" = x86-64 ]; then
    (( flags & 0x20 )) || { echo "FAIL $exe: no HIGH_ENTROPY_VA"; status=1; }
  fi
  while read -r dll; do
    lower=$(tr 'A-Z' 'a-z' <<<"$dll")
    if ! grep -Eq "$system_dlls" <<<"$lower"; then
      echo "FAIL $exe: imports $dll, which is not a Windows system DLL"; status=1
    fi
  done < <(awk '/DLL Name:/ {print $3}' <<<"$dump")
done
if [ "$count" -eq 0 ]; then echo "FAIL no executables in $dir"; exit 1; fi
echo "checked $count executables in $dir"
exit $status
