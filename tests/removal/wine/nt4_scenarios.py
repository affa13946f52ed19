#!/usr/bin/env python3
"""The NT 4 modem-mode removal scenarios run by netpurge.exe under Wine.

Wine is set to Windows NT 4.0 on one prefix (made by the Wine harness of
tests/wine). For each scenario folder: the keys the scenario touches are
cleared, its before.reg is imported, the access lists of its profile's
"key_security" are set on the keys, the program runs as "Hushline.exe" and
the user presses OK on its dialog. Then, below the modem class key, the
Unimodem key and "Enum\\Root", the keys and values left must equal what
netpurge-sim predicts for the same profile (after.reg), and the keys whose
access list changed must be the ones netpurge-sim reports.

Where Wine's registry security differs from NT 4's (probed at the start of
every run and printed):
  - Wine checks the rights asked for when a key is opened against the key's
    access list, and lets the owner replace the list, as NT 4 does;
  - Wine deletes a key without checking DELETE on it;
  - Wine's RegSetKeySecurity with DACL_SECURITY_INFORMATION alone also
    replaces the key's owner (by the token's primary group), where NT 4
    leaves the owner alone: so the access lists are compared without owner;
  - a fresh prefix gives administrators full control of "Enum" and the keys
    regedit makes there, where NT 4 lets only SYSTEM write.
So the profiles given to netpurge-sim keep their "key_security" (set under
Wine too, through keyacl.exe), and a scenario whose outcome rests on the
DELETE right or on the NT 4 layout of "Enum" alone is not run here. Only the
set of keys whose list changed is compared, not the lists themselves: the
lists Wine starts from are its own.

Exit status: 0 all scenarios agree, 1 one differs, 77 Wine or its tools
missing (CTest's SKIP_RETURN_CODE).
"""
import argparse
import json
import shutil
import subprocess
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "wine"))
from wine_cases import SKIP, Skip, Wine  # noqa: E402

CAPTION = "QOR Modems and Software Uninstaller"
ROOTS = [
    r"HKEY_LOCAL_MACHINE\System\CurrentControlSet\Control\Class\{4D36E96D-E325-11CE-BFC1-08002BE10318}",
    r"HKEY_LOCAL_MACHINE\Software\Microsoft\Windows\CurrentVersion\Unimodem\DeviceSpecific",
    r"HKEY_LOCAL_MACHINE\System\CurrentControlSet\Enum\Root",
]


def read_reg(path):
    raw = Path(path).read_bytes()
    text = raw.decode("utf-16") if raw[:2] == b"\xff\xfe" else raw.decode("latin-1")
    return text.replace("\r\n", "\n").split("\n")


def entries(lines):
    """(key, value line) pairs below the compared roots, keys in lower case."""
    roots = tuple(r.lower() for r in ROOTS)
    out, key = set(), None
    for line in lines:
        if line.startswith("["):
            key = line[1:-1].lower()
            if key.startswith(roots) and key not in roots:
                out.add((key, None))
        elif line and key and key.startswith(roots) and key not in roots and not line.startswith(
                ("REGEDIT4", "Windows Registry")):
            out.add((key, line))
    return out


def dacl(sddl):
    """The access-list part of an SDDL text ("D:..."); the owner is left out."""
    at = sddl.find("D:")
    return sddl[at:] if at >= 0 else sddl


def keys_below(lines):
    return sorted({k for k, v in entries(lines) if v is None})


class Nt4Check:
    def __init__(self, wine, exe, sim, keyacl, work):
        self.wine, self.exe, self.sim, self.keyacl, self.work = wine, exe, sim, keyacl, work
        self.c = wine.prefix / "drive_c"

    def win_path(self, name):
        return "C:\\" + name

    def sddl(self, keys):
        """SDDL of each key (path below HKEY_LOCAL_MACHINE) under Wine."""
        if not keys:
            return {}
        out = self.wine.run([self.win_path("keyacl.exe"), "sddl", *keys]).stdout
        result = {}
        for line in out.replace("\r", "").splitlines():
            key, _, text = line.partition("\t")
            result[key.lower()] = text
        return result

    def probe(self):
        out = self.wine.run([self.win_path("keyacl.exe"), "probe"]).stdout.replace("\r", "")
        facts = dict(line.split("\t", 1) for line in out.splitlines() if "\t" in line)
        enum = self.sddl([r"System\CurrentControlSet\Enum"])
        print("Wine key security: open with KEY_READ under an empty list gives", facts.get("open-read"),
              "| delete under an empty list gives", facts.get("delete"),
              "| Enum:", enum.get(r"system\currentcontrolset\enum"), flush=True)
        return facts

    def export(self, name):
        files = []
        for i, root in enumerate(ROOTS):
            f = f"{name}.{i}.reg"
            (self.c / f).unlink(missing_ok=True)
            self.wine.run([self.wine.tool32("regedit"), "/e", self.win_path(f), root])
            files.append(self.c / f)
        lines = []
        for f in files:
            if f.exists():
                lines += read_reg(f)
        return lines

    def run(self, scenario):
        failures = []
        profile = json.loads((scenario / "profile.json").read_text())
        wine = self.wine
        wine.set_version("nt40")
        for root in ROOTS:
            wine.run([wine.tool32("reg"), "delete", root.replace("HKEY_LOCAL_MACHINE", "HKLM"), "/f"])
        shutil.copyfile(scenario / "before.reg", self.c / "before.reg")
        wine.run([wine.tool32("regedit"), "/s", self.win_path("before.reg")])
        for key, text in profile.get("key_security", {}).items():
            sub = key.split("\\", 1)[1]
            rc = wine.run([self.win_path("keyacl.exe"), "set", sub, text])
            if rc.returncode != 0:
                failures.append(f"could not set the access list of {key}: {rc.stdout.strip()}")
        before_lines = self.export("before")
        below = [k.split("\\", 1)[1] for k in keys_below(before_lines)]
        before_sd = self.sddl(below)

        tools = self.c / "Tools"
        tools.mkdir(exist_ok=True)
        target = tools / "Hushline.exe"
        shutil.copyfile(self.exe, target)
        silent = profile.get("command_line", "").endswith(" /nogui")
        proc = subprocess.Popen(["wine", "start", "/wait", r"C:\Tools\Hushline.exe"] + (["/nogui"] if silent else []),
                                env=wine.env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                start_new_session=True)
        if not silent:
            window = wine.find_window(CAPTION, timeout=30)
            if window is None:
                failures.append("the dialog did not appear")
            else:
                wine.xdotool("windowfocus", "--sync", window)
                wine.xdotool("key", "Return")
        try:
            code = proc.wait(timeout=60)
        except subprocess.TimeoutExpired:
            proc.kill()
            code = None
        target.unlink()
        if code != 0:
            failures.append(f"exit code {code}")
        after_lines = self.export("after")
        after_sd = self.sddl(below)
        changed_wine = sorted(k for k in before_sd
                              if dacl(before_sd[k]) != dacl(after_sd.get(k, "-")) and after_sd.get(k) != "-")

        sim_profile = dict(profile, registry=str((scenario / "before.reg").resolve()))
        # The profile is written elsewhere: a files list it names by file
        # name must still be found beside the scenario.
        if isinstance(profile.get("files"), str):
            sim_profile["files"] = str((scenario / profile["files"]).resolve())
        sim_profile_path = self.work / (scenario.name + ".profile.json")
        sim_profile_path.write_text(json.dumps(sim_profile, indent=2))
        sim_after = self.work / (scenario.name + ".after.reg")
        run = subprocess.run([str(self.sim), "--profile", str(sim_profile_path), "--json", "--export-registry",
                              str(sim_after)], capture_output=True, text=True, timeout=60)
        report = json.loads(run.stdout)
        predicted = entries(read_reg(sim_after))
        got = entries(after_lines)
        for k, v in sorted(predicted - got, key=str):
            failures.append(f"missing under Wine: {k} {v or ''}")
        for k, v in sorted(got - predicted, key=str):
            failures.append(f"only under Wine: {k} {v or ''}")
        changed_sim = sorted(c["key"].split("\\", 1)[1].lower() for c in report["security_changes"])
        if changed_sim != changed_wine:
            failures.append(f"access lists changed under Wine: {changed_wine}; netpurge-sim predicts {changed_sim}")
            for k in changed_wine:
                failures.append(f"    {k}: {before_sd[k]} -> {after_sd.get(k)}")
        return failures


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--exe", required=True, type=Path)
    parser.add_argument("--sim", required=True, type=Path)
    parser.add_argument("--keyacl", required=True, type=Path, help="keyacl.c, built here with MinGW-w64")
    parser.add_argument("--work", required=True, type=Path)
    parser.add_argument("scenarios", nargs="+", type=Path)
    opts = parser.parse_args()
    if not opts.exe.is_file():
        print(f"SKIPPED: {opts.exe} is not built: build the windows preset first")
        return SKIP
    if not opts.sim.is_file():
        print(f"netpurge-sim not found at {opts.sim}: build the host preset first")
        return 1
    compiler = shutil.which("i686-w64-mingw32-gcc")
    if compiler is None:
        print("SKIPPED: i686-w64-mingw32-gcc is not installed")
        return SKIP
    opts.work = opts.work.resolve()
    opts.work.mkdir(parents=True, exist_ok=True)
    started = time.monotonic()
    failed = []
    ran = 0
    try:
        with Wine(opts.work) as wine:
            keyacl = wine.prefix / "drive_c" / "keyacl.exe"
            subprocess.run([compiler, "-O2", "-Wall", "-o", str(keyacl), str(opts.keyacl), "-ladvapi32"], check=True)
            check = Nt4Check(wine, opts.exe, opts.sim, keyacl, opts.work)
            check.probe()
            for scenario in opts.scenarios:
                # Wine runs every program with administrator rights.
                if json.loads((scenario / "profile.json").read_text()).get("admin", True) is False:
                    print(f"NOT RUN {scenario.name}: Wine has no user without administrator rights", flush=True)
                    continue
                t = time.monotonic()
                ran += 1
                failures = check.run(scenario)
                print(f"{'FAIL' if failures else 'PASS'} {scenario.name} ({time.monotonic() - t:.1f} s)", flush=True)
                for f in failures:
                    print(f"    {f}", flush=True)
                if failures:
                    failed.append(scenario.name)
    except Skip as e:
        print(f"SKIPPED: {e}")
        return SKIP
    print(f"{ran - len(failed)} of {ran} scenarios agree with netpurge-sim "
          f"in {time.monotonic() - started:.1f} s")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
