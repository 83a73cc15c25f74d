#!/usr/bin/env bash
# Says whether this machine starts 32-bit x86 programs: prints "yes" and exits
# 0, or prints "no" and exits 1. Some kernels are built without 32-bit
# support; there, 32-bit Wine fails with "Exec format error", and the i686
# Windows suite cannot run at all. The probe is the smallest static 32-bit
# Linux program (it exits with status 42), written out byte by byte, so it
# needs no 32-bit compiler or library.
set -uo pipefail
probe=$(mktemp)
trap 'rm -f "$probe"' EXIT
# ELF header (52 bytes), one loadable segment (32 bytes), then the code:
# mov eax, 1; mov ebx, 42; int 0x80.
printf '\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00' >"$probe"
printf '\x02\x00\x03\x00\x01\x00\x00\x00\x54\x80\x04\x08\x34\x00\x00\x00' >>"$probe"
printf '\x00\x00\x00\x00\x00\x00\x00\x00\x34\x00\x20\x00\x01\x00\x00\x00' >>"$probe"
printf '\x00\x00\x00\x00\x01\x00\x00\x00\x00\x00\x00\x00\x00\x80\x04\x08' >>"$probe"
printf '\x00\x80\x04\x08\x60\x00\x00\x00\x60\x00\x00\x00\x05\x00\x00\x00' >>"$probe"
printf '\x00\x10\x00\x00\xb8\x01\x00\x00\x00\xbb\x2a\x00\x00\x00\xcd\x80' >>"$probe"
chmod +x "$probe"
"$probe" 2>/dev/null
if [ $? -eq 42 ]; then
  echo yes
  exit 0
fi
echo no
exit 1
