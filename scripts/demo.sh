#!/usr/bin/env bash
# The main job: builds the release tools and the terminal updater, makes a
# sample game installation at CN.0.551.065, builds a patch to CN.0.551.066
# with the release tools, wraps the updater with it, puts the wrapped
# updater into the installation and runs it there. On a terminal the person presses Enter to start, Enter to
# close the message and q to leave; otherwise the script presses the keys
# itself. Afterwards it verifies every archive and prints both versions.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh --linux-only
# Only the programs the demo runs: the tools and the terminal updater.
launcher=()
if command -v ccache >/dev/null; then
  launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
fi
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQLMR_BUILD_TESTS=OFF \
  "${launcher[@]}" >/dev/null
cmake --build build -j "$(nproc)" --target qlmr-pak qlmr-patchkit qlmr-update

bin=$PWD/build/bin
demo=$PWD/build/demo
game=$demo/Quelmar        # the installation
src=$demo/files           # the sample files
new=$demo/patch-root      # the new files the patch carries
work=$demo/work           # copies that yield the new list files
rm -rf "$demo"
mkdir -p "$game/bin" "$game/data" "$game/说明" "$game/download" "$src" "$new" "$work" "$demo/tmp"

pak() { "$bin/qlmr-pak" "$@" >/dev/null; }

echo "== the installation at CN.0.551.065: $game"
printf 'CN.0.551.065\r\n' >"$game/.ver"
printf 'Quelmar 0.551.065\n' >"$game/readme.txt"
head -c 40000 /dev/urandom >"$game/bin/client.dll"
printf '旧版说明\n' >"$game/说明/旧版说明.txt"
# The game's automatic patcher: here it only notes that it was started.
printf '#!/bin/sh\necho "qlmrpatch.exe started in $(pwd)" > patcher.log\n' >"$game/qlmrpatch.exe"
chmod +x "$game/qlmrpatch.exe"

head -c 3000 /dev/urandom >"$src/a.tga"
printf '长剑 攻击力 12\n%.0s' {1..40} >"$src/weapon.txt"
seq 1 3000 >"$src/b.mdl"
printf 'function 任务() return 1 end\n%.0s' {1..100} >"$src/quest.lua"
seq 1 500 | sed 's/^/sound /' >"$src/bell.wav"
printf 'theme\n%.0s' {1..300} >"$src/theme.ogg"
# Types 0 (stored), 1 (masked), 2 (LZO) and 3 (LZMA); names with Chinese characters.
pak create "$game/data/item.pak"
pak add --type 0 "$game/data/item.pak" "icons\\a.tga=$src/a.tga"
pak add --type 1 "$game/data/item.pak" "名称\\武器.txt=$src/weapon.txt"
pak add --type 2 "$game/data/item.pak" "models\\b.mdl=$src/b.mdl"
pak add --type 3 "$game/data/item.pak" "scripts\\任务.lua=$src/quest.lua"
pak create "$game/data/sound.pak"
pak add --type 0 "$game/data/sound.pak" "bell.wav=$src/bell.wav"
pak add --type 3 "$game/data/sound.pak" "音乐\\theme.ogg=$src/theme.ogg"
"$bin/qlmr-pak" ls "$game/data/item.pak"

echo "== the patch to CN.0.551.066"
# Inside item.pak: one deletion, one replacement, one addition, the new list file.
mkdir -p "$new/data/item.pak/名称" "$new/data/item.pak/models"
printf '长剑 攻击力 15\n%.0s' {1..40} >"$new/data/item.pak/名称/武器.txt"
seq 1 5000 >"$new/data/item.pak/models/c.mdl"
cp "$game/data/item.pak" "$work/item.pak"
pak rm "$work/item.pak" "icons\\a.tga"
pak add --type 1 "$work/item.pak" "名称\\武器.txt=$new/data/item.pak/名称/武器.txt"
pak add --type 2 "$work/item.pak" "models\\c.mdl=$new/data/item.pak/models/c.mdl"
"$bin/qlmr-pak" cat "$work/item.pak" "(list)" >"$new/data/item.pak/(list)"
# sound.pak is replaced as a whole.
pak create "$new/data/sound.pak"
pak add --type 3 "$new/data/sound.pak" "音乐\\theme.ogg=$src/theme.ogg"
pak add --type 2 "$new/data/sound.pak" "音乐\\rain.ogg=$src/bell.wav"
# Loose files: two writes, one deletion, and the version file.
mkdir -p "$new/bin"
printf 'Quelmar 0.551.066\n' >"$new/readme.txt"
head -c 20000 /dev/urandom >"$new/bin/effects.dll"
printf 'CN.0.551.066\r\n' >"$new/.ver"
# The build list is code page 936 text: op|packName|fileName|compressType.
iconv -f UTF-8 -t CP936 >"$demo/patch-list.txt" <<'EOF'
1|data\item.pak|icons\a.tga|0
0|data\item.pak|名称\武器.txt|1
0|data\item.pak|models\c.mdl|2
0|data\item.pak|(list)|0
0||data\sound.pak|0
0||readme.txt|0
0||bin\effects.dll|0
1||说明\旧版说明.txt|0
0||.ver|0
EOF
"$bin/qlmr-patchkit" build --list "$demo/patch-list.txt" --root "$new" --kind packed \
  -o "$demo/patch.bin"
"$bin/qlmr-patchkit" wrap --updater "$bin/qlmr-update" --from CN.0.551.065 \
  --to CN.0.551.066 -o "$game/qlmr-update" "$demo/patch.bin"

before=$(head -n 1 "$game/.ver" | tr -d '\r')
echo "== running $game/qlmr-update"
export TMPDIR=$demo/tmp
cd "$game"
if [ -t 0 ] && [ -t 1 ]; then
  echo "Enter starts the update, Enter closes the message, q leaves."
  ./qlmr-update
else
  # No one at the keyboard: answer the screens as a person would.
  coproc UPDATER { exec ./qlmr-update; }
  pid=$UPDATER_PID
  in=${UPDATER[1]}
  while IFS= read -r line <&"${UPDATER[0]}"; do
    echo "  $line"
    case "$line" in
      "[buttons] start(Enter)=on"*) echo "  (Enter)" && echo >&"$in" ;;
      "[message]"*"(Enter)") echo "  (Enter)" && echo >&"$in" ;;
      "[message] closed" | "[failed]"*) echo "  (q)" && echo q >&"$in" ;;
    esac
  done
  wait "$pid"
fi
cd - >/dev/null

echo "== afterwards"
sleep 0.5  # the patcher runs detached
for archive in "$game"/data/*.pak; do
  "$bin/qlmr-pak" verify "$archive" >/dev/null && echo "verified: ${archive#"$game/"}"
done
"$bin/qlmr-pak" ls "$game/data/item.pak"
echo "download: $(ls "$game/download")"
cat "$game/patcher.log" 2>/dev/null || echo "the patcher was not started"
echo "version before: $before"
echo "version after:  $(head -n 1 "$game/.ver" | tr -d '\r')"
