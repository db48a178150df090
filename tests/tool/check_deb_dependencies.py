"""check_deb_dependencies.py DEB...

For every ELF file (program or shared library) in each package, every
library it needs (its DT_NEEDED entries) must come from the package itself,
or from a package in the closure of its dependencies (Depends and
Pre-Depends, followed through the given packages and through the packages
installed on this machine). A library from one of the given packages is
found by its file name in them; any other by the dynamic loader's cache
(ldconfig -p) and its owner (dpkg -S).

This is what a clean machine needs: apt-get installs a package's dependency
closure and nothing else, so a library outside it would be missing there.
Prints one line per needed library; exit status 0 when all are covered.
"""

import os
import re
import subprocess
import sys
import tempfile
from pathlib import Path


def run(*command):
    return subprocess.run(command, capture_output=True, text=True)


def control_field(deb, field):
    return run("dpkg-deb", "-f", deb, field).stdout.strip()


def parse_depends(text):
    """Package names of a Depends field; an alternative (a | b) gives a set."""
    groups = []
    for group in filter(None, (g.strip() for g in text.split(","))):
        names = {re.split(r"[\s(:]", alt.strip(), maxsplit=1)[0] for alt in group.split("|")}
        groups.append({n for n in names if n})
    return groups


def is_elf(path):
    try:
        with open(path, "rb") as f:
            return f.read(4) == b"\x7fELF"
    except OSError:
        return False


def needed(path):
    out = run("readelf", "-d", "-W", str(path)).stdout
    return re.findall(r"\(NEEDED\)\s+Shared library: \[([^\]]+)\]", out)


def loader_cache():
    """Library file name -> path, x86-64 entries of ldconfig -p."""
    cache = {}
    for line in run("/sbin/ldconfig", "-p").stdout.splitlines():
        m = re.match(r"\s*(\S+) \(([^)]*)\) => (\S+)", line)
        if m and ("x86-64" in m.group(2) or "64bit" in m.group(2)) and m.group(1) not in cache:
            cache[m.group(1)] = m.group(3)
    return cache


def owner(path):
    """The installed package holding path (merged /usr: /lib and /usr/lib are
    the same folder, recorded under either)."""
    candidates = [path, os.path.realpath(path)]
    for p in list(candidates):
        if p.startswith("/usr/lib/"):
            candidates.append(p[len("/usr"):])
        elif p.startswith("/lib/"):
            candidates.append("/usr" + p)
    for p in candidates:
        done = run("dpkg-query", "-S", p)
        if done.returncode == 0:
            return done.stdout.split(":")[0].split(",")[0].strip()
    return None


def installed_depends(package, memo={}):
    if package not in memo:
        out = run("dpkg-query", "-W", "-f", "${Depends}, ${Pre-Depends}", package).stdout
        memo[package] = parse_depends(out)
    return memo[package]


def main(debs):
    work = Path(tempfile.mkdtemp(prefix="fpmatch-deb-deps-"))
    ours = {}  # package -> (Depends groups, {library file name})
    trees = {}
    for deb in debs:
        package = control_field(deb, "Package")
        tree = work / package
        subprocess.run(["dpkg-deb", "-x", deb, str(tree)], check=True)
        trees[package] = tree
        libraries = {p.name for p in tree.rglob("*.so*") if p.is_file() or p.is_symlink()}
        ours[package] = (parse_depends(control_field(deb, "Depends") + ", " + control_field(deb, "Pre-Depends")),
                         libraries)

    def depends(package):
        return ours[package][0] if package in ours else installed_depends(package)

    def closure(package):
        seen, todo = {package}, [package]
        while todo:
            for group in depends(todo.pop()):
                for name in group:
                    if name not in seen:
                        seen.add(name)
                        todo.append(name)
        return seen

    cache = loader_cache()
    failures = checked = 0
    for package, tree in trees.items():
        reachable = closure(package)
        for path in sorted(p for p in tree.rglob("*") if p.is_file() and not p.is_symlink() and is_elf(p)):
            shown = "/" + str(path.relative_to(tree))
            for library in needed(path):
                checked += 1
                providers = [p for p, (_, libs) in ours.items() if library in libs]
                if providers:
                    source = providers[0]
                elif library in cache:
                    source = owner(cache[library])
                else:
                    source = None
                if source is None:
                    print(f"FAILED: {package}: {shown} needs {library}, which no package provides here")
                    failures += 1
                elif source in reachable:
                    print(f"ok: {package}: {shown} needs {library} ({source})")
                else:
                    print(f"FAILED: {package}: {shown} needs {library} from {source}, which is not among "
                          f"the dependencies of {package} (Depends: {control_field(debs[list(trees).index(package)], 'Depends')})")
                    failures += 1
    subprocess.run(["rm", "-rf", str(work)])
    if checked == 0:
        print("FAILED: no ELF file with needed libraries in the packages")
        return 1
    print(f"{checked} needed libraries checked, {failures} not covered by the dependencies")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
