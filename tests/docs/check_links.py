#!/usr/bin/env python3
"""Every relative link of the Markdown pages leads somewhere:

  check_links.py SOURCE_DIR [CMAKE BUILD_DIR]
      the source tree's pages: each link's file exists (and its heading, for
      a #part); the pages the SDK archives ship link only to pages shipped
      beside them, and without a #part. With a build tree, its install
      component "pages" (what the archives carry) is also installed into a
      temporary directory and checked there as --tree does, and it must hold
      exactly the pages this script takes for shipped.
  check_links.py --tree DIR
      every page under DIR (share/kelvo of an unpacked Linux archive, or the
      top of the Windows SDK .zip)

The archives ship CHANGELOG.md, docs/*.md and the two bindings' README.md
in the source tree's layout (cmake/sdk.cmake, tools/package.sh), so a link
that works between them here works there too. The API reference takes
docs/arguments-and-results.md in as it is, and Doxygen fails on a link to a
page it was not given, so that page links to none (the host guide's links
are rewritten for it by docs/render_guide.py).
"""

import os
import re
import subprocess
import sys
import tempfile

SKIP_DIRS = {".git", "build", "dist", "node_modules", "corpus"}
LINK = re.compile(r"\[(?:[^\]\[]|\[[^\]]*\])*\]\(([^)\s]+)\)")


def shipped(rel):
    rel = rel.replace(os.sep, "/")
    return (rel == "CHANGELOG.md" or re.fullmatch(r"docs/[^/]+\.md", rel) is not None
            or rel in ("bindings/python/README.md", "bindings/csharp/README.md"))


def prose(text):
    """The text outside fenced blocks and code spans."""
    text = re.sub(r"^```.*?^```", "", text, flags=re.M | re.S)
    return re.sub(r"`[^`\n]*`", "", text)


def slugs(path):
    """GitHub's anchors of a page's headings."""
    with open(path, encoding="utf-8") as f:
        headings = re.findall(r"^#+ (.+)$", prose(f.read()), re.M)
    out = set()
    for h in headings:
        s = re.sub(r"[^\w\- ]", "", h.strip().lower()).replace(" ", "-")
        out.add(s)
    return out


def pages(root):
    for d, dirs, files in os.walk(root):
        dirs[:] = [x for x in dirs if x not in SKIP_DIRS]
        for name in files:
            if name.endswith(".md"):
                yield os.path.join(d, name)


def check(root, archive):
    problems = []
    count = 0
    for page in sorted(pages(root)):
        rel = os.path.relpath(page, root)
        with open(page, encoding="utf-8") as f:
            text = prose(f.read())
        for target in LINK.findall(text):
            if re.match(r"[a-z]+:", target):
                continue
            count += 1
            path, _, part = target.partition("#")
            dest = os.path.normpath(os.path.join(os.path.dirname(page), path)) if path else page
            dest_rel = os.path.relpath(dest, root)
            if not os.path.isfile(dest):
                problems.append("%s: %s: no such file" % (rel, target))
                continue
            if part and dest.endswith(".md") and part not in slugs(dest):
                problems.append("%s: %s: no heading %r there" % (rel, target, part))
            if not archive and shipped(rel):
                if not shipped(dest_rel):
                    problems.append("%s: %s: the archives ship the page but not %s"
                                    % (rel, target, dest_rel))
                if part:
                    problems.append("%s: %s: a shipped page links to a #part" % (rel, target))
            if not archive and rel == os.path.join("docs", "arguments-and-results.md") \
                    and dest.endswith(".md") and dest != page:
                problems.append("%s: %s: the API reference takes this page in, and"
                                " Doxygen cannot follow a link to another" % (rel, target))
    for p in problems:
        print(p)
    print("check_links: %d links in %s, %d problems" % (count, root, len(problems)))
    return not problems


def check_install(root, cmake, build):
    """The component "pages" of BUILD installed, as the archives hold it."""
    with tempfile.TemporaryDirectory() as prefix:
        run = subprocess.run([cmake, "--install", build, "--component", "pages",
                              "--prefix", prefix], capture_output=True, text=True)
        if run.returncode != 0:
            print(run.stdout + run.stderr)
            print("check_links: cmake --install of the pages failed")
            return False
        tree = os.path.join(prefix, "share", "kelvo")
        installed = sorted(os.path.relpath(p, tree).replace(os.sep, "/") for p in pages(tree))
        expected = sorted(os.path.relpath(p, root).replace(os.sep, "/") for p in pages(root)
                          if shipped(os.path.relpath(p, root)))
        ok = True
        if installed != expected:
            print("the install component \"pages\" holds %s; shipped pages are %s"
                  % (installed, expected))
            ok = False
        return check(tree, True) and ok


def main():
    args = sys.argv[1:]
    if len(args) == 2 and args[0] == "--tree":
        ok = check(os.path.abspath(args[1]), True)
    elif len(args) in (1, 3):
        root = os.path.abspath(args[0])
        ok = check(root, False)
        if len(args) == 3:
            ok = check_install(root, args[1], os.path.abspath(args[2])) and ok
    else:
        sys.exit(__doc__)
    sys.exit(0 if ok else 1)


if __name__ == "__main__":
    main()
