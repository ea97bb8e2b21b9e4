#!/usr/bin/env python3
"""Builds the Unity package of the C# binding, as the Unity Package Manager
takes it from a tarball (every entry under package/):

  build_unity_package.py VERSION OUT.tgz LINUX_X64_SO WIN_X64_DLL WIN_X86_DLL

Runtime/ holds the binding's sources unchanged with an .asmdef, Plugins/ the
native modules with import settings that enable each for its own platform,
Samples~/ the sample scene script. Unity ignores a file of an immutable
package that has no .meta, so every file and folder gets one, with a GUID
derived from its path: the same package always has the same GUIDs.
"""

import hashlib
import io
import os
import sys
import tarfile

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCES = os.path.join(HERE, "..", "src")
PACKAGE = "com.kelvo.client"

# Plugin folder -> (file name, the platform entries that enable it).
PLUGINS = {
    "Plugins/Windows/x86_64": ("kelvocore.dll", "Win64", "x86_64", "Windows"),
    "Plugins/Windows/x86": ("kelvocore.dll", "Win", "x86", None),
    "Plugins/Linux/x86_64": ("libkelvocore.so", "Linux64", "x86_64", "Linux"),
}
STANDALONES = ("Win", "Win64", "Linux64", "OSXUniversal")


def guid(path):
    return hashlib.md5(("%s/%s" % (PACKAGE, path)).encode()).hexdigest()


def meta(path, importer, body="", folder=False):
    text = "fileFormatVersion: 2\nguid: %s\n" % guid(path)
    if folder:
        text += "folderAsset: yes\n"
    text += "%s:\n  externalObjects: {}\n" % importer
    text += body
    text += "  userData: \n  assetBundleName: \n  assetBundleVariant: \n"
    return text


def plugin_meta(path, standalone, cpu, editor_os):
    entries = ["  - first:\n      Any: \n    second:\n      enabled: 0\n      settings: {}\n"]
    if editor_os:
        entries.append("  - first:\n      Editor: Editor\n    second:\n      enabled: 1\n"
                       "      settings:\n        CPU: %s\n        DefaultValueInitialized: true\n"
                       "        OS: %s\n" % (cpu, editor_os))
    else:
        entries.append("  - first:\n      Editor: Editor\n    second:\n      enabled: 0\n"
                       "      settings:\n        CPU: None\n        OS: AnyOS\n")
    for name in STANDALONES:
        on = name == standalone
        entries.append("  - first:\n      Standalone: %s\n    second:\n      enabled: %d\n"
                       "      settings:\n        CPU: %s\n" % (name, on, cpu if on else "None"))
    body = ("  serializedVersion: 2\n  iconMap: {}\n  executionOrder: {}\n  defineConstraints: []\n"
            "  isPreloaded: 0\n  isOverridable: 0\n  isExplicitlyReferenced: 0\n"
            "  validateReferences: 1\n  platformData:\n" + "".join(entries))
    return meta(path, "PluginImporter", body)


def importer_for(path):
    if path.endswith(".cs"):
        return "MonoImporter", ("  serializedVersion: 2\n  defaultReferences: []\n"
                                "  executionOrder: 0\n  icon: {instanceID: 0}\n")
    if path.endswith(".asmdef"):
        return "AssemblyDefinitionImporter", ""
    if path == "package.json":
        return "PackageManifestImporter", ""
    return "TextScriptImporter", ""


def main():
    version, out, linux_so, win64, win32 = sys.argv[1:6]
    files = {}  # path inside package/ -> bytes
    with open(os.path.join(HERE, "package.json.in"), encoding="utf-8") as f:
        files["package.json"] = f.read().replace("@VERSION@", version).encode()
    for name in ("README.md",):
        with open(os.path.join(HERE, name), "rb") as f:
            files[name] = f.read()
    with open(os.path.join(HERE, "Runtime", "Kelvo.Runtime.asmdef"), "rb") as f:
        files["Runtime/Kelvo.Runtime.asmdef"] = f.read()
    for name in sorted(os.listdir(SOURCES)):
        if name.endswith(".cs"):
            with open(os.path.join(SOURCES, name), "rb") as f:
                files["Runtime/" + name] = f.read()
    sample_dir = os.path.join(HERE, "Samples~", "KelvoChat")
    for name in sorted(os.listdir(sample_dir)):
        with open(os.path.join(sample_dir, name), "rb") as f:
            files["Samples~/KelvoChat/" + name] = f.read()
    for folder, source in zip(PLUGINS, (win64, win32, linux_so)):
        with open(source, "rb") as f:
            files["%s/%s" % (folder, PLUGINS[folder][0])] = f.read()

    # Metas for every file and folder outside Samples~ (which Unity does not
    # import from the package; the sample is copied into Assets/ first).
    metas = {}
    folders = set()
    for path in files:
        if path.startswith("Samples~/"):
            continue
        parts = path.split("/")
        for i in range(1, len(parts)):
            folders.add("/".join(parts[:i]))
        folder = os.path.dirname(path)
        if folder in PLUGINS:
            _, standalone, cpu, editor_os = PLUGINS[folder]
            metas[path + ".meta"] = plugin_meta(path, standalone, cpu, editor_os)
        else:
            importer, body = importer_for(path)
            metas[path + ".meta"] = meta(path, importer, body)
    for folder in folders:
        metas[folder + ".meta"] = meta(folder, "DefaultImporter", folder=True)
    files.update({k: v.encode() for k, v in metas.items()})

    buf = io.BytesIO()
    with tarfile.open(fileobj=buf, mode="w:gz", format=tarfile.USTAR_FORMAT) as tar:
        for path in sorted(files):
            data = files[path]
            info = tarfile.TarInfo("package/" + path)
            info.size, info.mode, info.mtime = len(data), 0o644, 1700000000
            info.uname = info.gname = ""
            tar.addfile(info, io.BytesIO(data))
    with open(out, "wb") as f:
        f.write(buf.getvalue())


if __name__ == "__main__":
    main()
