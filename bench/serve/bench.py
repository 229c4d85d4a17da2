#!/usr/bin/env python3
"""camctl serve beside ustreamer on the same simulated camera, in one run.

usage: bench.py [--build DIR] [--seconds S] [--clients 1,32] [--runs N] [--cases mjpg,yuyv]
                [--camctl PATH] [--attack N]

For each case (1280x720 MJPG and 640x480 YUYV at 30 fps) and client count,
each server in turn is started under simcam-run, N clients read its multipart
stream over loopback for S seconds (HTTP/1.1 requests, as a browser sends
them), and the script reports, per case, min/median/max over the runs:

  cpu ms/frame   server process utime+stime (/proc) over the frames delivered
                 to all clients (simcam draws and encodes the camera's frames
                 inside the server's process: the same cost for both servers)
  fps/client     frames delivered per client per second: the slowest client
                 and the median one
  latency        from the frame's driver timestamp to the arrival of the
                 part's last byte at the client (CLOCK_MONOTONIC on both
                 sides; simcam stamps a frame with its due time, so this also
                 holds simcam's drawing and encoding at the dequeue), p50/p99
                 over all parts of all clients
  gap p99        interval between two parts' arrivals at a client (one frame
                 interval when on time; a stall shows here)
  rss            resident memory after the warm-up and at the end

--attack N adds, beside every client count, the same case with N sockets
that send nothing and N that send a request line one byte a second (each
reopened when the server closes it), opened before the clients; the
clients also fetch a snapshot once a second:

  snapshot ms    time to the whole snapshot answer, p50/max over the run

--camctl PATH runs another camctl build (say, the one before a change) in
place of the build tree's, against the same ustreamer.

Both servers run with SIMCAM_LOG_ENTRIES=0: simcam's request log would
otherwise grow by some 20 KiB/s in either server's memory.

The clients stand for browsers on other machines, but here they share the
CPU with the servers: on a loaded machine a starved client stalls its reads,
its sockets fill, and the servers skip frames for it. Take figures on a quiet
machine; the load average is printed before and after.

Where the driver timestamp comes from:
  camctl     its X-Frame-Timestamp header (the driver's timestamp, microseconds)
  ustreamer  it sends no driver timestamp: X-Timestamp is its wall clock at
             sending, in ms. Asked with ?extra_headers=1 it adds
             X-UStreamer-Grab-Time: its own clock when it took the frame, in
             ms, on CLOCK_MONOTONIC_RAW (which drifts from CLOCK_MONOTONIC by
             the NTP slew: the client converts it with the difference of the
             two clocks at the part's arrival), 0-5 ms after the frame's
             driver time under simcam. simcam's
             driver timestamps lie on a grid (STREAMON + k / 30 s), so each
             Grab-Time is snapped down onto that grid, its phase found from
             where most grabs fall; good to about 1 ms while ustreamer takes
             each frame within one interval of its driver time. A frame it
             takes later than that is snapped to the wrong, later grid point:
             under load its latency reads low by whole intervals.
  A server that gives neither gets the client-side measure (the part's first
  byte to its last), marked "client" in the table.
"""
import argparse
import os
import platform
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
WARMUP = 2.0
CASES = {'mjpg': ('MJPG', '1280x720', 'MJPEG'), 'yuyv': ('YUY2', '640x480', 'YUYV')}
FPS = 30


def pct(v, p):
    v = sorted(v)
    return v[min(len(v) - 1, int(p / 100 * len(v)))] if v else float('nan')


class Client:
    """One stream read like a browser does: HTTP/1.1, chunked when the server
    says so; every part's arrival and its stamp are kept."""

    def __init__(self, port, path):
        self.s = socket.create_connection(('127.0.0.1', port), timeout=5)
        self.s.sendall(('GET %s HTTP/1.1\r\nHost: 127.0.0.1:%d\r\nAccept: */*\r\n\r\n' %
                        (path, port)).encode())
        self.s.setblocking(False)
        self.raw = bytearray()    # as received
        self.body = bytearray()   # the stream, out of its chunks
        self.head = None          # the response's headers, once in
        self.chunked = False
        self.chunk_left = 0       # of the current chunk; -1: its CRLF is next
        self.need = None          # bytes of the current part's image still to come
        self.started = None       # arrival of the current part's headers
        self.stamp = None
        self.offset = 0.0        # CLOCK_MONOTONIC less CLOCK_MONOTONIC_RAW at the last arrival
        self.record = False
        self.parts = []           # (arrival of the last byte, stamp or None, first byte)

    def feed(self, data, now, offset):
        self.offset = offset
        self.raw += data
        if self.head is None:
            i = self.raw.find(b'\r\n\r\n')
            if i < 0:
                return
            self.head = bytes(self.raw[:i]).lower()
            self.chunked = b'transfer-encoding: chunked' in self.head
            del self.raw[:i + 4]
        if not self.chunked:
            self.body += self.raw
            self.raw.clear()
        else:
            self.dechunk()
        self.parse(now)

    def dechunk(self):
        raw = self.raw
        while raw:
            if self.chunk_left > 0:
                n = min(self.chunk_left, len(raw))
                self.body += raw[:n]
                del raw[:n]
                self.chunk_left -= n
                if self.chunk_left == 0:
                    self.chunk_left = -1
            elif self.chunk_left < 0:
                if len(raw) < 2:
                    return
                del raw[:2]
                self.chunk_left = 0
            else:
                i = raw.find(b'\r\n')
                if i < 0:
                    return
                self.chunk_left = int(bytes(raw[:i]).split(b';')[0], 16)
                del raw[:i + 2]

    def parse(self, now):
        b = self.body
        while True:
            if self.need is None:
                i = b.find(b'\r\n\r\n')
                if i < 0:
                    if b.strip(b'\r\n') and self.started is None:
                        self.started = now
                    return
                if self.started is None:
                    self.started = now
                length, self.stamp = None, None
                for line in bytes(b[:i]).split(b'\r\n'):
                    name, _, value = line.partition(b':')
                    name = name.strip().lower()
                    if name == b'content-length':
                        length = int(value)
                    elif name == b'x-frame-timestamp':
                        self.stamp = ('driver', float(value))
                    elif name == b'x-ustreamer-grab-time':
                        self.stamp = ('grab', float(value) + self.offset)
                del b[:i + 4]
                if length is None:
                    continue  # the boundary line on its own
                self.need = length
            if len(b) < self.need:
                return
            del b[:self.need]
            self.need = None
            if self.record:
                self.parts.append((now, self.stamp, self.started))
            self.started = now if b.strip(b'\r\n') else None


class Attacker:
    """Sockets that hold a server's connections: `idle` send nothing, the
    others trickle a request line one byte a second; each is reopened when
    the server closes it, as a real attacker would."""

    LINE = b'GET /' + b'x' * 4000

    def __init__(self, port, n, sel):
        self.port, self.sel, self.reopened = port, sel, 0
        self.socks = {}
        for i in range(2 * n):
            self.open(i % 2 == 0)
        self.next_byte = time.monotonic() + 1

    def open(self, idle):
        s = socket.socket()
        s.setblocking(False)
        try:
            s.connect(('127.0.0.1', self.port))
        except BlockingIOError:
            pass
        self.socks[s] = [idle, 0]
        self.sel.register(s, selectors.EVENT_READ, self)

    def readable(self, s):
        try:
            if s.recv(4096):
                return
        except BlockingIOError:
            return
        except OSError:
            pass
        idle = self.socks.pop(s)[0]
        self.sel.unregister(s)
        s.close()
        self.reopened += 1
        self.open(idle)

    def tick(self, now):
        if now < self.next_byte:
            return
        self.next_byte += 1
        for s, st in self.socks.items():
            if not st[0]:
                try:
                    s.send(self.LINE[st[1] % len(self.LINE):][:1])
                    st[1] += 1
                except OSError:
                    pass

    def close(self):
        for s in self.socks:
            self.sel.unregister(s)
            s.close()


def snapshot_ms(port, path):
    t = time.monotonic()
    s = socket.create_connection(('127.0.0.1', port), timeout=5)
    try:
        s.sendall(('GET %s HTTP/1.1\r\nHost: 127.0.0.1:%d\r\nConnection: close\r\n\r\n'
                   % (path, port)).encode())
        data = b''
        while True:
            d = s.recv(1 << 20)
            if not d:
                break
            data += d
    except OSError:
        return float('inf')
    finally:
        s.close()
    return 1000 * (time.monotonic() - t) if data.startswith(b'HTTP/1.1 200') else float('inf')


def snap_to_grid(grabs, interval):
    """ustreamer's Grab-Time (ms, a little after the driver's time) snapped
    down onto simcam's frame grid; the grid's phase is where most grabs fall."""
    if not grabs:
        return []
    res = sorted((g % interval) for g in grabs)
    # The densest 1.5 ms window of the residuals (circular) holds the grabs
    # taken at once; its lowest value, less half the ms rounding, is the phase.
    best, phase = -1, res[0]
    ext = res + [r + interval for r in res]
    j = 0
    for i, r in enumerate(res):
        while j < len(ext) and ext[j] < r + 0.0015:
            j += 1
        if j - i > best:
            best, phase = j - i, r
    phase -= 0.0005
    return [g - ((g - phase) % interval) for g in grabs]


def server_pid(port):
    out = subprocess.run(['ss', '-Hltnp', 'sport = :%d' % port], capture_output=True,
                         text=True).stdout
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


def stop(p, pid):
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


def measure(cmd, port, path, clients, seconds, attack=0, snap=None):
    log = tempfile.TemporaryFile()  # a pipe nobody reads would stall a chatty server
    env = dict(os.environ, SIMCAM_LOG_ENTRIES='0')
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
            return {'error': 'did not listen: ' + log.read().decode(errors='replace')[-300:]}
        sel = selectors.DefaultSelector()
        attacker = Attacker(port, attack, sel) if attack else None
        snaps = []
        if attacker:
            time.sleep(0.5)
        cs = [Client(port, path) for _ in range(clients)]
        for c in cs:
            sel.register(c.s, selectors.EVENT_READ, c)

        def pump(until):
            next_snap = time.monotonic() + 1
            while time.monotonic() < until:
                if attacker:
                    attacker.tick(time.monotonic())
                    if snaps is not None and time.monotonic() >= next_snap:
                        next_snap += 1
                        snaps.append(snapshot_ms(port, snap))
                for key, _ in sel.select(0.1):
                    if key.data is attacker:
                        attacker.readable(key.fileobj)
                        continue
                    try:
                        data = key.fileobj.recv(1 << 20)
                    except BlockingIOError:
                        continue
                    now = time.clock_gettime(time.CLOCK_MONOTONIC)
                    raw = time.clock_gettime(time.CLOCK_MONOTONIC_RAW)
                    if not data:
                        sel.unregister(key.fileobj)
                        continue
                    key.data.feed(data, now, now - raw)
        pump(time.monotonic() + WARMUP)  # connect, first frames
        snaps.clear()
        for c in cs:
            c.record = True
        rss0, cpu0, t0 = rss(pid), cpu(pid), time.monotonic()
        pump(t0 + seconds)
        cpu1, rss1, t1 = cpu(pid), rss(pid), time.monotonic()
        for c in cs:
            c.s.close()
        if attacker:
            attacker.close()
        frames = sum(len(c.parts) for c in cs)
        rates = sorted(len(c.parts) / (t1 - t0) for c in cs)
        gaps = [b[0] - a[0] for c in cs for a, b in zip(c.parts, c.parts[1:])]
        lat, source = [], 'client'
        for c in cs:
            stamped = [(t, s) for t, s, _ in c.parts if s]
            if stamped and len(stamped) == len(c.parts):
                if stamped[0][1][0] == 'driver':
                    source = 'driver'
                    lat += [t - s[1] for t, s in stamped]
                else:
                    source = 'grid'
                    due = snap_to_grid([s[1] for _, s in stamped], 1.0 / FPS)
                    lat += [t - d for (t, _), d in zip(stamped, due)]
        if source == 'client':
            lat = [t - first for c in cs for t, _, first in c.parts]
        return {'cpu': 1000 * (cpu1 - cpu0) / max(frames, 1),
                'fps_min': rates[0] if rates else 0, 'fps_med': statistics.median(rates) if rates else 0,
                'lat50': 1000 * pct(lat, 50), 'lat99': 1000 * pct(lat, 99),
                'gap99': 1000 * pct(gaps, 99), 'rss0': rss0, 'rss1': rss1, 'source': source,
                'snap50': pct(snaps, 50), 'snapmax': max(snaps) if snaps else float('nan')}
    finally:
        stop(p, pid)


def cpu_model():
    for line in open('/proc/cpuinfo'):
        if line.startswith('model name'):
            return line.split(':', 1)[1].strip()
    return platform.processor() or '?'


ROWS = [('cpu', 'cpu ms/frame', '%.3f'), ('fps_min', 'fps, slowest client', '%.1f'),
        ('fps_med', 'fps, median client', '%.1f'), ('lat50', 'latency p50 ms', '%.1f'),
        ('lat99', 'latency p99 ms', '%.1f'), ('gap99', 'arrival gap p99 ms', '%.1f'),
        ('rss0', 'rss KiB at start', '%.0f'), ('rss1', 'rss KiB at end', '%.0f'),
        ('snap50', 'snapshot ms p50', '%.1f'), ('snapmax', 'snapshot ms max', '%.1f')]


def spread(runs, key, fmt):
    v = [r[key] for r in runs if 'error' not in r]
    if not v:
        return 'failed'
    if len(v) == 1:
        return fmt % v[0]
    return '/'.join(fmt % x for x in (min(v), statistics.median(v), max(v)))


def verdict(ours, theirs):
    """The issue's goals, on the medians."""
    med = lambda runs, k: statistics.median(r[k] for r in runs if 'error' not in r)
    try:
        cpu_ok = med(ours, 'cpu') <= med(theirs, 'cpu')
        rate_ok = min(r['fps_min'] for r in ours) >= FPS * 0.98
        lat_ok = med(ours, 'lat99') < 1000.0 / FPS
        mem_ok = max(r['rss1'] - r['rss0'] for r in ours) < 1024
    except (ValueError, KeyError, statistics.StatisticsError):
        return 'camctl failed'
    say = lambda ok: 'yes' if ok else 'NO'
    return ('goals: cpu <= ustreamer %s; every client >= %.1f fps %s; p99 < %.1f ms %s; '
            'memory flat (< 1 MiB growth) %s' % (say(cpu_ok), FPS * 0.98, say(rate_ok),
                                                 1000.0 / FPS, say(lat_ok), say(mem_ok)))


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument('--build', default=os.path.join(HERE, '..', '..', 'build', 'release'))
    ap.add_argument('--seconds', type=float, default=60)
    ap.add_argument('--clients', default='1,32')
    ap.add_argument('--runs', type=int, default=1)
    ap.add_argument('--cases', default='mjpg,yuyv')
    ap.add_argument('--camctl', help='this camctl instead of the build tree\'s')
    ap.add_argument('--attack', type=int, default=0,
                    help='also each case with N idle and N slow sockets held open')
    a = ap.parse_args()
    if not shutil.which('ustreamer'):
        subprocess.run(['apt-get', 'install', '-y', '-o', 'DPkg::Lock::Timeout=600', 'ustreamer'],
                       check=True)
    run = os.path.join(a.build, 'simcam', 'simcam-run')
    camctl = a.camctl or os.path.join(a.build, 'tools', 'camctl', 'camctl')
    counts = [int(x) for x in a.clients.split(',')]
    cases = [CASES[c] for c in a.cases.split(',')]
    attacks = [0, a.attack] if a.attack else [0]
    n = len(cases) * len(counts) * len(attacks) * 2 * a.runs
    version = subprocess.run(['ustreamer', '--version'], capture_output=True,
                             text=True).stdout.strip()
    print('cpu: %s, %d cores; kernel %s; ustreamer %s' % (cpu_model(), os.cpu_count(),
                                                          platform.release(), version))
    print('load average at start: %.2f %.2f %.2f' % os.getloadavg())
    print('%d measurements of %g s (+ %g s warm-up, ~1.5 s start and stop each): about %.0f min'
          % (n, a.seconds, WARMUP, n * (a.seconds + WARMUP + 1.5) / 60), flush=True)
    port = 18600
    results = {}
    for r in range(a.runs):
        for fmt, size, ufmt in cases:
            for k, attack in [(k, x) for k in counts for x in attacks]:
                servers = [
                    ('camctl', [run, '--', camctl, 'serve', '-f', fmt, '-s', size, '-r', str(FPS),
                                '--listen', '127.0.0.1:%d' % port, '--max-clients', str(k + 4)],
                     '/stream?cam=0', '/snapshot?cam=0'),
                    ('ustreamer', [run, '--', 'ustreamer', '--device', '/dev/video0', '--format',
                                   ufmt, '--resolution', size, '--desired-fps', str(FPS),
                                   '--host', '127.0.0.1', '--port', str(port + 1)],
                     '/stream?extra_headers=1', '/snapshot')]
                # Each goes first in every other run: a drift in the machine's
                # state between the two measurements evens out over runs.
                order = list(enumerate(servers))
                if r % 2:
                    order.reverse()
                for j, (name, cmd, path, snap) in order:
                    m = measure(cmd, port + j, path, k, a.seconds, attack, snap)
                    results.setdefault((fmt, size, k, attack), {}).setdefault(name, []).append(m)
                    if 'error' in m:
                        print('run %d %s %s %d clients %s: %s' % (r + 1, fmt, size, k, name,
                                                                  m['error']), flush=True)
                port += 2
        print('run %d of %d done' % (r + 1, a.runs), flush=True)
    print('load average at end: %.2f %.2f %.2f' % os.getloadavg())
    many = a.runs > 1
    for (fmt, size, k, attack), by in results.items():
        print()
        head = 'min/median/max' if many else 'one run'
        print('%s %s at %d fps, %d client%s%s, %g s, %s' % (
            fmt, size, FPS, k, '' if k == 1 else 's',
            ', %d idle + %d slow sockets' % (attack, attack) if attack else '', a.seconds, head))
        src = {name: runs[0].get('source', '?') for name, runs in by.items()}
        print('  %-22s %-24s %-24s' % ('', 'camctl (%s)' % src.get('camctl'),
                                       'ustreamer (%s)' % src.get('ustreamer')))
        for key, label, fmt_ in ROWS:
            if key.startswith('snap') and not attack:
                continue
            print('  %-22s %-24s %-24s' % (label, spread(by.get('camctl', []), key, fmt_),
                                           spread(by.get('ustreamer', []), key, fmt_)))
        print('  ' + verdict(by.get('camctl', []), by.get('ustreamer', [])))
    print()
    print('latency from: driver = the X-Frame-Timestamp header; grid = ustreamer\'s '
          'X-UStreamer-Grab-Time snapped onto simcam\'s frame grid; client = the part\'s first '
          'byte to its last at the client (no stamp from the server)')


if __name__ == '__main__':
    sys.exit(main())
