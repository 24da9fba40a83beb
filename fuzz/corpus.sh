#!/bin/sh
# A fuzz target's corpus is kept as one archive, fuzz/corpus/NAME.tar.xz.
#   fuzz/corpus.sh unpack NAME DIR   unpacks it into DIR (for a campaign)
#   fuzz/corpus.sh pack NAME DIR     writes DIR's files as the new archive
# The archive is written the same way every time (sorted names, no owners or
# dates), so repacking an unchanged corpus changes no byte of it.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
[ $# -eq 3 ] || { echo "usage: $0 unpack|pack NAME DIR" >&2; exit 2; }
archive="$here/corpus/$2.tar.xz"
case "$1" in
  unpack)
    mkdir -p "$3"
    tar -xJf "$archive" -C "$3"
    ;;
  pack)
    [ -d "$3" ] || { echo "$0: no folder $3" >&2; exit 2; }
    tar --sort=name --mtime=@0 --owner=0 --group=0 --numeric-owner -cf - -C "$3" . \
      | xz -9 > "$archive.tmp"
    mv "$archive.tmp" "$archive"
    ;;
  *) echo "usage: $0 unpack|pack NAME DIR" >&2; exit 2 ;;
esac
