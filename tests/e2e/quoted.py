"""The README quotes each client sample whole, as a fenced block, and the Windows read-me
quotes the PowerShell one indented by four spaces: the code people copy is the code tested.
Usage: python3 quoted.py SOURCE_DIR"""
import pathlib
import re
import sys

root = pathlib.Path(sys.argv[1])
readme = (root / "README.md").read_text()
blocks = re.findall(r"^```[a-z]*\n(.*?)^```$", readme, re.M | re.S)
windows = (root / "packaging/README-windows.txt").read_text()
failures = 0
for sample in sorted((root / "client/samples").iterdir()):
    code = sample.read_text()
    quotes = [("README.md", code in blocks)]
    if sample.suffix == ".ps1":
        indented = "".join("    " + line if line.strip() else line
                           for line in code.splitlines(True))
        quotes.append(("README-windows.txt", indented in windows))
    for document, quoted in quotes:
        print(f"{'ok' if quoted else 'FAIL'}: {document} quotes {sample.name} as it is")
        failures += not quoted
sys.exit(1 if failures else 0)
