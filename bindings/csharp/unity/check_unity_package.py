#!/usr/bin/env python3
"""Checks the Unity package as the Package Manager and a Unity project would
meet it:

  check_unity_package.py PACKAGE.tgz --version V --sdk-tgz LINUX.tar.gz --sdk-zip WINDOWS.zip

- the manifest: the fields the Package Manager reads, their formats, the
  version, and that every sample it lists is in the package;
- the layout: everything under package/, Runtime/ with one .asmdef and the
  binding's sources byte for byte, a .meta with a unique GUID for every file
  and folder outside Samples~ (Unity ignores an asset of an immutable package
  that has none) and no .meta without its asset;
- the native modules: one per platform folder, each enabled for its own
  player platform (and editor) only, and each the very file the SDK archives
  carry (the Linux .tar.gz's libkelvocore, the Windows .zip's DLLs);
- the sample script and the runtime compile together (Mono's mcs, against a
  stand-in for the three UnityEngine names the sample uses).

Prints one line per check and "unity_check: N passed, M failed".
"""

import argparse
import hashlib
import json
import os
import re
import shutil
import subprocess
import sys
import tarfile
import tempfile
import zipfile

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCES = os.path.join(HERE, "..", "src")

# Plugin path -> (the Standalone platform it is for, its CPU, the editor OS or None).
PLUGINS = {
    "Plugins/Windows/x86_64/kelvocore.dll": ("Win64", "x86_64", "Windows"),
    "Plugins/Windows/x86/kelvocore.dll": ("Win", "x86", None),
    "Plugins/Linux/x86_64/libkelvocore.so": ("Linux64", "x86_64", "Linux"),
}

UNITY_STANDIN = """
namespace UnityEngine {
  public class Object {}
  public class MonoBehaviour : Object {}
  [System.AttributeUsage(System.AttributeTargets.Field)]
  public sealed class SerializeFieldAttribute : System.Attribute {}
  public static class Debug {
    public static void Log(object message) {}
    public static void LogWarning(object message) {}
    public static void LogError(object message) {}
    public static void LogException(System.Exception exception) {}
  }
}
"""

passed, failed = 0, 0


def check(what, ok, detail=""):
    global passed, failed
    if ok:
        passed += 1
        print("  ok   " + what)
    else:
        failed += 1
        print("  FAIL " + what + (": " + detail if detail else ""))


def sha(data):
    return hashlib.sha256(data).hexdigest()


def platform_entries(meta_text):
    """{(kind, name): (enabled, {setting: value})} of a PluginImporter meta."""
    entries = {}
    blocks = re.split(r"\n  - first:\n", meta_text.split("platformData:", 1)[1])[1:]
    for block in blocks:
        kind, name = re.match(r"\s*(\w+):\s*(\S*)", block).groups()
        enabled = int(re.search(r"enabled: (\d)", block).group(1))
        settings = dict(re.findall(r"\n        (\w+): (\S+)", block))
        entries[(kind, name)] = (enabled, settings)
    return entries


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("package")
    ap.add_argument("--version", required=True)
    ap.add_argument("--sdk-tgz", required=True)
    ap.add_argument("--sdk-zip", required=True)
    args = ap.parse_args()

    with tarfile.open(args.package) as tar:
        members = [m for m in tar.getmembers() if m.isfile()]
        files = {m.name: tar.extractfile(m).read() for m in members}
    check("every entry is under package/", all(n.startswith("package/") for n in files),
          str([n for n in files if not n.startswith("package/")]))
    files = {n[len("package/"):]: d for n, d in files.items() if n.startswith("package/")}

    # ---- manifest
    try:
        manifest = json.loads(files["package.json"])
    except (KeyError, ValueError) as e:
        check("package.json is there and is JSON", False, str(e))
        return
    check("name is a reverse-domain name in lower case",
          bool(re.fullmatch(r"com(\.[a-z0-9][a-z0-9-]*){2,}", manifest.get("name", "")))
          and len(manifest["name"]) <= 214, manifest.get("name"))
    check("version is the SDK's (%s)" % args.version, manifest.get("version") == args.version,
          str(manifest.get("version")))
    check("unity names a Unity release (YYYY.N)",
          bool(re.fullmatch(r"20\d\d\.\d+", manifest.get("unity", ""))), str(manifest.get("unity")))
    check("displayName and description are set",
          bool(manifest.get("displayName")) and bool(manifest.get("description")))
    samples = manifest.get("samples", [])
    check("every sample lies in Samples~ and holds a script",
          bool(samples) and all(s.get("path", "").startswith("Samples~/") and s.get("displayName")
                                and any(f.startswith(s["path"] + "/") and f.endswith(".cs")
                                        for f in files) for s in samples), str(samples))

    # ---- layout
    asmdefs = [f for f in files if f.startswith("Runtime/") and f.endswith(".asmdef")]
    check("Runtime/ has one .asmdef", len(asmdefs) == 1, str(asmdefs))
    if asmdefs:
        asmdef = json.loads(files[asmdefs[0]])
        check("the .asmdef names Kelvo.Runtime, without unsafe code or UnityEngine",
              asmdef.get("name") == "Kelvo.Runtime" and asmdef.get("allowUnsafeCode") is False
              and asmdef.get("noEngineReferences") is True, json.dumps(asmdef))
    runtime = {f[len("Runtime/"):]: d for f, d in files.items()
               if f.startswith("Runtime/") and f.endswith(".cs")}
    sources = {}
    for name in os.listdir(SOURCES):
        if name.endswith(".cs"):
            with open(os.path.join(SOURCES, name), "rb") as f:
                sources[name] = f.read()
    check("Runtime/ holds the binding's %d sources, byte for byte" % len(sources),
          runtime == sources, "differs: %s" % sorted(set(runtime) ^ set(sources) | {
              n for n in set(runtime) & set(sources) if runtime[n] != sources[n]}))

    assets = [f for f in files if not f.endswith(".meta") and not f.startswith("Samples~/")]
    folders = {os.path.dirname(f) for f in assets} - {""}
    for folder in list(folders):
        while os.path.dirname(folder):
            folder = os.path.dirname(folder)
            folders.add(folder)
    missing = [a for a in sorted(assets) + sorted(folders) if a + ".meta" not in files]
    check("every file and folder has a .meta (%d)" % (len(assets) + len(folders)), not missing,
          str(missing))
    orphans = [m for m in files if m.endswith(".meta")
               and m[:-5] not in files and m[:-5] not in folders]
    check("no .meta without its asset", not orphans, str(orphans))
    guids = {}
    for m in (f for f in files if f.endswith(".meta")):
        found = re.search(r"^guid: ([0-9a-f]{32})$", files[m].decode(), re.M)
        guids[m] = found.group(1) if found else None
    check("every .meta has a GUID of 32 hex digits", all(guids.values()),
          str([m for m, g in guids.items() if not g]))
    check("GUIDs are unique", len(set(guids.values())) == len(guids))
    check("folder .metas say folderAsset",
          all(b"folderAsset: yes" in files[f + ".meta"] for f in folders if f + ".meta" in files))

    # ---- native modules
    plugins = sorted(f for f in files if f.startswith("Plugins/") and not f.endswith(".meta"))
    check("Plugins/ holds one module per platform", plugins == sorted(PLUGINS), str(plugins))
    for path, (standalone, cpu, editor_os) in PLUGINS.items():
        meta = files.get(path + ".meta", b"").decode()
        if "PluginImporter:" not in meta:
            check("%s: PluginImporter settings" % path, False, "none")
            continue
        entries = platform_entries(meta)
        on = sorted(k for k, (enabled, _) in entries.items() if enabled)
        wanted = sorted([("Standalone", standalone)] + ([("Editor", "Editor")] if editor_os else []))
        check("%s: enabled for %s only" % (path, ", ".join(n for _, n in wanted)), on == wanted, str(on))
        settings = entries.get(("Standalone", standalone), (0, {}))[1]
        editor = entries.get(("Editor", "Editor"), (0, {}))[1]
        check("%s: CPU %s%s" % (path, cpu, ", editor on " + editor_os if editor_os else ""),
              settings.get("CPU") == cpu and (not editor_os or (editor.get("CPU") == cpu
                                                                and editor.get("OS") == editor_os)),
              "%s %s" % (settings, editor))

    with tarfile.open(args.sdk_tgz) as sdk:
        linux = [m for m in sdk.getmembers()
                 if re.search(r"/lib/libkelvocore\.so\.\d+\.\d+\.\d+$", m.name)]
        linux_module = sdk.extractfile(linux[0]).read() if len(linux) == 1 else b""
    with zipfile.ZipFile(args.sdk_zip) as sdk:
        names = sdk.namelist()

        def dll(arch):
            found = [n for n in names if n.endswith("/bin/%s/kelvocore.dll" % arch)]
            return sdk.read(found[0]) if len(found) == 1 else b""
        windows = {"x86_64": dll("x64"), "x86": dll("x86")}
    carried = {"Plugins/Linux/x86_64/libkelvocore.so": linux_module,
               "Plugins/Windows/x86_64/kelvocore.dll": windows["x86_64"],
               "Plugins/Windows/x86/kelvocore.dll": windows["x86"]}
    for path, module in carried.items():
        check("%s is the SDK archives' module" % path,
              bool(module) and sha(files.get(path, b"")) == sha(module),
              "package %s, archive %s" % (sha(files.get(path, b""))[:12], sha(module)[:12]))

    # ---- the sample against the runtime
    mcs = shutil.which("mcs")
    if not mcs:
        check("the sample compiles with the runtime", False, "mcs is not installed")
    else:
        with tempfile.TemporaryDirectory() as tmp:
            srcs = []
            for name, data in list(runtime.items()) + [
                    (os.path.basename(f), d) for f, d in files.items()
                    if f.startswith("Samples~/") and f.endswith(".cs")]:
                p = os.path.join(tmp, name)
                with open(p, "wb") as f:
                    f.write(data)
                srcs.append(p)
            standin = os.path.join(tmp, "UnityEngine.cs")
            with open(standin, "w") as f:
                f.write(UNITY_STANDIN)
            subprocess.run([mcs, "-target:library", "-out:" + os.path.join(tmp, "UnityEngine.dll"),
                            standin], check=True, capture_output=True)
            built = subprocess.run([mcs, "-langversion:7", "-target:library", "-warnaserror",
                                    "-r:" + os.path.join(tmp, "UnityEngine.dll"),
                                    "-out:" + os.path.join(tmp, "Sample.dll")] + srcs,
                                   capture_output=True, text=True)
            check("the sample compiles with the runtime", built.returncode == 0,
                  built.stdout + built.stderr)

    print("unity_check: %d passed, %d failed" % (passed, failed))


if __name__ == "__main__":
    main()
    sys.exit(1 if failed else 0)
