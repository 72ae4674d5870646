#!/usr/bin/env python3
"""Mutation run over the library's own sources: how many planted faults the suite catches.

    tools/mutants.py [--mutants N] [--seed S] [--dir D] [--jobs J] [--list] [--only I,J]

(`make mutants MUTANTS=40 SEED=1 MUTANTS_DIR=build-mutants` runs it niced.)

What is mutated: the tracked *.cpp and *.h files of platform/, buffers/, items/, session/,
processors/, objects/ and transports/, with the working tree's content (uncommitted edits
included). One mutant changes one occurrence on one line:

  relational   ` < ` -> ` <= `, ` <= ` -> ` < `, ` > ` -> ` >= `, ` >= ` -> ` > `
  equality     ` == ` <-> ` != `
  logical      ` && ` <-> ` || `
  literal+1    an integer literal (decimal or hex) plus one
  literal-1    an integer literal minus one (not below zero)
  statement    a single-line call, assignment or increment statement replaced by `;`
  return       `return true` <-> `return false`; `return 0` (or a constant worth 0) ->
               `return -1`; any other `return X` -> `return 0`; `return nullptr` is left alone

Operators are found on the code alone: comments, string and character literals and
preprocessor lines are never touched, and a binary operator must stand between spaces as
clang-format writes it, so template brackets, `->`, `<<`, `>>` and `<<=` are not taken for
comparisons. static_assert lines are left alone (their mutants only stop the build).

Sampling: random.Random(SEED) draws a code line uniformly among the code lines of all the files
(so a file weighs its line count), then one of the mutations possible on that line; a line with
none is drawn again, and a (file, line, operator, occurrence) already drawn is never drawn twice.
The draws form an endless numbered stream: mutant #k is the k-th draw. A mutant that does not
compile is reported and skipped, and the run goes on down the stream until MUTANTS compiled
mutants have been run. The stream depends on nothing but SEED and the sources (only
Random.random() is used, whose sequence Python keeps stable across versions): the same SEED
and MUTANTS on the same sources always give the same mutants in the same order, so a sample
quoted in a document can be run again later, and `--only 7,12` re-runs exactly #7 and #12.

How a run goes: the tracked files are copied into DIR/src (only files whose content changed are
rewritten, so the build in DIR/build stays incremental between runs), DIR/build is configured
once (CMake + Ninja, RelWithDebInfo, no benchmarks, warnings not fatal: a mutant that only adds
a warning still deserves a verdict from the suite), built, and the unmutated suite is run; a
red suite stops the run, since kill rates over it mean nothing. A green result is remembered for
the exact sources, so the next run over unchanged sources goes straight to the mutants. Then,
for each mutant: the file in DIR/src is rewritten, ninja rebuilds what depends on it, the whole
suite runs (`ctest -j JOBS --stop-on-failure`; tests without a time-out of their own get 300 s),
then the original is written back, stamped newer than anything built from the mutant, so the
next mutant's build (or the next run's) compiles it again along with its own change. A test that fails is run again alone once: if it passes then, the whole suite runs once
more and that result stands (noted "flaky"). A test stopped by its ctest time-out kills the
mutant ("time-out") without a second run. A mutant whose objects compile but whose build then
fails (a test executable that crashes while ctest lists its cases) is killed by that build step.

Output: a line per mutant, then the kill rate, the timings and every survivor with its diff,
also written to DIR/report-seed<SEED>-n<MUTANTS>.txt; the build and ctest output of each
mutant (with the output of every failed test) goes to DIR/logs/seed<SEED>-mutant-<N>.log. The
exit status is 0 whatever the kill rate (this is a measurement); it is 2 when the run cannot be
made (sources that do not build, a red baseline, a failed configure).
"""

import argparse
import hashlib
import os
import random
import re
import shutil
import statistics
import subprocess
import sys
import time
from dataclasses import dataclass, field
from pathlib import Path

LIBRARY_DIRS = ("platform", "buffers", "items", "session", "processors", "objects", "transports")
LIBRARY_SUFFIXES = (".cpp", ".h")

# Tests that have no time-out of their own (the gtest cases have 120 s) get this one, so that a
# mutant that hangs a plain test program cannot hold the run for ever.
DEFAULT_TEST_TIMEOUT = 300


class ToolError(Exception):
    """The run cannot be made; the message says why."""


# ---------------------------------------------------------------------------------------------
# Reading the sources

def run_git(root, *args):
    return subprocess.run(["git", "-C", str(root), *args], check=True, capture_output=True).stdout


def tracked_files(root):
    names = run_git(root, "ls-files", "-z").decode("utf-8", "surrogateescape").split("\0")
    return sorted(n for n in names if n)


def snapshot(root, names):
    """The working tree's content of every tracked file, read once: the scratch copy and the
    sample are both made from this, even if someone edits the tree meanwhile."""
    files = {}
    for name in names:
        path = root / name
        if path.is_file():  # a tracked file deleted in the working tree is left out
            files[name] = (path.read_bytes(), os.stat(path).st_mode & 0o7777)
    return files


def is_library_source(name):
    return name.split("/", 1)[0] in LIBRARY_DIRS and name.endswith(LIBRARY_SUFFIXES)


def known_constants(files):
    """Integer values of the public headers' #defines (ULMOT_OK is 0, ...), so that a return
    mutation never replaces a value with the same value."""
    values = {}
    pattern = re.compile(r"^\s*#\s*define\s+(\w+)\s+\(?\s*(-?\s*(?:0[xX][0-9a-fA-F]+|\d+))[uUlL]*"
                         r"\s*\)?\s*(?:/[/*].*)?$")
    for name, (data, _) in files.items():
        if name.startswith("include/") and name.endswith(".h"):
            for line in data.decode("utf-8", "surrogateescape").splitlines():
                m = pattern.match(line)
                if m:
                    try:
                        values[m.group(1)] = int(m.group(2).replace(" ", ""), 0)
                    except ValueError:  # 010 and the like: not worth knowing
                        pass
    return values


# ---------------------------------------------------------------------------------------------
# Finding the code in a file

def mask(text):
    """Returns (lines, preprocessor): the file's lines with comments blanked and the contents of
    string and character literals blanked (the quotes stay), so that every position still
    matches the original line; and for each line whether it belongs to a preprocessor directive."""
    out = []
    i, n = 0, len(text)
    state = "code"
    raw_end = ""
    while i < n:
        c = text[i]
        if c == "\n":
            out.append(c)
            if state == "line-comment":
                state = "code"
            i += 1
            continue
        if state == "code":
            two = text[i:i + 2]
            if two == "//":
                state = "line-comment"
                out.append("  ")
                i += 2
            elif two == "/*":
                state = "block-comment"
                out.append("  ")
                i += 2
            elif c == '"':
                m = None
                if i > 0 and text[i - 1] == "R":
                    m = re.match(r'R"([^()\\ ]{0,16})\(', text[i - 1:i + 20])
                if m:
                    state = "raw-string"
                    raw_end = ")" + m.group(1) + '"'
                    length = len(m.group(0)) - 1
                    out.append('"' + " " * (length - 1))
                    i += length
                else:
                    state = "string"
                    out.append(c)
                    i += 1
            elif c == "'" and not digit_separator(text, i):
                state = "char"
                out.append(c)
                i += 1
            else:
                out.append(c)
                i += 1
        elif state == "line-comment":
            if c == "\\" and text[i + 1:i + 2] == "\n":  # a comment continued by a backslash
                out.append(" \n")
                i += 2
            else:
                out.append(" ")
                i += 1
        elif state == "block-comment":
            if text[i:i + 2] == "*/":
                state = "code"
                out.append("  ")
                i += 2
            else:
                out.append(" ")
                i += 1
        elif state == "raw-string":
            if text.startswith(raw_end, i):
                state = "code"
                out.append(" " * (len(raw_end) - 1) + '"')
                i += len(raw_end)
            else:
                out.append(" ")
                i += 1
        else:  # string or char
            quote = '"' if state == "string" else "'"
            if c == "\\" and i + 1 < n:
                out.append("  " if text[i + 1] != "\n" else " \n")
                i += 2
            elif c == quote:
                state = "code"
                out.append(c)
                i += 1
            else:
                out.append(" ")
                i += 1
    lines = "".join(out).split("\n")
    originals = text.split("\n")
    preprocessor = []
    continued = False
    for masked, original in zip(lines, originals):
        directive = continued or masked.lstrip().startswith("#")
        preprocessor.append(directive)
        continued = directive and original.rstrip().endswith("\\")
    return lines, preprocessor


def digit_separator(text, i):
    """Whether the quote at i separates digits (1'000'000) rather than opening a character."""
    j = i
    while j > 0 and (text[j - 1].isalnum() or text[j - 1] in "_'"):
        j -= 1
    return j < i and text[j].isdigit()


# ---------------------------------------------------------------------------------------------
# What can be mutated on a line

@dataclass
class Mutation:
    op: str           # operator name (see the docstring)
    occurrence: int   # which occurrence of that operator on the line, from 0
    start: int        # columns of the original text replaced
    end: int
    replacement: str


@dataclass
class Mutant:
    index: int
    path: str
    line: int         # 1-based
    mutation: Mutation
    original: str     # the whole original line
    mutated: str      # the whole mutated line

    @property
    def where(self):
        return f"{self.path}:{self.line}"

    @property
    def change(self):
        m = self.mutation
        old = self.original[m.start:m.end]
        if m.op == "statement":
            return f"{m.op} ({old.strip()} deleted)"
        return f"{m.op} ({old.strip()} -> {m.replacement.strip()})"

    def diff(self, indent="    "):
        return f"{indent}- {self.original.strip()}\n{indent}+ {self.mutated.strip()}"


BINARY_FLIPS = {
    "relational": {"<": "<=", "<=": "<", ">": ">=", ">=": ">"},
    "equality": {"==": "!=", "!=": "=="},
    "logical": {"&&": "||", "||": "&&"},
}
BINARY_PATTERNS = {
    # Between whitespace on both sides, as clang-format writes binary operators; `a<b>`,
    # `x->y`, `a << b` and `a <<= b` never match since their characters touch other ones.
    "relational": re.compile(r"(?<=\s)(<=|>=|<|>)(?=\s)"),
    "equality": re.compile(r"(?<=\s)(==|!=)(?=\s)"),
    "logical": re.compile(r"(?<=\s)(&&|\|\|)(?=\s)"),
}
INTEGER = re.compile(r"(?<![\w.'])(0[xX][0-9a-fA-F']+|[0-9][0-9']*)([uUlLzZ]*)(?![\w.'])")
RETURN = re.compile(r"(?<![\w.>:])return\b")
KEYWORDS = {
    "if", "for", "while", "switch", "return", "sizeof", "alignof", "decltype", "static_assert",
    "catch", "new", "delete", "throw", "case", "default", "do", "else", "goto", "typedef", "using",
    "co_return", "co_await", "co_yield", "break", "continue", "noexcept", "requires", "template",
    "operator", "static_cast", "reinterpret_cast", "const_cast", "dynamic_cast",
}
POSTFIX = r"(?:::)?[A-Za-z_]\w*(?:(?:::|\.|->)~?[A-Za-z_]\w*|\[[^\]]*\])*"
CALL = re.compile(r"(?:\(void\)\s*)?(" + POSTFIX + r")\s*\(")
ASSIGNMENT = re.compile(r"\*?(" + POSTFIX + r") (?:[-+*/%&|^]|<<|>>)?= \S")
INCREMENT = re.compile(r"(?:\+\+|--)(" + POSTFIX + r");|(" + POSTFIX + r")(?:\+\+|--);")


def integer_mutations(masked):
    found = []
    # Attribute arguments and alignments are for the compiler: their mutants only break the
    # build or change nothing the suite can see.
    fixed = []
    for m in re.finditer(r"\b(?:__attribute__|alignas)\s*\(", masked):
        close = balanced_end(masked, m.end(), ")")
        fixed.append((m.start(), close if close >= 0 else len(masked)))
    for m in INTEGER.finditer(masked):
        if any(start <= m.start() < end for start, end in fixed):
            continue
        digits, suffix = m.group(1), m.group(2)
        clean = digits.replace("'", "")
        if clean.lower().startswith("0x"):
            value, width = int(clean, 16), len(clean) - 2
            upper = any(ch.isupper() for ch in clean[2:])
            def spell(v, p=clean[:2], w=width, u=upper):
                return p + (f"{v:0{w}X}" if u else f"{v:0{w}x}")
        elif len(clean) > 1 and clean.startswith("0"):
            continue  # octal: rare enough to leave alone
        else:
            value = int(clean)
            spell = str
        found.append(("literal+1", m.start(), m.end(), spell(value + 1) + suffix))
        before = masked[:m.start()]
        if value == 1 and re.search(r"(?:^|[^\w)\]\s]|\breturn)\s*-$", before):
            # A negated 1 becomes 0, written so; `return -1;` already gets that from the
            # return operator.
            if not (re.search(r"\breturn\s*-$", before) and re.match(r"\s*;", masked[m.end():])):
                found.append(("literal-1", before.rindex("-"), m.end(), "0"))
        elif value > 0:
            found.append(("literal-1", m.start(), m.end(), spell(value - 1) + suffix))
    return found


def balanced_end(masked, start, stop_chars):
    """Index of the first stop character at depth 0 from start, or -1; -1 also when a closing
    bracket closes something opened before start."""
    depth = 0
    for i in range(start, len(masked)):
        c = masked[i]
        if depth == 0 and c in stop_chars:
            return i
        if c in "([{":
            depth += 1
        elif c in ")]}":
            depth -= 1
            if depth < 0:
                return -1
    return -1


def return_mutations(masked, original, constants):
    found = []
    for m in RETURN.finditer(masked):
        semicolon = balanced_end(masked, m.end(), ";")
        if semicolon < 0:
            continue  # the expression goes on past this line
        expr = masked[m.end():semicolon].strip()
        shown = original[m.end():semicolon].strip()
        if not expr or expr.startswith("{") or expr in ("nullptr", "NULL", "*this"):
            continue
        if expr in ("true", "false"):
            new = "false" if expr == "true" else "true"
        elif literal_value(shown, constants) == 0:
            new = "-1"
        else:
            new = "0"
        found.append(("return", m.start(), semicolon + 1, f"return {new};"))
    return found


def literal_value(expr, constants):
    expr = expr.strip()
    while expr.startswith("(") and expr.endswith(")"):
        expr = expr[1:-1].strip()
    if expr in constants:
        return constants[expr]
    m = re.fullmatch(r"(-?)\s*(0[xX][0-9a-fA-F]+|\d+)[uUlL]*", expr)
    return int(m.group(1) + m.group(2), 0) if m else None


def statement_mutation(masked):
    """The whole line as one expression statement (a call, an assignment, an increment) that
    can go; None for declarations, returns, control flow and anything spread over lines."""
    body = masked.strip()
    if not body.endswith(";") or balanced_end(body, 0, ";") != len(body) - 1:
        return None
    if body.count("(") != body.count(")") or body.count("{") != body.count("}"):
        return None
    head = re.match(r"[A-Za-z_]\w*", body.lstrip("*(+-"))
    if head and head.group(0) in KEYWORDS:
        return None
    ok = False
    call = CALL.match(body)
    if call and call.group(1).split("::")[-1] not in KEYWORDS:
        close = balanced_end(body, call.end(), ")")
        ok = close == len(body) - 2  # the callee's parenthesis closes just before the `;`
    if not ok and ASSIGNMENT.match(body):
        ok = True
    if not ok and INCREMENT.fullmatch(body):
        ok = True
    if not ok:
        return None
    start = masked.index(body[0])
    return ("statement", start, start + len(body), ";")


def block_kind(pending, parent):
    """What a `{` opens, from the code since the last `;`, `{` or `}`: "code" for function and
    control bodies and lambdas, "decl" for namespaces, classes, enums and extern blocks,
    "init" for braced initialisers."""
    text = pending.strip()
    if not text:
        return parent
    qualifiers = r"(?:(?:const|noexcept|override|final|mutable)\s*)*"
    if re.search(r"\)\s*" + qualifiers + r"(?:->\s*[\w:<>,*&\s]+)?$", text):
        return "code"
    if re.search(r"\b(?:else|do|try)$", text):
        return "code"
    if re.search(r"\b(?:namespace|class|struct|union|enum)\b", text) or re.match(r"extern\b", text):
        return "decl"
    if text.endswith("]"):
        return "code"  # a lambda without parameters
    return "init"


def file_mutations(text, constants):
    """For each line number (1-based) with code, the list of its possible mutations."""
    masked_lines, preprocessor = mask(text)
    originals = text.split("\n")
    result = {}
    stack = []
    pending = ""
    last_end = ";"  # the last code character of the previous code line
    lines = zip(masked_lines, originals, preprocessor)
    for number, (masked, original, directive) in enumerate(lines, 1):
        if directive or not masked.strip():
            continue
        scope = stack[-1] if stack else "decl"
        found = []
        if not re.match(r"\s*static_assert\b", masked):
            for op, pattern in BINARY_PATTERNS.items():
                for m in pattern.finditer(masked):
                    found.append((op, m.start(), m.end(), BINARY_FLIPS[op][m.group(1)]))
            found.extend(integer_mutations(masked))
            found.extend(return_mutations(masked, original, constants))
            if scope == "code" and last_end in ";{}:":
                statement = statement_mutation(masked)
                if statement:
                    found.append(statement)
        found.sort(key=lambda f: (f[1], f[0]))
        seen = {}
        mutations = []
        for op, start, end, replacement in found:
            occurrence = seen.get(op, 0)
            seen[op] = occurrence + 1
            mutations.append(Mutation(op, occurrence, start, end, replacement))
        result[number] = mutations
        for c in masked:
            if c == "{":
                stack.append(block_kind(pending, stack[-1] if stack else "decl"))
                pending = ""
            elif c == "}":
                if stack:
                    stack.pop()
                pending = ""
            elif c == ";":
                pending = ""
            else:
                pending += c
        pending += " "
        last_end = masked.rstrip()[-1]
    return result


# ---------------------------------------------------------------------------------------------
# The sample

def mutant_stream(files, seed):
    """Yields the mutants of SEED in order, numbered from 1, until every possible one is drawn."""
    constants = known_constants(files)
    lines = []      # (path, line number) of every code line, file by file
    per_file = {}
    for name in sorted(files):
        if not is_library_source(name):
            continue
        text = files[name][0].decode("utf-8", "surrogateescape")
        per_file[name] = (text.split("\n"), file_mutations(text, constants))
        lines.extend((name, number) for number in sorted(per_file[name][1]))
    total = sum(len(m) for _, found in per_file.values() for m in found.values())
    rng = random.Random(seed)
    drawn = set()
    index = 0
    while len(drawn) < total:
        name, number = lines[int(rng.random() * len(lines))]
        originals, found = per_file[name]
        choices = found[number]
        if not choices:
            continue
        mutation = choices[int(rng.random() * len(choices))]
        key = (name, number, mutation.op, mutation.occurrence)
        if key in drawn:
            continue
        drawn.add(key)
        index += 1
        original = originals[number - 1]
        mutated = original[:mutation.start] + mutation.replacement + original[mutation.end:]
        yield Mutant(index, name, number, mutation, original, mutated)


def apply(data, mutant):
    text = data.decode("utf-8", "surrogateescape")
    lines = text.split("\n")
    assert lines[mutant.line - 1] == mutant.original
    lines[mutant.line - 1] = mutant.mutated
    return "\n".join(lines).encode("utf-8", "surrogateescape")


# ---------------------------------------------------------------------------------------------
# The scratch copy and its build

def sync(files, src):
    """Makes src hold exactly the snapshot; returns how many files were (re)written and removed.
    Files whose content is already right keep their time stamps, so the build stays incremental."""
    written = removed = 0
    for name, (data, mode) in files.items():
        dest = src / name
        try:
            same = not dest.is_symlink() and dest.read_bytes() == data
        except (FileNotFoundError, IsADirectoryError, NotADirectoryError):
            same = False
        if not same:
            dest.parent.mkdir(parents=True, exist_ok=True)
            if dest.is_symlink():
                dest.unlink()
            dest.write_bytes(data)
            written += 1
        if os.stat(dest).st_mode & 0o7777 != mode:
            os.chmod(dest, mode)
    for path in sorted(src.rglob("*"), reverse=True):
        if path.is_file() and path.relative_to(src).as_posix() not in files:
            path.unlink()
            removed += 1
    return written, removed


def pick_linker():
    """lld, else gold, else the default: the many relinks of a run are much quicker with the
    first two. Checked on a small shared library linked the way libulmot is."""
    scratch = Path(os.environ.get("TMPDIR", "/tmp")) / f"ulmot-mutants-ld-{os.getpid()}"
    scratch.mkdir(parents=True, exist_ok=True)
    try:
        (scratch / "a.cpp").write_text("int f() { return 1; }\n")
        (scratch / "a.map").write_text("A { global: f*; local: *; };\n")
        for linker in ("lld", "gold"):
            probe = subprocess.run(
                ["c++", "-shared", "-fPIC", f"-fuse-ld={linker}", "-Wl,--no-undefined",
                 f"-Wl,--version-script={scratch / 'a.map'}", str(scratch / "a.cpp"),
                 "-o", str(scratch / "a.so")], capture_output=True)
            if probe.returncode == 0:
                return linker
        return None
    finally:
        shutil.rmtree(scratch, ignore_errors=True)


def configure(src, build):
    linker = pick_linker()
    command = ["cmake", "-S", str(src), "-B", str(build), "-G", "Ninja",
               "-DCMAKE_BUILD_TYPE=RelWithDebInfo", "-DULMOT_BUILD_BENCH=OFF",
               "-DULMOT_BUILD_TESTS=ON", "-DULMOT_BUILD_EXAMPLES=ON", "-DULMOT_WERROR=OFF"]
    if linker:
        for kind in ("EXE", "SHARED", "MODULE"):
            command.append(f"-DCMAKE_{kind}_LINKER_FLAGS=-fuse-ld={linker}")
    result = subprocess.run(command, capture_output=True, text=True)
    if result.returncode != 0:
        shutil.rmtree(build, ignore_errors=True)  # so that the next run configures again
        raise ToolError(f"configuring {build} failed:\n{result.stdout}{result.stderr}")
    return linker or "the default linker"


def ninja(build, jobs):
    result = subprocess.run(["ninja", "-C", str(build), "-j", str(jobs)],
                            capture_output=True, text=True, errors="replace")
    return result.returncode == 0, result.stdout + result.stderr


def failed_step(output):
    """(compile error?, what failed) from ninja's output."""
    outputs = re.findall(r"^FAILED: (.*)$", output, re.MULTILINE)
    if not outputs:
        return True, "the build"
    first = outputs[0].split()
    objects = [o for o in first if o.endswith(".o")]
    return bool(objects), (objects or first or ["the build"])[0]


@dataclass
class Suite:
    passed: bool
    failures: list = field(default_factory=list)  # (ctest number, test name, ctest status)
    seconds: float = 0.0
    output: str = ""

    @property
    def timed_out(self):
        return [(number, name, status) for number, name, status in self.failures
                if status == "Timeout"]


def ctest(build, jobs, failures=None):
    """The whole suite, or only the tests of `failures` (picked by number: parameterised
    names hold characters a regular expression would take for its own)."""
    command = ["ctest", "--test-dir", str(build), "-j", str(jobs), "--timeout",
               str(DEFAULT_TEST_TIMEOUT), "--no-tests=error", "--output-on-failure"]
    if failures:
        command += ["-I", "0,0,0," + ",".join(number for number, _, _ in failures)]
    else:
        command.append("--stop-on-failure")
    start = time.monotonic()
    result = subprocess.run(command, capture_output=True, text=True, errors="replace")
    seconds = time.monotonic() - start
    output = result.stdout + result.stderr
    failures = []
    if "The following tests FAILED:" in output:
        tail = output.split("The following tests FAILED:", 1)[1]
        failures = re.findall(r"^\s*(\d+) - (.+?) \(([^()]*)\)\s*$", tail, re.MULTILINE)
    if result.returncode != 0 and not failures:
        failures = [("", f"(ctest exited with {result.returncode})", "Failed")]
    return Suite(result.returncode == 0, failures, seconds, output)


def killer_of(failures):
    name = failures[0][1]
    return name if len(failures) == 1 else f"{name} (+{len(failures) - 1} more)"


def restore(path, data, build):
    """Writes the original back with a time stamp newer than anything built from the mutant."""
    path.write_bytes(data)
    stamp = time.time_ns()
    newest = max((p.stat().st_mtime_ns for p in [build / "build.ninja", build / ".ninja_log"]
                  if p.exists()), default=0)
    stamp = max(stamp, newest + 1_000_000)
    os.utime(path, ns=(stamp, stamp))


# ---------------------------------------------------------------------------------------------
# The run

@dataclass
class Outcome:
    mutant: Mutant
    status: str          # killed, time-out, survived, did-not-compile
    killer: str = ""
    build_seconds: float = 0.0
    test_seconds: float = 0.0
    note: str = ""

    def line(self, counted, total):
        place = f"[{counted}/{total}]" if self.status != "did-not-compile" else f"[-/{total}]"
        text = f"#{self.mutant.index} {place} {self.mutant.where} {self.mutant.change}: {self.status}"
        if self.killer:
            text += f" by {self.killer}"
        text += f"; build {self.build_seconds:.1f} s"
        if self.status != "did-not-compile":
            text += f", tests {self.test_seconds:.1f} s"
        if self.note:
            text += f" ({self.note})"
        return text


def judge(mutant, seed, src, build, files, jobs, logs):
    path = src / mutant.path
    original = files[mutant.path][0]
    log = []
    path.write_bytes(apply(original, mutant))
    try:
        start = time.monotonic()
        built, output = ninja(build, jobs)
        outcome = Outcome(mutant, "survived", build_seconds=time.monotonic() - start)
        log.append(output)
        if not built:
            compile_error, step = failed_step(output)
            if compile_error:
                outcome.status = "did-not-compile"
            else:
                outcome.status, outcome.killer = "killed", f"the build ({step})"
            return outcome
        suite = ctest(build, jobs)
        outcome.test_seconds += suite.seconds
        log.append(suite.output)
        if suite.passed:
            return outcome
        if suite.timed_out:
            outcome.status, outcome.killer = "time-out", killer_of(suite.timed_out)
            return outcome
        if not all(number for number, _, _ in suite.failures):
            outcome.status, outcome.killer = "killed", killer_of(suite.failures)
            return outcome  # ctest itself failed: nothing to run again
        again = ctest(build, jobs, suite.failures)
        outcome.test_seconds += again.seconds
        log.append(again.output)
        if not again.passed:
            outcome.status = "time-out" if again.timed_out else "killed"
            outcome.killer = killer_of(again.timed_out or again.failures)
            return outcome
        # Passed alone: maybe the load. The whole suite once more decides.
        outcome.note = f"flaky: {killer_of(suite.failures)} failed, then passed alone"
        third = ctest(build, jobs)
        outcome.test_seconds += third.seconds
        log.append(third.output)
        if not third.passed:
            outcome.status = "time-out" if third.timed_out else "killed"
            outcome.killer = killer_of(third.timed_out or third.failures)
        return outcome
    finally:
        restore(path, original, build)
        (logs / f"seed{seed}-mutant-{mutant.index}.log").write_text("\n".join(log), errors="replace")


def tree_digest(files):
    digest = hashlib.sha256()
    for name in sorted(files):
        data, mode = files[name]
        digest.update(f"{name}\0{mode}\0{len(data)}\0".encode("utf-8", "surrogateescape"))
        digest.update(data)
    return digest.hexdigest()


def minutes(seconds):
    seconds = int(round(seconds))
    if seconds < 60:
        return f"{seconds} s"
    if seconds < 3600:
        return f"{seconds // 60} min {seconds % 60:02d} s"
    return f"{seconds // 3600} h {seconds % 3600 // 60:02d} min"


def summary(outcomes, wanted, setup, wall, interrupted):
    ran = [o for o in outcomes if o.status != "did-not-compile"]
    killed = [o for o in ran if o.status in ("killed", "time-out")]
    timeouts = [o for o in ran if o.status == "time-out"]
    skipped = len(outcomes) - len(ran)
    survivors = [o for o in ran if o.status == "survived"]
    lines = []
    if interrupted:
        lines.append(f"interrupted after {len(ran)} of {wanted} mutants")
    rate = 100.0 * len(killed) / len(ran) if ran else 0.0
    lines.append(f"killed {len(killed)} of {len(ran)} ({rate:.1f}%), {len(timeouts)} by time-out")
    lines.append(f"did not compile (drawn, not counted): {skipped}")
    flaky = [o for o in outcomes if o.note.startswith("flaky")]
    if flaky:
        lines.append(f"flaky re-runs: {', '.join('#' + str(o.mutant.index) for o in flaky)}")
    timing = [f"wall time {minutes(wall)}"]
    timing += [f"{what} {minutes(s)}" for what, s in setup]
    if ran:
        def spread(values):
            return f"{statistics.mean(values):.1f} s mean ({min(values):.1f}-{max(values):.1f})"
        timing.append(f"per mutant: build {spread([o.build_seconds for o in ran])}, tests "
                      f"{spread([o.test_seconds for o in ran])}")
    lines.append("; ".join(timing))
    lines.append(f"survivors: {len(survivors)}")
    for o in survivors:
        lines.append(f"  {o.mutant.where}  (#{o.mutant.index}, {o.mutant.mutation.op})")
        lines.append(o.mutant.diff("    "))
    return lines


def parse_only(value):
    try:
        indexes = sorted({int(part) for part in value.split(",") if part.strip()})
    except ValueError:
        raise argparse.ArgumentTypeError("--only takes mutant numbers, e.g. 3,17")
    if not indexes or indexes[0] < 1:
        raise argparse.ArgumentTypeError("--only takes mutant numbers from 1")
    return indexes


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n", 1)[0])
    parser.add_argument("--mutants", type=int, default=40, help="compiled mutants to run (40)")
    parser.add_argument("--seed", type=int, default=1, help="the sample's seed (1)")
    parser.add_argument("--dir", default="build-mutants", help="scratch directory (build-mutants)")
    parser.add_argument("--jobs", type=int, default=os.cpu_count() or 1,
                        help="ninja and ctest parallelism (the number of processors)")
    parser.add_argument("--list", action="store_true",
                        help="print the sample and stop: nothing is built or run")
    parser.add_argument("--only", type=parse_only, metavar="I,J",
                        help="run only these mutants of the stream (numbers as printed)")
    args = parser.parse_args(argv)
    if args.mutants < 1:
        parser.error("--mutants must be at least 1")

    root = Path(run_git(Path(__file__).resolve().parent, "rev-parse", "--show-toplevel")
                .decode().strip())
    files = snapshot(root, tracked_files(root))
    stream = mutant_stream(files, args.seed)

    if args.list:
        count = args.only[-1] if args.only else args.mutants
        shown = [m for _, m in zip(range(count), stream) if not args.only or m.index in args.only]
        for m in shown:
            print(f"#{m.index} {m.where} {m.change}")
            print(m.diff("    "))
        spread = {}
        for m in shown:
            spread[m.path.split("/")[0]] = spread.get(m.path.split("/")[0], 0) + 1
        print(f"{len(shown)} mutants (seed {args.seed}): "
              + ", ".join(f"{d}/ {spread[d]}" for d in sorted(spread)))
        if not args.only:
            print("a run takes the next ones of the stream in place of any that do not compile")
        return 0

    out_dir = Path(args.dir).resolve()
    src, build, logs = out_dir / "src", out_dir / "build", out_dir / "logs"
    logs.mkdir(parents=True, exist_ok=True)
    suffix = f"-only{'_'.join(map(str, args.only))}" if args.only else ""
    report_path = out_dir / f"report-seed{args.seed}-n{args.mutants}{suffix}.txt"
    header = [f"mutation run: seed {args.seed}, "
              + (f"only #{','.join(map(str, args.only))}" if args.only else f"{args.mutants} mutants")
              + f", sources {tree_digest(files)[:12]}, scratch {out_dir}"]
    progress = []
    outcomes = []
    setup = []
    wall_start = time.monotonic()

    def say(text):
        print(text, flush=True)
        progress.append(text)

    def write_report(interrupted=False):
        wanted = len(args.only) if args.only else args.mutants
        lines = header + progress + [""] + summary(outcomes, wanted, setup,
                                                   time.monotonic() - wall_start, interrupted)
        report_path.write_text("\n".join(lines) + "\n")
        return lines

    try:
        print(header[0], flush=True)
        start = time.monotonic()
        written, removed = sync(files, src)
        if not (build / "build.ninja").exists():
            linker = configure(src, build)
            say(f"configured {build} (linking with {linker})")
        built, output = ninja(build, args.jobs)
        if not built:
            (logs / "baseline-build.log").write_text(output)
            raise ToolError(f"the unmutated sources do not build (see {logs / 'baseline-build.log'})")
        setup.append(("sync and build", time.monotonic() - start))
        say(f"synced {written} changed and {removed} stale files; built in {minutes(setup[-1][1])}")

        stamp = out_dir / "baseline-green"
        digest = tree_digest(files)
        if stamp.exists() and stamp.read_text().strip() == digest:
            say("baseline: already green for these exact sources, not run again")
        else:
            suite = ctest(build, args.jobs)
            note = ""
            if not suite.passed and not suite.timed_out and all(n for n, _, _ in suite.failures):
                again = ctest(build, args.jobs, suite.failures)
                suite.seconds += again.seconds
                suite.output += "\n-- the failed tests again, alone --\n" + again.output
                if again.passed:
                    note = f" ({killer_of(suite.failures)} failed once, then passed alone)"
                    suite.passed = True
            (logs / "baseline-ctest.log").write_text(suite.output)
            setup.append(("baseline suite", suite.seconds))
            if not suite.passed:
                raise ToolError(
                    f"the unmutated suite is red ({killer_of(suite.failures)}): fix it first, a "
                    f"mutation run over a red suite measures nothing (see {logs / 'baseline-ctest.log'})")
            stamp.write_text(digest + "\n")
            say(f"baseline: green in {minutes(suite.seconds)}{note}")

        counted = 0
        for mutant in stream:
            if args.only:
                if mutant.index > args.only[-1]:
                    break
                if mutant.index not in args.only:
                    continue
            elif counted >= args.mutants:
                break
            outcome = judge(mutant, args.seed, src, build, files, args.jobs, logs)
            outcomes.append(outcome)
            if outcome.status != "did-not-compile":
                counted += 1
            say(outcome.line(counted, len(args.only) if args.only else args.mutants))
            write_report()
        else:
            if not args.only and counted < args.mutants:
                say(f"the sources have no more mutants: {counted} run")
    except KeyboardInterrupt:
        print("")
        for line in write_report(interrupted=True)[len(header) + len(progress):]:
            print(line)
        return 130
    except ToolError as error:
        print(f"mutants: {error}", file=sys.stderr)
        return 2

    lines = write_report()
    for line in lines[len(header) + len(progress):]:
        print(line)
    print(f"report: {report_path}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
