#!/usr/bin/env python3
"""Renders the Mermaid diagrams of a Markdown guide to SVG for the API
reference, and checks that each one rendered:

  render_guide.py MMDC docs/host-guide.md OUTDIR

mermaid-cli (docs/mermaid/install.sh, driven by Debian's chromium through
docs/mermaid/puppeteer.json) writes OUTDIR/<guide>.md with every ```mermaid
block replaced by an image, and one SVG per block beside it; Doxygen then
takes that copy as a page, with OUTDIR on its IMAGE_PATH. A diagram counts
as rendered when its SVG is well-formed and shows every participant and
state the block names, in the block's order of appearance. Prints one line
per diagram and "render_guide: N passed, M failed"; exits 1 on a failure.
"""

import os
import re
import subprocess
import sys
import xml.etree.ElementTree as ET

HERE = os.path.dirname(os.path.abspath(__file__))


def labels(block):
    """What a reader must see in the diagram: participants' labels, and the
    states of a state diagram."""
    found = []
    for line in block.splitlines():
        line = line.strip()
        m = re.match(r"participant\s+\S+\s+as\s+(.+)$", line)
        if m:
            found.append(m.group(1).strip())
        m = re.match(r"(\[\*\]|\w+)\s*-->\s*(\[\*\]|\w+)", line)
        if m:
            found += [s for s in m.groups() if s != "[*]"]
    return list(dict.fromkeys(found))


def svg_text(path):
    root = ET.parse(path).getroot()
    return " ".join(t for t in root.itertext())


def page_links(text):
    """The guide's links to the other pages, as plain HTML links for Doxygen,
    which would take a Markdown link to a page it was not given as a
    reference it cannot resolve. The reference lies in docs/api/, one level
    below the pages, in the archives."""
    return re.sub(r"\[([^\]\[]+)\]\(((?![a-z]+:)[^)\s#]+\.md)\)",
                  lambda m: '<a href="../%s">%s</a>' % (m.group(2), m.group(1)), text)


def main():
    mmdc, source, out = sys.argv[1:4]
    os.makedirs(out, exist_ok=True)
    with open(source, encoding="utf-8") as f:
        blocks = re.findall(r"^```mermaid\n(.*?)^```", f.read(), re.M | re.S)
    target = os.path.join(out, os.path.basename(source))
    stem = os.path.splitext(os.path.basename(source))[0]
    for name in os.listdir(out):
        if name.startswith(stem + "-") and name.endswith(".svg"):
            os.unlink(os.path.join(out, name))
    run = subprocess.run([mmdc, "--quiet", "-p", os.path.join(HERE, "mermaid", "puppeteer.json"),
                          "-e", "svg", "-i", source, "-o", target],
                         capture_output=True, text=True, timeout=300)
    passed = failed = 0
    if run.returncode != 0:
        print(run.stdout + run.stderr)
        print("  FAIL mermaid-cli exited with %d" % run.returncode)
        failed += 1
    rendered = ""
    if os.path.exists(target):
        with open(target, encoding="utf-8") as f:
            rendered = f.read()
    images = re.findall(r"!\[[^\]]*\]\(\./([^)]+\.svg)\)", rendered)
    # Captions: mermaid-cli calls every image "diagram"; name each after the
    # section it illustrates instead.
    captions = iter(range(1, len(images) + 1))

    def caption(m):
        heading = re.findall(r"^#+ (.+)$", rendered[:m.start()], re.M)
        return "![Figure %d: %s](./%s)" % (next(captions), heading[-1] if heading else "diagram",
                                         m.group(1))
    rendered = re.sub(r"!\[[^\]]*\]\(\./([^)]+\.svg)\)", caption, rendered)
    rendered = page_links(rendered)
    with open(target, "w", encoding="utf-8") as f:
        f.write(rendered)
    if len(images) != len(blocks) or "```mermaid" in rendered:
        print("  FAIL %d diagrams in %s, %d images in the rendered copy"
              % (len(blocks), source, len(images)))
        failed += 1
    for i, (block, image) in enumerate(zip(blocks, images), 1):
        kind = block.split()[0]
        path = os.path.join(out, image)
        try:
            text = svg_text(path)
        except (OSError, ET.ParseError) as e:
            print("  FAIL diagram %d (%s): %s" % (i, kind, e))
            failed += 1
            continue
        wanted = labels(block)
        absent = [w for w in wanted if w not in text]
        if absent or "Syntax error" in text:
            print("  FAIL diagram %d (%s): %s" % (i, kind, absent or "a syntax error"))
            failed += 1
        else:
            print("  ok   diagram %d (%s) rendered to %s, showing %s"
                  % (i, kind, image, ", ".join(wanted)))
            passed += 1
    print("render_guide: %d passed, %d failed" % (passed, failed))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
