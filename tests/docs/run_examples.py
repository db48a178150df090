#!/usr/bin/env python3
"""Runs the examples of the README and docs/ and compares what they print.

Fence kinds (the word after the opening ```):

  console        runnable: every line starting with "$ " is a command (a line
                 ending in "\\" continues on the next one), the lines under it
                 up to the next command are what it prints: standard output,
                 then standard error (or standard error first). A line "..."
                 stands for any number of lines, "..." inside a line for any
                 text. A command may exit non-zero only when the block shows
                 what it printed.
  LANG file=NAME a file the next console block of the same page uses: written
                 as NAME into that block's folder (C, Python, Java programs).
  text           output formats, layouts, usage lines: not run.
  sh             commands that install onto the machine or need a cluster:
                 not run here (tool.debian_packages, tool.install_and_consume
                 and the pip install test run the install paths).
  cmake          CMake lines for a consumer project: not run here
                 (tool.install_and_consume builds tests/tool/consumer with them).

Any other fence (no kind, or c/python/java without file=) is an error: every
program shown is run.

Each console block runs in a fresh temporary folder, its commands one after
another in one bash (so `cd`, variables and `$?` carry over), with the
build's tools first on PATH, the build's Python package on PYTHONPATH,
fpmatch.pc for the build tree on PKG_CONFIG_PATH, the headers on CPATH, the
build's libraries on LIBRARY_PATH and LD_LIBRARY_PATH (and so on the JVM's
java.library.path), and
/usr/share/java/fpmatch.jar in commands read as the build's jar. The folder
holds links DB1_B..DB4_B to the FVC2002 sets; a block that names one of them
is skipped (and reported) when the data is absent, as is a block whose
program (java, python3, fpmatch-mpi, mpirun) the build lacks.

Exit status: 0 all ran and matched, 1 a mismatch or a malformed page,
77 nothing failed but some blocks were skipped.
"""

import argparse
import glob
import os
import re
import shutil
import subprocess
import sys
import tempfile

RUN_KINDS = {"console"}
QUIET_KINDS = {"text", "sh", "cmake"}
# DB1_B .. DB4_B, also as a brace list (DB{1,2,3,4}_B).
DATA_RE = re.compile(r"\bDB(?:[1-4]|\{[1-4,.]+\})_B\b")
FENCE_RE = re.compile(r"^(\s*)(`{3,}|~{3,})\s*(.*)$")


class Block:
    def __init__(self, page, line, kind, attrs, body):
        self.page, self.line, self.kind, self.attrs, self.body = page, line, kind, attrs, body

    def where(self):
        return f"{self.page}:{self.line}"


def parse_page(path, shown):
    """The fenced blocks of a Markdown page, in order."""
    blocks = []
    lines = open(path, encoding="utf-8").read().split("\n")
    i = 0
    while i < len(lines):
        m = FENCE_RE.match(lines[i])
        if not m:
            i += 1
            continue
        indent, fence, info = m.group(1), m.group(2), m.group(3).strip()
        start = i + 1
        body = []
        i += 1
        while i < len(lines):
            close = re.match(r"^\s*" + re.escape(fence[0]) + "{" + str(len(fence)) + r",}\s*$", lines[i])
            if close:
                break
            line = lines[i]
            body.append(line[len(indent):] if line.startswith(indent) else line.lstrip())
            i += 1
        i += 1
        words = info.split()
        kind = words[0] if words else ""
        attrs = dict(w.split("=", 1) for w in words[1:] if "=" in w)
        blocks.append(Block(shown, start, kind, attrs, body))
    return blocks


def split_commands(block):
    """[(command, [expected lines])] of a console block."""
    steps = []
    lines = block.body
    i = 0
    while i < len(lines):
        line = lines[i]
        if not line.startswith("$ "):
            if steps:
                steps[-1][1].append(line)
            elif line.strip():
                raise ValueError(f"{block.where()}: output before the first command: {line!r}")
            i += 1
            continue
        command = line[2:]
        while command.endswith("\\") and i + 1 < len(lines):
            i += 1
            command = command + "\n" + lines[i]
        steps.append((command, []))
        i += 1
    for _, expected in steps:
        while expected and not expected[-1].strip():
            expected.pop()
    if not steps:
        raise ValueError(f"{block.where()}: a console block without a command")
    return steps


def line_matches(pattern, text):
    if "..." not in pattern:
        return pattern == text
    parts = pattern.split("...")
    return re.fullmatch(".*".join(re.escape(p) for p in parts), text, re.S) is not None


def lines_match(expected, actual):
    """expected (with "..." lines) against actual, both lists of lines."""
    memo = {}

    def walk(e, a):
        key = (e, a)
        if key in memo:
            return memo[key]
        if e == len(expected):
            result = a == len(actual)
        elif expected[e].strip() == "...":
            result = any(walk(e + 1, k) for k in range(a, len(actual) + 1))
        else:
            result = a < len(actual) and line_matches(expected[e], actual[a]) and walk(e + 1, a + 1)
        memo[key] = result
        return result

    sys.setrecursionlimit(max(10000, 4 * (len(expected) + len(actual))))
    return walk(0, 0)


def output_lines(data):
    text = data.decode("utf-8", "backslashreplace")
    lines = [line.rstrip() for line in text.split("\n")]
    if lines and lines[-1] == "":
        lines.pop()
    return lines


def write_pkgconfig(folder, args):
    """fpmatch.pc for the build tree."""
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, "fpmatch.pc"), "w", encoding="utf-8") as f:
        f.write(f"Name: fpmatch\nDescription: fpmatch from the build tree\nVersion: 0\n"
                f"Libs: -L{args.lib_dir} -Wl,-rpath,{args.lib_dir} -lfpmatch\n"
                f"Libs.private: -lm\nCflags: -I{args.include_dir}\n")


def block_needs(block, steps, files, args):
    """Why the block cannot run here, or None."""
    text = "\n".join(c for c, _ in steps) + "\n" + "\n".join("\n".join(f.body) for f in files)
    if DATA_RE.search(text) and not all(os.path.isdir(os.path.join(args.data, d))
                                       for d in ("DB1_B", "DB2_B", "DB3_B", "DB4_B")):
        return f"no FVC2002 data in {args.data}"
    commands = "\n".join(c for c, _ in steps)
    if re.search(r"\bjavac?\b", commands) and not (args.jar and os.path.isfile(args.jar)):
        return "the build has no Java jar"
    if re.search(r"\bpython3\b", commands) and not (args.python and args.python_dir and
                                                    glob.glob(os.path.join(args.python_dir, "fpmatch", "_fpmatch*.so"))):
        return "the build has no Python package"
    if re.search(r"\b(fpmatch-mpi|mpirun)\b", commands) and not (args.mpi_dir and shutil.which("mpirun")):
        return "the build has no fpmatch-mpi (or no mpirun)"
    return None


def run_block(block, files, args, env):
    steps = split_commands(block)
    reason = block_needs(block, steps, files, args)
    if reason:
        return "skip", reason
    top = tempfile.mkdtemp(prefix="fpmatch-docs-")
    try:
        work = os.path.join(top, "work")
        out = os.path.join(top, "out")
        os.makedirs(work)
        os.makedirs(out)
        for db in ("DB1_B", "DB2_B", "DB3_B", "DB4_B"):
            if os.path.isdir(os.path.join(args.data, db)):
                os.symlink(os.path.abspath(os.path.join(args.data, db)), os.path.join(work, db))
        for f in files:
            with open(os.path.join(work, f.attrs["file"]), "w", encoding="utf-8") as w:
                w.write("\n".join(f.body) + "\n")
        script = ["__rc=0"]
        for n, (command, _) in enumerate(steps):
            for installed, built in args.substitutions:
                command = command.replace(installed, built)
            script.append(f"(exit $__rc); {{\n{command}\n}} >{out}/{n}.o 2>{out}/{n}.e </dev/null; "
                          f"__rc=$?; echo $__rc >{out}/{n}.rc")
        try:
            subprocess.run(["bash", "-c", "\n".join(script)], cwd=work, env=env, timeout=args.timeout,
                           stdin=subprocess.DEVNULL)
        except subprocess.TimeoutExpired:
            return "fail", f"timed out after {args.timeout} s"
        for n, (command, expected) in enumerate(steps):
            try:
                rc = int(open(f"{out}/{n}.rc").read())
                stdout = output_lines(open(f"{out}/{n}.o", "rb").read())
                stderr = output_lines(open(f"{out}/{n}.e", "rb").read())
            except (OSError, ValueError):
                return "fail", f"$ {command}\n  did not run"
            actual = stdout + stderr
            if not lines_match(expected, actual) and not (stdout and stderr and lines_match(expected, stderr + stdout)):
                return "fail", (f"$ {command}\n  shown:\n" + "".join(f"    {l}\n" for l in expected)
                                + f"  printed (exit {rc}):\n" + "".join(f"    {l}\n" for l in actual))
            if rc != 0 and not expected:
                return "fail", f"$ {command}\n  exit {rc}, and the block shows no output"
        return "ok", f"{len(steps)} command(s)"
    finally:
        shutil.rmtree(top, ignore_errors=True)


def main():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--source", required=True, help="the checkout")
    p.add_argument("--data", required=True, help="folder of DB1_B..DB4_B")
    p.add_argument("--path", action="append", default=[], help="folder put first on PATH (repeatable)")
    p.add_argument("--lib-dir", default="", help="folder of libfpmatch.so")
    p.add_argument("--id-lib-dir", default="", help="folder of libfpmatch-id.so")
    p.add_argument("--include-dir", default="", help="folder of the public headers")
    p.add_argument("--python", default="", help="the interpreter the Python package was built for")
    p.add_argument("--python-dir", default="", help="folder holding the built package fpmatch/")
    p.add_argument("--jar", default="", help="the built fpmatch.jar")
    p.add_argument("--mpi-dir", default="", help="folder of fpmatch-mpi")
    p.add_argument("--timeout", type=int, default=600, help="seconds per block")
    p.add_argument("--only", default="", help="run only blocks whose page:line contains this")
    p.add_argument("pages", nargs="*", help="pages (default: README.md and docs/*.md)")
    args = p.parse_args()
    args.include_dir = args.include_dir or os.path.join(args.source, "include")
    args.substitutions = [("/usr/share/java/fpmatch.jar", args.jar)] if args.jar else []

    pages = args.pages or ["README.md"] + sorted(
        os.path.join("docs", f) for f in os.listdir(os.path.join(args.source, "docs")) if f.endswith(".md"))

    top = tempfile.mkdtemp(prefix="fpmatch-docs-env-")
    env = dict(os.environ)
    bin_dir = os.path.join(top, "bin")
    os.makedirs(bin_dir)
    if args.python:
        os.symlink(args.python, os.path.join(bin_dir, "python3"))
    paths = [bin_dir] + [d for d in args.path + [args.mpi_dir] if d]
    env["PATH"] = os.pathsep.join(paths + [env.get("PATH", "")])
    env["PYTHONPATH"] = args.python_dir
    env["PYTHONDONTWRITEBYTECODE"] = "1"
    env["LD_LIBRARY_PATH"] = os.pathsep.join(d for d in (args.lib_dir, args.id_lib_dir,
                                                         os.path.dirname(args.jar) if args.jar else "") if d)
    # A compiler finds the headers and libraries as if installed in /usr.
    env["CPATH"] = args.include_dir
    env["LIBRARY_PATH"] = os.pathsep.join(d for d in (args.lib_dir, args.id_lib_dir) if d)
    pc_dir = os.path.join(top, "pkgconfig")
    write_pkgconfig(pc_dir, args)
    env["PKG_CONFIG_PATH"] = pc_dir
    # Open MPI in containers: as root, more ranks than cores, no cross-memory attach.
    env.update({"OMPI_ALLOW_RUN_AS_ROOT": "1", "OMPI_ALLOW_RUN_AS_ROOT_CONFIRM": "1",
                "OMPI_MCA_rmaps_base_oversubscribe": "1", "OMPI_MCA_btl_vader_single_copy_mechanism": "none"})
    for name in ("CLASSPATH", "JAVA_TOOL_OPTIONS", "_JAVA_OPTIONS", "LANG", "LC_ALL"):
        env.pop(name, None)
    env["LC_ALL"] = "C.UTF-8"

    counts = {"ok": 0, "fail": 0, "skip": 0, "quiet": 0}
    errors = 0
    try:
        for page in pages:
            blocks = parse_page(os.path.join(args.source, page), page)
            pending = []
            for block in blocks:
                if block.kind in RUN_KINDS:
                    if args.only and args.only not in block.where():
                        pending = []
                        continue
                    try:
                        status, detail = run_block(block, pending, args, env)
                    except ValueError as e:
                        status, detail = "fail", str(e)
                    counts[status] += 1
                    names = "".join(f" + {f.attrs['file']}" for f in pending)
                    print(f"{status.upper():4} {block.where()}{names}: {detail}" if status != "fail"
                          else f"FAIL {block.where()}{names}:\n{detail}")
                    pending = []
                elif "file" in block.attrs:
                    pending.append(block)
                elif block.kind in QUIET_KINDS:
                    counts["quiet"] += 1
                else:
                    errors += 1
                    what = f"a '{block.kind}' block" if block.kind else "a fence without a kind"
                    print(f"FAIL {block.where()}: {what} that nothing runs (console, LANG file=NAME, "
                          f"or a kind that is not run: {', '.join(sorted(QUIET_KINDS))})")
            for f in pending:
                if not args.only:
                    errors += 1
                    print(f"FAIL {f.where()}: file={f.attrs['file']} is used by no console block after it")
    finally:
        shutil.rmtree(top, ignore_errors=True)

    failed = counts["fail"] + errors
    print(f"docs examples: {counts['ok']} blocks ran and matched, {counts['fail']} differ, "
          f"{counts['skip']} skipped, {errors} malformed; {counts['quiet']} blocks are not run (text, sh, cmake)")
    if failed:
        return 1
    return 77 if counts["skip"] else 0


if __name__ == "__main__":
    sys.exit(main())
