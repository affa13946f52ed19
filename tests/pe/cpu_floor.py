#!/usr/bin/env python3
"""Disassembles a Windows-build binary with objdump and lists every
instruction that the oldest processor it is meant for does not have.

  cpu_floor.py --objdump OBJDUMP --floor i386|i486|i686 FILE...
               [--allow-in REGEX] [--expect-fail MNEMONIC_REGEX]...

Floors, each allowing everything the one before it has:
  i386  Windows 95's floor (netpurge.exe): no bswap, cmpxchg, xadd, invlpg,
        wbinvd, invd (the i486's additions);
  i486  NT 4's floor (NICPORT.sys, nicdiag.exe and the qemu guest): none of
        the Pentium's cpuid, rdtsc, rdmsr/wrmsr, cmpxchg8b; none of the
        Pentium Pro's cmov, fcmov, fcomi/fucomi, rdpmc, nor its multi-byte
        NOPs (0F 1F /0, nopw and nopl, which assemblers pad alignment with
        when told the processor has them; the 0F 19-1E hint NOPs and endbr32
        with them); no MMX. Not every 486 has cpuid, so code for this floor
        does not use it at all;
  i686  the Pentium Pro (what the toolchain's own runtime is built for):
        no MMX, SSE or later (any mm/xmm/ymm/zmm register, the SSE fences
        and cache controls, sysenter, the bit-manipulation and later
        integer extensions).
tzcnt is not counted: it is bsf with a rep prefix, which processors
without it run as bsf, and gcc writes it only where the operand cannot be
zero (the one input on which the two differ).
Exit 0 when nothing is found; 1 when something is (or, with --expect-fail,
when a finding matching each pattern given is not among the findings: a
negative control);
77 when a file is missing (skipped)."""

import argparse
import os
import re
import shutil
import subprocess
import sys

BEYOND_I686 = re.compile(
    r"^(emms|femms|ldmxcsr|stmxcsr|[slm]fence|clflush\w*|prefetch\w*|movnti|sysenter|sysexit|fxsave|fxrstor|"
    r"xsave\w*|xrstor\w*|xgetbv|popcnt\w*|lzcnt\w*|andn|bextr|blsi|blsr|blsmsk|bzhi|[sr][ah]rx|shlx|"
    r"mulx|pdep|pext|crc32\w*|movbe\w*|rdrand|rdseed|rdtscp|adcx|adox)$")
SIMD_REGISTER = re.compile(r"%(x|y|z)mm\d|%mm\d")
BEYOND_I486 = re.compile(r"^(cmov\w+|fcmov\w+|fu?comip?|cpuid|rdtsc|rdpmc|rdmsr|wrmsr|cmpxchg8b|nop[wl]|endbr(32|64))$")
BEYOND_I386 = re.compile(r"^(bswap\w*|cmpxchg[bwl]?|xadd[bwl]?|invlpg|wbinvd|invd)$")
PREFIXES = {"lock", "rep", "repz", "repe", "repnz", "repne", "data16", "data32", "addr16", "addr32",
            "cs", "ds", "es", "fs", "gs", "ss", "notrack", "bnd"}
# Labels under which objdump decodes data as code: the linker puts the C++
# exception tables and the constructor lists in the text section.
DATA_LABELS = re.compile(r"^(\.gcc_except_table\b.*|__CTOR_LIST__|__DTOR_LIST__)$")


def beyond(floor, mnemonic, operands):
    if BEYOND_I686.match(mnemonic) or SIMD_REGISTER.search(operands):
        return True
    if floor in ("i386", "i486"):
        # The one-byte nop has no operand; one with an operand is 0F 1F or
        # a hint NOP of 0F 19-1E.
        if BEYOND_I486.match(mnemonic) or (mnemonic == "nop" and operands.strip()):
            return True
    return floor == "i386" and BEYOND_I386.match(mnemonic) is not None


def scan(objdump, floor, path, allow_in=None):
    """Returns {mnemonic: [count, first "address <label>"]}."""
    out = subprocess.run([objdump, "-d", "--no-show-raw-insn", "-w", path], stdout=subprocess.PIPE,
                         stderr=subprocess.PIPE, check=True).stdout.decode("ascii", "replace")
    found = {}
    label = ""
    for line in out.splitlines():
        heading = re.match(r"^[0-9a-f]+ <(.*)>:$", line)
        if heading:
            label = heading.group(1)
            continue
        fields = line.split("\t", 1)
        if len(fields) != 2 or not fields[0].strip().endswith(":") or DATA_LABELS.match(label):
            continue
        if allow_in is not None and allow_in.search(label):
            continue
        words = fields[1].split(None, 1)
        while words and words[0] in PREFIXES:
            words = words[1].split(None, 1) if len(words) > 1 else []
        if not words:
            continue
        mnemonic, operands = words[0], words[1] if len(words) > 1 else ""
        if beyond(floor, mnemonic, operands):
            entry = found.setdefault(mnemonic, [0, "%s <%s>" % (fields[0].strip().rstrip(":"), label)])
            entry[0] += 1
    return found


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--objdump", default="i686-w64-mingw32-objdump")
    parser.add_argument("--floor", required=True, choices=("i386", "i486", "i686"))
    parser.add_argument("--expect-fail", action="append", default=[],
                        help="negative control: pass only if a mnemonic matching this pattern is found (repeatable)")
    parser.add_argument("--allow-in", help="functions (label regex) that run only after a run-time check of the "
                        "processor for what they use")
    parser.add_argument("files", nargs="+")
    args = parser.parse_args()
    if shutil.which(args.objdump) is None:
        print("cpu_floor: skipped, %s not found" % args.objdump)
        return 77
    missing = [f for f in args.files if not os.path.exists(f)]
    if missing:
        print("cpu_floor: skipped, not built: %s (build the windows preset first)" % ", ".join(missing))
        return 77
    all_found = set()
    for path in args.files:
        found = scan(args.objdump, args.floor, path, re.compile(args.allow_in) if args.allow_in else None)
        all_found.update(found)
        if not found:
            print("ok   %s: nothing beyond the %s" % (path, args.floor))
        for mnemonic, (count, first) in sorted(found.items()):
            print("FAIL %s: %d x %s beyond the %s, first at %s" % (path, count, mnemonic, args.floor, first))
    if args.expect_fail:
        missed = [p for p in args.expect_fail if not any(re.fullmatch(p, m) for m in all_found)]
        for pattern in args.expect_fail:
            print("negative control: %s %s" % (pattern, "was not found" if pattern in missed else "found as it must be"))
        return 1 if missed else 0
    return 1 if all_found else 0


if __name__ == "__main__":
    sys.exit(main())
