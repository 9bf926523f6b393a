#!/usr/bin/env bash
# check-reproducible.sh [--this-tree] [PRESET]
# Builds the shipped programs of PRESET (default win32) twice, from two copies
# of the checkout in folders of different names and depths, each in a clean
# build tree, and compares the shipped programs and their symbol files byte
# for byte. A vendor's whole installer is then reproducible too: packing adds
# nothing that depends on time or place. For win32 it also builds the Linux
# packer (host) in each copy and compares the two release packages made from
# each copy's trees (scripts/package, the x86_64 stub taken from this
# checkout's build/win64 for both).
# --this-tree: the first of the two is this checkout itself, as scripts/test
# has just built it (build/PRESET, and for win32 build/host and the package
# in build/package/out, made with the same SOURCE_DATE_EPOCH); only the second
# copy is made and built. On a clean clone, as in CI, that tree is a clean
# build too; it halves the check's time.
set -uo pipefail
cd "$(dirname "$0")/../.."
this_tree=0
if [ "${1:-}" = --this-tree ]; then this_tree=1; shift; fi
preset=${1:-win32}
targets=(bootstrapper chunkpack)
files=(bin/bootstrapper.exe bin/bootstrapper.debug bin/chunkpack.exe bin/chunkpack.debug)

work=$(mktemp -d "${TMPDIR:-/tmp}/reproducible.XXXXXX")
trap 'rm -rf "$work"' EXIT
copies=("$work/a/src" "$work/second/copy/of/the/tarnwick-checkout")
[ $this_tree = 1 ] && copies[0]=$(pwd)
# Both copies first: the checkout may change while the first one builds.
# The files of the checkout as they are (tracked and new, not ignored).
git ls-files -z --cached --others --exclude-standard >"$work/files"
for copy in "${copies[@]}"; do
  [ "$copy" = "$(pwd)" ] && continue
  mkdir -p "$copy"
  xargs -0 -I{} sh -c '[ ! -e "$1" ] || cp --parents -P "$1" "$2"' _ {} "$copy" <"$work/files" \
    || { echo "check-reproducible: copying the checkout failed"; exit 1; }
done
package=0
if [ "$preset" = win32 ]; then
  package=1 win64=$(pwd)/build/win64
  [ -f "$win64/bin/bootstrapper.exe" ] || { echo "check-reproducible: build the win64 preset first"; exit 1; }
  export SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-$(git log -1 --format=%ct)}
fi
build_in() {  # build_in COPY PRESET TARGET...
  local copy=$1 preset=$2; shift 2
  echo "check-reproducible: building $* ($preset) in $copy"
  if ! (cd "$copy" && cmake --preset "$preset" >"$work/configure.log" 2>&1 &&
        cmake --build --preset "$preset" --target "$@" >"$work/build.log" 2>&1); then
    tail -n 40 "$work/configure.log" "$work/build.log"
    echo "check-reproducible: the build in $copy failed"; exit 1
  fi
}
for copy in "${copies[@]}"; do
  [ "$copy" = "$(pwd)" ] && continue
  build_in "$copy" "$preset" "${targets[@]}"
  if [ $package = 1 ]; then
    build_in "$copy" host chunkpack
    (cd "$copy" && scripts/package --no-build --win64 "$win64" >"$work/package.log" 2>&1) ||
      { cat "$work/package.log"; echo "check-reproducible: the package in $copy failed"; exit 1; }
  fi
done

status=0
same() {  # same DIR FILE WHAT: DIR/FILE is the same in both copies
  local a=${copies[0]}/$1/$2 b=${copies[1]}/$1/$2
  if cmp -s "$a" "$b"; then
    echo "identical: $2 ($(stat -c %s "$a") bytes)"
  else
    echo "FAIL: $2 differs between the two $3 ($(cmp "$a" "$b" 2>&1 | head -n 1))"
    status=1
  fi
}
for file in "${files[@]}"; do same "build/$preset" "$file" builds; done
if [ $package = 1 ]; then
  packages=$(cd "${copies[0]}/build/package/out" && ls)
  [ "$packages" = "$(cd "${copies[1]}/build/package/out" && ls)" ] && [ -n "$packages" ] ||
    { echo "FAIL: the two package folders hold other files"; status=1; }
  for file in $packages; do same build/package/out "$file" packages; done
fi
builds="two clean $preset builds"
[ $this_tree = 1 ] && builds="this checkout's $preset build and a clean one in a copy"
[ $status -eq 0 ] && echo "check-reproducible: $builds$([ $package = 1 ] && echo " and their packages") are byte-identical"
exit $status
