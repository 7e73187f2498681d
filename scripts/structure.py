#!/usr/bin/env python3
"""The project's structure drawn from its #include lines: the arrows between
folders (rooms), any folder cycle, any arrow from a lower room to a higher
one, any include not written from the project root, functions longer than
the limit, and test seams that product code uses. The Python of tools/ is held
to the same rules: no cycle between its modules (drawn from their imports) and
no function longer than the limit.

    /usr/bin/python3 scripts/structure.py            # arrows, cycles, rank, long functions, seams
    /usr/bin/python3 scripts/structure.py --check    # exit 1 on any of them

The ranks (higher rooms may include lower ones, never the reverse) are the
ones docs/architecture.md draws.
"""
import argparse
import ast
import collections
import pathlib
import re
import sys

ROOT = pathlib.Path(__file__).resolve().parent.parent
PRODUCT = ["Launcher", "ui", "game", "board", "session", "modes", "update", "common"]
# Top to bottom; a room may include rooms of a lower rank only. The engine's
# rooms are ranked among themselves under update/'s own rank: its root (the
# download and the start-up check) above apply/ and repair/, which sit above
# fetch/ and unpack/, above manifests/, above disk/.
RANK = {"Launcher": (5, 0), "ui": (3, 0), "game": (3, 0), "board": (2, 0), "session": (2, 0), "modes": (1, 0),
        "update": (0, 6), "update/repair": (0, 5), "update/apply": (0, 4), "update/fetch": (0, 3),
        "update/unpack": (0, 3), "update/manifests": (0, 2), "update/disk": (0, 1), "common": (-1, 0),
        "generated": (-2, 0)}
# Headers that CMake writes into build/generated from a template in cmake/;
# they make up the room "generated", under every other one.
GENERATED = {"Deployment.h": "cmake/Deployment.h.in"}
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.M)
LIMIT = 120


def room_of(path: pathlib.Path) -> str:
    if path.relative_to(ROOT).as_posix() in GENERATED.values():
        return "generated"
    parts = path.relative_to(ROOT).parts
    if len(parts) > 2 and f"{parts[0]}/{parts[1]}" in RANK:
        return f"{parts[0]}/{parts[1]}"
    return parts[0]


def resolve(name: str, base: pathlib.Path = ROOT):
    if base == ROOT and name in GENERATED:
        return ROOT / GENERATED[name]
    candidate = (base / name).resolve()
    if candidate.is_file() and ROOT in candidate.parents:
        return candidate
    return None


def sources():
    for room in PRODUCT:
        for path in sorted((ROOT / room).rglob("*")):
            if path.suffix in (".h", ".cpp"):
                yield path


def arrows():
    found = collections.defaultdict(set)
    for path in sources():
        for name in INCLUDE.findall(path.read_text(errors="replace")):
            target = resolve(name)
            if target is None:
                continue
            a, b = room_of(path), room_of(target)
            if a != b and b in RANK:
                found[(a, b)].add(f"{path.relative_to(ROOT)} -> {target.relative_to(ROOT)}")
    return found


def relative_includes():
    # Includes are written from the project root; one that only the including
    # file's own folder explains would hide its arrow.
    result = []
    for path in sources():
        for name in INCLUDE.findall(path.read_text(errors="replace")):
            if resolve(name) is None and resolve(name, path.parent) is not None:
                result.append(f'{path.relative_to(ROOT)}: "{name}"')
    return result


def cycles(edges):
    graph = collections.defaultdict(set)
    for a, b in edges:
        graph[a].add(b)
    result = []
    for start in sorted(graph):
        stack = [(start, [start])]
        while stack:
            node, trail = stack.pop()
            for nxt in graph[node]:
                if nxt == start:
                    result.append(trail + [start])
                elif nxt not in trail and nxt > start:
                    stack.append((nxt, trail + [nxt]))
    return result


def strip(line: str) -> str:
    line = re.sub(r'"(\\.|[^"\\])*"', '""', line)
    line = re.sub(r"'(\\.|[^'\\])*'", "''", line)
    return line.split("//", 1)[0]


def long_functions():
    # Braces are followed through namespaces, classes and functions; a
    # function is a brace block at namespace or class level whose statement
    # holds a parameter list. Its length runs from the statement's first line
    # to the closing brace.
    result = []
    for path in sources():
        stack = []  # (kind, start line)
        statement, statement_line = "", None
        for number, raw in enumerate(path.read_text(errors="replace").splitlines(), 1):
            line = strip(raw)
            if line.lstrip().startswith("#"):
                continue
            for char in line:
                if char == "{":
                    text = statement.strip()
                    outer = all(kind in ("ns", "class") for kind, _ in stack)
                    if re.match(r"(namespace|extern)\b", text):
                        kind = "ns"
                    elif re.match(r"(template\s*<.*>\s*)?(struct|class|union|enum)\b", text) and "(" not in text:
                        kind = "class"
                    elif outer and "(" in text and "=" not in text.split("(", 1)[0]:
                        kind = "fn"
                    else:
                        kind = "block"
                    stack.append((kind, statement_line or number))
                    statement, statement_line = "", None
                elif char == "}":
                    if stack:
                        kind, start = stack.pop()
                        if kind == "fn" and number - start + 1 > LIMIT:
                            result.append((number - start + 1, f"{path.relative_to(ROOT)}:{start}"))
                    statement, statement_line = "", None
                elif char == ";":
                    statement, statement_line = "", None
                else:
                    if not char.isspace() and statement_line is None:
                        statement_line = number
                    statement += char
            statement += " "
    return sorted(result, reverse=True)


SEAM = re.compile(r"\b\w+ForTesting\b")


def seam_mentions(path: pathlib.Path):
    # Each mention of a test seam (a name ending in ForTesting) with its line
    # and whether it stands in the body of a function that is no seam's own.
    # Braces are followed as in long_functions; a block whose statement names
    # a seam (its class, constructor or destructor) belongs to that seam.
    stack = []  # "open" (namespace or class), "seam" or "body"
    statement = ""
    for number, raw in enumerate(path.read_text(errors="replace").splitlines(), 1):
        line = strip(raw)
        if line.lstrip().startswith("#"):
            continue
        starts = {match.start(): match.group() for match in SEAM.finditer(line)}
        for column, char in enumerate(line):
            if column in starts:
                yield starts[column], number, "body" in stack and "seam" not in stack
            if char == "{":
                text = statement.strip()
                if re.match(r"(namespace|extern)\b", text) or (
                        re.match(r"(template\s*<.*>\s*)?(struct|class|union|enum)\b", text) and "(" not in text):
                    stack.append("open")
                else:
                    stack.append("seam" if SEAM.search(text) else "body")
                statement = ""
            elif char == "}":
                if stack:
                    stack.pop()
                statement = ""
            elif char == ";":
                statement = ""
            else:
                statement += char
        statement += " "


def seam_uses():
    # Product code may name a test seam only at home: the one header that
    # declares it and the .cpp of the same name beside it (or the one .cpp of
    # a seam no header declares), and there not inside the body of a function
    # other than the seam's own. Anywhere else it would set the seam in the
    # product. Tests, the test drivers and the benchmark driver are no product
    # code and may use every seam.
    mentions = collections.defaultdict(list)
    for path in sources():
        for name, number, in_body in seam_mentions(path):
            mentions[name].append((path, number, in_body))
    result = []
    for name, found in sorted(mentions.items()):
        headers = sorted({path for path, _, _ in found if path.suffix == ".h"})
        others = sorted({path for path, _, _ in found if path.suffix != ".h"})
        if len(headers) == 1:
            home = {headers[0], headers[0].with_suffix(".cpp")}
        else:
            home = set(others) if not headers and len(others) == 1 else set()
        for path, number, in_body in found:
            if path not in home or in_body:
                result.append(f"{path.relative_to(ROOT)}:{number}  {name}")
    return result


PYTHON_ROOTS = ["tools"]


def python_modules(root: pathlib.Path):
    """Every Python file under root's PYTHON_ROOTS by the name it is imported
    as: a file of a package (a folder with __init__.py) by its dotted name,
    any other file by its stem (its folder is put on sys.path)."""
    modules = {}
    for top in PYTHON_ROOTS:
        for path in sorted((root / top).rglob("*.py")):
            parts = [path.stem] if path.stem != "__init__" else []
            folder = path.parent
            while (folder / "__init__.py").is_file():
                parts.insert(0, folder.name)
                folder = folder.parent
            modules[".".join(parts)] = path
    return modules


def python_imports(root: pathlib.Path):
    """(importer, imported) for every import between the modules under
    PYTHON_ROOTS, those inside functions included."""
    modules = python_modules(root)
    found = set()
    for name, path in modules.items():
        package = name if path.stem == "__init__" else name.rpartition(".")[0]
        for node in ast.walk(ast.parse(path.read_text(), str(path))):
            targets = []
            if isinstance(node, ast.Import):
                targets = [alias.name for alias in node.names]
            elif isinstance(node, ast.ImportFrom):
                base = node.module or ""
                if node.level:
                    anchor = package.split(".")[:len(package.split(".")) - node.level + 1] if package else []
                    base = ".".join(anchor + ([base] if base else []))
                # `from package import module` imports the module.
                targets = [f"{base}.{alias.name}" if f"{base}.{alias.name}" in modules else base
                           for alias in node.names]
            for target in targets:
                if target in modules and target != name:
                    found.add((name, target))
    return found


def python_long_functions(root: pathlib.Path):
    """Functions and methods (nested ones too) longer than LIMIT lines, from
    their first decorator to their last line."""
    result = []
    for path in python_modules(root).values():
        for node in ast.walk(ast.parse(path.read_text(), str(path))):
            if isinstance(node, (ast.FunctionDef, ast.AsyncFunctionDef)):
                start = min([node.lineno] + [decorator.lineno for decorator in node.decorator_list])
                length = node.end_lineno - start + 1
                if length > LIMIT:
                    result.append((length, f"{path.relative_to(root)}:{start} {node.name}"))
    return sorted(result, reverse=True)


def report_python(root: pathlib.Path) -> bool:
    """Prints the Python findings; True when there is one."""
    python_cycles = cycles(python_imports(root))
    print("python import cycles:", "none" if not python_cycles else "")
    for cycle in python_cycles:
        print("  " + " -> ".join(cycle))
    long = python_long_functions(root)
    print(f"python functions over {LIMIT} lines:", "none" if not long else "")
    for length, where in long:
        print(f"  {length:4d}  {where}")
    return bool(python_cycles or long)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--check", action="store_true")
    parser.add_argument("--why", action="store_true", help="list the includes behind each arrow")
    args = parser.parse_args()
    edges = arrows()
    upward = [(a, b) for a, b in edges if RANK[a] <= RANK[b]]
    print("arrows:")
    order = lambda room: tuple(-r for r in RANK[room])
    for (a, b) in sorted(edges, key=lambda e: (order(e[0]), e[0], order(e[1]), e[1])):
        mark = "  UPWARD" if (a, b) in upward else ""
        print(f"  {a} -> {b}  ({len(edges[(a, b)])}){mark}")
        if args.why or mark:
            for line in sorted(edges[(a, b)]):
                print(f"      {line}")
    found_cycles = cycles(edges)
    print("cycles:", "none" if not found_cycles else "")
    for cycle in found_cycles:
        print("  " + " -> ".join(cycle))
    relative = relative_includes()
    print("includes not written from the root:", "none" if not relative else "")
    for where in relative:
        print(f"  {where}")
    long = long_functions()
    print(f"functions over {LIMIT} lines:", "none" if not long else "")
    for length, where in long:
        print(f"  {length:4d}  {where}")
    seams = seam_uses()
    print("test seams used in product code:", "none" if not seams else "")
    for where in seams:
        print(f"  {where}")
    python_faults = report_python(ROOT)
    if args.check and (upward or found_cycles or relative or long or seams or python_faults):
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
