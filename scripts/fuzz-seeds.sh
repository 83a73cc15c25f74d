#!/usr/bin/env bash
# Makes the fuzz targets' seed corpora (fuzz/corpus/<target>/) with the
# project's own tools: pack archives written by qlmr-pak (in the compact form
# of fuzz/pack_fuzz_input.h), patch packages written by qlmr-patchkit, their
# control lists, LZMA data and a wrapped carrier block. Needs build/ (built
# here if missing) and python3 for the compact form.
set -euo pipefail
cd "$(dirname "$0")/.."

cmake -S . -B build -G Ninja >/dev/null
cmake --build build --target qlmr-pak qlmr-patchkit >/dev/null
pak=build/bin/qlmr-pak
kit=build/bin/qlmr-patchkit
corpus=fuzz/corpus
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

for target in pack_read_fuzz pack_write_fuzz patch_masked_fuzz patch_packed_fuzz \
  control_list_fuzz lzo_decode_fuzz lzma_decode_fuzz mask_codec_fuzz carrier_fuzz; do
  rm -rf "${corpus:?}/$target"
  mkdir -p "$corpus/$target"
done

# Files to store and to patch: text that compresses, bytes that do not, code
# that the x86 filter likes, an empty file.
mkdir -p "$work/root/bin" "$work/root/data/item.pak/bin"
for i in $(seq 1 60); do echo "line $i of a text file"; done >"$work/root/readme.txt"
head -c 700 /dev/urandom >"$work/root/bin/random.dll"
printf '\xe8\x10\x00\x00\x00\xe8\x20\x00\x00\x00%.0s' $(seq 1 40) >"$work/root/bin/code.exe"
: >"$work/root/empty"
printf 'CN.00001.00002.00004' >"$work/root/.ver"
cp "$work/root/readme.txt" "$work/root/data/item.pak/a.txt"
cp "$work/root/bin/code.exe" "$work/root/data/item.pak/bin/code.exe"
: >"$work/root/data/item.pak/empty"

# Pack archives: one per compression type, one with several types and a
# removal, one with an unlisted file.
compact() {  # archive -> compact form
  python3 - "$1" "$2" <<'PY'
import struct, sys
data = open(sys.argv[1], 'rb').read()
header, hashes = data[:40], []
for slot in range(36353):
    entry = data[40 + slot * 12: 52 + slot * 12]
    if entry != b'\0' * 12:
        hashes.append(struct.pack('<H', slot) + entry)
block_base, data_base = 40 + 36353 * 12, 40 + 36353 * 12 + 0x100000
blocks = [data[block_base + i * 16: block_base + i * 16 + 16] for i in range(65536)]
while blocks and blocks[-1] == b'\0' * 16:
    blocks.pop()
out = header + struct.pack('<H', len(hashes)) + b''.join(hashes)
out += struct.pack('<H', len(blocks)) + b''.join(blocks) + data[data_base:]
open(sys.argv[2], 'wb').write(out)
PY
}

for type in 0 1 2 3; do
  $pak create "$work/t$type.pak"
  $pak add --type "$type" "$work/t$type.pak" "readme.txt=$work/root/readme.txt" \
    "bin\\code.exe=$work/root/bin/code.exe" >/dev/null

  compact "$work/t$type.pak" "$corpus/pack_read_fuzz/type$type"
done
$pak create "$work/mixed.pak"
$pak add --type 2 "$work/mixed.pak" "a.txt=$work/root/readme.txt" "e=$work/root/empty" >/dev/null
$pak add --type 3 "$work/mixed.pak" "b.exe=$work/root/bin/code.exe" >/dev/null
$pak add "$work/mixed.pak" "c.dll=$work/root/bin/random.dll" >/dev/null
$pak rm "$work/mixed.pak" "a.txt" >/dev/null
$pak add --no-list --type 1 "$work/mixed.pak" "unlisted=$work/root/readme.txt" >/dev/null
compact "$work/mixed.pak" "$corpus/pack_read_fuzz/mixed"
$pak create "$work/empty.pak"
compact "$work/empty.pak" "$corpus/pack_read_fuzz/empty"
cp "$corpus"/pack_read_fuzz/* "$corpus/pack_write_fuzz/"

# Patch packages of both kinds from one list; the masked target takes the
# plain zip, the packed target the packed file without its trailer.
cat >"$work/list" <<'LIST'
0||readme.txt|0
0||bin\random.dll|0
1||old.txt|0
0|data\item.pak|a.txt|2
0|data\item.pak|bin\code.exe|3
0|data\item.pak|empty|1
1|data\item.pak|gone.txt|0
0||.ver|0
LIST
$kit build --list "$work/list" --root "$work/root" -o "$work/p.packed" --kind packed >/dev/null
$kit build --list "$work/list" --root "$work/root" -o "$work/p.masked" --kind masked >/dev/null
$kit convert "$work/p.packed" "$work/p.zip" >/dev/null
cp "$work/p.zip" "$corpus/patch_masked_fuzz/patch.zip"
head -c -4 "$work/p.packed" >"$corpus/patch_packed_fuzz/patch.packed"
printf '1||old.txt|0\n1|a.pak|b|0\n' >"$work/deletions"
$kit build --list "$work/deletions" --root "$work/root" -o "$work/d.packed" --kind packed >/dev/null
head -c -4 "$work/d.packed" >"$corpus/patch_packed_fuzz/deletions.packed"
$kit convert "$work/d.packed" "$corpus/patch_masked_fuzz/deletions.zip" >/dev/null
unzip -p "$work/p.zip" '(command)' >"$corpus/control_list_fuzz/list"
printf '0||a|0|0\r\n\r\n1|x.pak|b|2|00001A2C|extra\n0||..\\up|0|0' >"$corpus/control_list_fuzz/mixed"

# LZMA data as the packed file holds it (4 bytes of decoder arguments
# first: the largest extra capacity, position 0).
{ printf '\xff\xff\x00\x00'; tail -c +9 "$work/p.packed" | head -c -4; } \
  >"$corpus/lzma_decode_fuzz/packed-content"
head -c 64 /dev/urandom >"$corpus/mask_codec_fuzz/random"
printf '\xff\x00\x00\x00' >"$corpus/lzo_decode_fuzz/empty"

# A carrier block: the wrapped updater's bytes after the carrier offset.
printf 'updater' >"$work/updater"
$kit wrap --updater "$work/updater" --from CN.1.2.3 --to CN.1.2.4 -o "$work/wrapped" \
  "$work/p.masked" >/dev/null
tail -c +278529 "$work/wrapped" | head -c 200 >"$corpus/carrier_fuzz/wrapped"
printf '\x0a\x00\x00\x00CN.1.2.3\x00\x00\x0b\x00\x00\x00CN.01.2.4\x00\x00PK' \
  >"$corpus/carrier_fuzz/small"

du -sh "$corpus"/*
