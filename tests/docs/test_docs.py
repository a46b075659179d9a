"""The producer documentation's examples, run: a command's output in the document is the
output the tools give today, so a change to the tools that changes it fails here until
the document says the same.

In a Markdown file, a fenced block whose info string is `console checked` is a terminal
session: each line that starts with "$ " is a command, run with bash in a scratch folder
shared by the whole file, on a terminal (so standard output and error interleave as a
user sees them); the lines up to the next command are its output. In the output, a line
"..." stands for any number of lines, and a command that exits with a status other than
0 ends with a line "[exit status N]". A block whose info string is `ini file=NAME` (any
language, then file=NAME) is written to NAME in the scratch folder when it is reached.

`python3 test_docs.py --update` (same environment) writes the tools' output into every
checked block that has no "..." line, and names the blocks left to edit by hand.

The scratch folder starts with the launcher as wrapper.exe and the stand-in installer as
installer.exe; the tools are on PATH. Environment (CTest sets it): WRAPPER_LOCATIONS (the
host build's wrapper-locations.json, which names the tools, the launcher and the stand-in
installer), WRAPPER_DOCS (the files, separated by the path separator).
"""

import difflib
import functools
import json
import os
import pty
import re
import shutil
import subprocess
import sys
import tempfile
import unittest

FENCE = re.compile(r"^```(.*)$")
FILE_INFO = re.compile(r"^\S+\s+file=(\S+)$")


def blocks(path):
    """(kind, first line number, info, lines) for the checked blocks of a Markdown file."""
    with open(path, encoding="utf-8") as f:
        lines = f.read().splitlines()
    found = []
    index = 0
    while index < len(lines):
        opening = FENCE.match(lines[index])
        if not opening:
            index += 1
            continue
        info = opening.group(1).strip()
        end = index + 1
        while end < len(lines) and lines[end] != "```":
            end += 1
        body = lines[index + 1:end]
        if info == "console checked":
            found.append(("session", index + 2, info, body))
        elif FILE_INFO.match(info):
            found.append(("file", index + 2, FILE_INFO.match(info).group(1), body))
        index = end + 1
    return found


def commands(body, first_line):
    """(line number, command, expected output lines) for each command of a session."""
    result = []
    for offset, line in enumerate(body):
        if line.startswith("$ "):
            result.append((first_line + offset, line[2:], []))
        elif result:
            result[-1][2].append(line)
        elif line.strip():
            raise AssertionError(f"line {first_line + offset}: output before any command")
    for _, _, expected in result:
        while expected and not expected[-1].strip():
            expected.pop()
    return result


def run_on_terminal(command, folder, env, timeout=120):
    """The command's output as a terminal shows it, and its exit status."""
    leader, follower = pty.openpty()
    process = subprocess.Popen(["bash", "-c", command], cwd=folder, env=env,
                               stdin=subprocess.DEVNULL, stdout=follower, stderr=follower)
    os.close(follower)
    output = b""
    while True:
        try:
            chunk = os.read(leader, 65536)
        except OSError:  # the terminal's last writer has gone
            break
        if not chunk:
            break
        output += chunk
    os.close(leader)
    status = process.wait(timeout=timeout)
    text = output.decode("utf-8", errors="replace").replace("\r\n", "\n")
    lines = text.splitlines()
    while lines and not lines[-1].strip():
        lines.pop()
    if status != 0:
        lines.append(f"[exit status {status}]")
    return lines


def matches(expected, actual):
    """Whether `actual` is `expected`, each "..." line standing for any number of lines."""
    if not expected:
        return not actual
    if expected[0] == "...":
        return any(matches(expected[1:], actual[skip:]) for skip in range(len(actual) + 1))
    return bool(actual) and expected[0] == actual[0] and matches(expected[1:], actual[1:])


@functools.cache
def locations():
    with open(os.environ["WRAPPER_LOCATIONS"], encoding="utf-8") as f:
        return json.load(f)


def tool_environment():
    env = dict(os.environ, LC_ALL="C.UTF-8", COLUMNS="200")
    tools = [os.path.dirname(locations()[key]) for key in ("wrapper_pack", "wrapper_inspect")]
    env["PATH"] = os.pathsep.join(tools + [env.get("PATH", "")])
    return env


def scratch_folder():
    folder = tempfile.mkdtemp(prefix="wrapper-docs-")
    shutil.copyfile(locations()["wrapper_exe"], os.path.join(folder, "wrapper.exe"))
    shutil.copyfile(locations()["standin_installer"], os.path.join(folder, "installer.exe"))
    return folder


def documents():
    return [p for p in os.environ["WRAPPER_DOCS"].split(os.pathsep) if p]


def update(document):
    """Rewrites the checked blocks without "..." with today's output."""
    env = tool_environment()
    folder = scratch_folder()
    try:
        with open(document, encoding="utf-8") as f:
            lines = f.read().splitlines()
        replaced = []
        for kind, line, info, body in blocks(document):
            if kind == "file":
                with open(os.path.join(folder, info), "w", encoding="utf-8") as f:
                    f.write("\n".join(body) + "\n")
                continue
            output = []
            for _, command, _ in commands(body, line):
                output += ["$ " + command] + run_on_terminal(command, folder, env)
            if "..." in body:
                print(f"{document} line {line}: has \"...\" lines, edit it by hand")
            else:
                replaced.append((line - 1, line - 1 + len(body), output))
        for start, end, output in reversed(replaced):
            lines[start:end] = output
        with open(document, "w", encoding="utf-8") as f:
            f.write("\n".join(lines) + "\n")
    finally:
        shutil.rmtree(folder, ignore_errors=True)


class DocumentExamples(unittest.TestCase):
    def test_performance_notes_give_the_builds_size_budget(self):
        # The budget is the build's (WRAPPER_LAUNCHER_SIZE_LIMIT); the notes say it twice.
        budget = f"{locations()['launcher_size_limit']:,}"
        with open(os.path.join(os.path.dirname(__file__), "..", "..", "docs", "performance.md"),
                  encoding="utf-8") as f:
            notes = f.read()
        self.assertIn(f"<= {budget} B", notes)
        self.assertIn(f"budget {budget}", notes)

    def test_every_checked_block_gives_the_output_it_shows(self):
        env = tool_environment()
        sessions = 0
        for document in documents():
            name = os.path.basename(document)
            found = blocks(document)
            folder = scratch_folder()
            self.addCleanup(shutil.rmtree, folder, True)
            sessions += sum(1 for kind, *_ in found if kind == "session")
            for kind, line, info, body in found:
                if kind == "file":
                    with open(os.path.join(folder, info), "w", encoding="utf-8") as f:
                        f.write("\n".join(body) + "\n")
                    continue
                for number, command, expected in commands(body, line):
                    with self.subTest(document=name, line=number, command=command):
                        actual = run_on_terminal(command, folder, env)
                        if not matches(expected, actual):
                            diff = "\n".join(difflib.unified_diff(
                                expected, actual, "document", "tools", lineterm=""))
                            self.fail(f"{name} line {number}: `{command}` gives other output "
                                      f"than the document shows; update the document:\n{diff}")
        self.assertGreater(sessions, 0, "no checked examples in " + " ".join(documents()))


if __name__ == "__main__":
    if sys.argv[1:] == ["--update"]:
        for path in documents():
            update(path)
    else:
        unittest.main()
