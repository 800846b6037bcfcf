#!/usr/bin/env python3
"""The Windows program under Wine and Xvfb, against the station simulator: config.json created
with the defaults, the window found by its title, a screenshot read pixel by pixel (background,
title band, a solid-colour cover exactly where the fit puts it), the web API, /stop with exit
code 0 and the settings saved, a taken port that leaves the window running, and a program at
the root of a drive that finds its config.json whatever its current folder; the notification-area
icon (its tooltip, notification, menu, re-adding after the shell restarts, removal at the end)
and the Run value of starting with Windows.

Usage: wine_program_test.py <tovrel-radio.exe> <wine-run.sh> <artefact dir> <tray_poke.exe>
Needs DISPLAY (the Windows test run is inside Xvfb), xdotool and ImageMagick.
"""
import base64
import json
import os
import shutil
import socket
import struct
import subprocess
import sys
import time
import zlib

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from program_common import (SIM, SIM_PORT, ProgramFolder, api_info, free_port, http_get,  # noqa: E402
                            sim_post, set_title, wait_for)

TITLE = "Radio Tovrel Monitor & Server"
BACKGROUND = (18, 20, 24)
COVER_FILL = (24, 28, 35)
PICTURE = (200, 40, 60)
BUTTON_FILL = (37, 43, 52)
FAILURES = []


def check(cond, what):
    print(("ok   " if cond else "FAIL ") + what, flush=True)
    if not cond:
        FAILURES.append(what)


def solid_png(width, height, rgb):
    """An uncompressed PNG of one colour (large enough to pass the worker's minimum size)."""
    rows = b"".join(b"\x00" + bytes(rgb) * width for _ in range(height))

    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF)

    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)) +
            chunk(b"IDAT", zlib.compress(rows, 0)) + chunk(b"IEND", b""))


def find_window(seconds=30, visible=False):
    """The program's window (its X window id), waiting up to `seconds`; with visible, only while
    it is mapped on the screen."""
    def search():
        r = subprocess.run(["xdotool", "search"] + (["--onlyvisible"] if visible else []) +
                           ["--name", "^" + TITLE.replace("&", "\\&") + "$"], capture_output=True, text=True,
                           timeout=10)
        ids = r.stdout.split()
        return ids[0] if ids else None
    return wait_for(search, seconds, 0.25)


def window_geometry(wid):
    r = subprocess.run(["xdotool", "getwindowgeometry", "--shell", wid], capture_output=True, text=True, timeout=10)
    values = dict(line.split("=", 1) for line in r.stdout.split() if "=" in line)
    return int(values["X"]), int(values["Y"]), int(values["WIDTH"]), int(values["HEIGHT"])


def window_class(wid):
    r = subprocess.run(["xprop", "-id", wid, "WM_CLASS"], capture_output=True, text=True, timeout=10)
    return r.stdout


class Shot:
    def __init__(self, path):
        self.path = path
        subprocess.run(["import", "-window", "root", path], check=True, timeout=30)
        r = subprocess.run(["convert", path, "-depth", "8", "rgb:-"], capture_output=True, check=True, timeout=30)
        ident = subprocess.run(["identify", "-format", "%w %h", path], capture_output=True, text=True, timeout=30)
        self.width, self.height = (int(v) for v in ident.stdout.split())
        self.rgb = r.stdout

    def pixel(self, x, y):
        i = (y * self.width + x) * 3
        return tuple(self.rgb[i:i + 3])


def close(a, b, tolerance=6):
    return all(abs(p - q) <= tolerance for p, q in zip(a, b))


def fit(w, h, left, top, right, bottom):
    """The picture fit of the window (single precision, cut toward zero, centred)."""
    import ctypes
    aw, ah = right - left, bottom - top
    f = ctypes.c_float
    s = min(f(f(aw).value / f(w).value).value, f(f(ah).value / f(h).value).value)
    dw, dh = int(f(w * s).value), int(f(h * s).value)
    x = left + int((aw - dw) / 2)
    y = top + int((ah - dh) / 2)
    return x, y, dw, dh


def scaled(v, dpi):
    """A length of the 96-DPI layout at dpi, rounded half away from zero as the program does."""
    return (v * dpi + 48) // 96 if v >= 0 else -((-v * dpi + 48) // 96)


def check_painting(wid, artefacts, name, dpi):
    """The painted window at dpi, pixel by pixel: every band and margin of the 96-DPI layout
    scaled, the solid-colour picture where the fit puts it, the picture button where it goes."""
    s = lambda v: scaled(v, dpi)  # noqa: E731
    at = "" if dpi == 96 else " at %d DPI" % dpi
    x0, y0, cx, cy = window_geometry(wid)
    title_top, title_bottom = s(76), (s(114) if cy < s(450) else s(128))
    cover_top = title_bottom + s(36)
    cover_bottom = cy - s(14) if cy < s(360) else cy - s(34)
    x, y, dw, dh = fit(100, 50, s(20), cover_top, cx - s(20), cover_bottom)
    # The picture button (a child window, painted on its own): where it goes.
    top = s(118) if cy < s(450) else s(132)
    left = (cx - s(100)) // 2 if cx >= s(100) else -((s(100) - cx) // 2)
    # The repaints are posted: screenshots until the picture's middle shows its colour and the
    # button its fill.
    shot_path = os.path.join(artefacts, name)

    def painted():
        taken = Shot(shot_path)
        return taken if (close(taken.pixel(x0 + x + dw // 2, y0 + y + dh // 2), PICTURE, 8) and
                         close(taken.pixel(x0 + left + s(14), y0 + top + s(12)), BUTTON_FILL, 3)) else None
    shot = wait_for(painted, 20, 0.5) or Shot(shot_path)
    px = lambda x, y: shot.pixel(x0 + x, y0 + y)  # noqa: E731
    check(close(px(s(5), s(60)), BACKGROUND, 2) and close(px(cx - s(5), cy // 2), BACKGROUND, 2),
          "background colour at the margins%s: %s" % (at, px(s(5), s(60)),))
    bright = sum(1 for y in range(title_top, title_bottom) for x in range(s(20), min(cx - s(20), s(300)))
                 if min(px(x, y)) > 170)
    check(bright > 30 * dpi * dpi // 9216, "title text drawn in its band%s (%d bright pixels)" % (at, bright))
    check(all(close(px(x, s(54) - 1), BACKGROUND, 2) for x in range(s(20), cx - s(20), 7)),
          "nothing above the name band" + at)
    # Bicubic scaling softens the picture's edges by up to one source pixel (the scale);
    # inside that margin every pixel is the picture's colour, and the coloured run of the
    # middle row and column starts and ends within that margin of the fitted rectangle.
    edge = int(max(dw / 100, dh / 50)) + 1
    inside = [px(xx, yy) for yy in range(y + edge, y + dh - edge, 3) for xx in range(x + edge, x + dw - edge, 3)]
    good = sum(1 for p in inside if close(p, PICTURE, 8))
    check(inside and good == len(inside),
          "picture fills its fitted rectangle %s%s (%d of %d samples)" % ((x, y, dw, dh), at, good, len(inside)))
    row = [xx for xx in range(0, cx) if close(px(xx, y + dh // 2), PICTURE, 8)]
    col = [yy for yy in range(0, cy) if close(px(x + dw // 2, yy), PICTURE, 8)]
    check(row and x <= row[0] <= x + edge and x + dw - 1 - edge <= row[-1] <= x + dw - 1,
          "picture spans the fitted width%s: %s..%s" % (at, row[:1], row[-1:]))
    check(col and y <= col[0] <= y + edge and y + dh - 1 - edge <= col[-1] <= y + dh - 1,
          "picture spans the fitted height%s: %s..%s" % (at, col[:1], col[-1:]))
    outside = [px(x + dw // 2, y - 2), px(x + dw // 2, y + dh + 1)]
    check(all(close(p, COVER_FILL, 2) for p in outside), "cover fill above and below%s: %s" % (at, outside))
    footer = sum(1 for yy in range(cy - s(30), cy - s(6)) for xx in range(s(20), cx - s(20)) if max(px(xx, yy)) > 70)
    check(cy < s(360) or footer > 10, "footer text drawn%s (%d pixels)" % (at, footer))
    # The picture button: its fill left of the label, the background just above and below it.
    fill = px(left + s(14), top + s(12))
    check(close(fill, BUTTON_FILL, 3) and close(px(left + s(50), top - 2), BACKGROUND, 2) and
          close(px(left + s(50), top + s(24) + 1), BACKGROUND, 2),
          "picture button at %s%s (fill %s)" % ((left, top), at, fill))
    return x0, y0, cx, cy


WINE_OUTPUT = "wine-output.txt"


def start(runner, folder, env=None):
    """The program under Wine. What it and Wine's error channels write goes to a file in its folder
    (a pipe nobody reads could stall it), shown by remove() when a check of the test failed."""
    env = dict(os.environ if env is None else env)
    env["WINEDEBUG"] = "-all,err+all"
    with open(os.path.join(folder.dir, WINE_OUTPUT), "ab") as out:
        return subprocess.Popen([runner, folder.exe], cwd=folder.dir, stdin=subprocess.DEVNULL,
                                stdout=out, stderr=subprocess.STDOUT, env=env)


def remove(folder, failures_before):
    """Removes a test's folder; first shows the end of Wine's output if a check failed since."""
    if len(FAILURES) > failures_before:
        try:
            with open(os.path.join(folder.dir, WINE_OUTPUT), encoding="utf-8", errors="replace") as f:
                text = f.read()
        except OSError:
            text = "(none)"
        print("--- what Wine and the program wrote ---\n%s\n---" % text[-6000:].rstrip(), flush=True)
    folder.remove()


def test_window(runner, exe, artefacts, work):
    failed = len(FAILURES)
    port = free_port()
    folder = ProgramFolder(exe, port, write_config=False, parent=work)
    # First run with no config.json: the program writes the defaults and serves on 7555 (or
    # fails to, which leaves the window running). End it through the window's close path.
    png = solid_png(100, 50, PICTURE)
    sim_post("/_sim/set", {"path": "/solid/picture.png", "status": 200, "content_type": "image/png",
                           "body_b64": base64.b64encode(png).decode()})
    sim_post("/_sim/images", {"urls": ["{base}/solid/picture.png"]})
    set_title("one", "Solid Colour Test")

    # Write a config of our own only after the defaults were checked.
    proc = start(runner, folder)
    try:
        check(wait_for(lambda: os.path.exists(folder.config_path), 30), "config.json created when missing")
        wid = find_window()
        check(wid is not None, "window found by its title")
        if wid:
            check("tovrel-radio" in window_class(wid).lower(), "window belongs to the program")
        cfg = json.loads(folder.config_text())
        check(cfg.get("port") == 7555 and cfg.get("window_width") == 500, "config.json holds the defaults")
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()
    os.remove(folder.config_path)
    remove(folder, failed)

    folder = ProgramFolder(exe, port, parent=work)
    proc = start(runner, folder)
    try:
        wid = find_window()
        check(wid is not None, "window found with the test config")
        info = wait_for(lambda: (lambda i: i if i and i.get("track") == "Solid Colour Test" and i.get("has_image")
                                 else None)(api_info(port)), 30)
        check(info is not None, "/api/info answers with the title and a picture")
        if wid and info:
            x0, y0, cx, cy = window_geometry(wid)
            check_painting(wid, artefacts, "window.png", 96)
            test_picture_button(folder, port, x0, y0, cx, cy)

        status, _ = http_get("http://127.0.0.1:%d/stop" % port)
        check(status == 200, "/stop answers")
        try:
            code = proc.wait(timeout=20)
        except subprocess.TimeoutExpired:
            code = None
        check(code == 0, "/stop ends the program with exit code 0 (got %r)" % code)
        cfg = json.loads(folder.config_text())
        check(cfg.get("last_channel") == "one" and cfg.get("port") == port, "settings saved at the end")
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()
        remove(folder, failed)


def pictures_state(folder, port):
    """(images_enabled from /api/info, show_images from config.json); None where unreadable."""
    info = api_info(port)
    try:
        saved = json.loads(folder.config_text()).get("show_images")
    except (OSError, ValueError):
        saved = None
    return (info or {}).get("images_enabled"), saved


def test_picture_button(folder, port, x0, y0, cx, cy):
    """The picture button pressed by the mouse: once, then twice in quick succession (a double
    click, which the button reports as BN_CLICKED then BN_DOUBLECLICKED): two presses are two
    switches and leave the state as it was, in the program and in config.json."""
    bx, by = x0 + cx // 2, y0 + (118 if cy < 450 else 132) + 12  # the middle of the button

    def click(repeat):
        # No --sync: it waits for the pointer to move, which it never does when already there.
        subprocess.run(["xdotool", "mousemove", str(bx), str(by), "sleep", "0.1", "click", "--repeat", str(repeat),
                        "--delay", "60", "1"], check=True, timeout=10)

    before = pictures_state(folder, port)
    check(before == (True, True), "pictures on before the presses: %r" % (before,))
    click(1)
    after_one = wait_for(lambda: (lambda st: st if st == (False, False) else None)(pictures_state(folder, port)), 15)
    check(after_one is not None, "one press switches the pictures off, in the program and the file: %r" %
          (pictures_state(folder, port),))
    time.sleep(1.0)  # past the double-click time: the next two presses make a double click
    os.remove(folder.config_path)
    click(2)
    # Both presses save: the file comes back, and with the second save holds the state of before
    # the pair (a file saved after the removal that says off took two switches).
    state = wait_for(lambda: (lambda st: st if st == (False, False) else None)(pictures_state(folder, port)), 15)
    check(state is not None, "a double click switches twice and leaves the pictures off: %r" %
          (pictures_state(folder, port),))
    click(1)
    check(wait_for(lambda: pictures_state(folder, port) == (True, True), 15),
          "a later press switches them on again")


RUN_KEY = r"HKCU\Software\Microsoft\Windows\CurrentVersion\Run"
VK_UP, VK_DOWN, VK_RETURN = 0x26, 0x28, 0x0D
NIN_SELECT, WM_CONTEXTMENU = 0x400, 0x7B


def run_value(runner):
    """The Run value's data, or None when there is none."""
    r = subprocess.run([runner, "reg", "query", RUN_KEY, "/v", "Radio Tovrel"], capture_output=True, text=True,
                       timeout=30)
    for line in r.stdout.splitlines():
        if line.strip().startswith("Radio Tovrel") and "REG_SZ" in line:
            return line.split("REG_SZ", 1)[1].strip()
    return None


class Tray:
    """The program's tray log (its test hook) and the poke that plays the shell's and user's part."""

    def __init__(self, runner, poke, work):
        self.runner, self.poke = runner, poke
        self.log = os.path.join(work, "tray.log")
        if os.path.exists(self.log):
            os.remove(self.log)

    def env(self):
        env = dict(os.environ)
        env["TOVREL_TEST_TRAY_LOG"] = "Z:" + self.log.replace("/", "\\")
        return env

    def lines(self):
        try:
            with open(self.log, encoding="utf-8") as f:
                return f.read().splitlines()
        except OSError:
            return []

    def wait_line(self, pred, seconds=20, after=0):
        """The first line from index `after` on that satisfies pred (waits for it)."""
        return wait_for(lambda: next((l for l in self.lines()[after:] if pred(l)), None), seconds, 0.2)

    def send(self, *args):
        return subprocess.run([self.runner, self.poke] + [str(a) for a in args], capture_output=True, text=True,
                              timeout=30)

    def choose(self, *keys):
        """Opens the menu by a right click on the icon and picks an item with the keyboard."""
        before = len(self.lines())
        self.send("event", WM_CONTEXTMENU)
        menu = self.wait_line(lambda l: l.startswith("menu "), 20, before)
        if menu:
            self.send("key", *keys, VK_RETURN)
        return menu


def test_tray(runner, exe, poke, work):
    failed = len(FAILURES)
    port = free_port()
    subprocess.run([runner, "reg", "delete", RUN_KEY, "/v", "Radio Tovrel", "/f"], capture_output=True, timeout=30)
    folder = ProgramFolder(exe, port, parent=work, extra={"notify_new_title": True, "minimize_to_tray": True,
                                                          "start_with_windows": True})
    set_title("one", "Tray Title One")
    set_title("two", "Tray Title Two")
    tray = Tray(runner, poke, work)
    proc = start(runner, folder, tray.env())
    try:
        added = lambda l: l.startswith("add ") and l.endswith(" ok")  # noqa: E731
        check(tray.wait_line(added, 30) is not None, "tray icon added with the window")
        data = run_value(runner)
        check(data is not None and data.startswith('"') and data.endswith(os.path.basename(exe) + '"'),
              "start_with_windows true writes the Run value at start: %r" % data)
        # The first title may be on show before the icon exists: then the icon starts with it.
        check(tray.wait_line(lambda l: l in ("tip First Channel - Tray Title One ok",
                                             "add First Channel - Tray Title One ok"), 30),
              "tooltip holds the channel and the title")
        check(tray.wait_line(lambda l: l == "info First Channel: Tray Title One ok", 10),
              "a notification for the new title")
        check(not any("Loading..." in l for l in tray.lines() if l.startswith("info")),
              "no notification for the placeholder")
        set_title("one", "Tray Title Three")
        check(tray.wait_line(lambda l: l == "tip First Channel - Tray Title Three ok", 30),
              "tooltip follows a title change")

        adds = sum(1 for l in tray.lines() if added(l))
        tray.send("taskbar-created")
        check(wait_for(lambda: sum(1 for l in tray.lines() if added(l)) > adds, 20),
              "icon added again after TaskbarCreated")

        tray.send("minimize")
        check(wait_for(lambda: tray.send("state").stdout.strip() == "01", 20),
              "minimize_to_tray hides the minimised window")
        tray.send("event", NIN_SELECT)
        check(wait_for(lambda: tray.send("state").stdout.strip() == "10", 20),
              "a click on the icon shows the window again")

        menu = tray.choose(VK_DOWN, VK_DOWN)
        check(menu is not None and menu.startswith("menu |First Channel* |Second Channel |Third Channel |- "
                                                   "|Hide Art |Open web page |Start with Windows* |- |Exit"),
              "the menu: channels with the one on show checked, then the commands: %r" % menu)
        check(wait_for(lambda: (api_info(port) or {}).get("track") == "Tray Title Two", 30),
              "the menu's second channel switches to it")
        check(wait_for(lambda: '"last_channel": "two"' in folder.config_text(), 10), "and saves it")
        check(tray.wait_line(lambda l: l == "tip Second Channel - Tray Title Two ok", 20),
              "the tooltip follows the channel")

        tray.choose(VK_UP, VK_UP, VK_UP, VK_UP)
        check(wait_for(lambda: pictures_state(folder, port) == (False, False), 20), "the menu's Hide Art")
        menu = tray.choose(VK_UP, VK_UP, VK_UP)
        check(menu is not None and "|Show Art |" in menu, "the menu then offers Show Art")
        check(tray.wait_line(lambda l: l == "open http://localhost:%d/" % port, 20), "the menu opens the web page")
        tray.choose(VK_UP, VK_UP)
        check(wait_for(lambda: run_value(runner) is None, 20), "the menu's Start with Windows removes the Run value")
        check(wait_for(lambda: '"start_with_windows": false' in folder.config_text(), 10),
              "and saves the key that was present")
        menu = tray.choose(VK_UP, VK_UP)
        check(menu is not None and "|Start with Windows |" in menu, "unchecked in the menu after")
        check(wait_for(lambda: run_value(runner) is not None, 20), "chosen again, it adds the value back")

        lines_before_exit = len(tray.lines())
        tray.choose(VK_UP)
        try:
            code = proc.wait(timeout=30)
        except subprocess.TimeoutExpired:
            code = None
        check(code == 0, "the menu's Exit ends the program with exit code 0 (got %r)" % code)
        check(tray.wait_line(lambda l: l == "delete ok", 5, lines_before_exit) is not None, "icon removed at the end")
        cfg = json.loads(folder.config_text())
        check(cfg.get("last_channel") == "two" and cfg.get("show_images") is False and
              cfg.get("start_with_windows") is True and cfg.get("notify_new_title") is True and
              cfg.get("minimize_to_tray") is True, "Exit saves as the close box does, the switches kept")

        # With the key false the next start removes the value the menu had put back.
        text = folder.config_text().replace('"start_with_windows": true', '"start_with_windows": false')
        with open(folder.config_path, "w", encoding="utf-8") as f:
            f.write(text)
        proc = start(runner, folder, tray.env())
        check(tray.wait_line(added, 30, lines_before_exit) is not None and
              wait_for(lambda: run_value(runner) is None, 20), "start_with_windows false removes the Run value at start")
        http_get("http://127.0.0.1:%d/stop" % port)
        proc.wait(timeout=30)
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()
        subprocess.run([runner, "reg", "delete", RUN_KEY, "/v", "Radio Tovrel", "/f"], capture_output=True,
                       timeout=30)
        remove(folder, failed)


def set_prefix_dpi(runner, dpi):
    subprocess.run([runner, "reg", "add", r"HKCU\Control Panel\Desktop", "/v", "LogPixels", "/t", "REG_DWORD",
                    "/d", str(dpi), "/f"], capture_output=True, timeout=30, check=True)


def test_dpi(runner, exe, artefacts, work, dpi, size):
    """The prefix's DPI set to dpi: the window opens at the saved size (96-DPI units) scaled, every
    band and control is where the scaled layout puts it, and the size is stored back unscaled."""
    failed = len(FAILURES)
    port = free_port()
    png = solid_png(100, 50, PICTURE)
    sim_post("/_sim/set", {"path": "/solid/picture.png", "status": 200, "content_type": "image/png",
                           "body_b64": base64.b64encode(png).decode()})
    sim_post("/_sim/images", {"urls": ["{base}/solid/picture.png"]})
    set_title("one", "Solid Colour Test")
    folder = ProgramFolder(exe, port, parent=work, extra={"window_width": size[0], "window_height": size[1]})
    set_prefix_dpi(runner, dpi)
    proc = start(runner, folder)
    try:
        wid = find_window()
        check(wid is not None, "window found at %d DPI" % dpi)
        info = wait_for(lambda: (lambda i: i if i and i.get("has_image") else None)(api_info(port)), 30)
        if wid and info:
            _, _, cx, cy = check_painting(wid, artefacts, "window-%d.png" % dpi, dpi)
            # Under Xvfb the X window is the client area: the outer size less Wine's frame, which
            # scales too (8 x 27 at 96 DPI).
            w, h = scaled(size[0], dpi), scaled(size[1], dpi)
            check(w - scaled(12, dpi) <= cx < w and h - scaled(36, dpi) <= cy < h,
                  "client area %dx%d of a window %dx%d at %d DPI" % (cx, cy, w, h, dpi))
        # Stored back in 96-DPI units: the same size as saved, so the file keeps its value.
        http_get("http://127.0.0.1:%d/stop" % port)
        try:
            code = proc.wait(timeout=20)
        except subprocess.TimeoutExpired:
            code = None
        cfg = json.loads(folder.config_text())
        check(code == 0 and (cfg.get("window_width"), cfg.get("window_height")) == size,
              "the size stored at %d DPI is in 96-DPI units: %r" % (dpi, (cfg.get("window_width"),
                                                                         cfg.get("window_height"))))
    finally:
        set_prefix_dpi(runner, 96)
        if proc.poll() is None:
            proc.kill()
            proc.wait()
        remove(folder, failed)


def test_taken_port(runner, exe, work):
    failed = len(FAILURES)
    holder = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    holder.bind(("0.0.0.0", 0))
    holder.listen(1)
    port = holder.getsockname()[1]
    folder = ProgramFolder(exe, port, parent=work)
    proc = start(runner, folder)
    try:
        wid = find_window()
        check(wid is not None, "a taken port leaves the window running")
        check(proc.poll() is None, "and the program alive")
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()
        holder.close()
        remove(folder, failed)


def test_station_that_never_answers(runner, exe, work):
    """A title fetch that hangs on the main thread is cancelled by /stop: the window closes
    without waiting for the fetch's budget."""
    failed = len(FAILURES)
    port = free_port()
    folder = ProgramFolder(exe, port, parent=work)
    sim_post("/_sim/set", {"path": "/nowplaying/one", "hang": True})
    sim_post("/_sim/set", {"path": "/status-json.xsl", "hang": True})
    proc = start(runner, folder)
    try:
        check(wait_for(lambda: api_info(port), 30) is not None, "serves while the station hangs")
        time.sleep(0.5)  # the next refresh is under way or the first one still is
        shown = find_window(30, visible=True)
        check(shown is not None, "the window is on show while the station hangs")
        started = time.monotonic()
        status, _ = http_get("http://127.0.0.1:%d/stop" % port)
        # The close hides the window, which waits for the fetch unless /stop cancelled it: the
        # fetch began as the window came up, with a budget of 5.5 s. With no window manager on the
        # display, Wine waits 2 s for a hidden window to be withdrawn before it reports it hidden
        # (and 2 s more for the tray icon's window before the process can end, not timed here).
        hidden = wait_for(lambda: find_window(0, visible=True) is None, 30, 0.05)
        took = time.monotonic() - started
        try:
            code = proc.wait(timeout=30)
        except subprocess.TimeoutExpired:
            code = None
        check(status == 200 and shown is not None and hidden and took < 3.5 and code == 0,
              "/stop cancels the hanging fetch and ends the program (window hidden after %.1f s, code %r)"
              % (took, code))
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()
        remove(folder, failed)
        sim_post("/_sim/reset", {})


def test_drive_root(runner, program, work):
    """The program at the root of a drive, started from a prompt whose current folder is another
    folder of that drive: it still uses the config.json beside it."""
    failed = len(FAILURES)
    prefix = os.path.join(os.environ.get("TOVREL_BUILD_DIR", ""), "wineprefix")
    dosdevices = os.path.join(prefix, "dosdevices")
    letter = next((c for c in "rstuvwxy" if not os.path.lexists(os.path.join(dosdevices, c + ":"))), None)
    if not os.path.isdir(dosdevices) or letter is None:
        check(False, "a free drive letter in %s" % dosdevices)
        return
    port = free_port()
    folder = ProgramFolder(program, port, parent=work)
    os.mkdir(os.path.join(folder.dir, "other"))
    drive = os.path.join(dosdevices, letter + ":")
    os.symlink(folder.dir, drive)
    exe = "%s:\\%s" % (letter.upper(), os.path.basename(folder.exe))
    env = dict(os.environ, WINEDEBUG="-all,err+all")
    with open(os.path.join(folder.dir, WINE_OUTPUT), "ab") as out:
        proc = subprocess.Popen([runner, "cmd", "/c", "cd /d %s:\\other && %s" % (letter.upper(), exe)],
                                cwd=work, stdin=subprocess.DEVNULL, stdout=out, stderr=subprocess.STDOUT, env=env)
    try:
        info = wait_for(lambda: api_info(port), 30)
        check(info is not None, "a program at the root of a drive reads the config.json beside it")
        status, _ = http_get("http://127.0.0.1:%d/stop" % port)
        check(status == 200 and wait_for(lambda: api_info(port) is None, 20), "and ends on /stop")
        check(not os.path.exists(os.path.join(folder.dir, "other", "config.json")),
              "no config.json in the current folder")
        cfg = json.loads(folder.config_text())
        check(cfg.get("port") == port and cfg.get("last_channel") == "one", "the saves reach the config.json beside it")
    finally:
        try:
            proc.wait(timeout=20)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()
        os.remove(drive)
        remove(folder, failed)


def main():
    if SIM_PORT == 0 or not os.environ.get("DISPLAY"):
        print("no station simulator or no display: skipped")
        return 0
    for tool in ("xdotool", "import", "convert", "xprop"):
        if shutil.which(tool) is None:
            print("%s missing: skipped" % tool)
            return 0
    exe, runner, artefacts, poke = (os.path.abspath(a) for a in sys.argv[1:5])
    os.makedirs(artefacts, exist_ok=True)
    test_window(runner, exe, artefacts, artefacts)
    test_tray(runner, exe, poke, artefacts)
    # 144: the tall layout with the footer; 192: the short one (both fit the 1024 x 768 screen).
    test_dpi(runner, exe, artefacts, artefacts, 144, (400, 480))
    test_dpi(runner, exe, artefacts, artefacts, 192, (300, 320))
    test_taken_port(runner, exe, artefacts)
    test_drive_root(runner, exe, artefacts)
    test_station_that_never_answers(runner, exe, artefacts)
    if FAILURES:
        print("%d check(s) failed" % len(FAILURES))
        return 1
    print("all checks passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
