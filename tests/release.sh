#!/usr/bin/env bash
# The release file of a static build is what the README's "Install on any Linux" says: its
# commands, taken from the README, check the sum, unpack it and run the program inside.
#
# usage: release.sh BUILD_DIR README VERSION
set -u
build=$1 readme=$2 version=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cpack --config "$build/CPackConfig.cmake" -B "$work" > /dev/null || { echo "FAIL: cpack"; exit 1; }
cd "$work" && sha256sum -- *.tar.gz > SHA256SUMS || exit 1
commands=$(awk '/^## Install on any Linux/ { section = 1 } section && /^```sh$/ { inside = 1; next }
                inside && /^```/ { exit } inside' "$readme" | sed "s/VERSION/$version/g")
[ -n "$commands" ] || { echo "FAIL: no commands in the README's section"; exit 1; }
out=$(bash -e -c "$commands" 2>&1) || { echo "$out"; echo "FAIL: the README's commands"; exit 1; }
# The release file's program is the static one, reading gzip through zlib and zstd too.
grep -Eqx "ms2split ${version//./\\.} \(linux-x86_64, static; gzip: zlib [0-9.]+; zstd: [0-9.]+; threads: yes\)" <<< "$out" ||
    { echo "$out"; echo "FAIL: the program did not run, or is not the static one"; exit 1; }
for part in bin/ms2split share/man/man1/ms2split.1.gz share/ms2split/workflow/Snakefile README.md LICENSE; do
    [ -f "ms2split-$version-linux-x86_64/$part" ] || { echo "FAIL: no $part"; exit 1; }
done
echo "the README's commands unpack and run ms2split-$version-linux-x86_64.tar.gz"
