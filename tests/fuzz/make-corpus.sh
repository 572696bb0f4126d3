#!/usr/bin/env bash
# Regenerates the seed corpora in tests/fuzz/corpus/<Target>/ with the
# project's own writers: fuzz-corpus-writer (property lists, archives,
# snapshots, keychain files, transforms...) and the archive tools
# quorvel-mkbom and quorvel-ditto (bills of materials, CPIO archives) run on
# a small sample tree. Builds the fuzz variant (scripts/build fuzz) first.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
corpus="$root/tests/fuzz/corpus"
build=$(QUORVEL_JOBS=${QUORVEL_JOBS:-1} "$root/scripts/build" fuzz --target fuzz-corpus-writer quorvel-ditto quorvel-mkbom)

work=$(mktemp -d "${TMPDIR:-/tmp}/quorvel-corpus.XXXXXX")
trap 'rm -rf "$work"' EXIT

# The sample tree: files, a file with an extended attribute (so that the
# archive carries an AppleDouble companion), nested folders and a symbolic
# link, all with fixed times (quorvel-ditto does not archive pipes). Its
# names are the ones the extraction target's bill of materials lists.
sample="$work/sample"
mkdir -p "$sample/a" "$sample/e/f"
printf 'first file\n' >"$sample/a/b.txt"
printf 'second file\n' >"$sample/a/c"
printf 'top-level file\n' >"$sample/d.txt"
printf 'deep file\n' >"$sample/e/f/g.txt"
ln -s d.txt "$sample/link"
python3 -c 'import os, sys; os.setxattr(sys.argv[1], "user.comment", b"a note")' "$sample/a/b.txt"
find "$sample" -exec touch -h -d @1000000000 {} +

rm -rf "$corpus"
mkdir -p "$corpus"
"$build/tests/fuzz/fuzz-corpus-writer" "$corpus" "$sample"

# Bills of materials written by quorvel-mkbom, and archives by quorvel-ditto.
printf '.\n./a\n./a/b.txt\n./a/c\n./d.txt\n./e\n./e/f\n./e/f/g.txt\n./link\n' >"$work/all.list"
printf '.\n./d.txt\n' >"$work/one.list"
"$build/quorvel-mkbom" -s -i "$work/all.list" "$work/all.bom"
"$build/quorvel-mkbom" -s -i "$work/one.list" "$work/one.bom"
mkdir -p "$corpus/BillOfMaterialsFuzz" "$corpus/DittoExtractFuzz"
cp "$work/all.bom" "$corpus/BillOfMaterialsFuzz/mkbom-tree"
cp "$work/one.bom" "$corpus/BillOfMaterialsFuzz/mkbom-one"
"$build/quorvel-ditto" -c --rsrc --noqtn --bom "$work/all.bom" "$sample" - >"$corpus/DittoExtractFuzz/tree.cpio"
"$build/quorvel-ditto" -c -j --noqtn --bom "$work/all.bom" "$sample" - >"$corpus/DittoExtractFuzz/tree.cpio.gz"
"$build/quorvel-ditto" -c --rsrc --noqtn --bom "$work/one.bom" "$sample" - >"$corpus/DittoExtractFuzz/one.cpio"

for dir in "$corpus"/*/; do
  printf '%-28s %2d files, %6d bytes\n' "$(basename "$dir")" "$(find "$dir" -type f | wc -l)" \
    "$(find "$dir" -type f -printf '%s\n' | awk '{s += $1} END {print s}')" >&2
done
