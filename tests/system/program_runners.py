"""How the whole-program scenarios start, stop and kill the program: natively, or the Windows
program under Wine (inside the Xvfb display and beside the persistent wineserver that the test
run started, which is never touched here)."""
import os
import signal
import subprocess

from program_common import ProgramFolder


class NativeProgram:
    kind = "native"
    start_seconds = 10     # from the start to the first answer of /api/info
    exit_seconds = 15      # from /stop to the end of the process

    def __init__(self, exe):
        self.exe = exe

    def folder(self, port, **kwargs):
        return ProgramFolder(self.exe, port, **kwargs)

    def command(self, folder):
        return [folder.exe]

    def start(self, folder, env=None):
        """env: the program's whole environment (None: this process's)."""
        # Output goes to files in the folder: a pipe nobody reads could fill up and stall it.
        out = open(os.path.join(folder.dir, "stdout.txt"), "ab")
        err = open(os.path.join(folder.dir, "stderr.txt"), "ab")
        try:
            return subprocess.Popen(self.command(folder), cwd=folder.dir, stdin=subprocess.DEVNULL,
                                    stdout=out, stderr=err, env=env)
        finally:
            out.close()
            err.close()

    def finish(self, proc, seconds=None):
        """The exit code, or None when the program had to be killed after `seconds`."""
        try:
            return proc.wait(timeout=seconds or self.exit_seconds)
        except subprocess.TimeoutExpired:
            self.kill(proc)
            return None

    def terminate(self, proc):
        proc.send_signal(signal.SIGTERM)

    def kill(self, proc):
        """Kills the program's own process, nothing else."""
        if proc.poll() is None:
            proc.kill()
        try:
            proc.wait(timeout=10)
        except subprocess.TimeoutExpired:
            pass

    @staticmethod
    def output(folder):
        text = ""
        for name in ("stdout.txt", "stderr.txt"):
            try:
                with open(os.path.join(folder.dir, name), encoding="utf-8", errors="replace") as f:
                    text += f.read()
            except OSError:
                pass
        return text

    def sanitizer_report(self, folder):
        """What a sanitizer wrote, if anything."""
        text = self.output(folder)
        for marker in ("ERROR: AddressSanitizer", "ERROR: LeakSanitizer", "runtime error:", "ERROR: ThreadSanitizer"):
            at = text.find(marker)
            if at >= 0:
                return text[max(0, at - 200):at + 3000]
        return ""


class WineProgram(NativeProgram):
    kind = "wine"
    start_seconds = 30
    exit_seconds = 20

    def __init__(self, exe, runner, work):
        super().__init__(exe)
        self.runner = runner
        self.work = work

    def folder(self, port, **kwargs):
        return ProgramFolder(self.exe, port, parent=self.work, **kwargs)

    def command(self, folder):
        # wine-run.sh execs wine, which becomes the Windows program's own process: the pid that
        # Popen gives is the program's, so killing it ends the program and only the program.
        return [self.runner, folder.exe]

    def terminate(self, proc):
        # No console signal reaches a window program: it is ended through its web API instead.
        raise NotImplementedError

    def sanitizer_report(self, folder):
        return ""
