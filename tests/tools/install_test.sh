#!/bin/sh
# install_test.sh BUILD_DIR SOURCE_DIR BUILT_POLC BINDIR MANDIR DATADIR
# Installs the build into a temporary prefix, checks that every installed file
# is where GNUInstallDirs puts it, and compiles the example policy with the
# installed polc: same bytes as the built polc, and the installed polcdump
# turns them back into a source that compiles to the same bytes.
set -eu
build=$1 source=$2 built_polc=$3 bindir=$4 mandir=$5 datadir=$6
prefix=$(mktemp -d "${TMPDIR:-/tmp}/polc_install.XXXXXX")
trap 'rm -rf "$prefix"' EXIT

cmake --install "$build" --prefix "$prefix" >/dev/null
for file in "$bindir/polc" "$bindir/polcdump" "$mandir/man1/polc.1" "$mandir/man1/polcdump.1" \
            "$datadir/polc/policy.schema.json"; do
  [ -f "$prefix/$file" ] || { echo "not installed: $file"; exit 1; }
done
[ -x "$prefix/$bindir/polc" ] && [ -x "$prefix/$bindir/polcdump" ]

mkdir "$prefix/out"
"$prefix/$bindir/polc" -c -m -o "$prefix/out/policy.bin" "$source"/examples/*.json >"$prefix/out/log"
tail -n 1 "$prefix/out/log" | grep -q '\[INFO\]\[VaroCompiler\]\[Done\]$'
[ -f "$prefix/out/policy.map" ]
"$built_polc" -c -o "$prefix/out/built.bin" "$source"/examples/*.json >/dev/null
cmp "$prefix/out/policy.bin" "$prefix/out/built.bin"

"$prefix/$bindir/polcdump" --json "$prefix/out/policy.bin" >"$prefix/out/dumped.json"
"$prefix/$bindir/polc" -c -o "$prefix/out/again.bin" "$prefix/out/dumped.json" >/dev/null
cmp "$prefix/out/policy.bin" "$prefix/out/again.bin"
echo "installed into a temporary prefix and compiled the example policy"
