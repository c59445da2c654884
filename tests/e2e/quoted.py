"""The README, or a document in docs/ it links to, quotes each client sample whole, as a
fenced block, and the Windows read-me quotes the PowerShell one indented by four spaces:
the code people copy is the code tested.
The documents state pipeword-client's limits (the wait, the request's size) as pipeword.h
defines them, and the pauses' as client/options.h does, from which the client's --help and
messages take them too.
Usage: python3 quoted.py SOURCE_DIR"""
import math
import pathlib
import re
import sys

root = pathlib.Path(sys.argv[1])
documents = [root / "README.md"] + sorted((root / "docs").glob("*.md"))
blocks = {document.relative_to(root).as_posix():
          re.findall(r"^```[a-z]*\n(.*?)^```$", document.read_text(), re.M | re.S)
          for document in documents}
windows = (root / "packaging/README-windows.txt").read_text()
failures = 0
for sample in sorted((root / "client/samples").iterdir()):
    code = sample.read_text()
    quoting = [name for name, quoted in blocks.items() if code in quoted]
    quotes = [(" and ".join(quoting) or "README.md or docs/", bool(quoting))]
    if sample.suffix == ".ps1":
        indented = "".join("    " + line if line.strip() else line
                           for line in code.splitlines(True))
        quotes.append(("README-windows.txt", indented in windows))
    for document, quoted in quotes:
        print(f"{'ok' if quoted else 'FAIL'}: {document} quotes {sample.name} as it is")
        failures += not quoted

header = (root / "lib/include/pipeword.h").read_text()
limits = {f"PIPEWORD_{name}": int(value) for name, value in
          re.findall(r"#define PIPEWORD_(LONGEST_WAIT|LARGEST_REQUEST) (\d+)u", header)}
options = (root / "client/options.h").read_text()
pause = re.search(r"LongestPause = ([\d *]+);", options).group(1)
limits["LongestPause"] = math.prod(int(factor) for factor in pause.split("*"))
every = list(limits)
for document, names in [("README.md", every), ("man/pipeword-client.1", every),
                        ("packaging/README-windows.txt", ["PIPEWORD_LONGEST_WAIT"])]:
    text = (root / document).read_text()
    for name in names:
        value = limits[name]
        stated = re.search(rf"at\s+most\s+({value}|{value:,})\b", text) is not None
        print(f"{'ok' if stated else 'FAIL'}: {document} states {name}, {value}")
        failures += not stated
sys.exit(1 if failures else 0)
