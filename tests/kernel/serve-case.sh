#!/bin/sh
# camctl serve on the real driver, run inside the VM by vm-run:
#   serve-case.sh CAMCTL HTTP_GET
# Starts the server on /dev/video0, fetches /api/state until the camera has
# signal, then /snapshot, checks the JPEG's start and end markers, has
# camctl ctrl, a second program on the camera, set a control that
# /api/controls must show while the frames go on, waits for the camera to
# rest and wakes it with a snapshot, and stops the server with SIGTERM: it
# must exit 0. Prints one "ok"/"FAIL" line per step.
camctl=$1
http_get=$2
failed=0
cd /tmp || exit 1
check() {
  if [ "$1" = 0 ]; then echo "ok    $2"; else echo "FAIL  $2"; failed=1; fi
}
fetch() {
  "$http_get" 8080 "$1" "$2"
}

# No network device, only loopback, which starts down.
busybox ip link set lo up
"$camctl" serve -d /dev/video0 -s 640x480 --listen 127.0.0.1:8080 >/tmp/serve.out 2>&1 &
pid=$!
n=0
state=
while [ $n -lt 150 ]; do
  if fetch /api/state /tmp/state.json >/dev/null 2>&1; then
    state=$(cat /tmp/state.json)
    case "$state" in *'"signal":true'*) break ;; esac
  fi
  kill -0 $pid 2>/dev/null || break
  sleep 0.2
  n=$((n + 1))
done
# One camera: ours, on the driver's node, with frames.
one() { printf '%s' "$state" | grep -Eq "$1"; }
one '"card":"SimCam Module"' && one '"device":"/dev/video0"'
check $? "api_state names the camera"
one '"signal":true' && one '"frames":[1-9]'
check $? "api_state has signal"

fetch /snapshot /tmp/snap.jpg
check $? "snapshot fetched"
soi=$(head -c 2 /tmp/snap.jpg | od -An -tx1 | tr -d ' \n')
eoi=$(tail -c 2 /tmp/snap.jpg | od -An -tx1 | tr -d ' \n')
size=$(wc -c </tmp/snap.jpg)
[ "$soi" = ffd8 ] && [ "$eoi" = ffd9 ] && [ "$size" -gt 1000 ]
check $? "snapshot is a JPEG (start $soi, end $eoi, $size bytes)"

# A control set by another program while serve streams shows in /api/controls,
# and the stream goes on.
frames() { sed -nE 's/.*"frames":([0-9]+).*/\1/p' "$1"; }
"$camctl" ctrl set brightness -30 -d /dev/video0 && fetch /api/controls /tmp/controls.json &&
  grep -Eq '"name":"brightness"[^}]*"value":-30[,}]' /tmp/controls.json
check $? "camctl ctrl set while serving shows in api_controls"
sleep 1
fetch /api/state /tmp/state2.json && grep -q '"signal":true' /tmp/state2.json &&
  grep -q '"width":640' /tmp/state2.json && grep -q '"height":480' /tmp/state2.json &&
  [ "$(frames /tmp/state2.json)" -gt "$(frames /tmp/state.json)" ]
check $? "serve still streams 640x480"
# Nobody watching: after 5 s the camera rests (STREAMOFF), and a snapshot
# starts it again on the real driver.
n=0
while [ $n -lt 60 ]; do
  fetch /api/state /tmp/state.json >/dev/null 2>&1 && grep -q '"capturing":false' /tmp/state.json && break
  sleep 0.2
  n=$((n + 1))
done
grep -q '"capturing":false' /tmp/state.json
check $? "the camera rests with nobody watching"
rm -f /tmp/snap.jpg
fetch /snapshot /tmp/snap.jpg && [ "$(head -c 2 /tmp/snap.jpg | od -An -tx1 | tr -d ' \n')" = ffd8 ]
check $? "a snapshot wakes it"

kill -TERM $pid
wait $pid
status=$?
[ $status = 0 ]
check $? "SIGTERM ends the server with status 0 (got $status)"
if [ $failed != 0 ]; then
  echo "--- state: $state"
  echo "--- camctl serve said:"
  cat /tmp/serve.out
fi
exit $failed
