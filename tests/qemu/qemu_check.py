#!/usr/bin/env python3
"""Runs the driver's register, EEPROM and PHY objects on QEMU's emulated
adapter (the bare-metal guest) and judges what the guest reports against
truth read independently: the guest's own Microwire and MDI masters, the
MAC address given to QEMU, the firmware's tables as dmidecode and biosdecode
decode them from the guest's memory dump, and the host's clock.

  qemu_check.py run --guest ELF --workdir DIR [--mac M] [--qemu-mac M]
                [--smbios3] [--cpu MODEL] [--expect-fail CHECK]
  qemu_check.py nicdiag --nicdiag BIN --workdir DIR

`run` exits 0 when every check passes, or with --expect-fail when the run
fails and the named check is among the failures (the negative controls).
`nicdiag` repeats the operations through nicdiag on a simulated machine
copying the adapter that `run` saw (its result.json) and compares answers.
Exit 77: QEMU or the guest image is missing (the test is skipped)."""

import argparse
import json
import os
import re
import shutil
import subprocess
import sys
import time

KNOWN_PHY1 = [0x3000, 0x782D, 0x02A8, 0x0154, 0x05E1, 0x41FE, 0x0001]
TEST_WORD = 0x20
# Stalls the driver asks for on a 64-word part: a read is 9 bits out at
# 150 us, 16 in at 100 us and a 100 us cleanup; a size probe the same
# count; a write adds the enable, erase, write and disable commands, the
# stand-bys and the two ready waits.
# A write is the erase and the write (8,125 us of stalls) followed by the
# read that checks the word took (3,050 us).
REQUESTED_US = {"read": 3050, "size": 3050, "write": 11175}


class Verdict:
    def __init__(self):
        self.results = []

    def check(self, name, ok, detail=""):
        self.results.append((name, bool(ok), detail))
        print(("ok   " if ok else "FAIL ") + name + (": " + detail if detail and not ok else (" (" + detail + ")" if detail else "")))

    def failed(self):
        return [name for name, ok, _ in self.results if not ok]


def parse_mac(text):
    parts = text.split(":")
    if len(parts) != 6 or not all(re.fullmatch(r"[0-9A-Fa-f]{2}", p) for p in parts):
        raise SystemExit("qemu_check: bad MAC address '%s'" % text)
    return [int(p, 16) for p in parts]


def boot(args, workdir, tag):
    serial = os.path.join(workdir, tag + "-serial.txt")
    dump = os.path.join(workdir, tag + "-dump.bin")
    for path in (serial, dump):
        if os.path.exists(path):
            os.remove(path)
    machine = "pc,smbios-entry-point-type=64" if args.smbios3 else "pc"
    command = [args.qemu, "-machine", machine, "-accel", "tcg", "-m", "64", "-display", "none",
               "-cpu", args.cpu,
               "-nodefaults", "-no-reboot", "-kernel", args.guest,
               "-netdev", "hubport,id=n0,hubid=0",
               "-device", "i82557b,mac=%s,netdev=n0" % (args.qemu_mac or args.mac),
               "-device", "isa-debug-exit,iobase=0xf4,iosize=4",
               "-serial", "file:" + serial,
               "-chardev", "file,id=dump,path=" + dump,
               "-device", "isa-debugcon,iobase=0x500,chardev=dump"]
    started = time.monotonic()
    try:
        proc = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=45)
    except subprocess.TimeoutExpired:
        return None, None, None, time.monotonic() - started
    elapsed = time.monotonic() - started
    with open(serial, "rb") as f:
        text = f.read().decode("ascii", "replace").replace("\r", "")
    with open(dump, "rb") as f:
        raw = f.read()
    return proc.returncode, text, raw, elapsed


def parse(text):
    out = {"checks": [], "timing": {}, "quirk": {}, "hex": {}, "tables": [], "dumps": []}
    for line in text.splitlines():
        words = line.split()
        if not words:
            continue
        kind = words[0]
        if kind == "check" and len(words) >= 3:
            out["checks"].append((words[1], words[2] == "ok", " ".join(words[3:])))
        elif kind == "eeprom" and len(words) > 1 and words[1] == "words":
            out["words"] = [int(w, 16) for w in words[2:]]
        elif kind == "eeprom" and len(words) > 1 and words[1] == "memory-path":
            out["memory_path"] = dict(w.split("=") for w in words[2:])
        elif kind == "truth":
            out["truth"] = dict(w.split("=") for w in words[2:])
        elif kind == "phy" and len(words) == 9:
            out["phy_" + words[1]] = [int(w, 16) for w in words[2:]]
        elif kind == "quirk":
            out["quirk"].update(w.split("=", 1) for w in words[1:] if "=" in w)
        elif kind == "timing":
            fields = dict(w.split("=") for w in words[2:])
            out["timing"].setdefault(words[1], []).append((int(fields["wall_us"]), int(fields["stall_us"])))
        elif kind == "table":
            fields = dict(w.split("=") for w in words[2:])
            fields["kind"] = words[1]
            out["tables"].append(fields)
        elif kind == "hex":
            chunk = out["hex"].setdefault(words[1], {"at": int(words[2], 16), "bytes": bytearray()})
            chunk["bytes"] += bytes(int(b, 16) for b in words[3:])
        elif kind == "dump":
            out["dumps"].append((int(words[1], 16), int(words[2])))
        elif kind == "pci":
            out["pci"] = dict(w.split("=") for w in words[1:])
        elif kind == "guest" and len(words) >= 3 and words[1] == "done":
            out["done"] = int(words[2].split("=")[1])
        elif kind.startswith("total_wall_us="):
            out["total"] = dict(w.split("=") for w in words)
        elif kind == "fault:":
            out.setdefault("faults", []).append(line)
    return out


def memory_image(raw, dumps, path):
    """Lays the dumped ranges at their physical addresses in a sparse file,
    which dmidecode -d and biosdecode -d read as they read /dev/mem."""
    offset = 0
    with open(path, "wb") as f:
        f.truncate(0x100000)
        for address, length in dumps:
            f.seek(address)
            f.write(raw[offset:offset + length])
            offset += length
    return offset == len(raw)


def tool(*command):
    if shutil.which(command[0]) is None:
        return None
    return subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=30).stdout.decode()


def table_of(r, kind):
    return next((t for t in r["tables"] if t["kind"] == kind), None)


def judge_tables(v, r, raw, workdir, tag, smbios3):
    image = os.path.join(workdir, tag + "-mem.img")
    v.check("dump.complete", memory_image(raw, r["dumps"], image), "%d bytes in %d ranges" % (len(raw), len(r["dumps"])))
    sm2, sm3, dmi, pir = (table_of(r, k) for k in ("smbios2", "smbios3", "dmi", "pir"))
    if smbios3:
        v.check("smbios.entry-3.0-only", sm3 is not None and sm3.get("valid") == "1" and sm2 is None,
                "smbios3=%s smbios2=%s" % (sm3 and sm3["at"], sm2 and sm2["at"]))
    else:
        v.check("smbios.entry-2.8-f-segment", sm2 is not None and sm2.get("valid") == "1" and sm2["version"] == "2.8"
                and 0xF0000 <= int(sm2["at"], 16) < 0x100000, "entry %s" % (sm2 and sm2["at"]))
    decoded = tool("dmidecode", "-d", image)
    if decoded is None:
        v.check("dmidecode", False, "dmidecode is not installed")
        return
    present = re.search(r"SMBIOS (\d+\.\d+)(?:\.\d+)? present", decoded)
    at = re.search(r"Table at 0x([0-9A-Fa-f]+)", decoded)
    v.check("dmidecode.found", present is not None and at is not None and dmi is not None,
            present.group(0) if present else decoded.strip().splitlines()[-1])
    if present is None or at is None or dmi is None:
        return
    v.check("dmidecode.version", present.group(1) == ("3.0" if smbios3 else "2.8"), present.group(0))
    v.check("dmidecode.table-address", int(at.group(1), 16) == int(dmi["at"], 16),
            "dmidecode 0x%s, guest %s" % (at.group(1), dmi["at"]))
    binary = os.path.join(workdir, tag + "-dmi.bin")
    if os.path.exists(binary):
        os.remove(binary)
    tool("dmidecode", "-d", image, "--dump-bin", binary)
    with open(binary, "rb") as f:
        dumped = f.read()
    entry_length = 0x20 if not smbios3 else 0x20
    guest_table = bytes(r["hex"].get("dmi", {"bytes": b""})["bytes"])
    v.check("dmidecode.table-bytes", len(guest_table) > 0 and dumped[entry_length:] == guest_table,
            "%d bytes" % len(guest_table))
    if smbios3:
        return
    bios = tool("biosdecode", "-d", image) or ""
    m = re.search(r"SMBIOS 2\.8 present\.\s+Structure Table Length: (\d+) bytes\s+Structure Table Address: 0x([0-9A-F]+)",
                  bios)
    v.check("biosdecode.smbios", m is not None and int(m.group(2), 16) == int(dmi["at"], 16)
            and int(m.group(1)) == int(dmi["length"]), m.group(0).replace("\n", " ") if m else "no SMBIOS 2.8 entry")
    # The "$PIR" table as the guest found it, decoded here, against
    # biosdecode's decoding of the same memory.
    p = re.search(r"PCI Interrupt Routing (\d+)\.(\d+) present\.\s+Router Device: ([0-9a-f]{2}):([0-9a-f]{2})\.(\d)"
                  r"(?:.|\n)*?Compatible Router: ([0-9a-f]{4}):([0-9a-f]{4})((?:\s+Device: [0-9a-f]{2}:[0-9a-f]{2}, [^\n]*)*)",
                  bios)
    table = r["hex"].get("pir")
    if p is None or table is None or pir is None:
        v.check("biosdecode.pir", False, "biosdecode %s, guest %s" % ("found it" if p else "found none",
                                                                       pir and pir["at"]))
        return
    b = table["bytes"]
    slots = [(b[i], b[i + 1] >> 3, b[i + 14]) for i in range(32, len(b), 16)]
    listed = re.findall(r"Device: ([0-9a-f]{2}):([0-9a-f]{2}), (on-board|slot (\d+))", p.group(8))
    same = (int(p.group(1)) == b[5] and int(p.group(2)) == b[4] and int(p.group(3), 16) == b[8]
            and int(p.group(4), 16) == b[9] >> 3 and int(p.group(5)) == b[9] & 7
            and int(p.group(6), 16) == b[12] | b[13] << 8 and int(p.group(7), 16) == b[14] | b[15] << 8
            and [(int(a, 16), int(d, 16), int(s) if s else 0) for a, d, _, s in listed] == slots)
    v.check("biosdecode.pir", same and int(pir["at"], 16) >= 0xF0000,
            "at %s, %d entries, router %s:%s.%s" % (pir["at"], len(slots), p.group(3), p.group(4), p.group(5)))


def judge(args, r, code, raw, workdir, tag, elapsed):
    v = Verdict()
    v.check("guest.finished", code is not None and "done" in r, "exit %s after %.1f s" % (code, elapsed))
    for name, ok, detail in r["checks"]:
        v.check("guest." + name, ok, detail)
    if "words" not in r or "truth" not in r:
        return v
    words = r["words"]
    mac = parse_mac(args.mac)
    v.check("eeprom.size-64", r["truth"]["words"] == "64" and r["truth"]["bits"] == "6" and len(words) == 64,
            "bits=%s words=%s" % (r["truth"]["bits"], r["truth"]["words"]))
    v.check("eeprom.sum-BABA", sum(words) & 0xFFFF == 0xBABA, "sum %04X" % (sum(words) & 0xFFFF))
    got = [words[i // 2] >> (8 * (i % 2)) & 0xFF for i in range(6)]
    v.check("mac", got == mac, "EEPROM %s, QEMU was given %s" % (":".join("%02X" % b for b in got), args.mac))
    v.check("qemu.words-5-6", words[5] == 0x0100 and words[6] == 0x0001, "%04X %04X" % (words[5], words[6]))
    q = r["quirk"]
    v.check("qemu.do-high-while-deselected", q.get("do_while_deselected") == "1")
    v.check("qemu.starts-write-disabled", q.get("starts_write_disabled") == "1")
    polls = [q.get("busy_polls_" + k) for k in ("erase", "write", "write_no_erase")]
    v.check("qemu.never-busy", polls == ["0", "0", "0"], "polls before ready: %s" % " ".join(map(str, polls)))
    first, then = q.get("write_without_erase_first", "0"), q.get("write_without_erase_then", "1")
    v.check("qemu.write-without-erase-ands", int(then, 16) == int(first, 16) & 0x00FF,
            "%s then 00FF gives %s" % (first, then))
    mem = r.get("memory_path", {})
    v.check("qemu.tcg-mem32-loses-eeprom", mem.get("size") != "64" and (int(q.get("mem32_at_0e", "8"), 16) & 0x08) == 0
            and (int(q.get("port8_at_0e", "0"), 16) & 0x08) != 0,
            "memory-path size %s, 32-bit read at BAR0+0x0E %s, byte read at I/O+0x0E %s" %
            (mem.get("size"), q.get("mem32_at_0e"), q.get("port8_at_0e")))
    v.check("qemu.phy1-values", r.get("phy_port") == KNOWN_PHY1 and r.get("phy_memory") == KNOWN_PHY1,
            " ".join("%04X" % x for x in r.get("phy_port", [])))
    others = q.get("other_phys", "").split(",")
    v.check("qemu.other-phys-read-0", len(others) == 31 and all(o.endswith(":0000/0000") for o in others),
            " ".join(o for o in others if not o.endswith(":0000/0000")))
    v.check("qemu.mdi-ready-at-first-poll", q.get("mdi_max_polls") == "0", "polls %s" % q.get("mdi_max_polls"))
    for what, requested in REQUESTED_US.items():
        samples = r["timing"].get(what, [])
        asked = {s for _, s in samples}
        fastest = min((wall for wall, _ in samples), default=0)
        v.check("timing." + what, samples and asked == {requested} and fastest >= requested,
                "stalls %s us, wall fastest %d us, slowest %d us over %d runs" %
                ("/".join(str(a) for a in sorted(asked)), fastest, max(wall for wall, _ in samples), len(samples)))
    # The guest's PIT clock against the host's: the stalls it timed cannot
    # add up to more than the guest saw, nor the guest see more time than
    # QEMU ran.
    total = r.get("total", {})
    guest_us, stalled_us = int(total.get("total_wall_us", -1)), int(total.get("stall_us", -1))
    v.check("timing.clock", 0 < stalled_us <= guest_us <= elapsed * 1e6,
            "stalls %.3f s, guest clock %.3f s, host clock %.3f s" % (stalled_us / 1e6, guest_us / 1e6, elapsed))
    judge_tables(v, r, raw, workdir, tag, args.smbios3)
    return v


def run(args):
    if shutil.which(args.qemu) is None or not os.path.exists(args.guest):
        print("qemu_check: skipped, %s or %s missing" % (args.qemu, args.guest))
        return 77
    os.makedirs(args.workdir, exist_ok=True)
    tag = args.tag
    code, text, raw, elapsed = boot(args, args.workdir, tag)
    if text is None:
        print("FAIL guest.finished: QEMU did not exit within 45 s")
        return 1
    r = parse(text)
    v = judge(args, r, code, raw, args.workdir, tag, elapsed)
    failed = v.failed()
    print("qemu run %.1f s, %d checks, %d failed" % (elapsed, len(v.results), len(failed)))
    if args.expect_fail:
        # The named check must fail, and the guest must still reach its end.
        if args.expect_fail in failed and (args.expect_fail == "guest.finished" or "guest.finished" not in failed):
            print("negative control: the check failed as it must (%s)" % ", ".join(failed))
            return 0
        print("negative control: '%s' did not fail, or the guest did not finish" % args.expect_fail)
        return 1
    # The default processor's run is the one nicdiag's comparison reads.
    if not failed and not args.smbios3 and args.cpu == "qemu32":
        with open(os.path.join(args.workdir, "result.json"), "w") as f:
            json.dump({"pci": r["pci"], "words": r["words"], "phy_port": r["phy_port"],
                       "phy_memory": r["phy_memory"], "memory_path": r.get("memory_path", {}),
                       "other_phys": r["quirk"].get("other_phys", ""),
                       "checks": {n: d for n, _, d in r["checks"]}}, f, indent=1)
    return 1 if failed else 0


# Where the simulated machine may answer otherwise than QEMU, and why.
# Each entry names the comparison it excuses; nothing else may differ.
EXPLAINED_DIFFERENCES = {
    "phy.absent-address":
        "QEMU answers 0 for every register of a PHY address with no PHY; on a real MDIO bus nothing drives "
        "the line and its pull-up reads 0xFFFF, as the simulated bus does",
    "eeprom.memory-path":
        "QEMU under TCG splits the driver's 32-bit access at BAR0+0x0E and loses the EEPROM half "
        "(the size probe reads 2); the simulated adapter, like the real one, answers 64 words",
}


def nicdiag_json(binary, profile, commands):
    argv = [binary, "--profile", profile, "--json"]
    for i, command in enumerate(commands):
        if i:
            argv.append(";")
        argv += command.split()
    proc = subprocess.run(argv, stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=120)
    lines = [json.loads(line) for line in proc.stdout.decode().splitlines() if line.startswith("{")]
    return proc.returncode, lines, proc.stderr.decode()


def compare_nicdiag(args):
    result_path = os.path.join(args.workdir, "result.json")
    if not os.path.exists(result_path):
        print("FAIL nicdiag: no result of a passing QEMU run in %s" % args.workdir)
        return 1
    with open(result_path) as f:
        q = json.load(f)
    pci = q["pci"]
    bars = []
    for index in range(3):
        value = int(pci["bar%d" % index], 16)
        size = int(pci["size%d" % index], 16)
        if value & 1:
            bars.append({"type": "io", "size": size, "address": "0x%X" % (value & ~3)})
        else:
            bars.append({"type": "memory", "size": size, "address": "0x%X" % (value & ~15)})
    phys = {"1": {str(r): v for r, v in enumerate(q["phy_port"])}}
    # QEMU answers 0 at every other PHY address; a missing PHY is left to
    # the model (a real bus reads its pull-up).
    profile = {"buses": [0], "adapters": [{"bus": 0, "device": int(pci["slot"].split(":")[1].split(".")[0], 16),
                                            "vendor": "0x8086", "device_id": "0x1229", "bars": bars,
                                            "eeprom": {"words": 64, "address_bits": 6, "contents": q["words"]},
                                            "phys": phys}]}
    path = os.path.join(args.workdir, "qemu-adapter.json")
    with open(path, "w") as f:
        json.dump(profile, f, indent=1)
    word = TEST_WORD
    original = q["words"][word]
    pattern = original ^ 0xA55A
    phy_original = q["phy_port"][4]
    phy_pattern = phy_original ^ 0x0060
    commands = ["eeprom size", "eeprom dump",
                "eeprom write %d 0x%04X --yes" % (word, pattern), "eeprom write %d 0x%04X --yes" % (word, original),
                "eeprom size --method mem"]
    for method in ("io", "mem"):
        commands += ["phy read %d --method %s" % (r, method) for r in range(7)]
        commands += ["phy write 4 0x%04X --method %s" % (phy_pattern, method), "phy read 4 --method %s" % method,
                     "phy write 4 0x%04X --method %s" % (phy_original, method), "phy read 4 --method %s" % method]
    code, lines, err = nicdiag_json(args.nicdiag, path, commands)
    v = Verdict()
    v.check("nicdiag.ran", code == 0 and len(lines) == len(commands), "exit %d, %d answers: %s" % (code, len(lines), err.strip()))
    if len(lines) != len(commands):
        return 1
    checks = q["checks"]
    v.check("eeprom.size", lines[0].get("size") == 64 and "driver=64" in checks.get("eeprom.size", ""),
            "nicdiag %s, driver on QEMU: %s" % (lines[0].get("size"), checks.get("eeprom.size")))
    v.check("eeprom.words", lines[1].get("words") == q["words"], "nicdiag sum %s" % lines[1].get("sum"))
    qwrite = dict(x.split("=") for x in checks.get("eeprom.write", "").split() if "=" in x)
    v.check("eeprom.write", lines[2].get("written") == 1 and lines[2].get("read_back") == pattern
            and qwrite.get("result") == "1" and int(qwrite.get("driver_read", "0"), 16) == pattern,
            "nicdiag written=%s read_back=%s, QEMU %s" % (lines[2].get("written"), lines[2].get("read_back"),
                                                        checks.get("eeprom.write")))
    v.check("eeprom.restore", lines[3].get("written") == 1 and lines[3].get("read_back") == original)
    mem_size_q = q["memory_path"].get("size")
    same = str(lines[4].get("size")) == mem_size_q
    explained = lines[4].get("size") == 64 and mem_size_q == "2"
    v.check("eeprom.memory-path", same or explained,
            ("equal" if same else "differs, explained: " + EXPLAINED_DIFFERENCES["eeprom.memory-path"]) +
            " (nicdiag %s, QEMU %s)" % (lines[4].get("size"), mem_size_q))
    at = 5
    for method, key in (("io", "phy_port"), ("mem", "phy_memory")):
        values = [lines[at + r].get("value") for r in range(7)]
        v.check("phy.%s" % method, values == q[key], " ".join("%04X" % x for x in values if x is not None))
        back, restored = lines[at + 8].get("value"), lines[at + 10].get("value")
        v.check("phy.write.%s" % method, back == phy_pattern and restored == phy_original,
                "read back %s, restored %s" % (back, restored))
        at += 11
    # PHY address 3 holds no PHY on either adapter: QEMU reads 0, nicdiag
    # on the simulated bus reads 0xFFFF and says there is no PHY.
    qemu_bmsr = dict(e.split(":") for e in q["other_phys"].split(",") if ":" in e).get("3", "?/?").split("/")[0]
    absent_code, absent, _ = nicdiag_json(args.nicdiag, path, ["phy read 1 --phy-address 3"])
    answer = absent[0] if absent else {}
    said_absent = absent_code != 0 and "no PHY" in str(answer.get("error", ""))
    v.check("phy.absent-address", qemu_bmsr == "0000" and said_absent,
            "differs, explained: " + EXPLAINED_DIFFERENCES["phy.absent-address"] +
            " (nicdiag: %s; QEMU reads %s)" % (answer.get("error", answer.get("value")), qemu_bmsr))
    failed = v.failed()
    print("nicdiag comparison: %d checks, %d failed; profile %s" % (len(v.results), len(failed), path))
    return 1 if failed else 0


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    sub = parser.add_subparsers(dest="mode", required=True)
    r = sub.add_parser("run", help="boot the guest and judge its report")
    r.add_argument("--qemu", default="qemu-system-i386")
    r.add_argument("--guest", required=True)
    r.add_argument("--workdir", required=True)
    r.add_argument("--tag", default="run", help="prefix of the files this run leaves in the work folder")
    r.add_argument("--mac", default="52:54:00:12:34:56", help="the MAC address the EEPROM must hold")
    r.add_argument("--qemu-mac", help="the MAC address given to QEMU (default: --mac)")
    r.add_argument("--smbios3", action="store_true", help="only an SMBIOS 3.0 entry point")
    r.add_argument("--cpu", default="qemu32", help="QEMU's processor model (486 and pentium have no cmov; "
                   "the 486 no time-stamp counter)")
    r.add_argument("--expect-fail", help="negative control: pass only if this check fails")
    n = sub.add_parser("nicdiag", help="repeat the operations through nicdiag on a copy of the adapter")
    n.add_argument("--nicdiag", required=True)
    n.add_argument("--workdir", required=True)
    args = parser.parse_args()
    if args.mode == "run":
        parse_mac(args.mac)
        if args.qemu_mac:
            parse_mac(args.qemu_mac)
        return run(args)
    return compare_nicdiag(args)


if __name__ == "__main__":
    sys.exit(main())
