#!/usr/bin/env bash
# check-package.sh PACKAGE_DIR WIN32_TREE
# The release package as a vendor uses it. Its Debian packages are unpacked
# into a scratch root (dpkg-deb -x: nothing is installed); the .tar.gz must
# hold the same files. From that root only: chunkpack packs with its
# installed stubs and names their versions (the Windows build too, under
# the 32-bit Wine), and examples/vendor, a CMake project of its own, finds
# the package, packs the sample setup of WIN32_TREE through
# chunkpack_add_installer and signs it; chunkpack verify --json passes it,
# it repacks when an input changes and not otherwise, and the installer runs
# its payload under the 32-bit Wine (WINEPREFIX, whose server runs).
set -uo pipefail
out=$1 win32=$2
here=$(cd "$(dirname "$0")" && pwd)
checkout=$(cd "$here/../.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
json() {  # json FILE PYTHON-EXPRESSION: true when the expression over the document `d` holds
  python3 -c 'import json, sys; d = json.load(open(sys.argv[1])); sys.exit(0 if eval("(" + sys.argv[2] + ")") else 1)' "$@"
}

# --- the package's files ------------------------------------------------
debs=("$out"/chunkpack_*.deb "$out"/chunkpack-dbg_*.deb)
root=$work/root usr=$work/root/usr
for deb in "${debs[@]}"; do dpkg-deb -x "$deb" "$root" || fail "dpkg-deb cannot unpack $deb"; done
[ -x "$usr/bin/chunkpack" ] || { fail "no usr/bin/chunkpack in $out/*.deb"; exit 1; }
mkdir "$work/tgz"
for tgz in "$out"/chunkpack-*.tar.gz; do tar -xzf "$tgz" -C "$work/tgz" --strip-components=1 || fail "cannot unpack $tgz"; done
[ "$(cd "$usr" && find . -type f | sort)" = "$(cd "$work/tgz" && find . -type f | sort)" ] ||
  fail "the .tar.gz archives and the Debian packages hold other files"
# (Whole outputs first: grep -q would end the pipe early.)
grep -q '\.debug$' <<<"$(dpkg-deb -c "${debs[0]}")" && fail "the package holds symbol files"
grep -q '^ Depends: chunkpack (= ' <<<"$(dpkg-deb -I "${debs[1]}")" || fail "the symbol package does not depend on the package"
stubs=$usr/share/chunkpack/stubs
bash "$checkout/tests/shipped/check-shipped.sh" i686-w64-mingw32-objdump 0 "$stubs/x86/bootstrapper.exe" \
  "$usr/bin/chunkpack.exe" >/dev/null || fail "the Windows programs do not find their symbol files"
bash "$checkout/tests/shipped/check-shipped.sh" x86_64-w64-mingw32-objdump 0 "$stubs/x64/bootstrapper.exe" >/dev/null ||
  fail "the x64 stub does not find its symbol file"
grep -q 'chunkpack-linux.debug' <<<"$(readelf --string-dump=.gnu_debuglink "$usr/bin/chunkpack")" &&
  grep -q '\.debug_info' <<<"$(readelf -S "$usr/bin/chunkpack-linux.debug" 2>/dev/null)" ||
  fail "the Linux packer does not name its symbol file"

# --- the packer with its installed stubs ---------------------------------
cp="$usr/bin/chunkpack"
version=$(sed -n 's/^#define RELEASE_VERSION_TEXT "\(.*\)"$/\1/p' "$win32/generated/release_version.h")
"$cp" --version >"$work/version.txt" || fail "chunkpack --version failed"
for line in "chunkpack $version" "stub x86: $version.0 ($stubs/x86/bootstrapper.exe)" \
    "stub x64: $version.0 ($stubs/x64/bootstrapper.exe)"; do
  grep -qxF "$line" "$work/version.txt" || fail "chunkpack --version lacks '$line': $(cat "$work/version.txt")"
done
payload=(--value 'executable32=%installer32%' --file "installer32=$win32/bin/sample_setup.exe")
machine_of() { x86_64-w64-mingw32-objdump -f "$1" | sed -n 's/.*file format //p'; }
"$cp" build --out "$work/x86.exe" "${payload[@]}" && [ "$(machine_of "$work/x86.exe")" = pei-i386 ] ||
  fail "chunkpack build without --stub does not pack the installed i686 stub"
"$cp" build --stub x64 --out "$work/x64.exe" "${payload[@]}" && [ "$(machine_of "$work/x64.exe")" = pei-x86-64 ] ||
  fail "chunkpack build --stub x64 does not pack the installed x86_64 stub"

eval "$("$checkout/scripts/wine32-env" --export)" || fail "no 32-bit Wine"
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
wine "$usr/bin/chunkpack.exe" --version </dev/null 2>/dev/null | tr -d '\r' >"$work/version-win.txt"
[ "$(grep -c "^stub x[86][64]: $version.0 (Z:.*\\\\share\\\\chunkpack\\\\stubs\\\\x[86][64]\\\\bootstrapper.exe)$" \
     "$work/version-win.txt")" -eq 2 ] || fail "chunkpack.exe --version: $(cat "$work/version-win.txt")"

# --- a vendor's build ------------------------------------------------------
# The project and its inputs are copied, so that touching them changes nothing here.
cp -p "$win32/bin/sample_setup.exe" "$win32/bin/Tarnwick.msi" "$work/"
mkdir "$work/examples" && cp -rp "$checkout/examples/vendor" "$checkout/examples/Tarnwick.ico" "$work/examples/"
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=vendor test signing" -addext extendedKeyUsage=codeSigning \
  -keyout "$work/sign.key" -out "$work/sign.crt" >/dev/null 2>&1 || fail "openssl could not make a certificate"
vendor=$work/vendor
cmake -S "$work/examples/vendor" -B "$vendor" -G Ninja -DCMAKE_PREFIX_PATH="$usr" \
  -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF -DCMAKE_FIND_USE_SYSTEM_PACKAGE_REGISTRY=OFF \
  -DTARNWICK_SETUP="$work/sample_setup.exe" -DTARNWICK_MSI="$work/Tarnwick.msi" \
  -DSIGN_CERTIFICATE="$work/sign.crt" -DSIGN_KEY="$work/sign.key" >"$work/configure.log" 2>&1 ||
  fail "the vendor project does not configure: $(tail -n 20 "$work/configure.log")"
grep -qx "Chunkpack_DIR:PATH=$usr/share/chunkpack/cmake" "$vendor/CMakeCache.txt" ||
  fail "the vendor project found another package: $(grep Chunkpack_DIR "$vendor/CMakeCache.txt")"
packs() {  # packs DESCRIPTION: builds; true when the installer was packed (and signed) again
  cmake --build "$vendor" >"$work/build.log" 2>&1 || { fail "$1: the build failed: $(tail -n 20 "$work/build.log")"; return 1; }
  grep -q 'Packing the installer' "$work/build.log"
}
packs "first build" || fail "the first build packed nothing"
installer=$vendor/Tarnwick_setup.exe
"$cp" verify --json "$installer" >"$work/verify.json" || fail "chunkpack verify --json fails the vendor's installer"
json "$work/verify.json" 'd["verdict"]["ok"] and d["certificate_table"]["state"] == "present"
  and [(e["kind"], e.get("key"), e.get("value", e.get("file_name"))) for e in d["entries"]] == [("tail", None, None),
    ("value", "msilog", "ON"), ("value", "parameters", "/V\"TARNWICKPROP=1 WEBINSTALLER=1 \""),
    ("value", "executable32", "sample_setup.exe"), ("file", "installer32", "sample_setup.exe"),
    ("file", "msi", "Tarnwick.msi"), ("stub", "stub", None)]
  and d["identity"]["product_name"] == "Tarnwick" and d["identity"]["version"]["file"] == "1.2.0.0"
  and {"name": "OriginalFilename", "value": "Tarnwick_setup.exe"} in d["identity"]["version"]["texts"]' ||
  fail "the vendor's installer is not what the function was asked for: $(cat "$work/verify.json")"
packs "a build without changes" && fail "a build without changes packed again"
for input in "$work/sample_setup.exe" "$work/Tarnwick.msi" "$work/examples/Tarnwick.ico" "$stubs/x86/bootstrapper.exe"; do
  touch "$input"
  packs "after touching ${input##*/}" || fail "touching ${input##*/} did not pack again"
done

# --- the installer runs its payload (i686) ---------------------------------
temp_win=$(wine cmd /c 'echo %TEMP%' </dev/null 2>/dev/null | tr -d '\r')
msi_log=$(winepath -u "$temp_win\\KAVRO_msi.log.txt" 2>/dev/null)
rm -f "$msi_log"
# BLOCKINSTALL=1 makes the sample package fail with 1603 and change nothing.
code=$(timeout 300 wine "$win32/bin/run_and_report.exe" "$(winepath -w "$installer")" /s '/V"BLOCKINSTALL=1"' \
  </dev/null 2>/dev/null | tr -d '\r')
[ "$code" = 1603 ] || fail "the vendor's installer ended with '$code', not the sample package's 1603"
grep -q 'TARNWICKPROP = 1' "$msi_log" 2>/dev/null && grep -q 'BLOCKINSTALL = 1' "$msi_log" ||
  fail "the payload's MSI log does not show the installer's and the user's properties"

if [ "$failures" -ne 0 ]; then echo "$failures failure(s)"; exit 1; fi
echo "release package OK: unpacked, packed with its stubs, and a vendor's build packs, repacks and installs"
