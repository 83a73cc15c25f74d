#!/usr/bin/env bash
# Every command of both release tools with Chinese names in every path and
# stored name it takes, typed in UTF-8 as on a Linux terminal. One table for
# the tools of either system:
#   chinese_paths.sh TOOLS_DIR                          the Linux tools
#   chinese_paths.sh TOOLS_DIR WINE_LOADER WINEPREFIX   the Windows tools (*.exe) under Wine
set -uo pipefail
tools=$(realpath "$1")
root=$(cd "$(dirname "$0")/../.." && pwd)
export LC_ALL=C.UTF-8
if [ -f "$tools/qlmr-pak.exe" ]; then
  loader=$2
  prefix=$(realpath -m "$3")
  pak() { "$root/scripts/wine-run.sh" "$loader" "$prefix" "$tools/qlmr-pak.exe" "$@"; }
  kit() { "$root/scripts/wine-run.sh" "$loader" "$prefix" "$tools/qlmr-patchkit.exe" "$@"; }
  updater=$tools/qlmrupdate.exe
  side=windows
else
  pak() { "$tools/qlmr-pak" "$@"; }
  kit() { "$tools/qlmr-patchkit" "$@"; }
  updater=$tools/qlmr-update
  side=linux
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
mkdir tmp
export TMPDIR=$work/tmp

passed=0
failed=0
# row NAME EXPECTED-EXIT CHECK COMMAND...: runs the command (stdout to
# out.txt, stderr to err.txt); it must exit so and CHECK (a shell test run
# afterwards) must hold.
row() {
  local name=$1 expected=$2 check=$3
  shift 3
  "$@" >out.txt 2>err.txt
  local status=$?
  if [ "$status" = "$expected" ] && eval "$check"; then
    passed=$((passed + 1))
    echo "ok   $name"
  else
    failed=$((failed + 1))
    echo "FAIL $name (exit $status, expected $expected; check: $check)"
    sed 's/^/     out: /' out.txt | head -20
    sed 's/^/     err: /' err.txt | head -20
  fi
}
has() { grep -qF -- "$1" "$2"; }

mkdir -p 游戏/数据 新版/数据 旧版
printf '中文内容\n' >游戏/数据/说明.txt
printf 'hello\n' >游戏/a.txt
printf '新的说明\n' >新版/数据/说明.txt
printf 'kr|00001.00000.00001' >新版/.ver
printf 'kr|00001.00000.00000' >旧版/.ver
printf '0||数据\\说明.txt|0\n0||.ver|0\n' >列表.txt

row "pak create" 0 '[ -f 档案.pak ]' pak create 档案.pak
row "pak add-tree" 0 true pak add-tree 档案.pak 游戏
row "pak add" 0 true pak add 档案.pak 名字/文件.txt=游戏/数据/说明.txt
row "pak ls" 0 'has "名字\\文件.txt" out.txt && has "数据\\说明.txt" out.txt' pak ls 档案.pak
row "pak ls --json" 0 'has "\"名字/文件.txt\"" out.txt' pak ls --json 档案.pak
row "pak cat" 0 'cmp -s out.txt 游戏/数据/说明.txt' pak cat 档案.pak 名字/文件.txt
row "pak cat -o" 0 'cmp -s 副本.txt 游戏/数据/说明.txt' pak cat -o 副本.txt 档案.pak 名字\\文件.txt
row "pak extract" 0 'cmp -s 解压/名字/文件.txt 游戏/数据/说明.txt' pak extract 档案.pak 解压
row "pak extract of one name" 0 'cmp -s 单个/数据/说明.txt 游戏/数据/说明.txt' \
  pak extract 档案.pak 单个 数据/说明.txt
row "pak verify" 0 'has "ok: 3 files" out.txt' pak verify 档案.pak
row "pak info" 0 'has "listed" out.txt' pak info 档案.pak
row "pak rm" 0 true pak rm 档案.pak 名字/文件.txt
row "pak repair" 0 true pak repair 档案.pak
row "pak verify after rm and repair" 0 'has "ok: 2 files" out.txt' pak verify 档案.pak
row "pak names a missing archive" 1 'has "'"'"'不存在.pak'"'"'" err.txt' pak ls 不存在.pak
row "pak names a missing source" 1 'has "'"'"'游戏/无.txt'"'"'" err.txt || has "'"'"'游戏\\无.txt'"'"'" err.txt' \
  pak add 档案.pak x=游戏/无.txt

row "patchkit build" 0 '[ -f 补丁.patch ]' kit build --list 列表.txt --root 新版 -o 补丁.patch
row "patchkit build packed" 0 true kit build --list 列表.txt --root 新版 -o 补丁包.patch --kind packed
row "patchkit inspect" 0 'has "write  数据\\说明.txt" out.txt' kit inspect 补丁.patch
row "patchkit inspect --json" 0 'has "\"数据/说明.txt\"" out.txt' kit inspect --json 补丁包.patch
row "patchkit verify" 0 true kit verify 补丁包.patch
row "patchkit convert" 0 '[ "$(head -c 2 压缩.zip)" = PK ]' kit convert 补丁包.patch 压缩.zip
cp -r 旧版 旧版副本
row "patchkit apply" 0 'cmp -s 旧版副本/数据/说明.txt 新版/数据/说明.txt' kit apply 补丁.patch 旧版副本
row "patchkit diff" 0 '[ -f 差异.patch ]' kit diff 旧版 新版 -o 差异.patch
row "patchkit diff --dry-run" 0 'has "write  数据\\说明.txt" out.txt' kit diff 旧版 新版 --dry-run
if [ -f "$updater" ]; then
  cp "$updater" 升级程序
  row "patchkit wrap" 0 '[ -f 升级.exe ]' \
    kit wrap --updater 升级程序 --from kr.1.0.0 --to kr.1.0.1 -o 升级.exe 补丁.patch
fi
row "patchkit names a missing patch" 1 'has "'"'"'不存在.patch'"'"'" err.txt' kit inspect 不存在.patch

echo "chinese paths ($side): $passed passed, $failed failed"
[ $failed -eq 0 ]
