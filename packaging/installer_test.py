#!/usr/bin/env python3
"""The Windows installer's round trip under Wine, in the build tree's own prefix:

1. a silent install (/S) puts the program, its README, the example config and the licence notices
   into the user's programs folder, with a Start-menu shortcut and an uninstall entry, and no
   config.json;
2. the installed program, started from another folder, creates its config.json beside itself
   with the defaults; it is then closed as a user would (taskkill without /f posts WM_CLOSE to
   its window; no web request, so a port 7555 held by something else does not matter) and must
   end with exit code 0;
3. a silent uninstall removes the program, the shortcut and the entry, and keeps config.json;
4. an install over the kept config.json leaves it as it was, and an uninstall with
   /REMOVECONFIG removes everything.

The program is started with an HTTP proxy on a closed loopback port, so that its requests to the
built-in (placeholder) station fail at once and nothing leaves the machine.
Usage: installer_test.py <setup.exe> <wine-env.sh>   (TOVREL_BUILD_DIR names the Windows tree)
"""
import json
import os
import shutil
import socket
import subprocess
import sys
import time

SETUP, WINE_ENV = sys.argv[1], sys.argv[2]
PRODUCT = "Radio Tovrel Monitor & Server"
UNINSTALL_KEY = r"HKCU\Software\Microsoft\Windows\CurrentVersion\Uninstall\TovrelRadio"
failures = []


def wine(*args, env=None, timeout=60, check=True):
    """Runs a Windows program (or Wine tool) in the build tree's prefix; returns its output."""
    command = ['bash', '-c', '. "$0"; exec wine "$@"', WINE_ENV] + list(args)
    result = subprocess.run(command, env=env, stdin=subprocess.DEVNULL, capture_output=True, text=True,
                            timeout=timeout)
    if check and result.returncode != 0:
        sys.exit("wine %s: exit %d\n%s" % (" ".join(args), result.returncode, result.stderr[-2000:]))
    return result


def unix_path(windows_path):
    out = subprocess.run(['bash', '-c', '. "$0"; exec winepath -u "$1"', WINE_ENV, windows_path],
                         stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=60)
    return out.stdout.strip()


def windows_variable(name):
    return wine("cmd", "/c", "echo %" + name + "%").stdout.strip()


def expect(condition, what):
    print(("ok   " if condition else "FAIL ") + what)
    if not condition:
        failures.append(what)


def wait_for(predicate, seconds):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if predicate():
            return True
        time.sleep(0.2)
    return predicate()


def closed_loopback_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def uninstall_entry_exists():
    return wine("reg", "query", UNINSTALL_KEY, check=False).returncode == 0


def main():
    started = time.monotonic()
    local_win = windows_variable("LOCALAPPDATA")
    folder_win = local_win + r"\Programs\Radio Tovrel"
    folder = unix_path(folder_win)
    shortcut = os.path.join(unix_path(windows_variable("APPDATA")),
                            "Microsoft", "Windows", "Start Menu", "Programs", PRODUCT + ".lnk")
    expect(folder.endswith("/Programs/Radio Tovrel") and "AppData/Local" in folder,
           "the default folder is the user's own programs folder: " + folder)
    # A run that failed half-way may have left an installation behind.
    shutil.rmtree(folder, ignore_errors=True)
    if os.path.exists(shortcut):
        os.remove(shortcut)

    # 1. Silent install.
    wine(SETUP, "/S")
    shipped = ["tovrel-radio.exe", "uninstall.exe", "README.txt", "config.example.json",
               "licenses/README.txt", "licenses/mingw-w64.txt", "licenses/gcc-runtime.txt"]
    for name in shipped:
        expect(os.path.isfile(os.path.join(folder, name)), "installed: " + name)
    expect(not os.path.exists(os.path.join(folder, "config.json")), "no config.json shipped")
    expect(os.path.isfile(shortcut), "Start-menu shortcut")
    expect(uninstall_entry_exists(), "uninstall entry for the user")

    # 2. The installed program creates its config.json beside itself.
    env = dict(os.environ)
    proxy = "http://127.0.0.1:%d" % closed_loopback_port()
    env.update(http_proxy=proxy, https_proxy=proxy, HTTP_PROXY=proxy, HTTPS_PROXY=proxy, no_proxy="", NO_PROXY="")
    program = subprocess.Popen(['bash', '-c', '. "$0"; exec wine "$1"', WINE_ENV,
                                os.path.join(folder, "tovrel-radio.exe")],
                               cwd="/", env=env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                               stderr=subprocess.DEVNULL)
    try:
        config = os.path.join(folder, "config.json")
        expect(wait_for(lambda: os.path.isfile(config) and os.path.getsize(config) > 0, 30),
               "the program created config.json beside itself")
        try:
            with open(config, encoding="utf-8") as f:
                settings = json.load(f)
            expect(settings.get("port") == 7555 and len(settings.get("channels", [])) == 8,
                   "config.json holds the defaults")
        except (OSError, ValueError) as e:
            expect(False, "config.json reads as JSON (%s)" % e)
        # The window must exist before it can be asked to close.
        expect(wait_for(lambda: subprocess.run(["xdotool", "search", "--name", PRODUCT],
                                               capture_output=True).returncode == 0, 30), "the window is up")
        wine("taskkill", "/im", "tovrel-radio.exe", check=False)
        try:
            code = program.wait(timeout=20)
            expect(code == 0, "closed through its window, exit code %d" % code)
        except subprocess.TimeoutExpired:
            expect(False, "the program ends after a close")
    finally:
        if program.poll() is None:
            wine("taskkill", "/f", "/im", "tovrel-radio.exe", check=False)
            program.kill()
            program.wait(timeout=10)
    kept = open(os.path.join(folder, "config.json"), "rb").read()

    # 3. Silent uninstall keeps the settings. The uninstaller copies itself away and returns at
    # once: its work is waited for, up to its last step (the uninstall entry).
    wine(os.path.join(folder, "uninstall.exe"), "/S")
    expect(wait_for(lambda: not os.path.exists(os.path.join(folder, "uninstall.exe")) and
                    not uninstall_entry_exists(), 30), "uninstalled")
    for name in shipped:
        expect(not os.path.exists(os.path.join(folder, name)), "removed: " + name)
    expect(open(os.path.join(folder, "config.json"), "rb").read() == kept, "config.json kept")
    expect(not os.path.exists(shortcut), "shortcut removed")
    expect(not uninstall_entry_exists(), "uninstall entry removed")

    # 4. An update keeps the settings; asked for, the uninstall removes them too.
    wine(SETUP, "/S")
    expect(open(os.path.join(folder, "config.json"), "rb").read() == kept, "install leaves config.json alone")
    wine(os.path.join(folder, "uninstall.exe"), "/S", "/REMOVECONFIG")
    expect(wait_for(lambda: not os.path.exists(folder), 30), "/REMOVECONFIG removes the folder")

    print("round trip in %.1f s" % (time.monotonic() - started))
    if failures:
        sys.exit("%d check(s) failed" % len(failures))


if __name__ == "__main__":
    main()
