#!/usr/bin/env python3
"""Makes a tool's manual page from its own --help, so the two cannot drift.

The help text is read as the kit's tools print it:
- "usage:"/"Usage:" and the lines indented under it: SYNOPSIS;
- a line "Options:", "Commands ...:", "Exit status:" or "Examples:" (at
  the left margin, ending in ':') starts that section; text before the
  first heading is the DESCRIPTION, and so is a paragraph at the left
  margin after a section;
- in a section, a line indented two spaces starts an entry: its term, and
  after a gap of two or more spaces its text; lines indented as far as
  that text continue it, lines indented less continue the term (a long
  synopsis of a command). An indented line with neither is a note.
- in EXAMPLES, the lines are kept as they stand.
usage: help_to_man.py TOOL VERSION SUMMARY EXECUTABLE OUTPUT (it runs EXECUTABLE --help)
"""
import datetime
import os
import re
import subprocess
import sys

HEADINGS = (("options", "OPTIONS"), ("commands", "COMMANDS"), ("exit status", "EXIT STATUS"),
            ("examples", "EXAMPLES"))


def roff(text):
    """Plain text as roff: backslashes, hyphens of options and a leading dot or quote escaped."""
    text = text.replace("\\", "\\e").replace("-", "\\-")
    return "\\&" + text if text[:1] in (".", "'") else text


def heading_of(line):
    if line[:1].isspace() or not line.rstrip().endswith(":"):
        return None
    word = line.strip().lower()
    for start, section in HEADINGS:
        if word.startswith(start):
            return section
    return None


def parse(help_text):
    """{section: [items]}, in order; an item is ("para", text), ("entry", term lines, text) or ("pre", lines)."""
    lines = help_text.replace("\t", "        ").split("\n")
    synopsis, sections, order = [], {}, []

    def section(name):
        if name not in sections:
            sections[name] = []
            order.append(name)
        return sections[name]

    i = 0
    current = "DESCRIPTION"
    while i < len(lines):
        line = lines[i]
        if re.match(r"^[Uu]sage:", line):
            synopsis.append(line.split(":", 1)[1].strip())
            i += 1
            while i < len(lines) and lines[i].startswith(" ") and lines[i].strip():
                synopsis[-1] += " " + lines[i].strip()
                i += 1
            continue
        name = heading_of(line)
        if name:
            current = name
            title = line.strip().rstrip(":")
            # A heading that says more than its name ("Commands (numbers are ...)") keeps what it says.
            if "(" in title:
                section(current).append(("para", title[title.index("(") + 1:title.rindex(")")].strip()))
            else:
                section(current)
            i += 1
            continue
        if not line.strip():
            i += 1
            continue
        if not line.startswith(" "):
            # A paragraph at the margin: the description, or what a section says of itself.
            para = []
            while i < len(lines) and lines[i].strip() and not lines[i].startswith(" ") \
                    and not heading_of(lines[i]) and not re.match(r"^[Uu]sage:", lines[i]):
                para.append(lines[i].strip())
                i += 1
            target = current if current in ("EXIT STATUS", "EXAMPLES") else "DESCRIPTION"
            section(target).append(("para", " ".join(para)))
            continue
        block = []
        while i < len(lines) and lines[i].startswith(" ") and lines[i].strip():
            block.append(lines[i])
            i += 1
        if current == "EXAMPLES":
            section(current).append(("pre", [b[2:] for b in block]))
        else:
            section(current).extend(entries(block))
    return synopsis, sections, order


def entries(block):
    """The entries of a block of indented lines (see the module's text)."""
    gaps = [m.end() for m in (re.match(r"^  (?:\S.*?\S|\S)  +(?=\S)", b) for b in block) if m]
    column = max(set(gaps), key=gaps.count) if gaps else 10**6
    items, terms = [], []

    def flush_note():
        if terms:
            items.append(("para", " ".join(terms)))
            terms.clear()

    for line in block:
        indent = len(line) - len(line.lstrip())
        m = re.match(r"^  (\S.*?\S|\S)  +(\S.*)$", line)
        if indent == 2 and m and len(line) - len(m.group(2)) == column:
            flush_note()
            items.append(("entry", [m.group(1)], [m.group(2)]))
        elif indent == 2:
            terms.append(line.strip())
        elif indent < column and terms:
            terms[-1] += " " + line.strip()
        elif terms:
            items.append(("entry", list(terms), [line.strip()]))
            terms.clear()
        elif items and items[-1][0] == "entry":
            items[-1][2].append(line.strip())
        else:
            items.append(("para", line.strip()))
    flush_note()
    return items


def render(tool, version, summary, help_text):
    synopsis, sections, order = parse(help_text)
    date = datetime.datetime.utcfromtimestamp(int(os.environ.get("SOURCE_DATE_EPOCH", "0")) or
                                              datetime.datetime.utcnow().timestamp())
    title = roff(tool.upper())
    out = [f'.TH {title} 1 "{date:%B %Y}" "{tool} {version}" "User Commands"',
           ".SH NAME", f"{roff(tool)} \\- {roff(summary)}", ".SH SYNOPSIS"]
    for i, line in enumerate(synopsis):
        if i:
            out.append(".br")
        words = line.split(" ", 1)
        out.append(f".B {roff(words[0])}")
        if len(words) > 1:
            out.append(roff(words[1]))
    for name in ["DESCRIPTION"] + [n for n in order if n != "DESCRIPTION"]:
        items = sections.get(name)
        if not items:
            continue
        out.append(f".SH {name}")
        for item in items:
            if item[0] == "para":
                out += [".PP", roff(item[1])]
            elif item[0] == "pre":
                out += [".PP", ".nf", ".RS 4"] + [roff(line) for line in item[1]] + [".RE", ".fi"]
            elif len(item[1]) == 1:
                out += [".TP", "\\fB" + roff(item[1][0]) + "\\fR", roff(" ".join(item[2]))]
            else:
                out.append(".PP")
                out += ["\\fB" + roff(term) + "\\fR\n.br" for term in item[1]]
                out += [".RS 7", roff(" ".join(item[2])), ".RE"]
    return "\n".join(out) + "\n"


def main():
    tool, version, summary, executable, output = sys.argv[1:6]
    help_text = subprocess.run([executable, "--help"], check=True, capture_output=True, text=True).stdout
    page = render(tool, version, summary, help_text)
    with open(output, "w", encoding="utf-8") as f:
        f.write(page)


if __name__ == "__main__":
    main()
