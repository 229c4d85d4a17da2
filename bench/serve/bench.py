#!/usr/bin/env python3
"""camctl serve beside ustreamer on the same simulated camera, in one run.

usage: bench.py [--build DIR] [--seconds S] [--clients 1,32] [--runs N]

For each case (1280x720 MJPG and 640x480 YUYV at 30 fps) and client count,
each server is started under simcam-run, N clients read its multipart stream
over loopback for S seconds, and the script reports:
  cpu/frame   server process utime+stime (/proc) over the frames delivered to all clients
  fps/client  frames delivered per client per second (min and median over clients)
  part p50/p99  client-side time from a part's first byte to its last byte
  gap p99     arrival interval between parts at a client (a frame interval when on time)
  rss         resident memory after warm-up and at the end
Both servers are measured the same way; the camera's frames are made inside the
server's process by simcam (the same cost for both).
"""
import argparse
import os
import selectors
import shutil
import socket
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
TICKS = os.sysconf('SC_CLK_TCK')


def pct(v, p):
    v = sorted(v)
    return v[min(len(v) - 1, int(p / 100 * len(v)))] if v else float('nan')


class Client:
    """One stream: counts whole parts by their Content-Length."""

    def __init__(self, port, path):
        self.s = socket.create_connection(('127.0.0.1', port), timeout=5)
        self.s.sendall(('GET %s HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n' % path).encode())
        self.s.setblocking(False)
        self.buf = b''
        self.headers_done = False
        self.need = None      # bytes of the current part still to come
        self.start = None     # arrival of the current part's first byte
        self.ends, self.parts = [], []

    def feed(self, data, now):
        self.buf += data
        while True:
            if not self.headers_done:
                i = self.buf.find(b'\r\n\r\n')
                if i < 0:
                    return
                self.buf = self.buf[i + 4:]
                self.headers_done = True
            if self.need is None:
                i = self.buf.find(b'--')
                if i < 0:
                    return
                if self.start is None:
                    self.start = now
                j = self.buf.find(b'\r\n\r\n', i)
                if j < 0:
                    return
                length = None
                for line in self.buf[i:j].split(b'\r\n'):
                    if line.lower().startswith(b'content-length:'):
                        length = int(line.split(b':')[1])
                self.buf = self.buf[j + 4:]
                self.need = length
            if len(self.buf) < self.need:
                return
            self.buf = self.buf[self.need:]
            self.need = None
            self.ends.append(now)
            self.parts.append(now - self.start)
            self.buf = self.buf.lstrip(b'\r\n')
            self.start = now if self.buf else None


def server_pid(port):
    out = subprocess.run(['ss', '-Hltnp', 'sport = :%d' % port], capture_output=True, text=True).stdout
    i = out.find('pid=')
    return int(out[i + 4:].split(',')[0]) if i >= 0 else None


def cpu(pid):
    f = open('/proc/%d/stat' % pid).read().rsplit(')', 1)[1].split()
    return (int(f[11]) + int(f[12])) / TICKS


def rss(pid):
    for line in open('/proc/%d/status' % pid):
        if line.startswith('VmRSS:'):
            return int(line.split()[1])
    return 0


def measure(cmd, port, path, clients, seconds):
    log = tempfile.TemporaryFile()  # a pipe nobody reads would stall a chatty server
    p = subprocess.Popen(cmd, stdout=log, stderr=log, start_new_session=True)
    try:
        pid = None
        for _ in range(100):
            pid = server_pid(port)
            if pid or p.poll() is not None:
                break
            time.sleep(0.1)
        if not pid:
            log.seek(0)
            return {'error': 'did not listen: ' + log.read().decode(errors='replace')[-300:]}
        cs = [Client(port, path) for _ in range(clients)]
        sel = selectors.DefaultSelector()
        for c in cs:
            sel.register(c.s, selectors.EVENT_READ, c)

        def pump(until, record):
            while time.monotonic() < until:
                for key, _ in sel.select(0.1):
                    now = time.monotonic()
                    try:
                        data = key.fileobj.recv(1 << 20)
                    except BlockingIOError:
                        continue
                    if not data:
                        sel.unregister(key.fileobj)
                        continue
                    if record:
                        key.data.feed(data, now)
                    else:
                        key.data.buf = b''
        pump(time.monotonic() + 2, False)   # warm-up: connect, first frames
        for c in cs:
            c.headers_done = True
        rss0, cpu0, t0 = rss(pid), cpu(pid), time.monotonic()
        pump(t0 + seconds, True)
        cpu1, rss1, t1 = cpu(pid), rss(pid), time.monotonic()
        frames = sum(len(c.ends) for c in cs)
        gaps = [b - a for c in cs for a, b in zip(c.ends, c.ends[1:])]
        rates = sorted(len(c.ends) / (t1 - t0) for c in cs)
        for c in cs:
            c.s.close()
        return {'cpu_ms_per_frame': 1000 * (cpu1 - cpu0) / max(frames, 1),
                'fps_min': rates[0], 'fps_med': statistics.median(rates),
                'part_p50_ms': 1000 * pct([x for c in cs for x in c.parts], 50),
                'part_p99_ms': 1000 * pct([x for c in cs for x in c.parts], 99),
                'gap_p99_ms': 1000 * pct(gaps, 99),
                'rss_kib': (rss0, rss1)}
    finally:
        if pid:  # the launcher does not pass signals on to the server
            try:
                os.kill(pid, 15)
                for _ in range(100):
                    os.kill(pid, 0)
                    time.sleep(0.1)
                os.kill(pid, 9)
            except ProcessLookupError:
                pass
        if p.poll() is None:
            os.killpg(p.pid, 15)
            try:
                p.wait(10)
            except subprocess.TimeoutExpired:
                os.killpg(p.pid, 9)
                p.wait()


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument('--build', default=os.path.join(HERE, '..', '..', 'build', 'release'))
    ap.add_argument('--seconds', type=float, default=60)
    ap.add_argument('--clients', default='1,32')
    ap.add_argument('--runs', type=int, default=1)
    a = ap.parse_args()
    if not shutil.which('ustreamer'):
        subprocess.run(['apt-get', 'install', '-y', '-o', 'DPkg::Lock::Timeout=600', 'ustreamer'],
                       check=True)
    run = os.path.join(a.build, 'simcam', 'simcam-run')
    camctl = os.path.join(a.build, 'tools', 'camctl', 'camctl')
    port = 18600
    cases = [('MJPG', '1280x720', 'MJPEG'), ('YUY2', '640x480', 'YUYV')]
    print('%-24s %-9s %4s %10s %7s %7s %9s %9s %8s %15s' % (
        'case', 'server', 'cl', 'cpu ms/fr', 'fps min', 'fps med', 'part p50', 'part p99',
        'gap p99', 'rss KiB start/end'))
    for r in range(a.runs):
        for fmt, size, ufmt in cases:
            for n in (int(x) for x in a.clients.split(',')):
                servers = [
                    ('camctl', [run, '--', camctl, 'serve', '-f', fmt, '-s', size, '-r', '30',
                                '--listen', '127.0.0.1:%d' % port, '--max-clients', str(n + 4)],
                     '/stream?cam=0'),
                    ('ustreamer', [run, '--', 'ustreamer', '--device', '/dev/video0', '--format', ufmt,
                                   '--resolution', size, '--desired-fps', '30', '--host', '127.0.0.1',
                                   '--port', str(port + 1)], '/stream')]
                for k, (name, cmd, path) in enumerate(servers):
                    m = measure(cmd, port + k, path, n, a.seconds)
                    case = 'run %d %s %s' % (r + 1, fmt, size)
                    if 'error' in m:
                        print('%-24s %-9s %4d %s' % (case, name, n, m['error'].replace('\n', ' ')))
                        continue
                    print('%-24s %-9s %4d %10.2f %7.1f %7.1f %9.1f %9.1f %8.1f %7d/%-7d' % (
                        case, name, n, m['cpu_ms_per_frame'], m['fps_min'], m['fps_med'],
                        m['part_p50_ms'], m['part_p99_ms'], m['gap_p99_ms'], *m['rss_kib']), flush=True)
                port += 2


if __name__ == '__main__':
    sys.exit(main())
