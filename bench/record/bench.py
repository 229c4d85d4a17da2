#!/usr/bin/env python3
"""camctl record beside ffmpeg's own recorder on the same simulated camera, in one run.

usage: bench.py [--build DIR] [--runs N] [--sizes 1280x720,1920x1080] [--seconds 7]
                [--pre-seconds 10] [--camctl PATH]

Per size, each recorder in turn (the order alternating between runs) records
MJPG at 30 fps for 7 s under simcam-run, on camera.conf (`paced yes`,
`still yes`: frames drawn once, so the camera's own cost stays small):

  camctl  camctl record -f MJPG -s WxH -r 30 --duration 7 -o out.mkv
  ffmpeg  ffmpeg -f v4l2 -input_format mjpeg -video_size WxH -framerate 30
                 -i /dev/video0 -t 7 -c copy out.mkv

and reports, min/median/max over the runs:

  whole    CPU (user+system, the rusage its parent gets from wait4) of the whole
           run, start-up included, over the frames in the file (ffprobe)
  steady   CPU of the process's threads (/proc/PID/task/*/schedstat, ns)
           from 2 s to 6.5 s after it started, over the frames of 4.5 s
  ratio    camctl over ffmpeg, per run

Then the memory of `camctl record --pre S` at the largest size: resident
memory while holding S seconds, and the peak after the trigger.
The machine's load average is printed before and after: take figures on a
quiet machine, or read them as what they are.
"""
import argparse
import os
import platform
import signal
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
CAMERA = os.path.join(HERE, 'camera.conf')
FPS = 30
STEADY = (2.0, 6.5)
RUSAGE = '''import os, sys
pid = os.fork()
if pid == 0:
    os.execvp(sys.argv[2], sys.argv[2:])
_, status, ru = os.wait4(pid, 0)
open(sys.argv[1], 'w').write('%.6f %.6f' % (ru.ru_utime, ru.ru_stime))
'''


def descendant(root, name):
    todo = [root]
    while todo:
        pid = todo.pop()
        try:
            with open('/proc/%d/comm' % pid) as f:
                if f.read().strip() == name:
                    return pid
            with open('/proc/%d/task/%d/children' % (pid, pid)) as f:
                todo += [int(k) for k in f.read().split()]
        except OSError:
            pass
    return None


def run_ns(pid):
    total = 0
    for tid in os.listdir('/proc/%d/task' % pid):
        try:
            with open('/proc/%d/task/%s/schedstat' % (pid, tid)) as f:
                total += int(f.read().split()[0])
        except OSError:
            pass
    return total


def status_kb(pid, field):
    with open('/proc/%d/status' % pid) as f:
        for line in f:
            if line.startswith(field + ':'):
                return int(line.split()[1])
    return 0


def frames_in(path):
    out = subprocess.run(['ffprobe', '-v', 'error', '-count_packets', '-select_streams', 'v:0',
                          '-show_entries', 'stream=nb_read_packets', '-of', 'csv=p=0', path],
                         capture_output=True, text=True).stdout.strip()
    return int(out) if out.isdigit() else 0


def measure(a, name, argv, folder):
    out = os.path.join(folder, name + '.mkv')
    usage = os.path.join(folder, name + '.time')
    for f in (out, usage):
        if os.path.exists(f):
            os.unlink(f)
    # The recorder's own rusage, in microseconds (GNU time prints hundredths).
    cmd = [a.simcam_run, '--camera', CAMERA, '--', sys.executable, '-c', RUSAGE,
           usage] + argv + [out]
    env = dict(os.environ, SIMCAM_LOG_ENTRIES='0')
    p = subprocess.Popen(cmd, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                         stdin=subprocess.DEVNULL, env=env)
    pid = None
    while pid is None and p.poll() is None:
        pid = descendant(p.pid, name)
        time.sleep(0.005)
    start = time.monotonic()
    steady = None
    try:
        time.sleep(max(0.0, start + STEADY[0] - time.monotonic()))
        c0 = run_ns(pid)
        time.sleep(max(0.0, start + STEADY[1] - time.monotonic()))
        steady = (run_ns(pid) - c0) / 1e6
    except (OSError, TypeError):
        pass
    p.wait()
    with open(usage) as f:
        user, system = (float(x) for x in f.read().split())
    frames = frames_in(out)
    steady_frames = (STEADY[1] - STEADY[0]) * FPS
    return {'whole': 1000 * (user + system) / max(frames, 1),
            'steady': steady / steady_frames if steady is not None else float('nan'),
            'frames': frames}


def memory(a, size, folder):
    out = os.path.join(folder, 'pre.mkv')
    cmd = [a.simcam_run, '--camera', CAMERA, '--', a.camctl, '-q', 'record', '-f', 'MJPG', '-s',
           size, '-r', str(FPS), '--pre', str(a.pre_seconds), '--duration', '2', '-o', out]
    env = dict(os.environ, SIMCAM_LOG_ENTRIES='0')
    p = subprocess.Popen(cmd, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True,
                         env=env)
    pid = None
    while pid is None and p.poll() is None:
        pid = descendant(p.pid, 'camctl')
        time.sleep(0.01)
    time.sleep(2)
    early = status_kb(pid, 'VmRSS')
    time.sleep(a.pre_seconds + 1)
    held = status_kb(pid, 'VmRSS')
    os.kill(pid, signal.SIGUSR1)
    peak = 0
    while p.poll() is None:
        try:
            peak = max(peak, status_kb(pid, 'VmHWM'))
        except OSError:
            break
        time.sleep(0.05)
    p.communicate()
    return early, held, peak, frames_in(out)


def spread(v):
    v = sorted(v)
    return '%.3f / %.3f / %.3f' % (v[0], statistics.median(v), v[-1])


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument('--build', default=os.path.join(HERE, '..', '..', 'build', 'release'))
    ap.add_argument('--runs', type=int, default=3)
    ap.add_argument('--sizes', default='1280x720,1920x1080')
    ap.add_argument('--seconds', type=int, default=7)
    ap.add_argument('--pre-seconds', type=int, default=10)
    ap.add_argument('--camctl', help='this camctl instead of the build tree\'s')
    a = ap.parse_args()
    a.simcam_run = os.path.join(a.build, 'simcam', 'simcam-run')
    a.camctl = a.camctl or os.path.join(a.build, 'tools', 'camctl', 'camctl')
    version = subprocess.run(['ffmpeg', '-version'], capture_output=True,
                             text=True).stdout.split('\n')[0]
    print('cpu: %s cores; kernel %s; %s' % (os.cpu_count(), platform.release(), version))
    print('load average at start: %.2f %.2f %.2f' % os.getloadavg(), flush=True)
    s = str(a.seconds)
    results = {}
    with tempfile.TemporaryDirectory(prefix='record-bench-') as folder:
        for r in range(a.runs):
            for size in a.sizes.split(','):
                w, h = size.split('x')
                tools = [
                    ('camctl', [a.camctl, '-q', 'record', '-f', 'MJPG', '-s', size, '-r',
                                str(FPS), '--duration', s, '-o']),
                    ('ffmpeg', ['ffmpeg', '-nostdin', '-v', 'error', '-y', '-f', 'v4l2',
                                '-input_format', 'mjpeg', '-video_size', size, '-framerate',
                                str(FPS), '-i', '/dev/video0', '-t', s, '-c', 'copy'])]
                if r % 2:
                    tools.reverse()
                got = {name: measure(a, name, argv, folder) for name, argv in tools}
                results.setdefault(size, []).append(got)
                print('run %d %s: %s' % (r + 1, size, ', '.join(
                    '%s whole %.3f steady %.3f ms/frame (%d frames)' %
                    (n, m['whole'], m['steady'], m['frames']) for n, m in sorted(got.items()))),
                    flush=True)
        print('\nCPU ms per recorded frame, min / median / max of %d runs' % a.runs)
        print('| size | whole: camctl | ffmpeg | ratio | steady: camctl | ffmpeg | ratio |')
        print('|---|---|---|---|---|---|---|')
        for size, runs in results.items():
            col = []
            for what in ('whole', 'steady'):
                c = [x['camctl'][what] for x in runs]
                f = [x['ffmpeg'][what] for x in runs]
                col += [spread(c), spread(f), spread([x / y for x, y in zip(c, f)])]
            print('| %s | %s |' % (size, ' | '.join(col)))
        size = a.sizes.split(',')[-1]
        early, held, peak, frames = memory(a, size, folder)
        print('\ncamctl record --pre %d at %s MJPG: resident %.1f MiB after 2 s, %.1f MiB holding '
              '%d s, peak %.1f MiB; %d frames written' % (a.pre_seconds, size, early / 1024,
                                                          held / 1024, a.pre_seconds,
                                                          peak / 1024, frames))
    print('load average at end: %.2f %.2f %.2f' % os.getloadavg())


if __name__ == '__main__':
    sys.exit(main())
