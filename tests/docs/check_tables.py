#!/usr/bin/env python3
"""docs/arguments-and-results.md against the C++ headers and the Python
binding, so that the three cannot drift apart:

  - every C++ constant of the table has its value (the compiler checks,
    through static_asserts on the real headers, C++14 and pedantic), and
    every constant of kelvo/kelvo_results.h and every MESSAGE_KIND_ of
    kelvo/kelvo_types.h is in the table;
  - the comment above each request in kelvo/im_client.h gives each argument
    the table's meaning ("- value1: the user asked ..."), and the comment
    above each sink operation in kelvo/im_client_sink.h names its codes;
  - the Python enums hold exactly the table's members and values, and the
    Python requests have the table's parameter names.

The C# session tests check the C# enums and parameter names against the
same table. Usage: check_tables.py CXX SOURCE_DIR
"""

import inspect
import os
import re
import subprocess
import sys
import tempfile

CXX, ROOT = sys.argv[1], os.path.abspath(sys.argv[2])
TABLE = os.path.join(ROOT, "docs", "arguments-and-results.md")
INCLUDE = os.path.join(ROOT, "include")
sys.path.insert(0, os.path.join(ROOT, "bindings", "python"))
import kelvo  # noqa: E402  (the source tree's package; it loads no module on import)

# The Python method of each C++ request.
PYTHON_METHOD = {
    "Login": "login", "Logout": "logout", "AddUser": "add_user", "RemoveUser": "remove_user",
    "AddGroup": "add_group", "DeleteGroup": "delete_group", "RenameGroup": "rename_group",
    "MoveUser": "move_user", "SendChatMessage": "send_chat",
    "ReplyAddRequest": "reply_add_request", "EnterGameServer": "enter_game_server",
    "LeaveGameServer": "leave_game_server", "SearchUser": "search_user",
}

failures = []


def fail(message):
    failures.append(message)


def cell(text):
    return text.strip().strip("`")


def rows(section):
    """The rows of the first table after the heading `section`."""
    with open(TABLE, encoding="utf-8") as f:
        text = f.read()
    body = text.split("\n## " + section + "\n", 1)[1].split("\n## ", 1)[0]
    lines = [line for line in body.splitlines() if line.startswith("|")]
    return [[cell(c) for c in line.strip("|").split("|")] for line in lines[2:]]


def normalised(text):
    return " ".join(text.split())


def comment_above(header, declaration):
    """The comment block right above the line declaring `declaration(`,
    without the // markers, as one line."""
    with open(os.path.join(INCLUDE, "kelvo", header), encoding="utf-8") as f:
        lines = f.read().splitlines()
    for i, line in enumerate(lines):
        if re.search(r"\b%s\(" % re.escape(declaration), line) and "virtual" in line:
            block = []
            j = i - 1
            while j >= 0 and lines[j].strip().startswith("//"):
                block.insert(0, lines[j].strip()[2:])
                j -= 1
            return normalised(" ".join(block))
    fail("%s: no declaration of %s" % (header, declaration))
    return ""


# ---- request arguments
arguments = rows("Request arguments")
for op, cxx, py, _cs, meaning in arguments:
    block = comment_above("im_client.h", op)
    wanted = normalised("- %s: %s" % (cxx, meaning))
    if wanted not in block:
        fail("im_client.h: the comment of %s does not say %r" % (op, wanted))
    method = getattr(kelvo.Client, PYTHON_METHOD[op])
    if py not in inspect.signature(method).parameters:
        fail("Python: Client.%s has no parameter %r (%s of %s)" % (method.__name__, py, cxx, op))
for op, method in PYTHON_METHOD.items():
    named = {py for o, _, py, _, _ in arguments if o == op}
    params = set(inspect.signature(getattr(kelvo.Client, method)).parameters) - {"self"}
    if params != named:
        fail("Python: Client.%s takes %s, the table names %s" % (method, sorted(params),
                                                                  sorted(named)))

# ---- result codes and values
codes = rows("Result codes and values")
asserts, table_constants = [], set()
python_members = {}
for event, cxx, value, py, _cs, _meaning in codes:
    if cxx != "—":
        table_constants.add(cxx)
        asserts.append('static_assert(kelvo::%s == %s, "%s is %s in the table");'
                       % (cxx, value, cxx, value))
        if event.startswith("On"):
            block = comment_above("im_client_sink.h", event)
            if cxx not in block.split():
                fail("im_client_sink.h: the comment of %s does not name %s" % (event, cxx))
    enum_name, member = py.split(".")
    python_members.setdefault(enum_name, {})[member] = int(value)

for header, pattern in (("kelvo_results.h", r"constexpr\s+\w+\s+(\w+)\s*="),
                        ("kelvo_types.h", r"\b(MESSAGE_KIND_\w+)\s*=")):
    with open(os.path.join(INCLUDE, "kelvo", header), encoding="utf-8") as f:
        for name in re.findall(pattern, f.read()):
            if name not in table_constants:
                fail("%s: %s is not in the table" % (header, name))

source = "\n".join(['#include "kelvo/kelvo_types.h"', '#include "kelvo/kelvo_results.h"']
                   + asserts) + "\n"
with tempfile.NamedTemporaryFile("w", suffix=".cpp", delete=False) as f:
    f.write(source)
try:
    compiled = subprocess.run([CXX, "-std=c++14", "-Wall", "-Wextra", "-pedantic", "-Werror",
                               "-fsyntax-only", "-I", INCLUDE, f.name],
                              capture_output=True, text=True)
finally:
    os.unlink(f.name)
if compiled.returncode != 0:
    fail("the headers' constants disagree with the table:\n" + compiled.stderr)

for enum_name, members in python_members.items():
    enum = getattr(kelvo, enum_name, None)
    if enum is None:
        fail("Python: no enum kelvo.%s" % enum_name)
        continue
    actual = {m.name: m.value for m in enum}
    if actual != members:
        fail("Python: kelvo.%s is %s, the table says %s" % (enum_name, actual, members))
for enum in kelvo.codes.ALL_CODES:
    if enum.__name__ not in python_members:
        fail("Python: kelvo.%s is not in the table" % enum.__name__)

checked = len(arguments) + len(codes)
if failures:
    print("\n".join(failures))
    print("check_tables: %d passed, %d failed" % (checked - len(failures), len(failures)))
    sys.exit(1)
print("check_tables: %d passed, 0 failed" % checked)
