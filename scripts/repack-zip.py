#!/usr/bin/env python3
"""Rewrites ZIP files so that their bytes follow from their members' names and contents alone.

Usage: repack-zip.py ZIP...   (SOURCE_DATE_EPOCH set)

CPack's ZIP members carry what the build machine gave them: the owner's user and group ids,
modes after the builder's umask, and the order in which the file system lists a folder. Here
every member is written afresh, in byte order of its name, dated SOURCE_DATE_EPOCH (UTC; DOS
dates start in 1980), mode 755 for folders and executables and 644 for the rest, deflated at
level 9, with no extra fields. The contents are kept byte for byte.
"""
import os
import sys
import time
import zipfile


def repack(path, date_time):
    with zipfile.ZipFile(path) as source:
        members = [(info, source.read(info)) for info in source.infolist()]
    members.sort(key=lambda member: member[0].filename.encode())
    temporary = path + ".repack"
    with zipfile.ZipFile(temporary, "w") as target:
        for info, data in members:
            entry = zipfile.ZipInfo(info.filename, date_time)
            entry.create_system = 3  # Unix: external_attr carries the mode in its high half
            if info.is_dir():
                entry.external_attr = 0o40755 << 16 | 0x10  # 0x10: the DOS folder flag
            else:
                executable = info.external_attr >> 16 & 0o111
                entry.external_attr = (0o100755 if executable else 0o100644) << 16
                entry.compress_type = zipfile.ZIP_DEFLATED
            target.writestr(entry, data, compresslevel=9)
    os.replace(temporary, path)


def main():
    epoch = os.environ.get("SOURCE_DATE_EPOCH", "")
    if not epoch.isdigit() or len(sys.argv) < 2:
        sys.exit("usage: SOURCE_DATE_EPOCH=SECONDS repack-zip.py ZIP...")
    date_time = time.gmtime(max(int(epoch), 315532800))[:6]
    for path in sys.argv[1:]:
        repack(path, date_time)


if __name__ == "__main__":
    main()
