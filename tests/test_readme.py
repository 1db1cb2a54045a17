"""The examples users copy run as written: every python block of the README
(in this process) and of the hand-written docs pages (each as a script of
its own, since some fork, spawn workers or harden their process). Blocks
marked `py` are fragments for outside software (gunicorn, uWSGI) and are
only compiled."""

from __future__ import annotations

import re
from pathlib import Path

import pytest

from conftest import ROOT, run_python

PAGES = ["quickstart", "choosing", "nonces", "fork", "locking"]


def blocks(path: Path, language: str = "python") -> list[str]:
    return re.findall(rf"```{language}\n(.*?)```", path.read_text(), re.S)


def test_readme_example_runs() -> None:
    found = blocks(ROOT / "README.md")
    assert found
    for block in found:
        exec(compile(block, "README.md", "exec"), {})


@pytest.mark.parametrize("page", PAGES)
def test_docs_examples_run(page: str, tmp_path: Path) -> None:
    path = ROOT / "docs" / f"{page}.md"
    for number, block in enumerate(blocks(path)):
        script = tmp_path / f"{page}_{number}.py"
        script.write_text(block)
        done = run_python(f"import runpy; runpy.run_path({str(script)!r}, run_name='__main__')")
        assert done.returncode == 0, f"{path.name} block {number}:\n{done.stderr}"
    for block in blocks(path, "py"):
        compile(block, path.name, "exec")


def test_security_doc_cites_tests_that_exist() -> None:
    text = (ROOT / "docs" / "SECURITY.md").read_text()
    cited = re.findall(r"`(test_\w+\.py)::(\w+)`", text)
    assert cited
    for filename, name in cited:
        assert re.search(rf"^def {name}\(", (ROOT / "tests" / filename).read_text(), re.M), f"{filename}::{name}"
