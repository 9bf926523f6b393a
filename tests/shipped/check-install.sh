#!/usr/bin/env bash
# check-install.sh CMAKE BUILD_DIR OBJDUMP
# The release layout: cmake --install puts the shipped programs with their
# symbol files into bin/ (still linked to each other there) and the user
# documentation into share/doc/<project>/.
set -uo pipefail
cmake=$1 build=$2 objdump=$3
here=$(cd "$(dirname "$0")" && pwd)
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
"$cmake" --install "$build" --prefix "$prefix" >/dev/null || { echo "FAIL: cmake --install failed"; exit 1; }
status=0
for file in bin/bootstrapper.exe bin/bootstrapper.debug bin/chunkpack.exe bin/chunkpack.debug \
            share/doc/tarnwick_bootstrapper/README.md share/doc/tarnwick_bootstrapper/docs/chunkpack.md; do
  [ -f "$prefix/$file" ] || { echo "FAIL: $file is not installed"; status=1; }
done
for exe in bootstrapper.exe chunkpack.exe; do
  cmp -s "$build/bin/$exe" "$prefix/bin/$exe" || { echo "FAIL: the installed $exe is not the shipped one"; status=1; }
done
installed=$(find "$prefix" -type f | sed "s|^$prefix/||" | sort)
grep -Eqv '^(bin/(bootstrapper|chunkpack)\.(exe|debug)|share/doc/tarnwick_bootstrapper/(README\.md|docs/[a-z-]+\.md))$' <<<"$installed" &&
  { echo "FAIL: more was installed: $(grep -Ev '^(bin/|share/doc/)' <<<"$installed" | head -n 5)"; status=1; }
bash "$here/check-shipped.sh" "$objdump" 0 "$prefix/bin/bootstrapper.exe" "$prefix/bin/chunkpack.exe" >/dev/null ||
  { echo "FAIL: the installed programs do not find their symbol files"; status=1; }
[ $status -eq 0 ] && echo "install layout OK"
exit $status
