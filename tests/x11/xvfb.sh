#!/bin/sh
# Starts or stops the X server of the X11 tests: `xvfb.sh start DIR` runs
# Xvfb on a free display (it writes the number to DIR/display) and keeps its
# process id in DIR/pid; `xvfb.sh stop DIR` ends that process.
set -eu
dir=$2
case $1 in
start)
  mkdir -p "$dir"
  rm -f "$dir/display" "$dir/pid"
  # Detached, with no inherited output: ctest must not wait on the server.
  setsid sh -c 'exec Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$1/display" >"$1/log" 2>&1 </dev/null' \
    xvfb "$dir" &
  echo $! >"$dir/pid"
  i=0
  while [ ! -s "$dir/display" ]; do
    i=$((i + 1))
    if [ $i -gt 100 ]; then echo "Xvfb did not start"; cat "$dir/log"; exit 1; fi
    sleep 0.1
  done
  echo "Xvfb on :$(cat "$dir/display")"
  ;;
stop)
  if [ -s "$dir/pid" ]; then kill "$(cat "$dir/pid")" 2>/dev/null || true; fi
  rm -f "$dir/pid"
  ;;
esac
