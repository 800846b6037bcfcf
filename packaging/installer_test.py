#!/usr/bin/env python3
"""The Windows installer's round trip under Wine, in the build tree's own prefix:

1. a silent install (/S, /D=) into a folder holding other files is refused with exit code 2 and
   writes nothing;
2. a silent install puts exactly the staged files (the program, its README, the example config,
   the licence notices) and the uninstaller into the user's programs folder, with a Start-menu
   shortcut and an uninstall entry, and no config.json;
3. the installed program, started from another folder, creates its config.json beside itself
   with the defaults (no web request, so a port 7555 held by something else does not matter);
4. a silent uninstall while it runs first closes it through its window, so that it saves its
   settings (config.json, deleted meanwhile, is written again) and ends with exit code 0, then
   removes the program, the shortcut, the entry and the Run value of starting with Windows, and
   keeps config.json and the play history (history.sqlite3);
5. an install over what was kept leaves config.json as it was, and an uninstall with
   /REMOVECONFIG removes both and everything installed, and nothing else: files the user added
   stay.

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
RUN_KEY = r"HKCU\Software\Microsoft\Windows\CurrentVersion\Run"
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


def run_value_exists():
    return wine("reg", "query", RUN_KEY, "/v", "Radio Tovrel", check=False).returncode == 0


def read_bytes(path):
    try:
        with open(path, "rb") as f:
            return f.read()
    except OSError:
        return None


def files_under(folder):
    found = set()
    for root, _, files in os.walk(folder):
        found.update(os.path.relpath(os.path.join(root, name), folder) for name in files)
    return found


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
    wine("reg", "delete", UNINSTALL_KEY, "/f", check=False)

    # 1. A folder of other files is refused, and left as it was.
    # (No space in the name: Wine would quote the argument, and /D= must be given bare.)
    other_win = local_win + r"\Programs\OtherTools"
    other = unix_path(other_win)
    shutil.rmtree(other, ignore_errors=True)
    os.makedirs(os.path.join(other, "licenses"))
    for name in ("README.txt", os.path.join("licenses", "tool.txt")):
        with open(os.path.join(other, name), "w") as f:
            f.write("another program's file\n")
    refused = wine(SETUP, "/S", "/D=" + other_win, check=False)
    expect(refused.returncode == 2, "install into a folder of other files: exit code %d" % refused.returncode)
    expect(files_under(other) == {"README.txt", os.path.join("licenses", "tool.txt")}, "nothing written there")
    expect(not uninstall_entry_exists(), "no uninstall entry after the refusal")
    shutil.rmtree(other, ignore_errors=True)

    # 2. Silent install: exactly what was staged, and the uninstaller.
    wine(SETUP, "/S")
    shipped = files_under(os.path.join(os.environ["TOVREL_BUILD_DIR"], "packaging", "stage"))
    expect(files_under(folder) == shipped | {"uninstall.exe"}, "installed: the staged files and uninstall.exe")
    expect(os.path.isfile(shortcut), "Start-menu shortcut")
    expect(uninstall_entry_exists(), "uninstall entry for the user")

    # 3. The installed program creates its config.json beside itself. It is started by its
    # Windows path, as the shortcut starts it.
    env = dict(os.environ)
    proxy = "http://127.0.0.1:%d" % closed_loopback_port()
    env.update(http_proxy=proxy, https_proxy=proxy, HTTP_PROXY=proxy, HTTPS_PROXY=proxy, no_proxy="", NO_PROXY="")
    program = subprocess.Popen(['bash', '-c', '. "$0"; exec wine "$1"', WINE_ENV, folder_win + r"\tovrel-radio.exe"],
                               cwd="/", env=env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                               stderr=subprocess.DEVNULL)
    config = os.path.join(folder, "config.json")
    try:
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
        # Only a save at the close can bring it back.
        os.remove(config)
        # Started with Windows, as the program's menu sets it: the uninstall removes that too.
        wine("reg", "add", RUN_KEY, "/v", "Radio Tovrel", "/d", '"%s\\tovrel-radio.exe"' % folder_win, "/f")
        expect(run_value_exists(), "the Run value is there before the uninstall")

        # 4. Silent uninstall while the program runs. The uninstaller copies itself away and
        # returns at once: its work is waited for.
        wine(folder_win + r"\uninstall.exe", "/S")
        try:
            code = program.wait(timeout=30)
            expect(code == 0, "the uninstaller closed the program through its window, exit code %d" % code)
        except subprocess.TimeoutExpired:
            expect(False, "the uninstaller closes the running program")
    finally:
        if program.poll() is None:
            wine("taskkill", "/f", "/im", "tovrel-radio.exe", check=False)
            program.kill()
            program.wait(timeout=10)
    # The uninstall entry goes last (after the files), so its going ends the wait.
    expect(wait_for(lambda: not os.path.exists(os.path.join(folder, "uninstall.exe")) and
                    not uninstall_entry_exists(), 30), "uninstalled")
    # The history's write-ahead log and index beside it stay too when the program's last write
    # was cut short at the close's bounded wait (SQLite takes the log in at the next open).
    expect(files_under(folder) - {"history.sqlite3-wal", "history.sqlite3-shm"} == {"config.json", "history.sqlite3"},
           "removed all it installed, kept config.json and the play history: %s" % sorted(files_under(folder)))
    try:
        with open(config, encoding="utf-8") as f:
            expect(json.load(f).get("port") == 7555, "config.json saved by the program as it closed")
    except (OSError, ValueError) as e:
        expect(False, "config.json saved by the program as it closed (%s)" % e)
    expect(not os.path.exists(shortcut), "shortcut removed")
    expect(not uninstall_entry_exists(), "uninstall entry removed")
    expect(not run_value_exists(), "the Run value removed")
    kept = read_bytes(config)

    # 5. An update keeps the settings; asked for, the uninstall removes them too, and only what
    # it installed: files the user added to the folder stay.
    wine(SETUP, "/S")
    expect(kept is not None and read_bytes(config) == kept, "install leaves config.json alone")
    added = {"notes.txt", os.path.join("licenses", "notes.txt")}
    for name in added:
        with open(os.path.join(folder, name), "w") as f:
            f.write("the user's own file\n")
    wine(folder_win + r"\uninstall.exe", "/S", "/REMOVECONFIG")
    # The settings go after the program's files: the wait is for the folder's final contents.
    expect(wait_for(lambda: files_under(folder) == added, 30), "uninstalled again")
    expect(files_under(folder) == added, "/REMOVECONFIG removed config.json, the play history and all it installed, "
           "and only that: %s" % sorted(files_under(folder)))
    shutil.rmtree(folder, ignore_errors=True)

    print("round trip in %.1f s" % (time.monotonic() - started))
    if failures:
        sys.exit("%d check(s) failed" % len(failures))


if __name__ == "__main__":
    main()
