#!/usr/bin/env python3
"""The collection artifacts in contrib/, as their engines would run them:
the Velociraptor artifact's YAML (the fields the engine needs, the EXECVE
permission and resource limits, the tool pinned by the SHA-256 of the
stripped qst.exe it serves, no shell), its parameters parsed by their types
as the client parses them before the query sees them, and the argument list
the query builds from them run by that qst.exe under Wine on a sample
image; each KAPE module (its FileMask at the module's top, where KAPE reads
it; processors of Executable, CommandLine, ExportFormat and ExportFile) run
the same way on the file it masks, collected apart. Each output is read as
the artifact reads it (JSON Lines, a row a line) and must equal this
build's qst on the same evidence.

    contrib_test.py QST QST_EXE ARTIFACT_YAML KAPE_DIR SOURCE_DIR

Skips (77) without Wine, python3-yaml, mkntfs or icat; fails then when CI
is set.
"""
import glob
import hashlib
import json
import os
import shutil
import subprocess
import sys
import tempfile


def skip(why):
    print(why)
    sys.exit(1 if os.environ.get("CI") else 77)


def run(argv, cwd):
    """Standard output of `argv`, line ends made LF, and its status."""
    p = subprocess.run(argv, cwd=cwd, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    return p.stdout.replace(b"\r\n", b"\n").decode("utf-8"), p.returncode


def rows(text):
    """JSON Lines as the artifact parses them: an object a line."""
    out = [json.loads(line) for line in text.splitlines()]
    assert all(isinstance(r, dict) for r in out), "a line that is not an object"
    return out


def parameter(p):
    """A parameter's default as the client hands it to the query: a
    json_array parsed into an array, a bool a boolean, the rest a string."""
    kind, default = p.get("type", "string"), p.get("default")
    if kind == "json_array":
        return json.loads(default) if default else []
    if kind == "bool":
        return str(default).upper() in ("Y", "TRUE", "1") if default is not None else False
    return default


def argv_of(query, tool, params):
    """The argument list the query gives execve, built as the query builds
    it: the tool, -d Device, Arguments as the array it is, -S with
    Snapshots."""
    assert "parse_json_array" not in query, "the query parses an array it is given parsed"
    assert '(Tool[0].OSPath, "-d", Volume) + Arguments + Extra' in query
    assert 'if(condition=Snapshots, then=["-S"], else=[])' in query
    return [tool, "-d", params["Device"]] + params["Arguments"] + (
        ["-S"] if params["Snapshots"] else [])


def check_artifact(artifact, exe, qst, image, work):
    for field in ("name", "description", "type", "tools", "parameters", "sources",
                  "required_permissions", "resources"):
        assert field in artifact, f"the artifact has no {field}"
    assert artifact["type"] == "CLIENT"
    assert "EXECVE" in artifact["required_permissions"], "running qst.exe needs EXECVE"
    for limit in ("timeout", "max_rows", "max_upload_bytes"):
        assert artifact["resources"].get(limit, 0) > 0, f"no {limit}"
    for warning in ("Prefetch", "USN journal"):
        assert warning in artifact["description"], f"the description does not warn of {warning}"
    tool = artifact["tools"][0]
    served = os.path.join(os.path.dirname(exe), "qst-artifact.exe")
    digest = hashlib.sha256(open(served, "rb").read()).hexdigest()
    assert tool["name"] == "Quillstamp" and tool["expected_hash"] == digest, \
        "the tool is not pinned by the served qst.exe's SHA-256"
    assert os.path.getsize(served) < os.path.getsize(exe) / 4, "the served qst.exe is not stripped"
    query = artifact["sources"][0]["query"]
    assert "execve(" in query and "argv=" in query
    for shell in ("cmd", "powershell", "shell("):
        assert shell not in query.lower(), f"the query runs {shell}"
    declared = {p["name"]: p for p in artifact["parameters"]}
    assert declared["Device"]["default"] == "\\\\.\\C:"
    params = {name: parameter(p) for name, p in declared.items()}
    assert isinstance(params["Arguments"], list) and "--json" in params["Arguments"]
    win_image = "Z:" + image.replace("/", "\\")
    wine = shutil.which("wine64") or shutil.which("wine")
    for snapshots in (False, True):
        params.update(Device=win_image, Snapshots=snapshots)
        argv = argv_of(query, served, params)
        windows, wstatus = run([wine] + argv, work)
        linux, status = run([qst, "-d", image] + argv[3:], work)
        assert (status, wstatus) == (0, 0), f"statuses {status} {wstatus}"
        assert rows(windows) == rows(linux), "the artifact's rows differ from this build's"
        assert len(rows(windows)) >= 5, "too few rows"
        print(f"ok   artifact{' with Snapshots' if snapshots else ''}: {len(rows(windows))} rows")


def check_modules(kape_dir, exe, qst, collected, work):
    import yaml
    wine = shutil.which("wine64") or shutil.which("wine")
    masks = []
    for path in sorted(glob.glob(os.path.join(kape_dir, "*.mkape"))):
        module = yaml.safe_load(open(path, encoding="utf-8"))
        for field in ("Description", "Category", "Author", "Version", "Id", "ExportFormat",
                      "FileMask", "Processors"):
            assert field in module, f"{path}: the module has no {field}"
        mask = module["FileMask"]
        masks.append(mask)
        for processor in module["Processors"]:
            assert set(processor) == {"Executable", "CommandLine", "ExportFormat", "ExportFile"}, \
                f"{path}: a processor's fields are {sorted(processor)}"
            assert processor["Executable"] == "qst.exe"
            argv = processor["CommandLine"].split(" ")
            assert any("%sourceFile%" in a for a in argv), f"{path}: no %sourceFile%"
            source = collected[mask]
            windows, wstatus = run(
                [wine, exe] + [a.replace("%sourceFile%", "Z:" + source.replace("/", "\\"))
                               for a in argv], work)
            linux, status = run([qst] + [a.replace("%sourceFile%", source) for a in argv], work)
            assert (status, wstatus) == (0, 0), f"{mask}: {status} {wstatus}"
            got = rows(windows)
            assert got == rows(linux) and got, f"{mask}: rows differ or none"
            print(f"ok   module {mask}: {len(got)} rows")
    assert sorted(masks) == sorted(collected), f"modules for {masks}"


def main():
    qst, exe, artifact_path, kape_dir, source = sys.argv[1:6]
    try:
        import yaml
    except ImportError:
        skip("needs python3-yaml")
    wine = shutil.which("wine64") or shutil.which("wine")
    if not wine or not shutil.which("mkntfs") or not shutil.which("icat"):
        skip("needs Wine, mkntfs and icat")
    os.environ["WINEDEBUG"] = "-all"
    os.environ.setdefault("WINEPREFIX", os.path.join(os.path.dirname(exe), "wineprefix"))

    artifact = yaml.safe_load(open(artifact_path, encoding="utf-8"))
    work = tempfile.mkdtemp(prefix="qst_contrib_")
    try:
        image = os.path.join(work, "sample.img")
        subprocess.run(["bash", os.path.join(source, "scripts", "sample-image.sh"), image],
                       check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        check_artifact(artifact, exe, qst, image, work)

        # What a FileSystem target collects: $MFT, $J and $LogFile.
        collected = {"$MFT": os.path.join(work, "MFT"), "$J": os.path.join(work, "J"),
                     "$LogFile": os.path.join(work, "LogFile")}
        with open(collected["$MFT"], "wb") as f:
            subprocess.run(["icat", image, "0"], check=True, stdout=f)
        # ntfs-3g keeps no log records: a Windows 10 log collected apart.
        log = os.path.join(source, "..", "shared", "evidence", "logfile-win10.bin")
        if not os.path.exists(log):
            skip(f"needs {log}")
        shutil.copyfile(log, collected["$LogFile"])
        seed = os.path.join(source, "tests", "fuzz", "corpus", "fuzz_usn_journal", "three-versions")
        with open(collected["$J"], "wb") as f:
            f.write(open(seed, "rb").read()[11:])  # past the seed's control byte and run list
        check_modules(kape_dir, exe, qst, collected, work)
    finally:
        shutil.rmtree(work)


if __name__ == "__main__":
    main()
