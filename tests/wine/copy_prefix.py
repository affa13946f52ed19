#!/usr/bin/env python3
"""Copies a booted Wine prefix for one check. The prefix's libraries and
programs (most of its size), which Wine only reads, are hard-linked where the
file system allows; everything Wine may write (registry files, .ini files,
the user's folders) is copied.
Usage: copy_prefix.py TEMPLATE DEST"""
import os
import shutil
import sys

READ_ONLY = (".dll", ".exe", ".drv", ".sys", ".ocx", ".acm", ".cpl", ".tlb", ".ttf", ".fon", ".nls", ".ax",
             ".ds", ".vxd", ".dll16", ".exe16", ".drv16", ".mod16")


def copy_file(source, target):
    if source.lower().endswith(READ_ONLY):
        try:
            os.link(source, target)
            return target
        except OSError:
            pass  # another file system, or links refused: copy instead
    return shutil.copy2(source, target)


def copy_prefix(template, dest):
    shutil.copytree(template, dest, symlinks=True, copy_function=copy_file, dirs_exist_ok=True)


if __name__ == "__main__":
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    copy_prefix(sys.argv[1], sys.argv[2])
