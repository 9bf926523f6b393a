#!/usr/bin/env python3
"""check-architecture.py ROOT [LINKS]

Holds the code to the picture of ARCHITECTURE.md: its table of libraries
(library, files, may use, portable) is read as data, and

- every source file of the product belongs to exactly one library of the
  table (the most specific pattern wins: a file before a folder, a longer
  folder before a shorter one);
- a file includes headers of its own library and of the libraries its
  library may use, nothing else; every include counts, also one inside
  #if defined(_WIN32);
- a portable library includes no Windows header (windows.h, winternl.h and
  the like) and may use only portable libraries;
- the arrows run one way: no library may use itself through others;
- every library the build defines (LINKS, written by CMake: name, then the
  target's LINK_LIBRARIES) links only libraries its row allows, and every
  library a row allows is used by an include or a link: no stale arrow.

Prints each violation and exits 1; exits 0 with a one-line summary.
"""
import fnmatch
import os
import re
import subprocess
import sys

# System headers that only Windows has: the API's own and the Windows C
# runtime's.
WINDOWS_HEADER = re.compile(
    r"^(win\w*|nt\w*|commctrl|commdlg|shellapi|shlobj|shlwapi|objbase|ole2|oleauto|dbghelp|imagehlp|"
    r"psapi|tlhelp32|sddl|aclapi|accctrl|userenv|lm\w*|io|process|direct|conio)\.h$",
    re.IGNORECASE)
INCLUDE = re.compile(r'^\s*#\s*include\s*([<"])([^>"]+)[>"]')
# Folders that hold no library of the product.
NOT_PRODUCT = ("tests/", "bench/", "examples/", "resources/", "cmake/", "packaging/", "scripts/", "docs/")
SOURCE = (".cpp", ".hpp", ".c", ".h")


class Row:
    def __init__(self, library, patterns, uses, portable, line):
        self.library, self.patterns, self.uses, self.portable, self.line = library, patterns, uses, portable, line


def read_table(path):
    """The rows of the first table whose header begins with | library | files |."""
    rows, inside = [], False
    with open(path, encoding="utf-8") as f:
        for number, line in enumerate(f, 1):
            cells = [c.strip() for c in line.strip().strip("|").split("|")] if line.startswith("|") else None
            if cells and cells[:2] == ["library", "files"]:
                inside = True
                continue
            if not inside:
                continue
            if not cells:
                break
            if set(cells[0]) <= set("-: "):
                continue
            ticks = lambda cell: re.findall(r"`([^`]+)`", cell)
            library = ticks(cells[0])
            if len(cells) < 4 or not library:
                sys.exit(f"{path}:{number}: a row needs a library, files, may use and portable")
            rows.append(Row(library[0], ticks(cells[1]), ticks(cells[2]), cells[3].lower().startswith("yes"),
                            number))
    if not rows:
        sys.exit(f"{path}: no table beginning with | library | files |")
    return rows


def specificity(pattern, path):
    """How closely `pattern` names `path` (higher wins), or None."""
    if pattern.endswith("/"):
        return len(pattern) if path.startswith(pattern) else None
    return 10000 + len(pattern) if fnmatch.fnmatchcase(path, pattern) else None


def owner(rows, path):
    best, best_score = None, -1
    for row in rows:
        for pattern in row.patterns:
            score = specificity(pattern, path)
            if score is not None and score > best_score:
                best, best_score = row, score
    return best


def includes(root, path):
    """(kind, name, line) of every #include of the file."""
    with open(os.path.join(root, path), encoding="utf-8", errors="replace") as f:
        for number, line in enumerate(f, 1):
            m = INCLUDE.match(line)
            if m:
                yield m.group(1), m.group(2), number


def resolve(root, path, name, files):
    """The checkout's file that a quoted include names, or None (a generated header)."""
    for candidate in (name, os.path.normpath(os.path.join(os.path.dirname(path), name))):
        if candidate in files:
            return candidate
    return None


def source_files(root):
    """The checkout's files (tracked and new, not ignored); without git, every
    file outside build/."""
    try:
        listed = subprocess.run(["git", "-C", root, "ls-files", "--cached", "--others", "--exclude-standard"],
                                check=True, capture_output=True, text=True).stdout.split("\n")
        return [f for f in listed if f and os.path.isfile(os.path.join(root, f))]
    except (OSError, subprocess.CalledProcessError):
        found = []
        for folder, subfolders, names in os.walk(root):
            subfolders[:] = [d for d in subfolders if d not in (".git", "build")] if folder == root else subfolders
            found += [os.path.relpath(os.path.join(folder, n), root) for n in names]
        return found


def read_links(path):
    links = {}
    with open(path, encoding="utf-8") as f:
        for line in f:
            name, _, libraries = line.rstrip("\n").partition("\t")
            if name:
                links[name] = libraries
    return links


def main():
    if len(sys.argv) not in (2, 3):
        sys.exit(__doc__)
    root = sys.argv[1]
    rows = read_table(os.path.join(root, "ARCHITECTURE.md"))
    libraries = {}
    for row in rows:
        libraries.setdefault(row.library, []).append(row)
    uses = {lib: {u for r in rs for u in r.uses} for lib, rs in libraries.items()}
    # A library with one row per platform is portable where one of its rows is
    # (its interface); each file is held to its own row.
    portable = {lib: any(r.portable for r in rs) for lib, rs in libraries.items()}
    problems = []

    for row in rows:
        for used in row.uses:
            if used not in libraries:
                problems.append(f"ARCHITECTURE.md:{row.line}: {row.library} may use {used}, which has no row")
            elif row.portable and not portable[used]:
                problems.append(f"ARCHITECTURE.md:{row.line}: portable {row.library} may use {used}, "
                                "which is not portable")

    def reaches(start, target, seen):
        for used in uses.get(start, ()):
            if used == target or (used not in seen and (seen.add(used) or reaches(used, target, seen))):
                return True
        return False
    for lib in libraries:
        if reaches(lib, lib, set()):
            problems.append(f"ARCHITECTURE.md: {lib} uses itself through the libraries it may use (a cycle)")

    files = {f for f in source_files(root) if f.endswith(SOURCE)}
    used_by_include = {lib: set() for lib in libraries}
    checked = 0
    for path in sorted(files):
        row = owner(rows, path)
        if row is None:
            if not path.startswith(NOT_PRODUCT):
                problems.append(f"{path}: belongs to no library of ARCHITECTURE.md")
            continue
        checked += 1
        for kind, name, line in includes(root, path):
            where = f"{path}:{line}"
            if kind == "<":
                if row.portable and WINDOWS_HEADER.match(os.path.basename(name)):
                    problems.append(f"{where}: portable {row.library} includes the Windows header <{name}>")
                continue
            target = resolve(root, path, name, files)
            if target is None:
                continue
            other = owner(rows, target)
            if other is None:
                problems.append(f"{where}: {row.library} includes {target}, which belongs to no library")
                continue
            if other.library == row.library:
                if row.portable and not other.portable:
                    problems.append(f"{where}: portable {path} includes {target}, which is not portable")
                continue
            used_by_include[row.library].add(other.library)
            if row.portable and not other.portable:
                problems.append(f"{where}: portable {row.library} includes {target} of {other.library}, "
                                "which is not portable")
            elif other.library not in uses[row.library]:
                problems.append(f"{where}: {row.library} includes {target} of {other.library}, "
                                f"which {row.library} may not use")

    linked = 0
    if len(sys.argv) == 3:
        links = read_links(sys.argv[2])
        for lib, raw in sorted(links.items()):
            if lib not in libraries:
                continue
            linked += 1
            # Library names as whole words, wherever generator expressions put them.
            actual = {other for other in libraries if re.search(r"(?<![\w-])" + re.escape(other) + r"(?![\w-])", raw)}
            for other in sorted(actual - uses[lib] - {lib}):
                problems.append(f"{lib} links {other}, which ARCHITECTURE.md does not let it use")
            for other in sorted(uses[lib] - actual - used_by_include[lib]):
                if other in links:
                    problems.append(f"{lib} may use {other} (ARCHITECTURE.md), but neither links nor includes it")

    for p in problems:
        print(p)
    if problems:
        print(f"check-architecture: {len(problems)} problems")
        return 1
    print(f"check-architecture: {checked} files of {len(libraries)} libraries follow ARCHITECTURE.md"
          + (f"; {linked} libraries of this build link as it says" if linked else ""))
    return 0


if __name__ == "__main__":
    sys.exit(main())
