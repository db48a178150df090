"""The README's Python install and example, run as a user would run them.

    readme_install.py install SOURCE WORK VERSION
        Copies the checkout's files (git's list when it is a git checkout) to
        WORK/checkout and runs the README's install commands there with HOME
        set to WORK/home, offline; then checks that the installed package
        imports from the new environment with the header's version.
    readme_install.py example SOURCE WORK TOOL DATA BUILD_PYTHON
        In that checkout, with DB1_B..DB4_B (and ../shared/data/fvc2002)
        pointing into DATA and build/tools/fpmatch at TOOL: runs the tool
        commands the example names in comments ("#   $ command"),
        then the example in the installed package, and compares its output
        with the same example on the build tree's package (BUILD_PYTHON) and
        with the value its first comment gives. Exit 77 without DATA.
    readme_install.py missing SOURCE WORK
        The same install commands with a venv made without
        --system-site-packages and without setuptools: they must fail
        before building, with a message that names every missing module and
        the README section, and install nothing.

Exit status 0 when every check passes, 1 otherwise.
"""

import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

README_SECTION = "### Python"


def fail(message):
    print(f"FAILED: {message}")
    sys.exit(1)


def readme_blocks(source):
    """The first ```sh block of the README's Python install section holding
    a pip install, and the first ```python block after it in the README (the
    Python quick start). A fence may carry more words after its kind
    (```python file=quick.py)."""
    text = (Path(source) / "README.md").read_text()
    start = text.find("\n" + README_SECTION + "\n")
    if start < 0:
        fail(f"README.md has no section '{README_SECTION}'")
    blocks = re.findall(r"```(\w+)[^\n]*\n(.*?)```", text[start:], re.S)
    install = next((b for lang, b in blocks if lang == "sh" and "pip install" in b), None)
    if install is None:
        fail("the README's Python section has no sh block with 'pip install'")
    after = blocks[[b for _, b in blocks].index(install) + 1:]
    example = next((b for lang, b in after if lang == "python"), None)
    if example is None:
        fail("the README has no python block after the install")
    return install, example


def clean_copy(source, target):
    """The files of the checkout, without build folders: git's list of
    tracked and untracked, not ignored files, or a copy without build*."""
    source = Path(source)
    if target.exists():
        shutil.rmtree(target)
    listed = subprocess.run(["git", "-C", str(source), "ls-files", "-z", "--cached", "--others",
                             "--exclude-standard"], capture_output=True)
    if listed.returncode == 0 and listed.stdout:
        for name in sorted(set(listed.stdout.decode().split("\0")) - {""}):
            src = source / name
            if not src.is_file():  # listed but deleted in the working tree
                continue
            dst = target / name
            dst.parent.mkdir(parents=True, exist_ok=True)
            shutil.copy2(src, dst)
    else:
        shutil.copytree(source, target, symlinks=True,
                        ignore=shutil.ignore_patterns("build*", ".git", "__pycache__", "*.egg-info"))


def user_env(home):
    """A plain user's environment: HOME moved, nothing of the test run's
    Python settings, no package index."""
    env = {k: v for k, v in os.environ.items()
           if not k.startswith(("PYTHON", "PIP_", "VIRTUAL_ENV", "FPMATCH_", "CONDA"))}
    env["HOME"] = str(home)
    return env


def run_shell(commands, cwd, env):
    """Runs commands as a user would paste them into bash; returns the
    completed process (stdout and stderr together)."""
    return subprocess.run(["bash", "-e", "-x", "-c", commands], cwd=cwd, env=env,
                          stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)


def venv_python(home):
    # The README installs into ~/fpmatch-venv.
    return home / "fpmatch-venv" / "bin" / "python"


def install(source, work, version):
    work = Path(work).resolve()
    install_commands, _ = readme_blocks(source)
    if "--no-index" not in install_commands:
        fail("the README's install is not offline (no --no-index):\n" + install_commands)
    home = work / "home"
    shutil.rmtree(home, ignore_errors=True)
    home.mkdir(parents=True)
    checkout = work / "checkout"
    clean_copy(source, checkout)
    env = user_env(home)
    done = run_shell(install_commands, checkout, env)
    print(done.stdout)
    if done.returncode != 0:
        fail(f"the README's install commands exited with {done.returncode}")
    python = venv_python(home)
    probe = subprocess.run([str(python), "-c", "import fpmatch, sys; print(fpmatch.__version__); "
                            "print(fpmatch.__file__); print(fpmatch.algorithm_version())"],
                           cwd=home, env=env, capture_output=True, text=True)
    if probe.returncode != 0:
        fail(f"the installed package does not import:\n{probe.stderr}")
    found_version, found_file, _ = probe.stdout.splitlines()
    print(f"installed fpmatch {found_version} at {found_file}")
    if found_version != version:
        fail(f"installed version {found_version}, the header says {version}")
    if not Path(found_file).resolve().is_relative_to((home / "fpmatch-venv").resolve()):
        fail(f"fpmatch imported from {found_file}, outside the new environment")


def example(source, work, tool, data, build_python):
    work = Path(work).resolve()
    if not Path(data, "DB1_B").is_dir():
        print(f"the README's example needs the FVC2002 templates: no {data}/DB1_B")
        sys.exit(77)
    if not tool:
        print("the README's example packs a gallery with the fpmatch tool, which this build leaves out")
        sys.exit(77)
    _, code = readme_blocks(source)
    home, checkout = work / "home", work / "checkout"
    python = venv_python(home)
    if not python.exists():
        fail(f"no {python}: the install test did not run")
    # The paths the example names, relative to the checkout.
    shared = work / "shared" / "data"
    shared.mkdir(parents=True, exist_ok=True)
    link = shared / "fvc2002"
    if link.is_symlink() or link.exists():
        link.unlink()
    link.symlink_to(Path(data).resolve())
    # The quick start runs in a folder holding the FVC2002 sets.
    for db in ("DB1_B", "DB2_B", "DB3_B", "DB4_B"):
        db_link = checkout / db
        if db_link.is_symlink() or db_link.exists():
            db_link.unlink()
        if Path(data, db).is_dir():
            db_link.symlink_to(Path(data, db).resolve())
    tool_link = checkout / "build" / "tools" / "fpmatch"
    tool_link.parent.mkdir(parents=True, exist_ok=True)
    if tool_link.is_symlink() or tool_link.exists():
        tool_link.unlink()
    tool_link.symlink_to(Path(tool).resolve())
    env = user_env(home)
    # Shell commands the example shows in its comments ("#   $ command").
    for line in code.splitlines():
        m = re.match(r"\s*#\s+\$ (.*)", line)
        if m:
            done = run_shell(m.group(1), checkout, env)
            if done.returncode != 0:
                fail(f"`{m.group(1)}` exited with {done.returncode}:\n{done.stdout}")
    script = work / "example.py"
    script.write_text(code)
    installed = subprocess.run([str(python), str(script)], cwd=checkout, env=env, capture_output=True, text=True)
    print(installed.stdout, installed.stderr, sep="")
    if installed.returncode != 0:
        fail(f"the example exited with {installed.returncode} in the installed package")
    tree_env = dict(env, PYTHONPATH=str(build_python), PYTHONDONTWRITEBYTECODE="1")
    tree = subprocess.run([sys.executable, str(script)], cwd=checkout, env=tree_env, capture_output=True, text=True)
    if tree.returncode != 0:
        fail(f"the example exited with {tree.returncode} on the build tree's package:\n{tree.stderr}")
    if installed.stdout != tree.stdout:
        fail("the installed package prints other results than the build tree's:\n" + tree.stdout)
    # The value the example's first commented print promises.
    promised = next((m.group(1) for m in (re.search(r"print\(.*\)\s*#\s*(\S+)\s*$", l) for l in code.splitlines())
                     if m), None)
    first = installed.stdout.splitlines()[0] if installed.stdout else ""
    if promised is not None and first != promised:
        fail(f"the example's first line is {first!r}; the README's comment says {promised!r}")
    print(f"the README's example ran in the installed package ({len(installed.stdout.splitlines())} lines, "
          "the same as the build tree's)")


def missing(source, work):
    work = Path(work).resolve()
    install_commands, _ = readme_blocks(source)
    home = work / "home"
    shutil.rmtree(work, ignore_errors=True)
    home.mkdir(parents=True)
    checkout = work / "checkout"
    clean_copy(source, checkout)
    env = user_env(home)
    # A venv of Debian's Python that sees none of Debian's modules, its
    # setuptools removed: only pip is left.
    venv = home / "fpmatch-venv"
    subprocess.run(["/usr/bin/python3", "-m", "venv", str(venv)], check=True, env=env)
    subprocess.run([str(venv / "bin" / "python"), "-m", "pip", "uninstall", "-q", "-y", "setuptools"],
                   env=env, capture_output=True)
    absent = [m for m in ("setuptools", "wheel", "pybind11", "numpy")
              if subprocess.run([str(venv / "bin" / "python"), "-c", f"import {m}"], env=env,
                                capture_output=True).returncode != 0]
    if absent != ["setuptools", "wheel", "pybind11", "numpy"]:
        fail(f"the bare venv still has some of setuptools, wheel, pybind11, numpy (lacks only {absent})")
    # The README's commands but its venv creation: the venv is the bare one.
    pip_lines = "\n".join(l for l in install_commands.splitlines() if "-m venv" not in l)
    done = run_shell(pip_lines, checkout, env)
    print(done.stdout)
    if done.returncode == 0:
        fail("the install succeeded without setuptools, wheel, pybind11 and numpy")
    for word in absent + ['README.md, section "Python"']:
        if word not in done.stdout:
            fail(f"the failed install does not name {word}")
    if (checkout / "build-python").exists():
        fail("the failed install started building (build-python exists)")
    if subprocess.run([str(venv / "bin" / "python"), "-c", "import fpmatch"], cwd=home, env=env,
                      capture_output=True).returncode == 0:
        fail("fpmatch imports after the failed install")
    print("the install stopped before building and named " + ", ".join(absent) + " and the README section")


if __name__ == "__main__":
    if len(sys.argv) < 2:
        print(__doc__)
        sys.exit(2)
    case, args = sys.argv[1], sys.argv[2:]
    {"install": install, "example": example, "missing": missing}[case](*args)
