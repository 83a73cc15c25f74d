#!/usr/bin/env bash
# Static checks of a Windows program as it ships, without running it:
#   check-win-program.sh EXE i686|x86_64 [CARRIER_OFFSET]
# - the file format of its architecture (PE32 i386, or PE32+ x86-64);
# - large-address-aware (a 32-bit program then has 4 GiB on 64-bit Windows);
# - it imports only DLLs of the system, so it runs copied alone;
# - with CARRIER_OFFSET, it ends before that offset, where the patch goes.
# Prints one line per check; exits 1 if any fails.
set -uo pipefail
exe=$1
arch=$2
offset=${3:-}
objdump=$arch-w64-mingw32-objdump
case "$arch" in
  i686) format=pei-i386 magic='PE32)' ;;
  x86_64) format=pei-x86-64 magic='PE32+)' ;;
  *) echo "check-win-program.sh: unknown architecture $arch" >&2 && exit 2 ;;
esac
[ -f "$exe" ] || { echo "check-win-program.sh: no program at $exe" >&2 && exit 1; }
headers=$("$objdump" -p "$exe") || { echo "FAIL $exe: $objdump cannot read it" && exit 1; }

failed=0
result() {  # result OK? TEXT
  if [ "$1" = 0 ]; then echo "ok   $2"; else echo "FAIL $2" && failed=1; fi
}
name=$(basename "$exe")
grep -q "file format $format\$" <<<"$headers"
result $? "$name: file format $format"
grep -q "^Magic.*($magic" <<<"$headers"
result $? "$name: ${magic%)}"
grep -q "^[[:space:]]*large address aware" <<<"$headers"
result $? "$name: large address aware"
# The system's own DLLs, which every Windows since XP has.
system_dlls=' kernel32.dll user32.dll gdi32.dll comctl32.dll comdlg32.dll shell32.dll
  shlwapi.dll ole32.dll oleaut32.dll advapi32.dll msvcrt.dll psapi.dll version.dll '
foreign=()
while read -r dll; do
  lower=$(tr '[:upper:]' '[:lower:]' <<<"$dll")
  [[ "$system_dlls" == *" $lower"[[:space:]]* ]] || foreign+=("$dll")
done < <(sed -n 's/^[[:space:]]*DLL Name: //p' <<<"$headers")
[ ${#foreign[@]} -eq 0 ]
result $? "$name: imports only system DLLs$([ ${#foreign[@]} -gt 0 ] && echo " (not: ${foreign[*]})")"
if [ -n "$offset" ]; then
  size=$(stat -c %s "$exe")
  if [ "$size" -le "$offset" ]; then
    result 0 "$name: $size bytes, $((offset - size)) below its carrier offset $offset"
  else
    result 1 "$name: $size bytes, longer than its carrier offset $offset"
  fi
fi
exit $failed
