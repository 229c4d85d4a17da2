"""camkit on the simulated camera (run under simcam-run, PYTHONPATH at the build's python/)."""

import _thread
import asyncio
import errno
import os
import threading
import time

import numpy as np
import pytest

import camkit


def capture_both_formats(tmp_path):
    for fmt, size, nbytes in (("MJPG", (640, 480), None), ("YUYV", (640, 480), 640 * 480 * 2)):
        with camkit.Camera(format=fmt, size=size) as cam:
            f = cam.capture()
            assert f.size == size and f.data.dtype == np.uint8 and f.data.ndim == 1
            assert nbytes is None or f.data.size == nbytes
            assert nbytes is not None or bytes(f.data[:2]) == b"\xff\xd8"
            out = np.zeros((480, 640, 3), np.uint8)
            assert cam.capture_rgb(out=out) is out and out.any()
            for name, magic in (("x.bmp", b"BM"), ("x.png", b"\x89PNG"), ("x.jpg", b"\xff\xd8")):
                f.save(tmp_path / name)
                assert (tmp_path / name).read_bytes()[:len(magic)] == magic
        assert f.rgb().shape == (480, 640, 3)  # the frame outlives its camera


def defaults_and_catalogue(tmp_path):
    (cam_info,) = camkit.cameras()
    assert (cam_info.node, cam_info.card, cam_info.vendor_id) == ("/dev/video0", "SimCam Module", 0x5CA1)
    assert [f.name for f in cam_info.formats] == ["MJPG", "YUY2"]
    with camkit.Camera() as cam:  # camctl's choice: first format, largest size, fastest rate
        assert (cam.format, cam.size, cam.fps, cam.slot) == ("MJPG", (1920, 1080), 30, 0)
    with pytest.warns(camkit.FormatWarning, match="granted"):
        camkit.Camera(format="YUYV", size=(1280, 720), fps=30).close()
    with pytest.raises(camkit.FormatNotGranted):
        camkit.Camera(format="YUYV", size=(1280, 720), fps=30, exact=True)


def metadata(tmp_path):
    with camkit.Camera(size=(640, 480)) as cam:
        frames = [cam.capture() for _ in range(3)]
        now = time.monotonic()
    seqs = [f.sequence for f in frames]
    assert seqs == list(range(seqs[0], seqs[0] + 3)) and frames[-1].dropped == 0
    assert 0 <= now - frames[-1].timestamp < 0.5


def latest_with_slow_consumer(tmp_path):
    ages = {}
    for latest in (True, False):
        with camkit.Camera(size=(640, 480), latest=latest) as cam:
            cam.capture()
            for _ in range(6):
                time.sleep(0.1)
                f = cam.capture()
            ages[latest] = time.monotonic() - f.timestamp
            if latest:
                assert cam.dropped >= 6 and f.dropped >= 2
    assert ages[True] < 0.08 < ages[False]


def controls_and_registers(tmp_path):
    with camkit.Camera() as cam:
        c = cam.controls
        assert "brightness" in c and "zoom_absolute" not in c
        b = c["brightness"]
        assert (b, b.min, b.max, b.default) == (0, -64, 64, 0)
        c["brightness"] = 10
        assert c["brightness"] == 10
        with pytest.raises(ValueError, match=r"-64\.\.64"):
            c["brightness"] = 100
        assert c["power_line_frequency"].menu == {0: "Disabled", 1: "50 Hz", 2: "60 Hz"}
        with pytest.raises(PermissionError):  # inactive while exposure is automatic
            c["exposure_time_absolute"] = 100
        with pytest.raises(KeyError):
            c["no_such_control"]
        with pytest.raises(TypeError):
            c["brightness"] = "10"
        assert cam.dsp.read(0, 4) == b"SC\x01\x04"
        cam.dsp.write(0x100, bytes(range(1, 12)))  # more than one transfer
        assert cam.dsp.read(0x100, 11) == bytes(range(1, 12))
        assert (cam.sensor.read16(0), cam.sensor.read8(0)) == (0x5343, 0x53)
        cam.sensor.write16(0x3100, 0x1234)
        assert cam.sensor.read16(0x3100) == 0x1234
        with pytest.raises(ValueError):
            cam.dsp.read(0xFFFE, 4)
        with pytest.raises(ValueError):
            cam.sensor.write8(0, 256)
        # Beside the stream (the other slot here; another program alike):
        # controls and registers only.
        with camkit.Camera(control_only=True) as ctl:
            ctl.controls["brightness"] = -20
            ctl.dsp.write(0x200, b"\x42")
            assert (c["brightness"], cam.dsp.read(0x200)) == (-20, b"\x42")
            with pytest.raises(ValueError, match="control_only"):
                ctl.capture()
        cam.capture()  # the stream went on


def errors(tmp_path):
    with pytest.raises(FileNotFoundError, match="/dev/video9"):
        camkit.Camera("/dev/video9", format="MJPG", size=(640, 480), fps=30)
    with pytest.raises(ValueError):
        camkit.Camera(format="H264")
    cam = camkit.Camera(size=(640, 480), slot=1)
    # The same slot is refused by camkit, the same camera in the free slot by the driver.
    for slot, match in ((1, "slot 1 is in use"), (None, "busy")):
        with pytest.raises(OSError, match=match) as e:
            camkit.Camera(size=(640, 480), slot=slot)
        assert e.value.errno == errno.EBUSY
    f = cam.capture()
    with pytest.raises(ValueError):
        f.rgb(out=np.zeros((10, 10, 3), np.uint8))
    with pytest.raises(TypeError):
        f.rgb(out=np.zeros((480, 640, 3), np.float32))
    cam.close()
    cam.close()
    for use in (cam.capture, lambda: cam.controls["brightness"], lambda: cam.dsp.read(0, 1),
                cam.fileno):
        with pytest.raises(ValueError, match="closed"):
            use()
    assert f.rgb().shape == (480, 640, 3) and list(cam) == []


def threads(tmp_path):
    # A wait releases the GIL: this thread counts while another waits; a
    # close from here ends that wait with ValueError.
    with camkit.Camera(size=(640, 480), fps=5) as cam:
        cam.capture()
        result = []

        def wait():
            try:
                result.append(cam.capture(timeout=5))
                cam.capture(timeout=5)
            except ValueError as e:
                result.append(e)

        t = threading.Thread(target=wait)
        t.start()
        spins, end = 0, time.monotonic() + 3
        while not result and time.monotonic() < end:
            spins += 1
        time.sleep(0.05)
        cam.close()
        t.join(5)
    assert spins > 1000 and not t.is_alive()
    assert isinstance(result[0], camkit.Frame) and isinstance(result[1], ValueError)
    # Ctrl-C ends a wait without a timeout; a short timeout ends in TimeoutError.
    with camkit.Camera(size=(640, 480), fps=5, timeout=None) as cam:
        cam.capture()  # the next is 200 ms away
        with pytest.raises(TimeoutError, match="within 0.01 s"):
            cam.capture(timeout=0.01)
        threading.Timer(0.05, _thread.interrupt_main).start()
        with pytest.raises(KeyboardInterrupt):
            while True:
                cam.capture()


def asyncio_reader(tmp_path):
    async def two(cam):
        frames = []
        async for f in cam:
            frames.append(f)
            if len(frames) == 2:
                return frames

    with camkit.Camera(size=(640, 480)) as cam:
        a, b = asyncio.run(two(cam))
    assert b.sequence == a.sequence + 1


CASES = [capture_both_formats, defaults_and_catalogue, metadata, latest_with_slow_consumer,
         controls_and_registers, errors, threads, asyncio_reader]


@pytest.mark.parametrize("case", CASES, ids=[c.__name__ for c in CASES])
def test_camkit(case, tmp_path):
    case(tmp_path)
