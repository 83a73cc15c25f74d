#!/usr/bin/env bash
# The release tools of both systems read each other's files: archives and
# patches made by the Linux qlmr-pak and qlmr-patchkit are listed, read,
# verified and applied by the Windows ones under Wine, and the other way
# round. Names include Chinese characters.
# Both tools also wrap every updater given: the Linux one, the Windows one
# of WINDOWS_BIN, and any other (the 32-bit program as it ships, when the
# Windows tools are the 64-bit build).
#   test-win-tools.sh LINUX_BIN WINDOWS_BIN WINE_LOADER WINEPREFIX [UPDATER...]
set -uo pipefail
linux_bin=$(realpath "$1")
windows_bin=$(realpath "$2")
wine_loader=$3
wine_prefix=$(realpath -m "$4")
shift 4
more_updaters=()
for updater in "$@"; do more_updaters+=("$(realpath "$updater")"); done
root=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
# A temporary folder of this check's own, as the unit tests have: other
# programs on the machine that clean the shared one must not take the work
# folders of a tool that runs here.
mkdir "$work/tmp"
export TMPDIR=$work/tmp

passed=0
failed=0
check() {  # check NAME COMMAND...: the command must succeed
  local name=$1
  shift
  if "$@" >"$work/last.log" 2>&1; then
    passed=$((passed + 1))
    echo "ok   $name"
  else
    failed=$((failed + 1))
    echo "FAIL $name"
    sed 's/^/     /' "$work/last.log"
  fi
}
lin_pak() { "$linux_bin/qlmr-pak" "$@"; }
lin_kit() { "$linux_bin/qlmr-patchkit" "$@"; }
win_pak() { "$root/scripts/wine-run.sh" "$wine_loader" "$wine_prefix" "$windows_bin/qlmr-pak.exe" "$@"; }
win_kit() { "$root/scripts/wine-run.sh" "$wine_loader" "$wine_prefix" "$windows_bin/qlmr-patchkit.exe" "$@"; }
same_output() {  # same_output A-COMMAND... -- B-COMMAND...: equal standard output
  local a=() b=()
  while [ "$1" != "--" ]; do a+=("$1"); shift; done
  shift
  b=("$@")
  "${a[@]}" >"$work/a.out" && "${b[@]}" >"$work/b.out" && cmp "$work/a.out" "$work/b.out"
}

# A small game tree: ASCII and Chinese names, text and incompressible data.
# The files that go into a pack archive sit below a folder of its name.
mkdir -p tree/Data/数据 tree/bin
printf 'hello\n' >tree/a.txt
printf '中文内容\n' >tree/Data/数据/说明.txt
head -c 200000 /dev/urandom >tree/bin/random.dll
seq 1 30000 >tree/Data/numbers.txt
mkdir -p patch-root/data.pak
cp -r tree/. patch-root/
cp -r tree/bin tree/Data patch-root/data.pak/

for side in lin win; do
  other=win
  [ $side = win ] && other=lin
  check "$side pak: create and add a tree" ${side}_pak create $side.pak
  check "$side pak: add-tree" ${side}_pak add-tree $side.pak tree
  check "$side pak: add a Chinese name" ${side}_pak add $side.pak "名字/文件.txt=tree/Data/数据/说明.txt"
  check "$side pak: add with LZMA" ${side}_pak add --type 3 $side.pak "lzma.txt=tree/Data/numbers.txt"
  check "$side pak: add with LZO" ${side}_pak add --type 2 $side.pak "lzo.txt=tree/Data/numbers.txt"
  check "$other pak verifies the $side archive" ${other}_pak verify $side.pak
  check "both list the $side archive alike" same_output lin_pak ls $side.pak -- win_pak ls $side.pak
  check "$other pak reads a Chinese name of the $side archive" \
    same_output ${other}_pak cat $side.pak "名字\\文件.txt" -- cat tree/Data/数据/说明.txt
  for stored in lzma.txt lzo.txt; do
    check "$other pak reads $stored of the $side archive" \
      same_output ${other}_pak cat $side.pak $stored -- cat tree/Data/numbers.txt
  done
  check "$other pak reads random data of the $side archive" \
    same_output ${other}_pak cat $side.pak "bin\\random.dll" -- cat tree/bin/random.dll
done
check "both tools write the same archive" cmp lin.pak win.pak

# Patch lists are system text: code page 936.
printf '0||a.txt|0\r\n0||Data\\数据\\说明.txt|0\r\n0|data.pak|bin\\random.dll|3\r\n0|data.pak|Data\\numbers.txt|2\r\n' |
  iconv -f UTF-8 -t CP936 >list.txt
for kind in masked packed; do
  for side in lin win; do
    other=win
    [ $side = win ] && other=lin
    patch=$side-$kind.patch
    check "$side patchkit builds a $kind patch" ${side}_kit build --list list.txt --root patch-root -o $patch --kind $kind
    check "both inspect the $side $kind patch alike" \
      same_output lin_kit inspect $patch -- win_kit inspect $patch
    if [ $kind = packed ]; then
      check "$other patchkit verifies the $side packed patch" ${other}_kit verify $patch
    fi
    rm -rf install-$patch
    mkdir -p install-$patch
    check "$other pak makes the installation's archive" ${other}_pak create install-$patch/data.pak
    check "$other patchkit applies the $side $kind patch" ${other}_kit apply $patch install-$patch
    check "the $side $kind patch applied by $other gave the files" \
      cmp install-$patch/Data/数据/说明.txt tree/Data/数据/说明.txt
    check "the $side $kind patch applied by $other filled the archive" \
      same_output ${side}_pak cat install-$patch/data.pak "bin\\random.dll" -- cat tree/bin/random.dll
  done
done

# Each patchkit wraps each system's updater at the offset that updater names,
# so the two tools give the same file.
output_to() {  # output_to FILE COMMAND...: the command's standard output into FILE
  local file=$1
  shift
  "$@" >"$file"
}
wrapped_right() {  # wrapped_right UPDATER WRAPPED TOOL-OUTPUT-FILE
  local offset
  offset=$(sed -n 's/.*patch at offset \([0-9]*\).*/\1/p' "$3")
  [ -n "$offset" ] && [ "$(stat -c %s "$1")" -le "$offset" ] &&
    [ "$(tail -c +$((offset + 1)) "$2" | head -c 17 | od -An -c | tr -d ' \n')" = '\r\0\0\0CN.0.551.065\0' ]
}
index=0
for updater in "$linux_bin/qlmr-update" "$windows_bin/qlmrupdate.exe" "${more_updaters[@]}"; do
  index=$((index + 1))
  name=$index-$(basename "$updater")
  [ -f "$updater" ] || continue
  for side in lin win; do
    check "$side patchkit wraps $name" \
      output_to "$work/wrap-$side.out" ${side}_kit wrap --updater "$updater" \
      --from CN.0.551.065 --to CN.0.551.066 -o $side-wrapped-$name lin-masked.patch
    check "$side patchkit wraps $name at the offset it names" \
      wrapped_right "$updater" $side-wrapped-$name "$work/wrap-$side.out"
  done
  check "both tools wrap $name alike" cmp lin-wrapped-$name win-wrapped-$name
done

# Both systems' tools pass one table of every command with Chinese paths.
check "the Linux tools take Chinese paths" bash "$root/tests/tools/chinese_paths.sh" "$linux_bin"
check "the Windows tools take Chinese paths" \
  bash "$root/tests/tools/chinese_paths.sh" "$windows_bin" "$wine_loader" "$wine_prefix"

echo "windows tools: $passed passed, $failed failed"
[ $failed -eq 0 ]
