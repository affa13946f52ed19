#!/usr/bin/env python3
"""README.TXT of the release medium: plain ASCII, every line ended by CR LF,
at most 80 columns, no tabs; and its list of nicdiag's exit statuses holds
every status of nicdiag's ExitStatus enum, and no other.
Usage: readme_check.py README.TXT NICDIAG_H"""
import re
import sys


def main(readme_path, header_path):
    data = open(readme_path, "rb").read()
    problems = []
    for number, line in enumerate(data.split(b"\r\n"), 1):
        if any(byte > 0x7E or (byte < 0x20 and byte != 0x0A and byte != 0x0D) for byte in line):
            problems.append(f"line {number}: a byte that is not printable ASCII")
        if b"\n" in line or b"\r" in line:
            problems.append(f"line {number}: a line end that is not CR LF")
        if len(line) > 80:
            problems.append(f"line {number}: {len(line)} columns")
    if not data.endswith(b"\r\n"):
        problems.append("the last line has no CR LF")
    text = data.decode("ascii", "replace")
    block = re.search(r"^NICDIAG\.EXE:\r\n(.*?)(?:\r\n\r\n|\Z)", text, re.S | re.M)
    listed = set(re.findall(r"^ {2,4}(\d+)  ", block.group(1), re.M)) if block else set()
    enum = re.search(r"enum ExitStatus \{(.*?)\};", open(header_path).read(), re.S)
    statuses = set(re.findall(r"kExit\w+ = (\d+)", enum.group(1))) if enum else set()
    if not statuses:
        problems.append(f"{header_path}: no ExitStatus enum")
    for missing in sorted(statuses - listed, key=int):
        problems.append(f"nicdiag's exit status {missing} is not listed")
    for extra in sorted(listed - statuses, key=int):
        problems.append(f"exit status {extra} is listed but nicdiag has none such")
    for problem in problems:
        print(f"{readme_path}: {problem}")
    return 1 if problems else 0


if __name__ == "__main__":
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    sys.exit(main(sys.argv[1], sys.argv[2]))
