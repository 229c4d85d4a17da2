#!/usr/bin/env python3
"""camctl record on the simulated camera, its files read by ffprobe and ffmpeg.

usage: record_cases.py --camctl PATH --simcam-run PATH --stamps PATH CASE

Each case records, then checks every file with the real clients: the frame
count is what camctl says it wrote, every frame decodes, the times are
strictly increasing and, for each frame, the driver's time of the frame
relative to the first (simcam stamps its number into the picture and times it
at number/30 s), the duration ends one frame after the last. Exit 77: skipped.
"""
import argparse
import glob
import json
import os
import re
import signal
import subprocess
import sys
import tempfile
import time

FPS = 30
SKIP = 77


class Failed(Exception):
    pass


def check(cond, what):
    if not cond:
        raise Failed(what)


def probe(path):
    """(codec, duration or None, [pts seconds]) of the video stream."""
    out = subprocess.run(
        ['ffprobe', '-v', 'error', '-select_streams', 'v:0', '-show_entries',
         'stream=codec_name:format=duration:packet=pts_time', '-of', 'json', path],
        capture_output=True, text=True)
    check(out.returncode == 0 and not out.stderr, f'ffprobe {path}: {out.stderr.strip()}')
    info = json.loads(out.stdout)
    duration = info.get('format', {}).get('duration')
    return (info['streams'][0]['codec_name'], float(duration) if duration else None,
            [float(p['pts_time']) for p in info.get('packets', [])])


def stamps(path, size, tool):
    """Every frame decoded by ffmpeg (nothing said on the way), and its stamp."""
    w, h = size.split('x')
    dec = subprocess.Popen(['ffmpeg', '-v', 'error', '-i', path, '-f', 'rawvideo',
                            '-pix_fmt', 'rgb24', '-'], stdout=subprocess.PIPE,
                           stderr=subprocess.PIPE)
    read = subprocess.run([tool, w, h], stdin=dec.stdout, capture_output=True, text=True)
    err = dec.stderr.read().decode()
    check(dec.wait() == 0 and not err, f'ffmpeg decoding {path}: {err.strip()}')
    return [int(s) for s in read.stdout.split()]


def written(out):
    m = re.search(r'^frames written:  (\d+) \((\d+) files?', out, re.M)
    check(m, f'no "frames written" line in:\n{out}')
    return int(m.group(1)), int(m.group(2))


def check_file(path, size, tool, codec, lapse=1, complete=True):
    """Checks one file; returns its stamps."""
    got_codec, duration, pts = probe(path)
    check(got_codec == codec, f'{path}: codec {got_codec}, expected {codec}')
    s = stamps(path, size, tool)
    check(len(s) == len(pts) and s, f'{path}: {len(pts)} packets, {len(s)} frames decoded')
    check(all(b > a for a, b in zip(pts, pts[1:])), f'{path}: times not increasing: {pts}')
    check(all(b > a for a, b in zip(s, s[1:])), f'{path}: frame numbers not increasing: {s}')
    for i, (t, n) in enumerate(zip(pts, s)):
        # A time-lapse plays its frames one interval apart; otherwise each
        # frame sits at its driver time.
        want = i / FPS if lapse > 1 else (n - s[0]) / FPS
        check(abs(t - pts[0] - want) <= 0.0011, f'{path}: frame {n} at {t}, expected {want}')
    if complete:
        check(duration is not None and abs(duration - (pts[-1] + 1 / FPS)) <= 0.0011,
              f'{path}: duration {duration}, last frame at {pts[-1]}')
    return s


def camctl_pid(launcher):
    """camctl under the launcher's processes (umockdev-run passes on no SIGUSR1)."""
    todo, seen = [launcher.pid], []
    while todo:
        pid = todo.pop()
        seen.append(pid)
        kids = subprocess.run(['pgrep', '-P', str(pid)], capture_output=True, text=True).stdout
        todo += [int(k) for k in kids.split()]
    for pid in seen:
        try:
            with open(f'/proc/{pid}/comm') as f:
                if f.read().strip() == 'camctl':
                    return pid
        except OSError:
            pass
    return launcher.pid


class Run:
    def __init__(self, args, folder):
        self.a = args
        self.dir = folder

    def camctl(self, *argv, stop=None, after=0.0, ready=None, env=None):
        """Runs camctl record under simcam; `stop` is a signal sent `after` seconds
        after camctl started, or after the file `ready` appeared."""
        # A loaded machine may keep the camera's frames back for seconds.
        cmd = [self.a.simcam_run, '--', self.a.camctl, 'record', '--timeout', '10', *argv]
        p = subprocess.Popen(cmd, cwd=self.dir, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                             text=True, env=env)
        if stop:
            # Counted from camctl's start: the launcher may take a while.
            start = time.monotonic()
            while time.monotonic() - start < 20 and (
                    camctl_pid(p) == p.pid or ready and not os.path.exists(self.path(ready))):
                time.sleep(0.05)
            time.sleep(after)
            os.kill(camctl_pid(p), stop)
        out, err = p.communicate(timeout=60)
        if p.returncode == 127:
            raise SystemExit(SKIP)  # no umockdev
        return p.returncode, out, err

    def path(self, name):
        return os.path.join(self.dir, name)


def simple(fmt, name, codec, *more, size='640x480', n=20):
    def case(r):
        status, out, err = r.camctl('-f', fmt, '-s', size, '-n', str(n), '-o', name, *more)
        check(status == 0, f'exit {status}: {err}')
        frames, files = written(out)
        check((frames, files) == (n, 1), out)
        check(len(check_file(r.path(name), size, r.a.stamps, codec)) == n, 'frame count')
    return case


def segments(r):
    status, out, err = r.camctl('-s', '640x480', '--duration', '2', '--segment', '0.5',
                                '-o', 'seg-%03N.mkv')
    check(status == 0, f'exit {status}: {err}')
    frames, files = written(out)
    names = sorted(glob.glob(r.path('seg-*.mkv')))
    check(files == 4 and len(names) == 4, f'{names}\n{out}')
    every = []
    for i, name in enumerate(names):
        s = check_file(name, '640x480', r.a.stamps, 'mjpeg')
        check(s[-1] - s[0] < 15, f'{name} spans frames {s[0]} to {s[-1]}')
        every += s
    # Together they hold each recorded frame once, in order; without drops,
    # every frame the camera numbered.
    check(len(every) == frames and every == sorted(set(every)), f'{every}')
    if re.search(r'^dropped frames:  0$', out, re.M):
        check(every == list(range(every[0], every[0] + len(every))), f'{every}')


def lapse(r):
    status, out, err = r.camctl('-s', '640x480', '--interval', '0.2', '-n', '8', '-o', 'l.mkv')
    check(status == 0, f'exit {status}: {err}')
    s = check_file(r.path('l.mkv'), '640x480', r.a.stamps, 'mjpeg', lapse=6)
    check(len(s) == 8 and all(b - a == 6 for a, b in zip(s, s[1:])) or
          not re.search(r'^dropped frames:  0$', out, re.M), f'one frame every 0.2 s: {s}')


def pre(r):
    # One second held, one recorded after the trigger at about 2 s.
    status, out, err = r.camctl('-s', '640x480', '--pre', '1', '--duration', '1', '-o', 'p.mkv',
                                stop=signal.SIGUSR1, after=2)
    check(status == 0, f'exit {status}: {err}')
    frames, _ = written(out)
    s = check_file(r.path('p.mkv'), '640x480', r.a.stamps, 'mjpeg')
    # Without drops, 30 held and 30 after the trigger.
    check(len(s) == frames and (frames == 60 or not re.search(r'^dropped frames:  0$', out, re.M)),
          f'{frames} frames: {s}\n{out}')
    check(s[0] > 0, 'the held frames are the last second, not the first')


def interrupted(r):
    status, out, err = r.camctl('-s', '640x480', '-o', 'i.mkv', stop=signal.SIGINT, after=1.5,
                                ready='i.mkv')
    check(status == 130, f'exit {status}: {err}')
    frames, _ = written(out)
    check(len(check_file(r.path('i.mkv'), '640x480', r.a.stamps, 'mjpeg')) == frames, out)


def killed(r):
    p = subprocess.Popen([r.a.simcam_run, '--', r.a.camctl, 'record', '-s', '640x480',
                          '-o', 'k.mkv'], cwd=r.dir, stdout=subprocess.DEVNULL)
    start = time.monotonic()
    # Until the recording runs: the header is written with the first frame.
    while time.monotonic() - start < 10 and (
            not os.path.exists(r.path('k.mkv')) or os.path.getsize(r.path('k.mkv')) == 0):
        time.sleep(0.05)
    begun = time.monotonic()
    time.sleep(2.5)
    os.kill(camctl_pid(p), signal.SIGKILL)
    lived = time.monotonic() - begun
    p.wait()
    s = check_file(r.path('k.mkv'), '640x480', r.a.stamps, 'mjpeg', complete=False)
    # At most the last second (and a frame) lost.
    check((s[-1] - s[0] + 1) / FPS >= lived - 1.1, f'{len(s)} frames after {lived:.2f} s')


def disk_full(r):
    if os.geteuid() != 0:
        print('skipped: mounting a tmpfs needs root')
        raise SystemExit(SKIP)
    mnt = r.path('small')
    os.mkdir(mnt)
    if subprocess.run(['mount', '-t', 'tmpfs', '-o', 'size=1536k', 'tmpfs', mnt]).returncode:
        print('skipped: cannot mount a tmpfs')
        raise SystemExit(SKIP)
    try:
        status, out, err = r.camctl('-s', '640x480', '--segment', '0.5', '--duration', '20',
                                    '-o', 'small/d-%N.mkv')
        check(status == 4, f'exit {status}: {err}')
        check(err.count('\n') == 1 and 'No space left on device' in err, err)
        names = sorted(glob.glob(os.path.join(mnt, 'd-*.mkv')),
                       key=lambda n: int(re.search(r'(\d+)\.mkv$', n).group(1)))
        check(len(names) >= 2, f'{names}')
        for name in names[:-1]:
            check_file(name, '640x480', r.a.stamps, 'mjpeg')
        check_file(names[-1], '640x480', r.a.stamps, 'mjpeg', complete=False)
    finally:
        subprocess.run(['umount', mnt])


def usage_errors(r):
    open(r.path('old.mkv'), 'w').close()
    for argv, code, want in [
            (['-o', 'old.mkv', '-n', '1'], 2, 'old.mkv exists (--force replaces it)'),
            (['-o', 'exact.mkv', '-n', '1', '-s', '800x600', '--exact'], 3, '(--exact: stopped)'),
            (['-o', 'x.mp4'], 1, 'NAME must end in .mkv or .avi'),
            ([], 1, '-o NAME is required'),
            (['-o', 'x-%q.mkv'], 1, "'%q' is not one of"),
            (['-o', 'x.mkv', '--pre', '0'], 1, "bad value for --pre: '0'"),
            (['-o', '/nonexistent/x.mkv'], 2,
             'cannot write /nonexistent/x.mkv: No such file or directory')]:
        status, out, err = r.camctl(*argv)
        check(status == code and want in err and err.count('\n') == 1, f'{argv}: {status} {err}')


CASES = {
    'mjpg': simple('MJPG', 'm.mkv', 'mjpeg'),
    'yuyv_raw': simple('YUY2', 'y.mkv', 'rawvideo', n=10),
    'yuyv_encode': simple('YUY2', 'e.mkv', 'mjpeg', '--encode', n=10),
    'avi': simple('MJPG', 'a.avi', 'mjpeg', n=10),
    'segments': segments,
    'lapse': lapse,
    'pre': pre,
    'interrupted': interrupted,
    'killed': killed,
    'disk_full': disk_full,
    'usage': usage_errors,
}


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument('--camctl', required=True)
    ap.add_argument('--simcam-run', required=True)
    ap.add_argument('--stamps', required=True)
    ap.add_argument('case', choices=sorted(CASES))
    a = ap.parse_args()
    with tempfile.TemporaryDirectory(prefix='record-') as folder:
        try:
            CASES[a.case](Run(a, folder))
        except Failed as e:
            print(f'{a.case}: {e}', file=sys.stderr)
            return 1
    print(f'{a.case}: ok')
    return 0


if __name__ == '__main__':
    sys.exit(main())
