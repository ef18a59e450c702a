#!/usr/bin/env python3
"""The collection artifacts in contrib/, as their engines would run them:
the Velociraptor artifact's YAML (the fields the engine needs, the tool
pinned by the SHA-256 of this qst.exe, no shell) and the exact argument list
it holds run by qst.exe under Wine on a sample image; the KAPE module's
command lines run the same way on a $MFT and a $J collected apart. Each
output is read as the artifact reads it (JSON Lines, a row a line) and must
equal this build's qst on the same evidence.

    contrib_test.py QST QST_EXE ARTIFACT_YAML MKAPE SOURCE_DIR

Skips (77) without Wine, python3-yaml, mkntfs or icat; fails then when CI
is set.
"""
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


def main():
    qst, exe, artifact_path, mkape_path, source = sys.argv[1:6]
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
    for field in ("name", "description", "type", "tools", "parameters", "sources"):
        assert field in artifact, f"the artifact has no {field}"
    assert artifact["type"] == "CLIENT"
    for warning in ("Prefetch", "USN journal"):
        assert warning in artifact["description"], f"the description does not warn of {warning}"
    tool = artifact["tools"][0]
    digest = hashlib.sha256(open(exe, "rb").read()).hexdigest()
    assert tool["name"] == "Quillstamp" and tool["expected_hash"] == digest, \
        "the tool is not pinned by this qst.exe's SHA-256"
    query = artifact["sources"][0]["query"]
    assert "execve(" in query and "argv=" in query
    for shell in ("cmd", "powershell", "shell("):
        assert shell not in query.lower(), f"the query runs {shell}"
    params = {p["name"]: p for p in artifact["parameters"]}
    assert params["Device"]["default"] == "\\\\.\\C:"
    arguments = json.loads(params["Arguments"]["default"])
    assert "--json" in arguments

    mkape = yaml.safe_load(open(mkape_path, encoding="utf-8"))
    for field in ("Description", "Category", "Author", "Version", "Id", "Processors"):
        assert field in mkape, f"the module has no {field}"

    work = tempfile.mkdtemp(prefix="qst_contrib_")
    try:
        image = os.path.join(work, "sample.img")
        subprocess.run(["bash", os.path.join(source, "scripts", "sample-image.sh"), image],
                       check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        win_image = "Z:" + image.replace("/", "\\")
        # The artifact's argument list, after "-d Device".
        linux, status = run([qst, "-d", image] + arguments, work)
        windows, wstatus = run([wine, exe, "-d", win_image] + arguments, work)
        assert (status, wstatus) == (0, 0), f"statuses {status} {wstatus}"
        assert rows(windows) == rows(linux), "the artifact's rows differ from this build's"
        assert len(rows(windows)) >= 5, "too few rows"
        print(f"ok   artifact: {len(rows(windows))} rows")

        # The KAPE module's processors, each on the file its mask names.
        collected = {"$MFT": os.path.join(work, "MFT"), "$J": os.path.join(work, "J")}
        with open(collected["$MFT"], "wb") as f:
            subprocess.run(["icat", image, "0"], check=True, stdout=f)
        seed = os.path.join(source, "tests", "fuzz", "corpus", "fuzz_usn_journal", "three-versions")
        with open(collected["$J"], "wb") as f:
            f.write(open(seed, "rb").read()[11:])  # past the seed's control byte and run list
        for processor in mkape["Processors"]:
            assert processor["Executable"] == "qst.exe"
            path = collected[processor["FileMask"]]
            argv = processor["CommandLine"].split(" ")
            windows, wstatus = run(
                [wine, exe] + [a.replace("%sourceFile%", "Z:" + path.replace("/", "\\"))
                               for a in argv], work)
            linux, status = run([qst] + [a.replace("%sourceFile%", path) for a in argv], work)
            assert (status, wstatus) == (0, 0), f"{processor['FileMask']}: {status} {wstatus}"
            got = rows(windows)
            assert got == rows(linux) and got, f"{processor['FileMask']}: rows differ or none"
            print(f"ok   module {processor['FileMask']}: {len(got)} rows")
    finally:
        shutil.rmtree(work)


if __name__ == "__main__":
    main()
