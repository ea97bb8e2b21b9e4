#!/usr/bin/env python3
"""Checks that everything carrying the SDK's version carries the one in the
file VERSION, the only place it is written.

  check_versions.py --source DIR --build DIR --module FILE --work DIR
      a build tree: the generated header, the DLL's version resource, the
      module's file name and SONAME, the pkg-config and CMake package files,
      the CPack settings of the .tar.gz and .deb, the interface version words
      of the bindings; then the Python wheel, the NuGet package and the Unity
      package, built into WORK by the scripts tools/package.sh runs, from
      FILE (the module: they only carry it);
  check_versions.py --source DIR --dist DIR --work DIR
      the release's dist/ as tools/package.sh leaves it: every archive and
      package, by name and by what it holds.

Both also read the Markdown pages for file names of a release (the changelog
excepted, which names past releases). Prints one line per check and
"versions: N passed, M failed"; exits 1 when a check failed, 77 when none
failed but a tool was missing for some (mcs, mono, nuget, python3-build).
"""

import argparse
import glob
import io
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
passed, failed, skipped = 0, 0, []


def check(what, ok, detail=""):
    global passed, failed
    if ok:
        passed += 1
        print("  ok   " + what)
    else:
        failed += 1
        print("  FAIL " + what + (": " + str(detail) if detail != "" else ""))
    return ok


def skip(what, why):
    skipped.append(what)
    print("  skip %s: %s" % (what, why))


def read(path, mode="r"):
    with open(path, mode, **({} if "b" in mode else {"encoding": "utf-8"})) as f:
        return f.read()


def search(pattern, text):
    found = re.search(pattern, text, re.M)
    return found.group(1) if found else None


def run(args, **kw):
    return subprocess.run(args, capture_output=True, text=True, **kw)


def soname(path):
    out = run(["readelf", "-d", path]).stdout
    return search(r"\(SONAME\).*\[(.*)\]", out)


# ---- the source tree

def check_sources(source, version):
    major, minor, _ = version.split(".")
    header = read(os.path.join(source, "include/kelvo/kelvo_types.h"))
    word = search(r"IM_INTERFACE_VERSION = (0x[0-9A-Fa-f]{8})", header)
    word = int(word, 16) if word else None
    check("IM_INTERFACE_VERSION %s is MAJOR.MINOR %s.%s" % (hex(word or 0), major, minor),
          word is not None and (word >> 24, (word >> 16) & 0xFF) == (int(major), int(minor)))
    cs = search(r"InterfaceVersion = (0x[0-9A-Fa-f]{8})",
                read(os.path.join(source, "bindings/csharp/src/Native.cs")))
    check("the C# binding's interface version word is the header's",
          cs is not None and int(cs, 16) == word, cs)
    py = search(r"^IM_INTERFACE_VERSION = (0x[0-9A-Fa-f]{8})",
                read(os.path.join(source, "bindings/python/kelvo/_native.py")))
    check("the Python binding's interface version word is the header's",
          py is not None and int(py, 16) == word, py)

    # kelvo.__version__ of the source tree, without loading the module.
    names = {"__file__": os.path.join(source, "bindings/python/kelvo/_version.py")}
    exec(compile(read(names["__file__"]), names["__file__"], "exec"), names)
    check("kelvo.__version__ of the source tree", names["__version__"] == version,
          names["__version__"])

    # Kelvo.csproj (dotnet): a version typed in, or the VERSION file read.
    csproj_dir = os.path.join(source, "bindings/csharp")
    csproj = read(os.path.join(csproj_dir, "Kelvo.csproj"))
    typed = re.findall(r"<((?:Assembly|File|Package|Informational)?Version(?:Prefix)?)>([^<]*)</\1>",
                       csproj)
    values = []
    for name, value in typed:
        file = re.fullmatch(r"\$\(\[System\.IO\.File\]::ReadAllText\('\$\(MSBuildThisFileDirectory\)"
                            r"([^']+)'\)\.Trim\(\)\)", value)
        if file:
            path = os.path.join(csproj_dir, file.group(1))
            values.append((name, read(path).strip() if os.path.exists(path) else "no " + path))
        else:
            values.append((name, value))
    check("Kelvo.csproj's version properties say %s" % version,
          bool(values) and all(v == version for _, v in values), values)

    # Pages that name a release's files name this one; the changelog keeps
    # the names of past releases.
    artifact = re.compile(r"(?:libkelvocore\.so\.|kelvocore[-_]|kelvo-|Kelvo\.|com\.kelvo\.client-)"
                          r"(\d+\.\d+\.\d+)\b")
    stale = []
    for root, dirs, files in os.walk(source):
        dirs[:] = [d for d in dirs if d not in (".git", "build", "dist", "node_modules")]
        for name in files:
            if name.endswith(".md") and name != "CHANGELOG.md":
                path = os.path.join(root, name)
                for number, line in enumerate(read(path).splitlines(), 1):
                    stale += ["%s:%d: %s" % (os.path.relpath(path, source), number, m.group(0))
                              for m in artifact.finditer(line) if m.group(1) != version]
    check("the pages name no other release's files", not stale, "; ".join(stale))


# ---- a build tree

def check_build(build, module, version):
    major, minor, patch = version.split(".")
    h = read(os.path.join(build, "include/kelvo/version.h"))
    check("kelvo/version.h says %s" % version,
          search(r'KELVO_VERSION_STRING "(.*)"', h) == version
          and [search(r"KELVO_VERSION_%s (\d+)" % p, h) for p in ("MAJOR", "MINOR", "PATCH")]
          == [major, minor, patch], h[-400:])
    rc = read(os.path.join(build, "kelvocore.rc"))
    numbers = "%s,%s,%s,0" % (major, minor, patch)
    check("kelvocore.rc: FILEVERSION and PRODUCTVERSION %s" % numbers,
          search(r"^\s*FILEVERSION\s+(\S+)", rc) == numbers
          and search(r"^\s*PRODUCTVERSION\s+(\S+)", rc) == numbers)
    check('kelvocore.rc: "FileVersion" %s.0, "ProductVersion" %s' % (version, version),
          search(r'"FileVersion",\s*"(.*)"', rc) == version + ".0"
          and search(r'"ProductVersion",\s*"(.*)"', rc) == version)
    real = os.path.basename(os.path.realpath(module))
    check("the module is libkelvocore.so.%s" % version, real == "libkelvocore.so." + version, real)
    name = soname(module)
    check("its SONAME is libkelvocore.so.%s.%s" % (major, minor),
          name == "libkelvocore.so.%s.%s" % (major, minor), name)
    pc = read(os.path.join(build, "kelvocore.pc"))
    check("kelvocore.pc: Version %s" % version, search(r"^Version: (.*)$", pc) == version)
    cv = read(os.path.join(build, "KelvoCoreConfigVersion.cmake"))
    check("KelvoCoreConfigVersion.cmake: PACKAGE_VERSION %s" % version,
          search(r'set\(PACKAGE_VERSION "(.*)"\)', cv) == version)
    cpack = read(os.path.join(build, "CPackConfig.cmake"))
    cpack_vars = dict(re.findall(r'^set\((CPACK_\w+) "(.*)"\)$', cpack, re.M))
    check("CPack: the .tar.gz and .deb are version %s" % version,
          cpack_vars.get("CPACK_PACKAGE_VERSION") == version
          and cpack_vars.get("CPACK_DEBIAN_PACKAGE_VERSION", version) == version,
          {k: v for k, v in cpack_vars.items() if "VERSION" in k})
    check("CPack: the archive's name carries %s" % version,
          "-%s-" % version in cpack_vars.get("CPACK_PACKAGE_FILE_NAME", ""),
          cpack_vars.get("CPACK_PACKAGE_FILE_NAME"))


# ---- the bindings' packages

def check_wheel(path, version):
    name = os.path.basename(path)
    check("%s: the name's version" % name, name.startswith("kelvo-%s-py3-none-" % version))
    with zipfile.ZipFile(path) as whl:
        metadata = [n for n in whl.namelist() if n.endswith(".dist-info/METADATA")]
        meta = whl.read(metadata[0]).decode() if len(metadata) == 1 else ""
        check("%s: METADATA Version %s" % (name, version), search(r"^Version: (.*)$", meta) == version)
        carried = whl.read("kelvo/VERSION").decode().strip() if "kelvo/VERSION" in whl.namelist() else None
        check("%s: kelvo.__version__ reads %s" % (name, version), carried == version, carried)


def assembly_facts(dll, work):
    """{'version': ..., attribute name: value, 'references': [(name, version)]}"""
    exe = os.path.join(work, "AssemblyFacts.exe")
    if not os.path.exists(exe):
        run(["mcs", "-out:" + exe, os.path.join(HERE, "AssemblyFacts.cs")], check=True)
    out = run(["mono", exe, dll], check=True).stdout
    facts = {"references": []}
    for line in out.splitlines():
        key, _, value = line.partition(" ")
        if key == "reference":
            facts["references"].append(tuple(value.split(" ")))
        else:
            facts[key] = value
    return facts


def framework_of(folder):
    """The TargetFramework text an assembly in lib/FOLDER/ should name."""
    found = re.fullmatch(r"netstandard(\d+\.\d+)", folder)
    if found:
        return ".NETStandard,Version=v" + found.group(1)
    found = re.fullmatch(r"net(\d)(\d)(\d?)", folder)
    if found:
        return ".NETFramework,Version=v" + ".".join(d for d in found.groups() if d)
    return None


def check_nupkg(path, version, work):
    name = os.path.basename(path)
    check("%s: the name's version" % name, name == "Kelvo.%s.nupkg" % version)
    with zipfile.ZipFile(path) as pkg:
        nuspec = pkg.read("Kelvo.nuspec").decode()
        check("%s: nuspec version %s" % (name, version),
              search(r"<version>(.*)</version>", nuspec) == version)
        dlls = [n for n in pkg.namelist() if re.fullmatch(r"lib/[^/]+/Kelvo\.dll", n)]
        if not check("%s: one lib/<framework>/Kelvo.dll" % name, len(dlls) == 1, dlls):
            return
        folder = dlls[0].split("/")[1]
        dll = os.path.join(work, "nupkg-Kelvo.dll")
        with open(dll, "wb") as f:
            f.write(pkg.read(dlls[0]))
    if not (shutil.which("mcs") and shutil.which("mono")):
        skip("%s: the assembly's version and framework" % name, "mcs or mono is not installed")
        return
    facts = assembly_facts(dll, work)
    check("%s: Kelvo.dll AssemblyVersion %s.0" % (name, version), facts.get("version") == version + ".0",
          facts.get("version"))
    check("%s: Kelvo.dll AssemblyFileVersion %s.0, AssemblyInformationalVersion %s"
          % (name, version, version),
          facts.get("AssemblyFileVersionAttribute") == version + ".0"
          and facts.get("AssemblyInformationalVersionAttribute") == version, facts)
    framework = facts.get("TargetFrameworkAttribute")
    check("%s: Kelvo.dll in lib/%s/ names that framework" % (name, folder),
          framework is not None and framework == framework_of(folder), framework)
    references = facts["references"]
    if folder.startswith("netstandard"):
        fits = bool(references) and all(n == "netstandard" for n, _ in references)
    else:
        fits = bool(references) and all(n != "netstandard" and v == "4.0.0.0" for n, v in references)
    check("%s: Kelvo.dll references only assemblies of lib/%s/" % (name, folder), fits, references)


def check_unity(path, version):
    name = os.path.basename(path)
    check("%s: the name's version" % name, name == "com.kelvo.client-%s.tgz" % version)
    with tarfile.open(path) as tar:
        manifest = json.loads(tar.extractfile("package/package.json").read())
    check("%s: package.json version %s" % (name, version), manifest.get("version") == version,
          manifest.get("version"))


def build_packages(source, module, version, work):
    """The bindings' packages from the scripts of a release, into work/dist."""
    dist = os.path.join(work, "dist")
    shutil.rmtree(dist, ignore_errors=True)
    os.makedirs(dist)
    bindings = os.path.join(source, "bindings")
    if all(run(["/usr/bin/python3", "-c", "import " + m]).returncode == 0 for m in ("build", "wheel")):
        built = run([os.path.join(bindings, "python/build_wheel.sh"), module, dist])
        wheels = glob.glob(os.path.join(dist, "*.whl"))
        if check("the wheel builds", built.returncode == 0 and len(wheels) == 1, built.stderr[-2000:]):
            check_wheel(wheels[0], version)
    else:
        skip("the wheel", "python3-build or python3-wheel is not installed")
    if all(shutil.which(t) for t in ("mcs", "mono", "nuget")):
        built = run([os.path.join(bindings, "csharp/package_nuget.sh"), version, dist,
                     module, module, module])
        nupkgs = glob.glob(os.path.join(dist, "*.nupkg"))
        if check("the NuGet package builds", built.returncode == 0 and len(nupkgs) == 1,
                 built.stderr[-2000:]):
            check_nupkg(nupkgs[0], version, work)
    else:
        skip("the NuGet package", "mcs, mono or nuget is not installed")
    tgz = os.path.join(dist, "com.kelvo.client-%s.tgz" % version)
    built = run([sys.executable, os.path.join(bindings, "csharp/unity/build_unity_package.py"),
                 version, tgz, module, module, module])
    if check("the Unity package builds", built.returncode == 0, built.stderr[-2000:]):
        check_unity(tgz, version)


# ---- a release's dist/

def check_dist(dist, version, work):
    major, minor, _ = version.split(".")
    names = sorted(os.listdir(dist))
    expected = (["kelvocore-%s-linux-%s.tar.gz" % (version, a) for a in ("x86_64", "aarch64", "armhf")]
                + ["kelvocore_%s_%s.deb" % (version, a) for a in ("amd64", "arm64", "armhf")]
                + ["kelvocore-%s-windows-sdk.zip" % version, "Kelvo.%s.nupkg" % version,
                   "com.kelvo.client-%s.tgz" % version]
                + ["kelvo-%s-py3-none-%s.whl" % (version, p) for p in ("linux_x86_64", "win_amd64", "win32")])
    check("dist/ holds the release's %d files of %s and nothing else but SHA256SUMS"
          % (len(expected), version), names == sorted(expected + ["SHA256SUMS"]),
          sorted(set(names) ^ set(expected + ["SHA256SUMS"])))
    for name in (n for n in expected if n.endswith(".tar.gz") and n in names):
        with tarfile.open(os.path.join(dist, name)) as tar:
            members = {m.name.split("/", 1)[1]: m for m in tar.getmembers() if "/" in m.name}
            carried = members.get("share/kelvo/VERSION")
            carried = tar.extractfile(carried).read().decode().strip() if carried else None
            check("%s: share/kelvo/VERSION says %s" % (name, version), carried == version, carried)
            module = members.get("lib/libkelvocore.so." + version)
            if check("%s: lib/libkelvocore.so.%s" % (name, version), module is not None):
                path = os.path.join(work, "module.so")
                with open(path, "wb") as f:
                    f.write(tar.extractfile(module).read())
                check("%s: its SONAME is libkelvocore.so.%s.%s" % (name, major, minor),
                      soname(path) == "libkelvocore.so.%s.%s" % (major, minor), soname(path))
            header = members.get("include/kelvo/version.h")
            header = tar.extractfile(header).read().decode() if header else ""
            check("%s: kelvo/version.h says %s" % (name, version),
                  search(r'KELVO_VERSION_STRING "(.*)"', header) == version)
    for name in (n for n in expected if n.endswith(".deb") and n in names):
        field = run(["dpkg-deb", "-f", os.path.join(dist, name), "Version"]).stdout.strip()
        check("%s: Version %s" % (name, version), field == version, field)
    zip_name = "kelvocore-%s-windows-sdk.zip" % version
    if zip_name in names:
        with zipfile.ZipFile(os.path.join(dist, zip_name)) as sdk:
            top = "kelvocore-%s-windows-sdk/" % version
            carried = sdk.read(top + "VERSION").decode().strip() if top + "VERSION" in sdk.namelist() else None
            check("%s: VERSION says %s" % (zip_name, version), carried == version, carried)
            for arch in ("x64", "x86"):
                dll = os.path.join(work, "kelvocore-%s.dll" % arch)
                with open(dll, "wb") as f:
                    f.write(sdk.read(top + "bin/%s/kelvocore.dll" % arch))
                if not shutil.which("wrestool"):
                    skip("%s: the %s DLL's version resource" % (zip_name, arch), "icoutils is not installed")
                    continue
                raw = subprocess.run(["wrestool", "-x", "--raw", "--type=version", dll],
                                     capture_output=True).stdout.decode("utf-16-le", "replace")
                words = [w for w in re.split(r"[^\x20-\x7e]+", raw) if w]
                fields = {words[i]: words[i + 1] for i in range(len(words) - 1)}
                check("%s: the %s DLL's FileVersion %s.0, ProductVersion %s" % (zip_name, arch, version, version),
                      fields.get("FileVersion") == version + ".0" and fields.get("ProductVersion") == version,
                      {k: fields.get(k) for k in ("FileVersion", "ProductVersion")})
    for name in names:
        path = os.path.join(dist, name)
        if name.endswith(".whl"):
            check_wheel(path, version)
        elif name.endswith(".nupkg"):
            check_nupkg(path, version, work)
        elif name.startswith("com.kelvo.client-"):
            check_unity(path, version)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--source", required=True)
    ap.add_argument("--build")
    ap.add_argument("--module")
    ap.add_argument("--dist")
    ap.add_argument("--work", required=True)
    args = ap.parse_args()
    source = os.path.abspath(args.source)
    os.makedirs(args.work, exist_ok=True)
    work = tempfile.mkdtemp(dir=args.work)
    try:
        version = read(os.path.join(source, "VERSION")).strip()
        if not check("VERSION holds MAJOR.MINOR.PATCH (%s)" % version,
                     re.fullmatch(r"\d+\.\d+\.\d+", version) is not None):
            return 1
        check_sources(source, version)
        if args.build:
            check_build(os.path.abspath(args.build), os.path.abspath(args.module), version)
            build_packages(source, os.path.abspath(args.module), version, work)
        if args.dist:
            check_dist(os.path.abspath(args.dist), version, work)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    print("versions: %d passed, %d failed" % (passed, failed))
    return 1 if failed else 77 if skipped else 0


if __name__ == "__main__":
    sys.exit(main())
