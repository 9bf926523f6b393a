#!/usr/bin/env bash
# check-reproducible.sh [PRESET]
# Builds the shipped programs of PRESET (default win32) twice, from two copies
# of the checkout in folders of different names and depths, each in a clean
# build tree, and compares the shipped programs and their symbol files byte
# for byte. A vendor's whole installer is then reproducible too: packing adds
# nothing that depends on time or place.
set -uo pipefail
cd "$(dirname "$0")/../.."
preset=${1:-win32}
targets=(bootstrapper chunkpack)
files=(bin/bootstrapper.exe bin/bootstrapper.debug bin/chunkpack.exe bin/chunkpack.debug)

work=$(mktemp -d "${TMPDIR:-/tmp}/reproducible.XXXXXX")
trap 'rm -rf "$work"' EXIT
copies=("$work/a/src" "$work/second/copy/of/the/tarnwick-checkout")
# Both copies first: the checkout may change while the first one builds.
# The files of the checkout as they are (tracked and new, not ignored).
git ls-files -z --cached --others --exclude-standard >"$work/files"
for copy in "${copies[@]}"; do
  mkdir -p "$copy"
  xargs -0 -I{} sh -c '[ ! -e "$1" ] || cp --parents -P "$1" "$2"' _ {} "$copy" <"$work/files" \
    || { echo "check-reproducible: copying the checkout failed"; exit 1; }
done
for copy in "${copies[@]}"; do
  echo "check-reproducible: building ${targets[*]} ($preset) in $copy"
  if ! (cd "$copy" && cmake --preset "$preset" >"$work/configure.log" 2>&1 &&
        cmake --build --preset "$preset" --target "${targets[@]}" >"$work/build.log" 2>&1); then
    tail -n 40 "$work/configure.log" "$work/build.log"
    echo "check-reproducible: the build in $copy failed"; exit 1
  fi
done

status=0
for file in "${files[@]}"; do
  a=${copies[0]}/build/$preset/$file b=${copies[1]}/build/$preset/$file
  if cmp -s "$a" "$b"; then
    echo "identical: $file ($(stat -c %s "$a") bytes)"
  else
    echo "FAIL: $file differs between the two builds ($(cmp "$a" "$b" 2>&1 | head -n 1))"
    status=1
  fi
done
[ $status -eq 0 ] && echo "check-reproducible: two clean $preset builds are byte-identical"
exit $status
