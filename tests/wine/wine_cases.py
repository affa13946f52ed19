#!/usr/bin/env python3
"""End-to-end checks of netpurge.exe under Wine, headless under Xvfb.

One Wine prefix is made per run and one wineserver serves every case. For
each case the Windows version Wine reports is switched, the program is
started under the case's file name and command line, the user's answers are
given with xdotool, and then the run is judged on:
  - the exit code;
  - what was shown, read from a relay trace of the program's calls
    (caption and texts of the dialog and of message boxes), and for the
    dialog the X window itself: its caption, a screenshot, its size against
    dialog template 103 and its position as centred on the screen;
  - that nothing else changed: no registry writes, no deleted files, no
    started processes in the trace, and the seeded registry keys unchanged;
  - when netpurge-sim is given: that the simulator, run on the equivalent
    machine profile, predicts the same exit code, the same windows with the
    same texts and the same started processes;
  - for a case with "files" (made below C:\ before the run): that the
    files gone afterwards are those netpurge-sim deletes for the same tree,
    and that the Windows folder and the program menu are exactly as before.
After the cases, the section runners: a setup information file of the
test's own, whose uninstall section deletes a marker file, is run by
rundll32.exe setupapi.dll,InstallHinfSection on Windows 2000 settings (as
netpurge.exe starts it, file beside the program) and on NT 4 settings (the
command line the program builds there); where Wine has no runner (the
Windows 95/98 one, setupx.dll), the run says so.

With --template, the prefix is copied from a booted one instead of being
made by wineboot (the removal checks under Wine share it).

Exit status: 0 all cases passed, 1 a case failed, 77 Wine or its tools are
missing here (the reason is printed), as CTest's SKIP_RETURN_CODE.
"""
import argparse
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time
from pathlib import Path

from copy_prefix import copy_prefix

SKIP = 77
SCREEN = (1024, 768)
# Wine's versions and the names the simulator's profiles use for them.
SIM_PLATFORM = {"win95": "win95", "win98": "win98", "nt40": "nt4", "win2k": "win2000",
                "winxp": "winxp", "win7": "win7"}
# Dialog template 103 is 221 x 90 dialog units. Wine 8 lays out its font
# ("MS Sans Serif", 8 points, 96 dpi) with dialog base units of 6 x 12
# pixels; the window adds a 3-pixel modal frame on each side and a
# 19-pixel caption (without a window manager, Wine draws both itself).
TEMPLATE_DLU = (221, 90)
BASE_UNITS = (6, 12)
FRAME, CAPTION = 3, 19
# Functions whose calls the trace records. Wine forwards several advapi32 and
# kernel32 entries to kernelbase, so both names are listed.
RELAYED = [
    "kernel32.GetCommandLineA",
    "user32.MessageBoxA", "user32.SetWindowTextA", "user32.SetDlgItemTextA", "user32.ShowWindow",
    "user32.CreateDialogParamA", "user32.DestroyWindow",
    "advapi32.OpenSCManagerA",
    "advapi32.RegCreateKeyExA", "advapi32.RegCreateKeyA", "advapi32.RegSetValueExA", "advapi32.RegSetValueA",
    "advapi32.RegDeleteKeyA", "advapi32.RegDeleteValueA", "advapi32.RegSetKeySecurity",
    "kernelbase.RegCreateKeyExA", "kernelbase.RegSetValueExA", "kernelbase.RegDeleteKeyExA",
    "kernelbase.RegDeleteValueA", "kernelbase.RegSetKeySecurity",
    "kernel32.WinExec", "kernel32.CreateProcessA", "kernel32.DeleteFileA", "kernel32.RemoveDirectoryA",
    "kernelbase.CreateProcessA", "kernelbase.DeleteFileA", "kernelbase.RemoveDirectoryA",
]
CHANGES = re.compile(r"Reg(Create|Set|Delete)|DeleteFile|RemoveDirectory|WinExec|CreateProcess")
# Keys a removal would touch, seeded again before every case; a case that must change
# nothing leaves them as they were.
SEED_REG = r"""REGEDIT4

[HKEY_CURRENT_USER\Software\Wine\X11 Driver]
"Managed"="N"
"Decorated"="N"

[HKEY_CURRENT_USER\Software\Wine\Debug]
"RelayInclude"="{relay}"

[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Services\Class\Net\0000]
"DriverDesc"="QOR 10/100 Ethernet Adapter"

[HKEY_LOCAL_MACHINE\Enum\PCI\VEN_8086&DEV_1229&SUBSYS_00000000&REV_08\BUS_00&DEV_0A&FUNC_00]
"Driver"="Net\\0000"
"""
SHELL_FOLDERS_KEY = r"HKCU\Software\Microsoft\Windows\CurrentVersion\Explorer\Shell Folders"
WATCHED_KEYS = [r"HKLM\System\CurrentControlSet\Services\Class\Net", r"HKLM\Enum\PCI"]


class Skip(Exception):
    pass


HERE = Path(__file__).resolve().parent
# What every run under Wine is given (as wine_mode.sh's wine_env): no .NET or
# HTML engines, no menu entries, no debugger (a crash ends the program rather
# than start winedbg, which would wait), and under qemu the address space
# Wine reserves, reserved up front.
WINE_DLL_OVERRIDES = "mscoree,mshtml=;winemenubuilder.exe=d;winedbg.exe=d"
QEMU_RESERVED_VA = "0x82000000"
# Under emulation with wine64 installed, `wine` is wow64/wine: every program
# starts through the 64-bit loader and only 32-bit ones meet qemu.
WINE_LOADER64 = Path("/usr/lib/wine/wine64")


def wine_mode(template=None):
    """How Wine runs here, as wine_mode.sh finds it: ("native" | "emulated",
    reason). Raises Skip with the reason where it cannot run, or where the
    shared prefix's real start of a 32-bit program found it cannot."""
    done = subprocess.run(["bash", str(HERE / "wine_mode.sh")], capture_output=True, text=True, timeout=120)
    mode, _, reason = done.stdout.strip().partition(": ")
    if mode not in ("native", "emulated"):
        raise Skip(f"Wine does not run here: {reason or done.stderr.strip()}")
    template = template or os.environ.get("NETPURGE_WINE_TEMPLATE")
    if template:
        status = Path(str(template) + ".status")
        verdict = status.read_text().strip() if status.is_file() else ""
        if verdict.startswith("skip "):
            raise Skip(f"Wine does not run here: {verdict[5:]}")
    return mode, reason


def run_quietly(argv, env, check=False, timeout=180):
    """Runs a Wine command with its output in files, not pipes: the Wine
    services it may start inherit its output handles and outlive it, so a
    pipe would never reach its end."""
    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
        done = subprocess.run(argv, env=env, stdout=out, stderr=err, timeout=timeout, check=check)
        out.seek(0)
        err.seek(0)
        return subprocess.CompletedProcess(argv, done.returncode, out.read().decode(errors="replace"),
                                           err.read().decode(errors="replace"))


def die_with_parent():
    """In the child: ask Linux to end it when this script ends, even when the
    script itself is killed (a CTest time-out)."""
    try:
        import ctypes
        ctypes.CDLL("libc.so.6", use_errno=True).prctl(1, signal.SIGTERM)  # PR_SET_PDEATHSIG
    except OSError:
        pass


class Wine:
    """Xvfb, one prefix and its wineserver, for the whole run."""

    def __init__(self, work: Path, template=None):
        self.work = work
        self.template = template
        self.prefix = work / "prefix"
        self.xvfb = None
        self.env = None
        self.mode = None

    def __enter__(self):
        for tool in ("wine", "wineserver", "Xvfb", "xdotool", "import", "convert"):
            if shutil.which(tool) is None:
                raise Skip(f"{tool} is not installed (scripts/setup.sh all installs it)")
        self.mode, reason = wine_mode(self.template)
        print(f"wine: {self.mode} ({reason})", flush=True)
        try:
            self._start_xvfb()
            self._set_up()
        except BaseException:
            self.__exit__(None, None, None)
            raise
        return self

    def _set_up(self):
        self.env = dict(os.environ, DISPLAY=self.display, WINEPREFIX=str(self.prefix), WINEDEBUG="-all",
                        WINEDLLOVERRIDES=WINE_DLL_OVERRIDES, QEMU_RESERVED_VA=QEMU_RESERVED_VA, LC_ALL="C")
        self.env.pop("WINELOADER", None)
        if self.mode == "emulated" and os.access(WINE_LOADER64, os.X_OK):
            self.env["PATH"] = str(HERE / "wow64") + os.pathsep + self.env.get("PATH", "")
        self._make_prefix()

    def __exit__(self, *exc):
        if self.env is not None:
            run_quietly(["wineserver", "-k"], self.env, timeout=30)
        if self.xvfb is not None:
            self.xvfb.terminate()
            try:
                self.xvfb.wait(10)
            except subprocess.TimeoutExpired:
                self.xvfb.kill()
        return False

    def _start_xvfb(self):
        # Xvfb picks a free display number itself and writes it to the pipe.
        read_fd, write_fd = os.pipe()
        self.xvfb = subprocess.Popen(
            ["Xvfb", "-displayfd", str(write_fd), "-screen", "0", f"{SCREEN[0]}x{SCREEN[1]}x24", "-nolisten", "tcp"],
            pass_fds=(write_fd,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, preexec_fn=die_with_parent)
        os.close(write_fd)
        with os.fdopen(read_fd) as pipe:
            number = pipe.readline().strip()
        if not number:
            raise Skip("Xvfb did not start")
        self.display = ":" + number

    def _make_prefix(self):
        if self.prefix.exists():
            run_quietly(["wineserver", "-k"], self.env, timeout=30)
            shutil.rmtree(self.prefix)
        # One server for the whole run, started before the prefix is made. It
        # outlives the gaps between cases (up to 60 s without a client) and is
        # killed at the end; should this script be killed, it ends by itself.
        if self.template is not None and (self.template / "drive_c" / "windows").is_dir():
            # A booted prefix shared by the checks: copied, not booted again.
            copy_prefix(self.template, self.prefix)
            run_quietly(["wineserver", "-p60"], self.env, check=True)
        else:
            self.prefix.mkdir(parents=True)
            run_quietly(["wineserver", "-p60"], self.env, check=True)
            boot = run_quietly(["wineboot", "-i"], self.env)
            if boot.returncode != 0 or not (self.prefix / "drive_c" / "windows").is_dir():
                raise Skip(f"wineboot could not make a prefix: {boot.stderr.strip()[-400:]}")
        self.seed = self.work / "seed.reg"
        self.seed.write_text(SEED_REG.replace("{relay}", ";".join(RELAYED)).replace("\n", "\r\n"),
                             encoding="latin-1")
        self.reseed()
        # regedit exits 0 whatever it made of the file: check a value landed.
        watched = self.registry_snapshot()
        if "Decorated" not in self.run(["reg", "query", r"HKCU\Software\Wine\X11 Driver"]).stdout or not all(
                "Driver" in keys for keys in watched):
            raise RuntimeError("the seed registry file was not imported")
        (self.prefix / "drive_c" / "Tools").mkdir(exist_ok=True)
        # The program menu: Wine's "Programs" shell folder, given a program
        # group so that a purge reaching it would show. The simulator's
        # profiles get the same value.
        query = self.run(["reg", "query", SHELL_FOLDERS_KEY, "/v", "Programs"]).stdout
        found = re.search(r"Programs\s+REG_SZ\s+(.+)", query)
        programs = found.group(1).strip() if found else "C:\\users\\Public\\Start Menu\\Programs"
        self.shell_folders_reg = self.work / "shell_folders.reg"
        self.shell_folders_reg.write_text(f"REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\{SHELL_FOLDERS_KEY[5:]}]\r\n"
                                          f"\"Programs\"=\"{programs.replace(chr(92), chr(92) * 2)}\"\r\n",
                                          encoding="latin-1")
        if not found:
            self.run(["regedit", "/s", str(self.shell_folders_reg)])
        self.programs = self.host_path(programs)
        (self.programs / "Tavix Modem").mkdir(parents=True, exist_ok=True)
        (self.programs / "Tavix Modem" / "Dialer.lnk").write_text("")

    def run(self, args, check=False):
        return run_quietly(["wine"] + args, self.env, check=check)

    def tool32(self, name):
        """Wine's own program `name` as our 32-bit programs see it. In a
        64-bit prefix the 64-bit reg and regedit see the 64-bit registry
        view, where HKLM\\Software is not the one a 32-bit program reads and
        writes (that is below Wow6432Node): the 32-bit ones in syswow64 do."""
        if (self.prefix / "drive_c" / "windows" / "syswow64").is_dir():
            return f"C:\\windows\\syswow64\\{name}.exe"
        return name

    # ---- files below C:\

    def host_path(self, windows_path):
        rest = windows_path[3:].rstrip("\\")
        return self.prefix / "drive_c" / Path(*rest.split("\\")) if rest else self.prefix / "drive_c"

    def windows_path_exists(self, windows_path):
        return self.host_path(windows_path).exists()

    def make_files(self, entries):
        """Makes a case's files and folders; the paths made, folders with a
        trailing backslash removed, every folder above an entry included."""
        made = set()
        for entry in entries:
            path = entry if isinstance(entry, str) else entry["path"]
            folder = path.endswith("\\")
            parts = path.rstrip("\\").split("\\")
            for i in range(2, len(parts) + 1):
                made.add("\\".join(parts[:i]))
            target = self.host_path(path)
            if folder:
                target.mkdir(parents=True, exist_ok=True)
            else:
                target.parent.mkdir(parents=True, exist_ok=True)
                target.write_text(entry.get("content", "") if isinstance(entry, dict) else "")
        # Folders that were there before are not the case's own.
        return sorted(p for p in made if p.count("\\") > 1 or not self.preexisting(p))

    def preexisting(self, path):
        return path.lower() in ("c:\\windows", "c:\\tools", "c:\\users")

    def remove_files(self, made):
        for path in sorted(made, key=len, reverse=True):
            target = self.host_path(path)
            if target.is_dir():
                shutil.rmtree(target, ignore_errors=True)
            elif target.exists():
                target.unlink()

    def guarded_listing(self):
        """Every path below the Windows folder and the program menu."""
        out = []
        for root in (self.prefix / "drive_c" / "windows", self.programs):
            for dirpath, dirnames, filenames in os.walk(root):
                for name in dirnames + filenames:
                    out.append(os.path.relpath(os.path.join(dirpath, name), self.prefix))
        return sorted(out)

    def tavix_outside_targets(self):
        """Every path below C:\\TAVIX outside the two install folders."""
        root = self.host_path("C:\\TAVIX")
        out = []
        for dirpath, dirnames, filenames in os.walk(root):
            if Path(dirpath) == root:
                dirnames[:] = [n for n in dirnames if n.upper() not in ("M32A", "M32AAPPS")]
            out.extend(os.path.relpath(os.path.join(dirpath, n), root) for n in dirnames + filenames)
        return sorted(out)

    def reseed(self):
        """Imports the seed again, so every case starts from the same keys."""
        self.run(["regedit", "/s", str(self.seed)])

    def set_version(self, version):
        self.run(["reg", "add", r"HKCU\Software\Wine", "/v", "Version", "/d", version, "/f"], check=True)

    def registry_snapshot(self):
        return [self.run(["reg", "query", key, "/s"]).stdout for key in WATCHED_KEYS]

    def xdotool(self, *args):
        return subprocess.run(["xdotool", *args], env=self.env, capture_output=True, text=True, timeout=30)

    def find_window(self, caption, timeout):
        """The id of the visible top-level window with exactly this caption."""
        pattern = "^" + re.escape(caption) + "$"
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            ids = self.xdotool("search", "--onlyvisible", "--name", pattern).stdout.split()
            if ids:
                return ids[0]
            time.sleep(0.1)
        return None

    def geometry(self, window):
        out = self.xdotool("getwindowgeometry", "--shell", window).stdout
        values = dict(line.split("=", 1) for line in out.splitlines() if "=" in line)
        return tuple(int(values[k]) for k in ("X", "Y", "WIDTH", "HEIGHT"))


# ---- the relay trace

CALL = re.compile(r"^([0-9a-f]{4}):Call ([\w]+)\.(\w+)\((.*)\) ret=([0-9a-f]{8})$")
ARG = re.compile(r'([0-9a-f]{8})(?: (L?)"((?:[^"\\]|\\.)*)")?(?:,|$)')


def unescape(text):
    out, i = [], 0
    while i < len(text):
        c = text[i]
        if c == "\\" and i + 1 < len(text):
            n = text[i + 1]
            if n == "x":
                out.append(chr(int(text[i + 2:i + 4], 16)))
                i += 4
                continue
            if n.isdigit():
                out.append(chr(int(text[i + 1:i + 4], 8)))
                i += 4
                continue
            out.append({"n": "\n", "r": "\r", "t": "\t"}.get(n, n))
            i += 2
            continue
        out.append(c)
        i += 1
    return "".join(out)


def program_thread(log_text, image):
    """The thread of the program: the last one whose call of GetCommandLineA
    (the first thing the start-up does) came from the program's image. Other
    executables of the run (start.exe) are loaded at the same address, so
    the return address alone does not tell them apart."""
    thread = None
    for line in log_text.splitlines():
        m = CALL.match(line)
        if m and m.group(3) == "GetCommandLineA" and image[0] <= int(m.group(5), 16) < image[1]:
            thread = m.group(1)
    return thread


def relay_calls(log_text, image, thread):
    """(function, [args]) of every traced call the program itself made; an
    argument is an int or, for a string, (int, text)."""
    calls = []
    for line in log_text.splitlines():
        m = CALL.match(line)
        if not m or m.group(1) != thread or not image[0] <= int(m.group(5), 16) < image[1]:
            continue
        args = []
        for a in ARG.finditer(m.group(4)):
            value = int(a.group(1), 16)
            args.append((value, unescape(a.group(3))) if a.group(3) is not None else value)
        calls.append((m.group(3), args))
    return calls


def text_arg(arg):
    return arg[1] if isinstance(arg, tuple) else None


DIALOG_MESSAGE = re.compile(r"^[0-9a-f]{4}:Call dialog proc ([0-9A-Fa-f]{8}) \(hwnd=[0-9A-Fa-f]{8},"
                            r"msg=(WM_COMMAND|WM_CLOSE),wp=([0-9a-f]{8}),")


def image_range(exe):
    """Where the program's image lies in memory (Wine loads an executable at
    its preferred base): start and end address."""
    data = exe.read_bytes()
    nt = int.from_bytes(data[0x3C:0x40], "little")
    base = int.from_bytes(data[nt + 24 + 28:nt + 24 + 32], "little")
    size = int.from_bytes(data[nt + 24 + 56:nt + 24 + 60], "little")
    return base, base + size


def dialog_messages(log_text, image, thread):
    """The WM_COMMAND (with its wParam) and WM_CLOSE messages that reached the
    program's own dialog procedure, in order (a message box's dialog
    procedure lives in user32, outside the image)."""
    found = []
    for line in log_text.splitlines():
        m = DIALOG_MESSAGE.match(line)
        if m and line.startswith(thread + ":") and image[0] <= int(m.group(1), 16) < image[1]:
            m = m.group(0, 2, 3)
            found.append(f"WM_COMMAND {int(m[2], 16)}" if m[1] == "WM_COMMAND" else "WM_CLOSE")
    return found


def shown_from_trace(calls):
    """The windows the user saw, in order, in the simulator's terms."""
    shown, titles, items = [], {}, {}
    for name, args in calls:
        if name == "SetWindowTextA":
            titles[args[0]] = text_arg(args[1])
        elif name == "SetDlgItemTextA":
            items[(args[0], args[1])] = text_arg(args[2])
        elif name == "ShowWindow" and args[1] == 5:
            shown.append({"kind": "dialog", "caption": titles.get(args[0]), "text": items.get((args[0], 1001)),
                          "buttons": [items.get((args[0], 1)), items.get((args[0], 2))]})
        elif name == "MessageBoxA":
            shown.append({"kind": "message_box", "caption": text_arg(args[2]), "text": text_arg(args[1]),
                          "type": args[3]})
    return shown


# ---- one case

class Case:
    def __init__(self, entry, wine, exe, artifacts, sim):
        self.entry, self.wine, self.exe, self.artifacts, self.sim = entry, wine, exe, artifacts, sim
        self.name = entry["name"]
        self.failures = []

    def check(self, ok, message):
        if not ok:
            self.failures.append(message)

    def command_line(self):
        path = "C:\\Tools\\" + self.entry["file"]
        args = self.entry.get("args", "")
        quoted = self.entry.get("launch", "quoted") == "quoted"
        return (f'"{path}"' if quoted else path) + (" " + args if args else ""), path, args, quoted

    def run(self):
        entry, wine = self.entry, self.wine
        expect = entry["expect"]
        command_line, path, args, quoted = self.command_line()
        wine.set_version(entry["version"])
        target = wine.prefix / "drive_c" / "Tools" / entry["file"]
        shutil.copyfile(self.exe, target)
        wine.reseed()
        before = wine.registry_snapshot()
        made = wine.make_files(entry.get("files", []))
        guarded_before = wine.guarded_listing()
        outside_before = wine.tavix_outside_targets()
        # start /wait quotes the program path on the command line it builds;
        # wine itself passes a path without blanks as it is.
        argv = (["start", "/wait", path] if quoted else [path]) + (args.split() if args else [])
        log_path = self.artifacts / (self.name + ".relay.log")
        env = dict(wine.env, WINEDEBUG="-all,+relay")
        with open(log_path, "w") as log:
            proc = subprocess.Popen(["wine", *argv], env=env, cwd=target.parent, stdout=subprocess.DEVNULL,
                                    stderr=log, start_new_session=True)
            try:
                self.act(expect)
                exit_code = proc.wait(timeout=30)
            except subprocess.TimeoutExpired:
                os.killpg(proc.pid, signal.SIGKILL)
                proc.wait()
                exit_code = None
                self.failures.append("the program did not end within 30 s")
        target.unlink()
        trace = log_path.read_text(errors="replace")
        image = image_range(self.exe)
        thread = program_thread(trace, image)
        self.check(thread is not None, f"the trace shows no start of the program ({log_path.name})")
        calls = relay_calls(trace, image, thread)
        shown = shown_from_trace(calls)
        messages = dialog_messages(trace, image, thread or "")

        self.check(exit_code == expect["exit_code"], f"exit code {exit_code}, expected {expect['exit_code']}")
        self.check(strip(shown, ("kind", "caption", "text")) == strip(expect["shown"], ("kind", "caption", "text")),
                   f"shown {json.dumps(shown)}, expected {json.dumps(expect['shown'])}")
        for seen, wanted in zip(shown, expect["shown"]):
            for key in ("buttons", "type"):
                if key in wanted:
                    self.check(seen.get(key) == wanted[key], f"{seen['kind']} {key} {seen.get(key)}, expected {wanted[key]}")
        names = [name for name, _ in calls]
        if "rights_test" in expect:
            self.check(("OpenSCManagerA" in names) == expect["rights_test"],
                       f"rights test {'missing' if expect['rights_test'] else 'made'}")
        self.check(messages == expect.get("dialog_messages", []),
                   f"the dialog procedure received {messages}, expected {expect.get('dialog_messages', [])}")
        self.check(("DestroyWindow" in names) == ("WM_CLOSE" in messages),
                   "DestroyWindow " + ("not called after WM_CLOSE" if "WM_CLOSE" in messages else "called"))
        changes = [name for name in names if CHANGES.search(name)]
        if "files" in entry:
            # Folder contents come in the host file system's order under Wine.
            self.check(sorted(changes) == sorted(expect.get("changes", [])), f"changing calls {changes}")
        else:
            self.check(changes == expect.get("changes", []), f"changing calls {changes}")
        if any(c.startswith("Reg") for c in expect.get("changes", [])):
            self.check(wine.registry_snapshot() != before, "the watched registry keys did not change")
        else:
            self.check(wine.registry_snapshot() == before, "the watched registry keys changed")
        gone = sorted(p for p in made if not wine.windows_path_exists(p))
        self.check(wine.guarded_listing() == guarded_before,
                   "the Windows folder or the program menu changed")
        outside_after = wine.tavix_outside_targets()
        self.check(outside_after == outside_before,
                   f"C:\\TAVIX outside the install folders changed: {sorted(set(outside_before) ^ set(outside_after))}")
        wine.remove_files(made)
        if self.sim is not None:
            self.compare_with_sim(command_line, exit_code, shown, calls, "WM_COMMAND 1" in messages, gone)
        return not self.failures

    def act(self, expect):
        """Answers each window the case expects, checking the dialog on screen."""
        answers = list(self.entry.get("user", []))
        for i, wanted in enumerate(expect["shown"]):
            window = self.wine.find_window(wanted["caption"], timeout=20)
            if window is None:
                self.failures.append(f"no window with the caption {wanted['caption']!r} appeared")
                return
            if wanted["kind"] == "dialog":
                self.check_dialog_on_screen(window, i)
            answer = answers.pop(0) if answers else None
            if answer is None:
                self.failures.append("no answer left for a shown window")
                return
            self.answer(window, answer)
        if not expect["shown"]:
            # A run that shows nothing: make sure no window comes up at all.
            time.sleep(1.0)
            visible = self.wine.xdotool("search", "--onlyvisible", "--name", ".").stdout.split()
            self.check(not visible, f"{len(visible)} window(s) on screen")

    def answer(self, window, answer):
        wine = self.wine
        wine.xdotool("windowfocus", "--sync", window)
        if answer in ("enter", "ok"):
            wine.xdotool("key", "Return")
        elif answer == "escape":
            wine.xdotool("key", "Escape")
        elif answer == "close":
            # The caption's close button, drawn by Wine at the right end.
            x, y, width, height = wine.geometry(window)
            wine.xdotool("mousemove", "--sync", str(x + width - FRAME - 10), str(y + FRAME + 8))
            wine.xdotool("click", "1")
        else:
            self.failures.append(f"unknown answer {answer}")

    def check_dialog_on_screen(self, window, index):
        shot = self.artifacts / f"{self.name}.{index}.png"
        time.sleep(0.3)  # let the controls paint before the screenshot
        subprocess.run(["import", "-display", self.wine.display, "-window", "root", str(shot)], check=True,
                       capture_output=True, timeout=30)
        x, y, width, height = self.wine.geometry(window)
        want_w = round(TEMPLATE_DLU[0] * BASE_UNITS[0] / 4) + 2 * FRAME
        want_h = round(TEMPLATE_DLU[1] * BASE_UNITS[1] / 8) + 2 * FRAME + CAPTION
        self.check(abs(width - want_w) <= 2 and abs(height - want_h) <= 2,
                   f"dialog is {width}x{height}, template 103 gives {want_w}x{want_h}")
        self.check((x, y) == ((SCREEN[0] - width) // 2, (SCREEN[1] - height) // 2),
                   f"dialog at {x},{y} is not centred")
        # The window's area of the screenshot holds a drawn dialog, not an
        # empty rectangle.
        spread = subprocess.run(["convert", str(shot), "-crop", f"{width}x{height}+{x}+{y}", "+repage",
                                 "-colorspace", "gray", "-format", "%[fx:standard_deviation]", "info:"],
                                capture_output=True, text=True, timeout=30).stdout.strip()
        self.check(spread and float(spread) > 0.05, f"the dialog's area of {shot.name} looks empty ({spread})")

    def compare_with_sim(self, command_line, exit_code, shown, calls, ok_command, gone):
        profile = {"platform": SIM_PLATFORM[self.entry["version"]], "admin": True, "command_line": command_line,
                   "user": self.entry.get("user", []),
                   # Wine's folders, whatever the version it reports.
                   "windows_folder": "C:\\windows", "system_folder": "C:\\windows\\system32"}
        if "files" in self.entry:
            profile["files"] = self.entry["files"] + [{"path": "C:\\Tools\\" + self.entry["file"], "in_use": True},
                                                       "C:\\windows\\system32\\rundll32.exe"]
            profile["registry"] = str(self.wine.shell_folders_reg)
        profile_path = self.artifacts / (self.name + ".profile.json")
        profile_path.write_text(json.dumps(profile, indent=2) + "\n")
        run = subprocess.run([self.sim, "--profile", str(profile_path), "--json"], capture_output=True, text=True,
                             timeout=60)
        try:
            report = json.loads(run.stdout)
        except json.JSONDecodeError:
            self.failures.append(f"netpurge-sim gave no report: {run.stderr.strip()}")
            return
        self.check(report.get("completed") is True, f"netpurge-sim did not complete: {report.get('error')}")
        self.check(report.get("exit_code") == exit_code,
                   f"netpurge-sim predicts exit code {report.get('exit_code')}, Wine gave {exit_code}")
        keys = ("kind", "caption", "text")
        self.check(strip(report.get("shown", []), keys) == strip(shown, keys),
                   f"netpurge-sim predicts shown {json.dumps(strip(report.get('shown', []), keys))}")
        started = [args[0][1] for name, args in calls if name == "WinExec" and isinstance(args[0], tuple)]
        self.check([s["command_line"] for s in report.get("started", [])] == started,
                   f"netpurge-sim predicts started {report.get('started')}, Wine started {started}")
        # The OK command reaching the dialog procedure is what runs the removal.
        self.check(report.get("removal_ran") == ok_command,
                   f"netpurge-sim reports removal_ran {report.get('removal_ran')}, the dialog "
                   + ("got" if ok_command else "did not get") + " the OK command")
        if "files" in self.entry:
            predicted = sorted(report.get("deleted_files", []) + report.get("removed_folders", []), key=str.lower)
            self.check([p.lower() for p in predicted] == sorted(p.lower() for p in gone),
                       f"netpurge-sim deletes {predicted}, under Wine {gone} went")
        for key in ("modem_mode", "silent_mode"):
            if key in self.entry["expect"]:
                self.check(report.get(key) == self.entry["expect"][key],
                           f"netpurge-sim reports {key} {report.get(key)}, expected {self.entry['expect'][key]}")


def check_binding(wine, program):
    """npbindcheck.exe with every DLL present, then with setupapi.dll and
    ole32.dll made unloadable: the failures it prints, if any."""
    failures = []
    missing = dict(wine.env, WINEDLLOVERRIDES=wine.env["WINEDLLOVERRIDES"] + ";setupapi,ole32=d")
    for mode, env in (("bound", wine.env), ("unbound", missing)):
        done = run_quietly(["wine", str(program), mode], env, timeout=60)
        if done.returncode != 0:
            failures.append(f"{mode}: exit code {done.returncode}: " + " / ".join(done.stdout.split("\r\n")).strip(" /"))
    return failures


RUNNER_INF = r"""[Version]
Signature="$Chicago$"

[8255x.Uninstall]
DelFiles=Marker.Del

[Modem.Uninstall]
DelFiles=Marker.Del

[DestinationDirs]
Marker.Del=10

[Marker.Del]
npmarker.tmp
"""


def check_runners(wine, exe):
    """The section runners on a setup information file of the test's own,
    whose uninstall sections delete C:\\windows\\npmarker.tmp: the failures,
    and notes on what Wine cannot run."""
    failures, notes = [], []
    tools = wine.prefix / "drive_c" / "Tools"
    marker = wine.prefix / "drive_c" / "windows" / "npmarker.tmp"
    (tools / "Netqorfe.inf").write_text(RUNNER_INF.replace("\n", "\r\n"), encoding="latin-1")

    def marker_gone(argv, version, timeout=40):
        marker.write_text("marker")
        wine.set_version(version)
        run_quietly(["wine", *argv], wine.env, timeout=120)
        # The runner is a process of its own that netpurge.exe does not wait for.
        deadline = time.monotonic() + timeout
        while marker.exists() and time.monotonic() < deadline:
            time.sleep(0.5)
        return not marker.exists()

    # Windows 2000: netpurge.exe itself, silent, with the file beside it.
    shutil.copyfile(exe, tools / "netpurge.exe")
    if not marker_gone(["C:\\Tools\\netpurge.exe", "/nogui"], "win2k"):
        failures.append("win2k: netpurge.exe /nogui did not have the runner delete the marker (section 8255x.Uninstall)")
    (tools / "netpurge.exe").unlink()
    # NT 4: the command line the program builds there (modem section, runner
    # by its full path in the system folder, file beside the program).
    if not marker_gone(["C:\\windows\\system32\\rundll32.exe", "setupapi.dll,InstallHinfSection", "Modem.Uninstall",
                        "132", "C:\\Tools\\Netqorfe.inf"], "nt40"):
        failures.append("nt40: rundll32.exe setupapi.dll,InstallHinfSection Modem.Uninstall did not delete the marker")
    # Windows 95/98: the setupx.dll runner, where those versions keep
    # rundll32.exe (the Windows folder), else where Wine keeps it.
    if not (wine.prefix / "drive_c" / "windows" / "rundll32.exe").exists():
        notes.append("win98: Wine has no rundll32.exe in the Windows folder, where Windows 95/98 keep it and "
                     "where netpurge.exe starts it")
    if not marker_gone(["C:\\windows\\system32\\rundll32.exe", "setupx.dll,InstallHinfSection", "8255x.Uninstall",
                        "132", "C:\\Tools\\Netqorfe.inf"], "win98", timeout=10):
        notes.append("win98: Wine has no Windows 95/98 section runner (rundll32.exe setupx.dll,InstallHinfSection "
                     "left the marker): that launch is checked by netpurge-sim only")
    marker.unlink(missing_ok=True)
    (tools / "Netqorfe.inf").unlink()
    return failures, notes


def strip(items, keys):
    return [{k: item.get(k) for k in keys} for item in items]


def stop(signum, frame):
    # CTest's time-out or an interrupt: unwind, so Xvfb and the wineserver
    # are still stopped on the way out.
    raise SystemExit(f"stopped by signal {signum}")


def main():
    signal.signal(signal.SIGTERM, stop)
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--exe", required=True, type=Path, help="netpurge.exe of the windows build")
    parser.add_argument("--cases", required=True, type=Path, help="the cases file (JSON)")
    parser.add_argument("--work", required=True, type=Path, help="folder for the prefix and the artifacts")
    parser.add_argument("--sim", type=Path, help="netpurge-sim, for the differential check")
    parser.add_argument("--bindcheck", type=Path, help="npbindcheck.exe of the windows build")
    parser.add_argument("--case", action="append", help="run only this case (repeatable)")
    parser.add_argument("--template", type=Path, help="a booted Wine prefix to copy instead of booting one")
    parser.add_argument("--no-runners", action="store_true", help="skip the section-runner checks")
    opts = parser.parse_args()
    opts.work = opts.work.resolve()

    if not opts.exe.is_file():
        print(f"SKIPPED: {opts.exe} is not built: build the windows preset first")
        return SKIP
    if opts.bindcheck is not None and not opts.bindcheck.is_file():
        print(f"{opts.bindcheck} is missing from the windows build")
        return 1
    if opts.sim is not None and not opts.sim.is_file():
        print(f"netpurge-sim not found at {opts.sim}: build the host preset first")
        return 1
    cases = json.loads(opts.cases.read_text())["cases"]
    if opts.case:
        cases = [c for c in cases if c["name"] in opts.case]
    opts.work.mkdir(parents=True, exist_ok=True)
    artifacts = opts.work / "artifacts"
    shutil.rmtree(artifacts, ignore_errors=True)
    artifacts.mkdir()

    started = time.monotonic()
    failed = []
    try:
        with Wine(opts.work, opts.template) as wine:
            print(f"prefix ready in {time.monotonic() - started:.1f} s (display {wine.display})", flush=True)
            for entry in cases:
                t = time.monotonic()
                case = Case(entry, wine, opts.exe, artifacts, opts.sim)
                ok = case.run()
                print(f"{'PASS' if ok else 'FAIL'} {case.name} ({time.monotonic() - t:.1f} s)", flush=True)
                for f in case.failures:
                    print(f"    {f}", flush=True)
                if not ok:
                    failed.append(case.name)
            if opts.bindcheck is not None:
                t = time.monotonic()
                binding = check_binding(wine, opts.bindcheck)
                print(f"{'FAIL' if binding else 'PASS'} run-time binding ({time.monotonic() - t:.1f} s)", flush=True)
                for f in binding:
                    print(f"    {f}", flush=True)
                if binding:
                    failed.append("run-time binding")
            if not opts.no_runners and not opts.case:
                t = time.monotonic()
                runner_failures, notes = check_runners(wine, opts.exe)
                print(f"{'FAIL' if runner_failures else 'PASS'} section runners ({time.monotonic() - t:.1f} s)",
                      flush=True)
                for f in runner_failures + notes:
                    print(f"    {f}", flush=True)
                if runner_failures:
                    failed.append("section runners")
    except Skip as e:
        print(f"SKIPPED: {e}")
        return SKIP
    total = len(cases) + (opts.bindcheck is not None) + (not opts.no_runners and not opts.case)
    print(f"{total - len(failed)} of {total} checks passed in {time.monotonic() - started:.1f} s; "
          f"screenshots and traces in {artifacts}" + ("" if opts.sim else "; no differential check (no netpurge-sim)"))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
