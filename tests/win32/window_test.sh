#!/usr/bin/env bash
# The Windows updater in a real window: Xvfb, Wine and xdotool play the user.
#
#   window_test.sh prefix   --work DIR --wine LOADER
#   window_test.sh SCENARIO --work DIR --wine LOADER --updater EXE --stand-in EXE
#                  --tools DIR --shots DIR [--wrap-tool PATCHKIT]
#
# LOADER is the Wine of the programs' architecture (/usr/lib/wine/wine64 or
# /usr/lib/wine/wine).
# "prefix" makes the Wine prefix the scenarios share (once; kept in DIR).
# Scenarios: success, version-gate, apply-failure, conflict, foreign-names
# (an installation folder and a temporary folder whose names code page 936
# lacks: Hangul, "Søren"), release. Each builds a
# small installation with the Linux release tools (qlmr-pak, qlmr-patchkit),
# wraps the Windows updater with the patch (with the Linux qlmr-patchkit, or
# with the one given, a Windows one run under Wine), runs it in its own X server,
# presses the buttons, saves PNG screenshots in the shots folder and checks
# the installation afterwards. The window's own pixels tell the status line's
# colour and whether the start button is enabled. "release" makes three old
# installations and a new one, builds the program with qlmr-patchkit release
# and runs it in each old one, which must then be the new one.
set -euo pipefail

scenario=$1
shift
work="" wineLoader="" updater="" standIn="" tools="" shots="" wrapTool=""
while [ $# -gt 0 ]; do
  case "$1" in
    --work) work=$2 ;;
    --wine) wineLoader=$2 ;;
    --updater) updater=$2 ;;
    --stand-in) standIn=$2 ;;
    --tools) tools=$2 ;;
    --shots) shots=$2 ;;
    --wrap-tool) wrapTool=$2 ;;
    *) echo "unknown argument: $1" >&2 && exit 2 ;;
  esac
  shift 2
done

[ -x "$wineLoader" ] || { echo "no Wine at '$wineLoader'" >&2 && exit 2; }
export WINEPREFIX=$work/wineprefix
export WINELOADER=$wineLoader
case "$wineLoader" in
  *wine64) export WINEARCH=win64 ;;
  *) export WINEARCH=win32 ;;
esac
# Every Wine program of the scenarios runs with the loader of the build's
# architecture.
wine() { "$wineLoader" "$@"; }
wineboot() { "$wineLoader" wineboot "$@"; }
winepath() { "$wineLoader" winepath "$@"; }
export WINEDEBUG=-all
# No Mono or Gecko installer prompts in a fresh prefix.
export WINEDLLOVERRIDES="mscoree,mshtml="
export LC_ALL=C.UTF-8

fail() {
  echo "FAILED: $*" >&2
  # What the screen showed, for the one who reads the failure.
  if [ -n "${DISPLAY:-}" ] && [ -n "$shots" ]; then
    import -window root "$shots/failed-$scenario.png" 2>/dev/null &&
      echo "screenshot: $shots/failed-$scenario.png" >&2
  fi
  exit 1
}

# --- X server and Wine ----------------------------------------------------------

# shellcheck source=../../scripts/xvfb.sh
. "$(dirname "$0")/../../scripts/xvfb.sh"
xvfb_pid=""
startX() { start_xvfb 1024x768 || fail "Xvfb did not start"; }

stopAll() {
  wineserver -k >/dev/null 2>&1 || true
  if [ -n "$xvfb_pid" ]; then kill "$xvfb_pid" 2>/dev/null || true; fi
}
trap stopAll EXIT

# Registry settings of the test desktop, as a UTF-16 .reg file: the dialog
# font and the system's dialog fonts replaced by a CJK font of the machine,
# 144 dpi so that 9-point text is large enough to read in a screenshot, and
# captions drawn by Wine itself (Xvfb has no window manager).
writeSettings() {
  {
    printf '\xff\xfe'
    iconv -f UTF-8 -t UTF-16LE <<'EOF'
Windows Registry Editor Version 5.00

[HKEY_CURRENT_USER\Software\Wine\Fonts\Replacements]
"宋体"="WenQuanYi Zen Hei"
"SimSun"="WenQuanYi Zen Hei"
"Tahoma"="WenQuanYi Zen Hei"
"MS Shell Dlg"="WenQuanYi Zen Hei"
"MS Shell Dlg 2"="WenQuanYi Zen Hei"

[HKEY_CURRENT_USER\Software\Wine\X11 Driver]
"Decorated"="N"

[HKEY_CURRENT_USER\Control Panel\Desktop]
"LogPixels"=dword:00000090

[HKEY_CURRENT_CONFIG\Software\Fonts]
"LogPixels"=dword:00000090
EOF
  } | sed 's/\x0a\x00/\x0d\x00\x0a\x00/g' >"$1"
}

makePrefix() {
  local stamp=$WINEPREFIX/.qlmr-window-tests
  [ -f "$stamp" ] && return 0
  rm -rf "$WINEPREFIX"
  mkdir -p "$work"
  startX
  writeSettings "$work/settings.reg"
  # wineboot returns before the server has written the new prefix; the
  # stamp comes only after it has.
  {
    wineboot -i && wineserver -w &&
      wine regedit /S "$(winepath -w "$work/settings.reg")" && wineserver -w
  } >"$work/prefix.log" 2>&1 || { cat "$work/prefix.log" >&2; fail "cannot make the Wine prefix"; }
  touch "$stamp"
}

if [ "$scenario" = prefix ]; then
  makePrefix
  echo "wine prefix ready: $WINEPREFIX"
  exit 0
fi
[ -f "$WINEPREFIX/.qlmr-window-tests" ] || fail "no wine prefix: run the prefix step first"

# --- Windows and clicks -----------------------------------------------------------

# Waits up to $2 seconds (default 30) for a top-level window whose name
# matches the regular expression $1; prints its id.
waitWindow() {
  local id=""
  for _ in $(seq $((${2:-30} * 5))); do
    id=$(xdotool search --onlyvisible --name "$1" 2>/dev/null | head -n 1 || true)
    if [ -n "$id" ]; then
      echo "$id"
      return 0
    fi
    sleep 0.2
  done
  return 1
}

waitGone() {
  for _ in $(seq $((${2:-30} * 5))); do
    xdotool search --onlyvisible --name "$1" >/dev/null 2>&1 || return 0
    sleep 0.2
  done
  return 1
}

# Window geometry in pixels: sets X Y W H.
geometry() {
  eval "$(xdotool getwindowgeometry --shell "$1")"
  X=$X Y=$Y W=$WIDTH H=$HEIGHT
}

# Frame and caption that Wine draws around a dialog's client area at the
# test desktop's settings.
frame=3
caption=29

# Clicks the point ($4, $5), in dialog units, of the dialog window $1 whose
# template is $2 x $3 dialog units.
clickDialog() {
  geometry "$1"
  local px py
  px=$(awk -v w="$W" -v f=$frame -v dw="$2" -v x="$4" 'BEGIN { printf "%d", f + x * (w - 2 * f) / dw }')
  py=$(awk -v h="$H" -v f=$frame -v c=$caption -v dh="$3" -v y="$5" \
    'BEGIN { printf "%d", c + y * (h - c - f) / dh }')
  xdotool mousemove --sync $((X + px)) $((Y + py)) click 1
}

# Saves the whole screen as $1.png in the shots folder.
shot() {
  sleep 0.5  # let the window finish painting
  import -window root "$shots/$1.png"
  echo "screenshot: $shots/$1.png"
}

# Takes screenshot $1 again and again until the command after the timeout
# $2 (seconds), given the screenshot's name as its last argument, succeeds;
# false when it never does within the timeout. Wine paints when it gets to
# it, so a state on the screen is waited for, never assumed after a pause.
shotUntil() {
  local name=$1 end=$((SECONDS + $2))
  shift 2
  while :; do
    import -window root "$shots/$name.png"
    "$@" "$name" && return 0
    [ "$SECONDS" -lt "$end" ] || return 1
    sleep 0.2
  done
}

# Counts the pixels of the rectangle ($3, $4, $5 x $6 dialog units) of the
# dialog $1 (template $7 x $8) in screenshot $2 that are close to the colour
# with red, green and blue $9, $10, $11 (0 to 1).
countColour() {
  geometry "$1"
  local crop
  crop=$(awk -v X="$X" -v Y="$Y" -v w="$W" -v h="$H" -v f=$frame -v c=$caption \
    -v x="$3" -v y="$4" -v cw="$5" -v ch="$6" -v dw="$7" -v dh="$8" 'BEGIN {
      sx = (w - 2 * f) / dw; sy = (h - c - f) / dh
      printf "%dx%d+%d+%d", cw * sx, ch * sy, X + f + x * sx, Y + c + y * sy }')
  countIn "$2" "$crop" "$9" "${10}" "${11}"
}

# Counts the pixels of the rectangle $2 (WxH+X+Y, screen pixels) in
# screenshot $1 that are close to the colour $3, $4, $5.
countIn() {
  convert "$shots/$1.png" -crop "$2" +repage -colorspace sRGB \
    -fx "abs(r-$3)+abs(g-$4)+abs(b-$5) < 0.25 ? 1 : 0" -format '%[fx:round(mean*w*h)]' info:
}

# Whether the item whose label lies in the rectangle $2 (WxH+X+Y, pixels from
# the corner of window $1) of a tree is selected and the tree has the focus:
# the label is drawn on the highlight colour in screenshot $3.
treeItemSelected() {
  geometry "$1"
  local w h dx dy
  IFS='x+' read -r w h dx dy <<<"$2"
  [ "$(countIn "$3" "${w}x${h}+$((X + dx))+$((Y + dy))" 0.19 0.59 0.98)" -gt $((w * h / 4)) ]
}

# The main dialog, template 101: 364 x 79 dialog units.
mainWindow() { waitWindow '^《Quelmar》' "${1:-30}"; }
# The ready dialog: its title is set just before its start button is
# enabled, so a click must wait for the button. $1: the version range in its
# title (default 065 to 066), as a regular expression.
readyWindow() {
  local id
  id=$(waitWindow "升级补丁\\[${1:-CN\\.0\\.551\\.065-CN\\.0\\.551\\.066}\\]" 60) || return 1
  shotUntil .probe 60 startEnabled "$id" || return 1
  rm -f "$shots/.probe.png"
  echo "$id"
}
clickStart() { clickDialog "$1" 364 79 269 65; }
clickExit() { clickDialog "$1" 364 79 332 65; }
# Red pixels of the status line (7, 7, 350 x 18) in screenshot $2.
statusRed() { countColour "$1" "$2" 7 7 350 18 364 79 1 0 0; }
# Dark pixels of the start button's caption: none when it is disabled (grey).
startDark() { countColour "$1" "$2" 243 61 52 8 364 79 0 0 0; }
# Filled pixels at the far end of the progress bar: the bar stands at 100.
barFull() { countColour "$1" "$2" 345 42 10 6 364 79 0.19 0.59 0.98; }

# The conflict dialog, template 104: 296 x 71 dialog units. Dark pixels of
# the retry button's caption.
retryDark() { countColour "$1" "$2" 127 53 42 8 296 71 0 0 0; }

# Conditions for shotUntil: dialog $1 in screenshot $2.
statusIsRed() { [ "$(statusRed "$1" "$2")" -gt 0 ]; }
startEnabled() { [ "$(startDark "$1" "$2")" -gt 0 ]; }
barIsFull() { [ "$(barFull "$1" "$2")" -gt 0 ]; }
retryEnabled() { [ "$(retryDark "$1" "$2")" -gt 0 ]; }
retryDisabled() { [ "$(retryDark "$1" "$2")" -eq 0 ]; }

# --- The installation -----------------------------------------------------------

base=$work/$scenario
game=$base/Quelmar
# The failure's text names a file of the installation: an "&" in its path
# shows as it is (window-apply-failure.png), not as an underlined letter.
[ "$scenario" = apply-failure ] && game="$base/R&D Quelmar"
temp=$base/tmp
rm -rf "$base"
mkdir -p "$game/data" "$game/download" "$game/说明" "$base/new/data/item.pak/名称" "$base/new/bin" "$temp"
mkdir -p "$shots"
pak() { "$tools/qlmr-pak" "$@" >/dev/null; }

printf 'CN.0.551.065\r\n' >"$game/.ver"
printf 'Quelmar 0.551.065\n' >"$game/readme.txt"
printf '旧版说明\n' >"$game/说明/旧版说明.txt"
printf '长剑 攻击力 12\n%.0s' {1..40} >"$base/weapon.txt"
seq 1 3000 >"$base/b.mdl"
pak create "$game/data/item.pak"
pak add --type 1 "$game/data/item.pak" "名称\\武器.txt=$base/weapon.txt"
pak add --type 3 "$game/data/item.pak" "models\\b.mdl=$base/b.mdl"
cp "$standIn" "$game/qlmrpatch.exe"

# The patch to CN.0.551.066: a stored file replaced inside item.pak with its
# new list file, two loose files written, one deleted, the version file last.
printf '长剑 攻击力 15\n%.0s' {1..40} >"$base/new/data/item.pak/名称/武器.txt"
cp "$game/data/item.pak" "$base/item.pak"
pak add --type 2 "$base/item.pak" "名称\\武器.txt=$base/new/data/item.pak/名称/武器.txt"
"$tools/qlmr-pak" cat "$base/item.pak" "(list)" >"$base/new/data/item.pak/(list)"
printf 'Quelmar 0.551.066\n' >"$base/new/readme.txt"
seq 1 2000 >"$base/new/bin/effects.dll"
printf 'CN.0.551.066\r\n' >"$base/new/.ver"
iconv -f UTF-8 -t CP936 >"$base/list.txt" <<'EOF'
0|data\item.pak|名称\武器.txt|2
0|data\item.pak|(list)|0
0||bin\effects.dll|0
0||readme.txt|0
1||说明\旧版说明.txt|0
0||.ver|0
EOF
"$tools/qlmr-patchkit" build --list "$base/list.txt" --root "$base/new" --kind packed \
  -o "$base/patch.bin" >/dev/null
# The wrap puts the patch at the updater's carrier offset.
if [[ "$wrapTool" == *.exe ]]; then
  wine "$wrapTool" wrap --updater "$(winepath -w "$updater")" --from CN.0.551.065 \
    --to CN.0.551.066 -o "$(winepath -w "$game/qlmrupdate.exe")" "$(winepath -w "$base/patch.bin")" \
    >/dev/null
  # Its Wine session has no display; the window's must start afresh.
  wineserver -k >/dev/null 2>&1 || true
  wineserver -w
else
  "${wrapTool:-$tools/qlmr-patchkit}" wrap --updater "$updater" --from CN.0.551.065 \
    --to CN.0.551.066 -o "$game/qlmrupdate.exe" "$base/patch.bin" >/dev/null
fi
[ -f "$game/qlmrupdate.exe" ] || fail "the updater was not wrapped"

version() { head -n 1 "$game/.ver" | tr -d '\r'; }

expectUpdated() {
  [ "$(version)" = CN.0.551.066 ] || fail "version is $(version)"
  cmp -s "$game/readme.txt" "$base/new/readme.txt" || fail "readme.txt not written"
  cmp -s "$game/bin/effects.dll" "$base/new/bin/effects.dll" || fail "effects.dll not written"
  [ ! -e "$game/说明/旧版说明.txt" ] || fail "the deleted file is still there"
  "$tools/qlmr-pak" cat "$game/data/item.pak" "名称\\武器.txt" | cmp -s - "$base/new/data/item.pak/名称/武器.txt" ||
    fail "the stored file was not replaced"
  "$tools/qlmr-pak" verify "$game/data/item.pak" >/dev/null || fail "item.pak does not verify"
  [ -f "$game/download/ql-CN.0.551.065-CN.0.551.066.patch" ] || fail "the patch was not moved to download"
}

expectPatcherStarted() {
  local note=$game/qlmrpatch-started.txt
  for _ in $(seq 150); do
    [ -s "$note" ] && break
    sleep 0.2
  done
  [ -s "$note" ] || fail "qlmrpatch.exe was not started"
  # It runs in the installation folder.
  [ "$(winepath -u "$(cat "$note")" | sed 's:/*$::')" = "$(cd "$game" && pwd -P)" ] ||
    fail "qlmrpatch.exe started in $(cat "$note")"
}

# Runs the wrapped updater from the installation; sets updaterPid.
startUpdater() {
  (cd "$game" && TMP="$(winepath -w "$temp")" TEMP="$(winepath -w "$temp")" \
    exec "$wineLoader" "$game/qlmrupdate.exe" >/dev/null 2>&1) &
  updaterPid=$!
}

waitUpdaterEnd() {
  for _ in $(seq 300); do
    kill -0 "$updaterPid" 2>/dev/null || return 0
    sleep 0.2
  done
  fail "the updater did not end after the exit button"
}

# The success message box is the window captioned exactly 《Quelmar》. The
# main dialog $1 behind it shows the full progress bar by then; the
# screenshot is $2.
closeSuccessBox() {
  waitWindow '^《Quelmar》$' 120 >/dev/null || fail "no success message box"
  shotUntil "$2" 30 barIsFull "$1" || fail "progress bar not full when the box shows"
  echo "screenshot: $shots/$2.png"
  # The box is the active window: Return goes to it, whichever X window has
  # the focus.
  xdotool key Return
  waitGone '^《Quelmar》$' 30 || fail "the message box did not close"
}

startX
updaterPid=""

case "$scenario" in
  success)
    startUpdater
    main=$(readyWindow) || fail "never ready"
    shot window-ready
    [ "$(statusRed "$main" window-ready)" -eq 0 ] || fail "status line red when ready"
    [ "$(startDark "$main" window-ready)" -gt 0 ] || fail "start button not enabled when ready"
    # Neither the close box, nor Escape, nor Alt+F4 ends the dialog. The
    # keys reach it: the start button's mnemonic, pressed after them, starts
    # the update.
    geometry "$main"
    xdotool mousemove --sync $((X + W - 12)) $((Y + 14)) click 1
    sleep 0.5
    xdotool key Escape
    xdotool key alt+F4
    sleep 1
    xdotool search --onlyvisible --name '升级补丁' >/dev/null || fail "the dialog was closed"
    xdotool key alt+s
    closeSuccessBox "$main" window-success-box
    [ "$(barFull "$main" window-ready)" -eq 0 ] || fail "progress bar full before the update"
    shot window-succeeded
    [ "$(statusRed "$main" window-succeeded)" -eq 0 ] || fail "status line red after success"
    expectUpdated
    [ ! -e "$game/qlmrpatch-started.txt" ] || fail "the patcher started before the exit button"
    clickExit "$main"
    waitUpdaterEnd
    expectPatcherStarted
    ;;
  version-gate)
    # Older than the patch: the updater's own folder does not fit, so it asks
    # for the folder; the user picks the same installation (as drive Q:).
    printf 'CN.0.551.064\r\n' >"$game/.ver"
    ln -sfn "$game" "$WINEPREFIX/dosdevices/q:"
    startUpdater
    browser=$(waitWindow '^Browse for Folder$' 120) || fail "no folder browser"
    shot window-folder-browser
    # A click on the tree's first item, the desktop, gives the tree the
    # keys; then "My Computer" (the only item with an M) is opened and drive
    # Q: chosen. Keys go where the focus is when they arrive, so they wait
    # for the click to have selected the desktop; the tree opens an item
    # before it takes the next key. OK only once Q: is the selection.
    geometry "$browser"
    xdotool mousemove --sync $((X + 90)) $((Y + 143)) click 1
    shotUntil .probe 30 treeItemSelected "$browser" 60x14+65+136 || fail "the desktop item not selected"
    xdotool key M Right Down Down # (C:), then (Q:)
    shotUntil .probe 30 treeItemSelected "$browser" 70x14+112+256 || fail "drive Q: not selected"
    rm -f "$shots/.probe.png"
    xdotool key Return
    waitGone '^Browse for Folder$' 30 || fail "the folder browser stayed"
    main=$(mainWindow 60) || fail "no main dialog"
    shotUntil window-version-gate 30 statusIsRed "$main" || fail "status line not red"
    echo "screenshot: $shots/window-version-gate.png"
    [ "$(startDark "$main" window-version-gate)" -eq 0 ] || fail "start button enabled"
    clickStart "$main"
    sleep 1
    [ "$(version)" = CN.0.551.064 ] || fail "the installation changed"
    clickExit "$main"
    waitUpdaterEnd
    sleep 1
    [ ! -e "$game/qlmrpatch-started.txt" ] || fail "the patcher started after a failure"
    ;;
  foreign-names)
    # The installation and the temporary folder move to names that code
    # page 936 lacks (the release tools that made them take such names
    # only): the updater finds both under their short names and updates as
    # anywhere else.
    mkdir -p "$base/Søren" "$base/임시 폴더"
    mv "$game" "$base/Søren/퀠마르"
    game="$base/Søren/퀠마르"
    temp="$base/임시 폴더"
    startUpdater
    main=$(readyWindow) || fail "never ready"
    clickStart "$main"
    closeSuccessBox "$main" window-foreign-names
    clickExit "$main"
    waitUpdaterEnd
    expectPatcherStarted
    [ -z "$(ls -A "$temp")" ] || fail "left in the temporary folder: $(ls -A "$temp")"
    mv "$game" "$base/Quelmar"
    game=$base/Quelmar
    expectUpdated
    ;;
  apply-failure)
    # readme.txt cannot be written: a folder has its name. The stored file
    # and effects.dll come before it in the patch and are written.
    rm "$game/readme.txt"
    mkdir "$game/readme.txt"
    startUpdater
    main=$(readyWindow) || fail "never ready"
    clickStart "$main"
    # The exit button comes back with the failure.
    shotUntil window-apply-failure 120 statusIsRed "$main" || fail "status line not red"
    echo "screenshot: $shots/window-apply-failure.png"
    [ "$(version)" = CN.0.551.065 ] || fail "the version file was written"
    cmp -s "$game/bin/effects.dll" "$base/new/bin/effects.dll" || fail "the entries before the failure were not applied"
    clickExit "$main"
    waitUpdaterEnd
    ;;
  conflict)
    cp "$standIn" "$game/qlmr.exe"
    (cd "$game" && exec "$wineLoader" "$game/qlmr.exe" "$(winepath -w "$base/client-started")" >/dev/null 2>&1) &
    clientPid=$!
    for _ in $(seq 300); do
      [ -e "$base/client-started" ] && break
      sleep 0.2
    done
    [ -e "$base/client-started" ] || fail "the stand-in client did not start"
    startUpdater
    main=$(readyWindow) || fail "never ready"
    clickStart "$main"
    conflict=$(waitWindow '^升级冲突$' 60) || fail "no conflict dialog while the client runs"
    shotUntil window-conflict 30 retryEnabled "$conflict" || fail "retry button not enabled"
    echo "screenshot: $shots/window-conflict.png"
    # Retry while the client runs: the retry button is disabled for a second,
    # then enabled again, and the dialog stays. A screenshot takes well under
    # a second, so one of those taken in a row sees the disabled button.
    clickDialog "$conflict" 296 71 148 57
    shotUntil window-conflict-retrying 5 retryDisabled "$conflict" ||
      fail "retry button enabled while checking"
    echo "screenshot: $shots/window-conflict-retrying.png"
    shotUntil window-conflict-after-retry 30 retryEnabled "$conflict" ||
      fail "retry button not enabled again"
    echo "screenshot: $shots/window-conflict-after-retry.png"
    xdotool search --onlyvisible --name '^升级冲突$' >/dev/null || fail "retry ended the dialog while the client runs"
    # The force-close link ends the client; the dialog waits for a retry.
    clickDialog "$conflict" 296 71 22 59
    for _ in $(seq 300); do
      kill -0 "$clientPid" 2>/dev/null || break
      sleep 0.2
    done
    kill -0 "$clientPid" 2>/dev/null && fail "the force-close link did not end the client"
    sleep 1.5
    xdotool search --onlyvisible --name '^升级冲突$' >/dev/null || fail "the dialog ended without a retry"
    [ "$(version)" = CN.0.551.065 ] || fail "the update went on without a retry"
    clickDialog "$conflict" 296 71 148 57
    waitGone '^升级冲突$' 30 || fail "retry after the forced close did not end the dialog"
    closeSuccessBox "$main" window-conflict-then-success
    expectUpdated
    clickExit "$main"
    waitUpdaterEnd
    expectPatcherStarted
    ;;
  release)
    # Three old versions and the new one, each with its own loose files and
    # item.pak; the program for the range they prove, run in each old one.
    rel=$base/release
    makeRelease() {  # makeRelease DIR BUILD
      local dir=$rel/$1 build=$2
      mkdir -p "$dir/data" "$dir/说明"
      printf 'CN.0.551.%s\r\n' "$build" >"$dir/.ver"
      printf 'Quelmar 0.551.%s\n' "$build" >"$dir/readme.txt"
      [ "$build" -lt 065 ] && printf '旧版说明\n' >"$dir/说明/旧版说明.txt"
      [ "$build" = 064 ] && printf 'only in 064\n' >"$dir/only64.txt"
      printf '长剑 攻击力 %s\n%.0s' "$build" {1..40} >"$rel/weapon-$build.txt"
      seq 1 $((2000 + 10#$build)) >"$rel/b-$build.mdl"
      pak create "$dir/data/item.pak"
      pak add --type 1 "$dir/data/item.pak" "名称\\武器.txt=$rel/weapon-$build.txt"
      pak add --type 3 "$dir/data/item.pak" "models\\b.mdl=$rel/b-$build.mdl"
      [ "$build" = 063 ] && pak add --type 2 "$dir/data/item.pak" "models\\old.mdl=$rel/b-063.mdl"
      return 0
    }
    for build in 063 064 065 066; do makeRelease "v$build" "$build"; done
    mkdir -p "$rel/out"
    "$tools/qlmr-patchkit" release --old "$rel/v063" "$rel/v064" "$rel/v065" --new "$rel/v066" \
      --updater "$updater" -o "$rel/out/qlmrupdate.exe" >/dev/null || fail "release refused"
    for build in 063 064 065; do
      game=$rel/run$build
      cp -r "$rel/v$build" "$game"
      cp "$rel/out/qlmrupdate.exe" "$game/qlmrupdate.exe"
      startUpdater
      main=$(readyWindow 'CN\.0\.551\.063-CN\.0\.551\.066') || fail "$build: never ready"
      clickStart "$main"
      closeSuccessBox "$main" "window-release-$build"
      clickExit "$main"
      waitUpdaterEnd
      # NEW byte for byte, the archive by its stored content.
      rm "$game/qlmrupdate.exe"
      for file in .ver readme.txt; do
        cmp -s "$game/$file" "$rel/v066/$file" || fail "$build: $file is not NEW's"
      done
      [ "$(cd "$game" && find . -type f | sort)" = "$(cd "$rel/v066" && find . -type f | sort)" ] ||
        fail "$build: other files than NEW's"
      for stored in "名称\\武器.txt" "models\\b.mdl" "(list)"; do
        cmp -s <("$tools/qlmr-pak" cat "$game/data/item.pak" "$stored") \
          <("$tools/qlmr-pak" cat "$rel/v066/data/item.pak" "$stored") ||
          fail "$build: $stored is not NEW's"
      done
      "$tools/qlmr-pak" verify "$game/data/item.pak" >/dev/null || fail "$build: item.pak does not verify"
      [ "$("$tools/qlmr-pak" ls "$game/data/item.pak" | wc -l)" = \
        "$("$tools/qlmr-pak" ls "$rel/v066/data/item.pak" | wc -l)" ] || fail "$build: other stored files"
    done
    ;;
  *)
    fail "unknown scenario $scenario"
    ;;
esac
echo "$scenario: passed"
