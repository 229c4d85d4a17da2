#!/usr/bin/env python3
"""A stand-in for camctl serve's HTTP interface, for working on the page
without a camera: the page from tools/camctl/serve/www, canned state, the
simulated camera's controls (with the automatic/manual interplay), DSP and
sensor registers, and a multipart stream of BMP pictures that change colour.

usage: mock_server.py [PORT]   (listens on 127.0.0.1, default 8080)
"""
import json
import os
import struct
import sys
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from urllib.parse import parse_qs, urlparse

WWW = os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', '..', '..', 'tools', 'camctl',
                   'serve', 'www')
TYPES = {'.html': 'text/html', '.js': 'text/javascript', '.css': 'text/css'}
BRIGHTNESS, WB_AUTO, WB_TEMP = 0x00980900, 0x0098090c, 0x0098091a
AUTO_EXPOSURE, EXPOSURE = 0x009a0901, 0x009a0902


def integer(cid, name, label, lo, hi, default):
    return dict(id=cid, name=name, label=label, type='integer', min=lo, max=hi, step=1,
                default=default, value=default, inactive=False, readonly=False)


controls = [
    integer(BRIGHTNESS, 'brightness', 'Brightness', -64, 64, 0),
    integer(0x00980901, 'contrast', 'Contrast', 0, 95, 32),
    dict(id=WB_AUTO, name='white_balance_automatic', label='White Balance, Automatic',
         type='boolean', min=0, max=1, step=1, default=1, value=1, inactive=False,
         readonly=False),
    integer(WB_TEMP, 'white_balance_temperature', 'White Balance Temperature', 2800, 6500, 4600),
    dict(id=AUTO_EXPOSURE, name='auto_exposure', label='Auto Exposure', type='menu', min=0,
         max=3, step=1, default=3, value=3, inactive=False, readonly=False,
         menu=[{'value': 1, 'label': 'Manual Mode'}, {'value': 3, 'label': 'Aperture Priority Mode'}]),
    integer(EXPOSURE, 'exposure_time_absolute', 'Exposure Time, Absolute', 3, 2047, 250),
]
dsp = bytearray(65536)
dsp[0:4] = b'SC\x01\x04'
sensor = {0: 0x5343, 1: 0x0102}
lock = threading.Lock()


def find(cid):
    return next(c for c in controls if c['id'] == cid)


def update_inactive():
    find(WB_TEMP)['inactive'] = find(WB_AUTO)['value'] != 0
    find(EXPOSURE)['inactive'] = find(AUTO_EXPOSURE)['value'] != 1


def number(v):
    if isinstance(v, int):
        return v
    return int(v, 16) if v.lower().startswith('0x') else int(v, 10)


def bmp(n, w=160, h=90):
    colour = bytes(((n * 40) % 256, (n * 85) % 256, 255 - (n * 40) % 256))
    pixels = colour * w * h
    return (b'BM' + struct.pack('<IHHI', 54 + len(pixels), 0, 0, 54) +
            struct.pack('<IiiHHIIiiII', 40, w, h, 1, 24, 0, len(pixels), 0, 0, 0, 0) + pixels)


class Handler(BaseHTTPRequestHandler):
    protocol_version = 'HTTP/1.1'

    def log_message(self, *args):
        pass

    def send(self, status, body, ctype='application/json'):
        if not isinstance(body, bytes):
            body = json.dumps(body).encode()
        self.send_response(status)
        self.send_header('Content-Type', ctype)
        self.send_header('Content-Length', str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def do_GET(self):
        url = urlparse(self.path)
        q = parse_qs(url.query)
        if url.path in ('/', '/app.js', '/style.css'):
            name = 'index.html' if url.path == '/' else url.path[1:]
            with open(os.path.join(WWW, name), 'rb') as f:
                return self.send(200, f.read(), TYPES[os.path.splitext(name)[1]])
        if url.path == '/api/state':
            return self.send(200, {'version': '0.0.0-mock', 'cameras': [
                {'cam': 0, 'device': '/dev/video0', 'card': 'Mock Camera', 'format': 'MJPG',
                 'width': 1280, 'height': 720, 'fps': 30, 'measured_fps': 29.97, 'signal': True,
                 'frames': 1234, 'damaged': 0, 'clients': 1},
                {'cam': 1, 'device': '/dev/video2', 'card': 'Unplugged Camera', 'format': 'YUYV',
                 'width': 640, 'height': 480, 'fps': 30, 'measured_fps': 0, 'signal': False,
                 'frames': 0, 'damaged': 0, 'clients': 0}]})
        if url.path == '/api/devices':
            return self.send(200, {'devices': [{'devNode': '/dev/video0', 'devName': 'Mock Camera',
                                                'formats': [{'fmtName': 'MJPG'}]}]})
        if url.path == '/api/controls':
            with lock:
                return self.send(200, {'cam': int(q.get('cam', ['0'])[0]), 'controls': controls})
        if url.path == '/stream':
            self.send_response(200)
            self.send_header('Content-Type', 'multipart/x-mixed-replace; boundary=camctlframe')
            self.end_headers()
            n = 0
            try:
                while True:
                    img = bmp(n)
                    self.wfile.write(b'--camctlframe\r\nContent-Type: image/bmp\r\nContent-Length: '
                                     + str(len(img)).encode() + b'\r\nX-Frame-Sequence: '
                                     + str(n).encode() + b'\r\n\r\n' + img + b'\r\n')
                    self.wfile.flush()
                    n += 1
                    time.sleep(0.2)
            except OSError:
                return
        self.send(404, {'error': 'no such page'})

    def do_POST(self):
        if self.headers.get('Content-Type') != 'application/json':
            return self.send(415, {'error': 'the body must be application/json'})
        body = json.loads(self.rfile.read(int(self.headers.get('Content-Length', 0))))
        cam = body.get('cam', 0)
        try:
            with lock:
                if self.path == '/api/controls':
                    c = find(body['id'])
                    v = int(body['value'])
                    if not c['min'] <= v <= c['max']:
                        return self.send(400, {'error': 'value out of range'})
                    if c['inactive']:
                        return self.send(502, {'error': 'setting the control: Permission denied'})
                    c['value'] = v
                    update_inactive()
                    return self.send(200, {'cam': cam, 'id': c['id'], 'name': c['name'], 'value': v})
                addr = number(body['addr'])
                if self.path == '/api/dsp':
                    n = int(body['read']) if 'read' in body else len(body['write'])
                    if not 1 <= n <= 8 or addr + n > len(dsp):
                        return self.send(400, {'error': 'DSP range past the end of the registers'})
                    if 'read' in body:
                        data = dsp[addr:addr + n]
                    else:
                        data = bytes(number(b) for b in body['write'])
                        dsp[addr:addr + len(data)] = data
                    return self.send(200, {'cam': cam, 'addr': '0x%04x' % addr,
                                           'data': ['0x%02x' % b for b in data]})
                if self.path == '/api/sensor':
                    bits = body.get('bits', 16)
                    if 'write' in body:
                        sensor[addr] = number(body['write'])
                    return self.send(200, {'cam': cam, 'addr': '0x%04x' % addr, 'bits': bits,
                                           'value': ('0x%04x' if bits == 16 else '0x%02x')
                                           % sensor.get(addr, 0)})
        except (KeyError, ValueError, StopIteration) as e:
            return self.send(400, {'error': 'bad request: %s' % e})
        self.send(404, {'error': 'no such page'})


update_inactive()
if __name__ == '__main__':
    port = int(sys.argv[1]) if len(sys.argv) > 1 else 8080
    print('mock camctl serve on http://127.0.0.1:%d/' % port, flush=True)
    ThreadingHTTPServer(('127.0.0.1', port), Handler).serve_forever()
