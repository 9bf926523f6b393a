#!/usr/bin/env bash
# chunkpack-test.sh CHUNKPACK TINY_PE TINY_PE_WITH_SLOT TINY_PE_WITH_RESOURCES ICON
# The packer's command line end to end: build, list, verify, extract, the
# refusals of build, damaged installers, the commitment, branding, signing
# after packing, and list and verify --json on all of these installers.
set -uo pipefail
cp=$1 plain_stub=$2 stub=$3 resources_stub=$4 icon=$5
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
expect_rc() {  # expect_rc RC DESCRIPTION COMMAND...
  local want=$1 what=$2; shift 2
  "$@" >out.txt 2>err.txt; local rc=$?
  [ "$rc" -eq "$want" ] || fail "$what: exit code $rc, expected $want; stderr: $(cat err.txt)"
}

# A program (the plain stub) with bytes of its own appended.
{ cat "$plain_stub"; printf 'MZ pretend payload\0with a NUL'; } > setup_payload.exe
printf 'readme text' > readme.txt
cp "$stub" bootstrap.exe

# Build, then read back in command-line order (values and files interleaved).
expect_rc 0 "build" "$cp" build --stub bootstrap.exe --out inst.exe --value msilog=ON \
  --file installer32=setup_payload.exe --value 'parameters=/V"ABCD=1 WEBINSTALLER=1 "' \
  --file readme=readme.txt --value 'executable32=%installer32%' --value '=empty key'
[ -f inst.exe ] || fail "build wrote no installer"
[ -s err.txt ] && fail "a sound build warned: $(cat err.txt)"
ls inst.exe.* >/dev/null 2>&1 && fail "build left a temporary file behind"
# The installer begins with the stub's image, only its checksum (at 152) and
# its commitment slot (68 bytes at 1024) filled in.
differing=$(cmp -l bootstrap.exe <(head -c "$(stat -c %s bootstrap.exe)" inst.exe) |
  awk '{ o = $1 - 1; if (!((o >= 152 && o < 156) || (o >= 1024 && o < 1092))) print o }')
[ -z "$differing" ] || fail "the installer's image differs from the stub elsewhere: $differing"
cmp -s bootstrap.exe <(head -c "$(stat -c %s bootstrap.exe)" inst.exe) && fail "the commitment slot was not filled"

expect_rc 0 "list" "$cp" list inst.exe
order=$(awk '{print $1, $2}' out.txt | tr '\n' '|')
[ "$order" = 'tail digest|value "msilog"|file "installer32"|value "parameters"|file "readme"|value "executable32"|value ""|stub "stub"|certificate table:|commitment: sealed;|archive complete:|' ] ||
  fail "list order: $order"
grep -q "setup_payload.exe ($(stat -c %s setup_payload.exe) bytes)" out.txt || fail "list does not show the file name and size: $(cat out.txt)"

expect_rc 0 "verify" "$cp" verify inst.exe

expect_rc 0 "extract" "$cp" extract inst.exe outdir
cmp -s setup_payload.exe outdir/setup_payload.exe || fail "extracted payload differs"
cmp -s readme.txt outdir/readme.txt || fail "extracted readme differs"
grep -q '^value "parameters" = "/V\\"ABCD=1 WEBINSTALLER=1 \\""$' out.txt || fail "extract does not print values: $(cat out.txt)"
[ "$(ls outdir | wc -l)" -eq 2 ] || fail "extract wrote other files: $(ls outdir)"

# Deterministic.
"$cp" build --stub bootstrap.exe --out again.exe --value msilog=ON \
  --file installer32=setup_payload.exe --value 'parameters=/V"ABCD=1 WEBINSTALLER=1 "' \
  --file readme=readme.txt --value 'executable32=%installer32%' --value '=empty key' 2>/dev/null
cmp -s inst.exe again.exe || fail "two builds of the same inputs differ"

# Refusals: exit 2, one line, and an existing output stays as it was.
echo previous > keep.exe
refused() {  # refused DESCRIPTION PATTERN ARGS...
  local what=$1 pattern=$2; shift 2
  expect_rc 2 "$what" "$cp" build --out keep.exe "$@"
  [ "$(cat keep.exe)" = previous ] || fail "$what: the output was replaced"
  ls keep.exe.* >/dev/null 2>&1 && fail "$what: a temporary file stayed behind"
  [ "$(wc -l <err.txt)" -eq 1 ] || fail "$what: expected one line of error, got: $(cat err.txt)"
  grep -q "$pattern" err.txt || fail "$what: message does not match '$pattern': $(cat err.txt)"
}
refused "text stub" "not a PE executable" --stub readme.txt
refused "packed stub" "already holds an archive tail" --stub inst.exe
refused "missing stub" "cannot read" --stub missing.exe
refused "missing file" "cannot read" --stub bootstrap.exe --file k=missing.bin
printf x > nul.txt
refused "device name" "would be refused" --stub bootstrap.exe --file k=nul.txt
printf x > 'trailing.'
refused "trailing dot" "would be refused" --stub bootstrap.exe --file k=trailing.
refused "value without =" "expected KEY=VALUE" --stub bootstrap.exe --value novalue
refused "no installed stub beside the packer" "no installed x86 stub at .*share/chunkpack/stubs/x86" --value k=v
truncate -s 2147483648 huge.bin
refused "2 GiB file" "below 2 GiB" --stub bootstrap.exe --file k=huge.bin
truncate -s 2147483000 big1.bin; truncate -s 2147483000 big2.bin
refused "4 GiB installer" "below 4 GiB" --stub bootstrap.exe --file a=big1.bin --file b=big2.bin
rm -f huge.bin big1.bin big2.bin

# Mistakes that would only show at every customer's run are refused, and
# --force lets a deliberate one through with a warning.
mkdir -p other
printf 'other payload' > other/setup_payload.exe
printf 'other payload' > other/SETUP_Payload.EXE
payload=(--file installer32=setup_payload.exe)
refused "same-named files" 'same name "setup_payload.exe"' --stub bootstrap.exe \
  --value 'executable32=%installer32%' "${payload[@]}" --file extra=other/setup_payload.exe
refused "same name in other letter case" 'same name' --stub bootstrap.exe \
  --value 'executable32=%installer32%' "${payload[@]}" --file extra=other/SETUP_Payload.EXE
refused "no executable32" 'no "executable32"' --stub bootstrap.exe "${payload[@]}"
refused "executable32 with an unknown reference" 'names "%nothere%", which is no file' --stub bootstrap.exe \
  --value 'executable32=%nothere%' "${payload[@]}"
refused "executable32 naming a value" 'which is no file' --stub bootstrap.exe \
  --value 'executable32=%msilog%' --value msilog=ON "${payload[@]}"
refused "executable32 naming a file not packed" 'which is no file' --stub bootstrap.exe \
  --value executable32=readme.txt "${payload[@]}"
# The file to start is started as a program of its own, without the shell.
cp readme.txt setup.cmd
refused "executable32 naming no program" 'setup.cmd, which is no program' --stub bootstrap.exe \
  --value 'executable32=%installer32%' --file installer32=setup.cmd

expect_rc 0 "forced same-named files" "$cp" build --force --stub bootstrap.exe --out forced.exe \
  --value 'executable32=%installer32%' "${payload[@]}" --file extra=other/setup_payload.exe
grep -q 'warning: .*same name' err.txt || fail "--force does not warn about the same-named files: $(cat err.txt)"
expect_rc 0 "list forced" "$cp" list forced.exe
[ "$(grep -c '^file ' out.txt)" -eq 2 ] || fail "the forced installer lacks a file: $(cat out.txt)"
expect_rc 0 "forced without executable32" "$cp" build --force --stub bootstrap.exe --out forced.exe "${payload[@]}"
grep -q 'warning: no "executable32"' err.txt || fail "--force does not warn about executable32: $(cat err.txt)"

# A literal file name resolves too, in any letter case, like the file system.
expect_rc 0 "literal executable32" "$cp" build --stub bootstrap.exe --out literal.exe \
  --value executable32=SETUP_PAYLOAD.exe "${payload[@]}"
[ -s err.txt ] && fail "a literal executable32 warned: $(cat err.txt)"

# Legal but likely wrong: warned about, built all the same.
warned() {  # warned DESCRIPTION PATTERN ARGS...
  local what=$1 pattern=$2; shift 2
  expect_rc 0 "$what" "$cp" build --stub bootstrap.exe --out warned.exe --value 'executable32=%installer32%' \
    "${payload[@]}" "$@"
  grep -q "warning: .*$pattern" err.txt || fail "$what: no warning matching '$pattern': $(cat err.txt)"
}
warned "msilog in lower case" '"msilog" is "on"' --value msilog=on
warned "unbalanced quote" 'unbalanced double quote' --value 'parameters=/V"A=1 B=2 '
warned "unknown reference in parameters" 'refers to %nothere%' --value 'parameters=/V"A=%nothere% "'
expect_rc 0 "known references" "$cp" build --stub bootstrap.exe --out warned.exe --value 'executable32=%installer32%' \
  "${payload[@]}" --value 'parameters=/V"T=%source%\de.mst L=%installer32% R=%commandline% P=50% or 60% "'
[ -s err.txt ] && fail "references the bootstrapper resolves warned: $(cat err.txt)"

# A stub that merely carries the marker text in its data is fine.
{ cat bootstrap.exe; printf 'chunked-installer-tail'; } > marker_stub.exe
expect_rc 0 "stub with marker text" "$cp" build --stub marker_stub.exe --out marker_inst.exe \
  --value executable32=setup_payload.exe --file installer32=setup_payload.exe
expect_rc 0 "verify stub with marker text" "$cp" verify marker_inst.exe

# The commitment: a stub without a slot is packed with a warning and listed
# as unbound; an image sealed for another archive fails, although every
# chunk matches its digest.
expect_rc 0 "build without a slot" "$cp" build --stub "$plain_stub" --out unbound.exe \
  --value executable32=setup_payload.exe --file installer32=setup_payload.exe
grep -q 'warning: .*no commitment slot' err.txt || fail "no warning for a stub without a slot: $(cat err.txt)"
expect_rc 0 "list unbound" "$cp" list unbound.exe
grep -q '^commitment: none; the stub has no slot' out.txt || fail "list of unbound: $(cat out.txt)"
"$cp" build --stub bootstrap.exe --out other.exe --value msilog=OFF --file installer32=setup_payload.exe \
  --value executable32=setup_payload.exe 2>/dev/null
image_size=$(stat -c %s bootstrap.exe)
{ head -c "$image_size" inst.exe; tail -c +$((image_size + 1)) other.exe; } > spliced.exe
expect_rc 0 "verify the other installer" "$cp" verify other.exe
expect_rc 1 "verify spliced" "$cp" verify spliced.exe
grep -q 'do not match the commitment' err.txt || fail "verify spliced: $(cat err.txt)"
expect_rc 1 "list spliced" "$cp" list spliced.exe
grep -q '^commitment: sealed; does NOT match' out.txt || fail "list spliced: $(cat out.txt)"

# Damage: a changed payload byte fails verify and extract, names an offset,
# and leaves no partial file.
offset=$(grep -obaF 'MZ pretend payload' inst.exe | head -1 | cut -d: -f1)
cp inst.exe damaged.exe
printf 'X' | dd of=damaged.exe bs=1 seek=$((offset + 3)) conv=notrunc status=none
expect_rc 1 "verify damaged" "$cp" verify damaged.exe
grep -q "digest mismatch in the chunk ending at offset [0-9]" err.txt || fail "verify reason: $(cat err.txt)"
expect_rc 1 "list damaged" "$cp" list damaged.exe
grep -q "archive complete: no" out.txt || fail "list of damaged: $(cat out.txt)"
expect_rc 1 "extract damaged" "$cp" extract damaged.exe damaged_out
[ -e damaged_out/setup_payload.exe ] && fail "a partial file of a damaged entry stayed behind"
head -c 600 inst.exe > cut.exe
expect_rc 1 "verify truncated" "$cp" verify cut.exe
grep -q "no archive tail" err.txt || fail "verify truncated: $(cat err.txt)"
expect_rc 1 "verify missing" "$cp" verify nothing.exe

# Branding: the identity is in the installer's resources, reproducibly; what
# cannot be branded is refused like every other input.
cp "$resources_stub" branding.exe
base=(--value 'executable32=%installer32%' "${payload[@]}")
brand=(--stub branding.exe "${base[@]}" --product-name 'Tarnwick Łódź' --file-version 5.2.1
       --company-name 'Brellory Labs' --icon "$icon")
expect_rc 0 "branded build" "$cp" build --out branded.exe "${brand[@]}"
mkdir again && "$cp" build --out again/branded.exe "${brand[@]}" 2>/dev/null
cmp -s branded.exe again/branded.exe || fail "two branded builds of the same inputs differ"
expect_rc 0 "list branded" "$cp" list branded.exe
for line in 'version  file 5.2.1.0, product 5.2.1.0, language 0000, code page 1200' \
    'version  "CompanyName" = "Brellory Labs"' 'version  "OriginalFilename" = "branded.exe"' \
    'version  "FileDescription" = "Tarnwick Łódź Setup"' 'name     vendor (2001) = "Brellory"' \
    'name     product (2002) = "Tarnwick Łódź"' 'icon     3 images: 16x16 32-bit, 32x32 32-bit, 48x48 32-bit'; do
  grep -qxF "$line" out.txt || fail "list of the branded installer lacks '$line': $(cat out.txt)"
done
# A product version alone is the file version too.
expect_rc 0 "a product version alone" "$cp" build --out product_only.exe --stub branding.exe "${base[@]}" \
  --product-version 6.3
"$cp" list product_only.exe | grep -qxF 'version  file 6.3.0.0, product 6.3.0.0, language 0000, code page 1200' ||
  fail "a product version alone: $("$cp" list product_only.exe)"
refused "branding a stub without resources" 'no resource section' --stub bootstrap.exe \
  --value 'executable32=%installer32%' "${payload[@]}" --product-name Tarnwick
refused "a product name that is no folder name" 'cannot hold' --stub branding.exe "${base[@]}" --product-name 'a\b'
refused "a version that is not numeric" 'not one to four numbers' --stub branding.exe "${base[@]}" \
  --product-version 5.2-beta
refused "an icon that is no icon" 'not an icon' --stub branding.exe "${base[@]}" --icon readme.txt

# Help for each subcommand.
for sub in build list verify extract; do
  expect_rc 0 "$sub --help" "$cp" "$sub" --help
  grep -qi "usage" out.txt || fail "$sub --help prints no usage"
done
expect_rc 2 "no subcommand" "$cp"

# Signing after packing: Authenticode adds padding and a certificate table
# behind the archive; the archive stays readable and the signature valid.
if ! command -v osslsigncode >/dev/null || ! command -v openssl >/dev/null; then
  fail "osslsigncode and openssl are needed for the signing test"
else
  openssl req -x509 -newkey rsa:2048 -nodes -keyout key.pem -out cert.pem -days 2 \
    -subj "/CN=chunkpack test signer" >/dev/null 2>&1 || fail "openssl could not make a certificate"
  osslsigncode sign -certs cert.pem -key key.pem -n "chunkpack test" -in inst.exe -out signed.exe >/dev/null 2>&1 ||
    fail "osslsigncode could not sign the installer"
  [ "$(stat -c %s signed.exe)" -gt "$(stat -c %s inst.exe)" ] || fail "signing appended nothing"
  expect_rc 0 "verify signed" "$cp" verify signed.exe
  expect_rc 0 "extract signed" "$cp" extract signed.exe signed_out
  cmp -s setup_payload.exe signed_out/setup_payload.exe || fail "payload extracted from the signed installer differs"
  osslsigncode verify -CAfile cert.pem -in signed.exe >sig.txt 2>&1 || fail "osslsigncode rejects the signature: $(tail -3 sig.txt)"
  grep -q "Signature verification: ok" sig.txt || fail "signature not verified: $(cat sig.txt)"
  # A branded installer signs and verifies the same way; a signed stub cannot
  # be branded (its signature would break).
  osslsigncode sign -certs cert.pem -key key.pem -n "chunkpack test" -in branded.exe -out branded_signed.exe \
    >/dev/null 2>&1 || fail "osslsigncode could not sign the branded installer"
  osslsigncode verify -CAfile cert.pem -in branded_signed.exe >sig.txt 2>&1 || fail "branded: $(tail -3 sig.txt)"
  expect_rc 0 "verify branded signed" "$cp" verify branded_signed.exe
  osslsigncode sign -certs cert.pem -key key.pem -in branding.exe -out signed_stub.exe >/dev/null 2>&1
  refused "a signed stub" 'the image is signed' --stub signed_stub.exe "${base[@]}" --product-name Tarnwick
  expect_rc 0 "list signed" "$cp" list signed.exe
  grep -q '^certificate table: at offset' out.txt || fail "list signed: $(cat out.txt)"

  # Anything behind the certificate table fails verify, and is never read.
  cat signed.exe other.exe > behind_table.exe
  expect_rc 1 "verify behind_table" "$cp" verify behind_table.exe
  grep -q 'bytes hidden in or behind the certificate table' err.txt || fail "verify behind_table: $(cat err.txt)"
  expect_rc 0 "extract behind_table" "$cp" extract behind_table.exe behind_out
  grep -q 'value "msilog" = "ON"' out.txt || fail "extract behind_table read another archive: $(cat out.txt)"
fi

# --json says what the text says, with the same exit code, on every kind of
# installer above; list and verify print the same document, and a failure
# is also a JSON error on standard error with verify's reason.
"$cp" build --stub bootstrap.exe --out latin.exe "${payload[@]}" --value 'executable32=%installer32%' \
  --value $'k\xe9y=\x01caf\xe9' 2>/dev/null
json_agrees() {  # json_agrees INSTALLER
  "$cp" list "$1" >text.txt 2>/dev/null; local rc=$?
  "$cp" verify "$1" >/dev/null 2>verify.txt; local verify_rc=$?
  expect_rc "$rc" "$1: list --json" "$cp" list --json "$1"; mv out.txt list.json; mv err.txt list-error.json
  expect_rc "$rc" "$1: verify --json" "$cp" verify --json "$1"
  [ "$verify_rc" -eq "$rc" ] || fail "$1: verify ends with $verify_rc, list with $rc"
  cmp -s list.json out.txt && sed 's/"command":"verify"/"command":"list"/' err.txt | cmp -s - list-error.json ||
    fail "$1: list and verify --json differ"
  if [ -s text.txt ]; then
    python3 "$here/json-as-text.py" list.json | cmp -s - text.txt ||
      fail "$1: the document says other than the text: $(python3 "$here/json-as-text.py" list.json | diff - text.txt)"
  fi
  python3 - "$1" "$rc" list-error.json verify.txt <<'PY' || fail "$1: the JSON error is not verify's: $(cat list-error.json)"
import json, sys
path, rc, error, text = sys.argv[1], int(sys.argv[2]), open(sys.argv[3]).read(), open(sys.argv[4]).read()
if rc == 0: sys.exit(error != '')
e = json.loads(error)
assert e['schema'] == 'chunkpack.error' and e['exit_code'] == rc and e['command'] == 'list' and e['installer'] == path
assert text in ('chunkpack: %s: %s\n' % (path, e['message']), 'chunkpack: %s\n' % e['message'])
PY
}
here=$(cd "$(dirname "$0")" && pwd)
for installer in inst.exe latin.exe forced.exe literal.exe marker_inst.exe unbound.exe spliced.exe damaged.exe \
    cut.exe readme.txt nothing.exe branded.exe signed.exe branded_signed.exe behind_table.exe; do
  json_agrees "$installer"
done
expect_rc 2 "verify --json without an installer" "$cp" verify --json
grep -q '^{"schema":"chunkpack.error",.*"exit_code":2,' err.txt || fail "a refused command line is no JSON error: $(cat err.txt)"

if [ "$failures" -ne 0 ]; then echo "$failures failure(s)"; exit 1; fi
echo "all chunkpack checks passed"
