#!/usr/bin/env bash
# Writes destination/: what the command-line backup of an earlier version
# stores for a small tree. It recorded extended-attribute names with their
# Linux namespace ("user.note") and no "quorvel.uuid"; the tests check that
# such a destination still restores and verifies.
#
#   tests/data/commandline-destination/make.sh PATH/TO/quorvel
#
# The tree (its content is what MacDestinationTest expects):
#   Old Source/hello.txt         "hello\n", attribute user.note = "kept"
#   Old Source/folder/           attribute user.folder = "f"
#   Old Source/folder/inner.txt  "inner\n", POSIX ACL user:nobody:r--
#   Old Source/link              symbolic link to hello.txt
set -euo pipefail
quorvel=$(realpath "${1:?usage: make.sh PATH/TO/quorvel}")
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

source="$work/Old Source"
mkdir -p "$source/folder"
printf 'hello\n' > "$source/hello.txt"
printf 'inner\n' > "$source/folder/inner.txt"
ln -s hello.txt "$source/link"
setfattr -n user.note -v kept "$source/hello.txt"
setfattr -n user.folder -v f "$source/folder"
setfacl -m u:nobody:r-- "$source/folder/inner.txt"
chmod 0755 "$source" "$source/folder"
chmod 0644 "$source/hello.txt" "$source/folder/inner.txt"

rm -rf "$here/destination"
"$quorvel" backup --segment-size 1 "$source" "$here/destination"
