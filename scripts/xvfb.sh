# An X server of one's own, for scripts that show windows (source this file):
#   start_xvfb WIDTHxHEIGHT   starts Xvfb on a free display, exports DISPLAY,
#                             sets xvfb_pid; returns 1 if it did not start
#                             within 10 seconds
start_xvfb() {
  local displayFile
  displayFile=$(mktemp)
  Xvfb -displayfd 3 -screen 0 "$1x24" -nolisten tcp 3>"$displayFile" >/dev/null 2>&1 &
  xvfb_pid=$!
  for _ in $(seq 100); do
    [ -s "$displayFile" ] && break
    sleep 0.1
  done
  if [ ! -s "$displayFile" ]; then
    rm -f "$displayFile"
    return 1
  fi
  export DISPLAY=:$(head -n 1 "$displayFile")
  rm -f "$displayFile"
}
