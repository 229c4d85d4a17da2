#!/usr/bin/env python3
"""The page of camctl serve in a real browser (headless Chromium through
chromedriver): the live picture changes, a slider's value reaches the camera,
a control that activates another is re-read, a DSP byte written through the
page reads back, errors show, and the page fits a phone's width.

usage: browser_test.py [--shots DIR] -- SERVER-COMMAND...
The command is started with every '{port}' replaced by a free loopback port
and must serve the page there. Exits 77 (skipped) with the reason when the
browser, its driver or selenium is missing.
"""
import argparse
import json
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import urllib.request

SKIP = 77
CHROMIUM, DRIVER = '/usr/bin/chromium', '/usr/bin/chromedriver'


def skip(reason):
    print('SKIPPED: ' + reason, flush=True)
    sys.exit(SKIP)


def free_port():
    with socket.socket() as s:
        s.bind(('127.0.0.1', 0))
        return s.getsockname()[1]


class Server:
    def __init__(self, cmd, port):
        self.base = 'http://127.0.0.1:%d' % port
        self.log = tempfile.TemporaryFile()
        self.proc = subprocess.Popen([a.replace('{port}', str(port)) for a in cmd],
                                     stdout=self.log, stderr=subprocess.STDOUT,
                                     start_new_session=True)

    def output(self):
        self.log.seek(0)
        return self.log.read().decode(errors='replace')

    def wait_ready(self, seconds=30):
        end = time.monotonic() + seconds
        while time.monotonic() < end:
            if self.proc.poll() is not None:
                out = self.output()
                if "unknown command 'serve'" in out:
                    skip('this camctl has no serve command')
                if self.proc.returncode == 127:
                    skip('the server command could not start (no umockdev for simcam-run?):\n' + out)
                sys.exit('the server exited with %d before answering:\n%s' % (self.proc.returncode, out))
            try:
                return self.get('/api/state')
            except OSError:
                time.sleep(0.2)
        sys.exit('the server did not answer within %d s:\n%s' % (seconds, self.output()))

    def get(self, path):
        with urllib.request.urlopen(self.base + path, timeout=5) as r:
            return json.load(r)

    def stop(self):
        if self.proc.poll() is None:
            os.killpg(self.proc.pid, signal.SIGTERM)
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                os.killpg(self.proc.pid, signal.SIGKILL)
                self.proc.wait()


def browser(profile):
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service
    opts = webdriver.ChromeOptions()
    opts.binary_location = CHROMIUM
    for a in ('--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
              '--disable-background-networking', '--disable-component-update', '--disable-sync',
              '--user-data-dir=' + profile, '--window-size=1280,1000'):
        opts.add_argument(a)
    # The live picture never finishes loading; the test waits for what it needs itself.
    opts.page_load_strategy = 'eager'
    return webdriver.Chrome(service=Service(DRIVER), options=opts)


def check(cond, what):
    if not cond:
        raise AssertionError(what)
    print('ok: ' + what, flush=True)


def run(d, server, shots):
    from selenium.webdriver.common.action_chains import ActionChains
    from selenium.webdriver.common.by import By
    from selenium.webdriver.support.ui import WebDriverWait

    def wait(cond, what, seconds=15):
        try:
            return WebDriverWait(d, seconds, 0.1).until(lambda _: cond())
        except Exception:
            raise AssertionError('timed out waiting for: ' + what)

    def retry(act, what):
        # The page rebuilds the controls after each change; an element can go stale.
        from selenium.common.exceptions import StaleElementReferenceException
        for _ in range(50):
            try:
                return act()
            except StaleElementReferenceException:
                time.sleep(0.1)
        raise AssertionError('the page kept rebuilding: ' + what)

    def control(name):
        return next(c for c in server.get('/api/controls?cam=0')['controls'] if c['name'] == name)

    def row(name):
        return d.find_element(By.CSS_SELECTOR, '.ctrl[data-name="%s"]' % name)

    d.get(server.base + '/')
    img = wait(lambda: d.find_element(By.CSS_SELECTOR, '#view0 img'), 'the picture element')
    wait(lambda: d.execute_script('return arguments[0].naturalWidth', img) > 0, 'a decoded picture')
    first = img.screenshot_as_png
    time.sleep(1)
    second = img.screenshot_as_png
    if shots:
        for n, png in enumerate((first, second)):
            with open(os.path.join(shots, 'picture-%d.png' % n), 'wb') as f:
                f.write(png)
    check(first != second, 'the picture changes between two screenshots')

    state = server.get('/api/state')['cameras'][0]
    info = d.find_element(By.CSS_SELECTOR, '#view0 .info')
    wait(lambda: '%dx%d' % (state['width'], state['height']) in info.text, 'the state line')
    check(state['format'] in info.text and 'measured' in info.text,
          'format, size and measured rate shown: ' + info.text)
    check(('no signal' in info.text) == (not state['signal']), '"no signal" only without signal')

    # Drag the brightness slider right from its middle; the readout and the camera agree after.
    wait(lambda: row('brightness'), 'the brightness control')
    before = control('brightness')['value']
    slider = row('brightness').find_element(By.CSS_SELECTOR, 'input[type=range]')
    ActionChains(d).drag_and_drop_by_offset(slider, slider.size['width'] // 4, 0).perform()
    wait(lambda: control('brightness')['value'] != before, 'the new brightness at the camera')
    value = control('brightness')['value']
    readout = lambda: row('brightness').find_element(By.CSS_SELECTOR, 'input[type=number]')
    wait(lambda: retry(lambda: readout().get_attribute('value') == str(value), 'readout'),
         'the readout showing %d' % value)
    check(value > before, 'the slider moved brightness from %d to %d at the camera' % (before, value))

    # Automatic white balance makes the temperature inactive; unticking it activates it.
    temp = 'white_balance_temperature'
    if control('white_balance_automatic')['value']:
        check(retry(lambda: 'inactive' in row(temp).get_attribute('class') and
                    not row(temp).find_element(By.CSS_SELECTOR, 'input').is_enabled(), 'greyed'),
              'an inactive control is greyed and disabled')
        retry(lambda: row('white_balance_automatic').find_element(By.CSS_SELECTOR, 'input').click(),
              'the automatic white balance box')
        wait(lambda: not control('white_balance_automatic')['value'], 'automatic white balance off')
        wait(lambda: retry(lambda: 'inactive' not in row(temp).get_attribute('class') and
                           row(temp).find_element(By.CSS_SELECTOR, 'input').is_enabled(), 'enabled'),
             'the temperature control enabled after the change')
        check(True, 'the controls were re-read after the change')

    def submit(form, **fields):
        f = d.find_element(By.ID, form)
        for name, text in fields.items():
            box = f.find_element(By.NAME, name)
            box.clear()
            box.send_keys(text)
        f.find_element(By.TAG_NAME, 'button').click()

    out = d.find_element(By.ID, 'reg-result')
    submit('dsp-write', addr='0x20', data='a5')
    wait(lambda: 'written' in out.text, 'the DSP write answer')
    check(out.text == 'DSP 0x0020 written: 0xa5', 'DSP write: ' + out.text)
    submit('dsp-read', addr='0x1f', len='3')
    wait(lambda: 'written' not in out.text and out.text, 'the DSP read answer')
    check(out.text == 'DSP 0x001f: 0x00 0xa5 0x00', 'DSP read back: ' + out.text)
    submit('sensor-read', addr='0')
    wait(lambda: out.text.startswith('sensor'), 'the sensor read answer')
    check(out.text == 'sensor 0x0000 (16 bit) = 0x5343', 'sensor read: ' + out.text)
    submit('dsp-read', addr='0xfffe', len='4')
    wait(lambda: 'error' in out.get_attribute('class'), 'an error for a read past the end')
    check(out.text and not out.text[0].isdigit(), 'the server\'s error sentence shown: ' + out.text)

    # A phone's width: nothing wider than the screen.
    d.set_window_size(390, 844)
    wait(lambda: d.execute_script(
        'return document.documentElement.scrollWidth <= window.innerWidth'), 'no sideways scrolling')
    check(True, 'the page fits a phone\'s width')
    if shots:
        with open(os.path.join(shots, 'phone.png'), 'wb') as f:
            f.write(d.get_screenshot_as_png())


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument('--shots', help='keep the screenshots in this folder')
    ap.add_argument('cmd', nargs='+')
    a = ap.parse_args()
    for path in (CHROMIUM, DRIVER):
        if not os.access(path, os.X_OK):
            skip(path + ' is missing (Debian packages chromium, chromium-driver)')
    try:
        import selenium  # noqa: F401
    except ImportError:
        skip('python3 has no selenium (Debian package python3-selenium)')
    server = Server(a.cmd, free_port())
    profile = tempfile.mkdtemp(prefix='camctl-browser-')
    d = None
    try:
        server.wait_ready()
        d = browser(profile)
        if a.shots:
            os.makedirs(a.shots, exist_ok=True)
        run(d, server, a.shots)
    except Exception as e:  # selenium's own errors too: show the server's side with them
        print('FAILED: %s\n--- server output:\n%s' % (e, server.output()), flush=True)
        return 1
    finally:
        if d:
            d.quit()
        server.stop()
        shutil.rmtree(profile, ignore_errors=True)
    print('all browser checks passed')
    return 0


if __name__ == '__main__':
    sys.exit(main())
