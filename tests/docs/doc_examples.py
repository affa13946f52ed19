#!/usr/bin/env python3
"""Runs every example command of docs/*.md and compares what it prints.

Two kinds of example are run:
- a transcript, in a fenced block: a line "$ COMMAND" (continued on the next
  line after a trailing backslash) and the output shown under it, up to the
  next "$" line or the end of the block. The output must be the same, line
  for line; a last line "..." stands for the rest of the output.
- a command in a fenced block marked "sh" whose first word is one of the
  tools (build/host/bin/ may precede it). It must end with status 0.

A command runs in a temporary folder that holds a copy of docs/examples and
nothing else (what it writes goes there), as a reader who copied the
examples would run it: on the built-in machine unless it names a profile,
and every file it names found, relative to that folder, in the copy.
usage: doc_examples.py DOCS_FOLDER BIN_FOLDER
"""
import os
import pty
import re
import shutil
import shlex
import subprocess
import sys
import tempfile
import termios

TOOLS = ("netpurge-sim", "nicdiag")
# Examples that need what no machine of the docs holds: reported as not
# run, with the reason.
NOT_YET = {
    "netpurge-sim --profile nt4.json --hive SYSTEM=work/SYSTEM --hive SOFTWARE=work/SOFTWARE "
    "--hive NTUSER=work/NTUSER.DAT":
    "needs a powered-off machine's hive files (the hive tests run it on hives they make)",
    "netpurge-sim --profile nt4.json --hive SYSTEM=work/SYSTEM --hive SOFTWARE=work/SOFTWARE "
    "--backup undo.reg --apply":
    "needs a powered-off machine's hive files (the hive tests run it on hives they make)",
}


def examples(path):
    """(line number, command text, expected output lines or None)."""
    found = []
    lines = open(path, encoding="utf-8").read().split("\n")
    i = 0
    while i < len(lines):
        fence = re.match(r"^\s*```(\S*)\s*$", lines[i])
        if not fence:
            i += 1
            continue
        language = fence.group(1)
        block = []
        i += 1
        while i < len(lines) and not re.match(r"^\s*```\s*$", lines[i]):
            block.append((i + 1, lines[i]))
            i += 1
        i += 1
        j = 0
        while j < len(block):
            number, text = block[j]
            transcript = text.startswith("$ ")
            command = text[2:] if transcript else text.strip()
            j += 1
            while command.endswith("\\") and j < len(block):
                command = command[:-1] + " " + block[j][1].strip()
                j += 1
            if transcript:
                output = []
                while j < len(block) and not block[j][1].startswith("$ "):
                    output.append(block[j][1])
                    j += 1
                found.append((number, command, output))
            elif language == "sh" and command.split(" ", 1)[0].split("/")[-1] in TOOLS:
                found.append((number, command, None))
    return found


def run(command, bin_dir, work):
    words = shlex.split(command, comments=True)
    words[0] = os.path.join(bin_dir, words[0].split("/")[-1])
    # Standard output and error on one terminal, as the docs show them: the
    # output is line-buffered there, so the two keep their order.
    master, slave = pty.openpty()
    attributes = termios.tcgetattr(slave)
    attributes[1] &= ~termios.ONLCR  # no carriage returns added
    termios.tcsetattr(slave, termios.TCSANOW, attributes)
    process = subprocess.Popen(words, cwd=work, stdin=subprocess.DEVNULL, stdout=slave, stderr=slave)
    os.close(slave)
    output = b""
    while True:
        try:
            chunk = os.read(master, 65536)
        except OSError:  # the terminal closed with the last writer
            break
        if not chunk:
            break
        output += chunk
    os.close(master)
    return process.wait(timeout=120), output.decode("utf-8", "replace")


def main():
    docs_dir, bin_dir = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])
    examples_dir = os.path.join(docs_dir, "examples")
    failures = ran = 0
    for name in sorted(os.listdir(docs_dir)):
        if not name.endswith(".md"):
            continue
        path = os.path.join(docs_dir, name)
        for number, command, expected in examples(path):
            where = f"{name}:{number}"
            if not command.split(" ", 1)[0].split("/")[-1] in TOOLS:
                continue
            short = re.sub(r"^build/host/bin/", "", shlex.join(shlex.split(command, comments=True)))
            if short in NOT_YET:
                print(f"{where}: not run: {short}: {NOT_YET[short]}")
                continue
            ran += 1
            with tempfile.TemporaryDirectory(prefix="doc-example-") as scratch:
                work = os.path.join(scratch, "examples")
                shutil.copytree(examples_dir, work)
                status, output = run(command, bin_dir, work)
            got = output.rstrip("\n").split("\n")
            if expected is None:
                if status != 0:
                    failures += 1
                    print(f"FAIL {where}: {command}\n  status {status}:\n  " + "\n  ".join(got))
                continue
            want = list(expected)
            if want and want[-1] == "...":
                want.pop()
                got = got[:len(want)]
            if got != want:
                failures += 1
                print(f"FAIL {where}: {command}\n  the docs show:\n    " + "\n    ".join(want) +
                      "\n  it printed:\n    " + "\n    ".join(got))
    print(f"{ran} example(s) run, {failures} failed")
    return 1 if failures or ran == 0 else 0


if __name__ == "__main__":
    sys.exit(main())
