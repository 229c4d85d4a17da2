#!/usr/bin/env python3
"""What camctl serve costs with nobody watching, and how soon a snapshot comes then.

usage: idle.py [--build DIR] [--runs N] [--seconds S] [--camctl PATH] [--before PATH]

Two simulated cameras (MJPG 1280x720 at 30 fps, /dev/video0 and /dev/video2)
are served by one camctl serve under simcam-run, with no client. Per run:

  idle cpu    the server's utime+stime (/proc) over S seconds, as % of one
              core, measured from 8 s after the start (past the 5 s after
              which a camera nobody watches rests)
  snapshot    GET /snapshot?cam=0 on a new connection while the camera rests
              (asked 7 s after the last picture), from the request to the
              last byte of the answer; then the same while a stream of that
              camera is open (the camera running: the reference)

simcam draws and encodes the frames inside the server's process, so a
camera that is captured costs what simcam spends on it as well.

--before PATH measures another camctl too (say, the build before a change),
in the same run, the two alternating which goes first. Reports min/median/max
over the runs.
"""
import argparse
import http.client
import os
import statistics
import subprocess
import sys
import tempfile
import threading
import time

from bench import cpu, server_pid, stop

HERE = os.path.dirname(os.path.abspath(__file__))
SETTLE = 8.0      # s before the CPU is measured
REST_WAIT = 7.0   # s from the last picture to the snapshot from rest
CAMERAS = """camera /dev/video0
  meta none
  format MJPG
    size 1280x720 1/30
camera /dev/video2
  meta none
  bus_info usb-0000:00:14.0-2
  serial SC0002
  format MJPG
    size 1280x720 1/30
"""


def snapshot(port):
    start = time.monotonic()
    c = http.client.HTTPConnection('127.0.0.1', port, timeout=10)
    c.request('GET', '/snapshot?cam=0')
    r = c.getresponse()
    body = r.read()
    took = time.monotonic() - start
    c.close()
    if r.status != 200 or body[:2] != b'\xff\xd8':
        raise RuntimeError('snapshot: %d, %d bytes' % (r.status, len(body)))
    return took


def stream(port, done):
    c = http.client.HTTPConnection('127.0.0.1', port, timeout=10)
    c.request('GET', '/stream?cam=0')
    r = c.getresponse()
    while not done.is_set():
        r.read(65536)
    c.close()


def measure(cmd, env, port, seconds):
    log = tempfile.TemporaryFile()
    p = subprocess.Popen(cmd, stdout=log, stderr=log, start_new_session=True, env=env)
    pid = None
    try:
        for _ in range(100):
            pid = server_pid(port)
            if pid or p.poll() is not None:
                break
            time.sleep(0.1)
        if not pid:
            log.seek(0)
            raise RuntimeError('the server did not start: ' + log.read().decode()[-300:])
        time.sleep(SETTLE)
        t0, c0 = time.monotonic(), cpu(pid)
        time.sleep(seconds)
        idle = (cpu(pid) - c0) / (time.monotonic() - t0) * 100
        time.sleep(max(0.0, REST_WAIT - seconds))
        cold = snapshot(port)
        done = threading.Event()
        t = threading.Thread(target=stream, args=(port, done), daemon=True)
        t.start()
        time.sleep(1)
        warm = snapshot(port)
        done.set()
        return {'cpu': idle, 'cold': cold * 1000, 'warm': warm * 1000}
    finally:
        stop(p, pid)


def spread(values, fmt):
    if not values:
        return '-'
    return '/'.join(fmt % v for v in (min(values), statistics.median(values), max(values)))


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument('--build', default=os.path.join(HERE, '..', '..', 'build', 'release'))
    ap.add_argument('--runs', type=int, default=5)
    ap.add_argument('--seconds', type=float, default=10)
    ap.add_argument('--camctl', help='this camctl instead of the build tree\'s')
    ap.add_argument('--before', help='a camctl to measure beside it')
    a = ap.parse_args()
    run = os.path.join(a.build, 'simcam', 'simcam-run')
    servers = [('camctl', a.camctl or os.path.join(a.build, 'tools', 'camctl', 'camctl'))]
    if a.before:
        servers.append(('before', a.before))
    conf = tempfile.NamedTemporaryFile('w', suffix='.simcam')
    conf.write(CAMERAS)
    conf.flush()
    print('load average at start: %.2f %.2f %.2f' % os.getloadavg(), flush=True)
    results = {}
    port = 18700
    for r in range(a.runs):
        order = servers if r % 2 == 0 else list(reversed(servers))
        for name, camctl in order:
            env = dict(os.environ, SIMCAM_LOG_ENTRIES='0')
            # A copied build finds its own camapi beside it.
            env['LD_LIBRARY_PATH'] = os.path.dirname(os.path.abspath(camctl))
            cmd = [run, '--camera', conf.name, '--', camctl, 'serve', '-d', '/dev/video0',
                   '-d', '/dev/video2', '-f', 'MJPG', '-s', '1280x720', '-r', '30',
                   '--listen', '127.0.0.1:%d' % port]
            try:
                m = measure(cmd, env, port, a.seconds)
                results.setdefault(name, []).append(m)
                print('run %d %-7s idle cpu %5.2f %%  snapshot from rest %6.1f ms, running %5.1f ms'
                      % (r + 1, name, m['cpu'], m['cold'], m['warm']), flush=True)
            except RuntimeError as e:
                print('run %d %s: %s' % (r + 1, name, e), flush=True)
            port += 1
    print('load average at end: %.2f %.2f %.2f' % os.getloadavg())
    print()
    print('two cameras MJPG 1280x720 at 30 fps, no client; min/median/max of %d runs' % a.runs)
    print('  %-8s %-22s %-28s %s' % ('', 'idle cpu % of a core', 'snapshot from rest, ms',
                                      'snapshot running, ms'))
    for name, _ in servers:
        m = results.get(name, [])
        print('  %-8s %-22s %-28s %s' % (name, spread([x['cpu'] for x in m], '%.2f'),
                                          spread([x['cold'] for x in m], '%.1f'),
                                          spread([x['warm'] for x in m], '%.1f')))


if __name__ == '__main__':
    sys.exit(main())
