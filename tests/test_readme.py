"""The examples users copy run as written: every python block of the README and of the hand-written
docs pages, each as a script of its own (some fork, spawn workers or harden their process). Blocks
marked `py` are fragments for outside software (gunicorn, uWSGI), only compiled."""

from __future__ import annotations

import re
from pathlib import Path

import pytest

from conftest import ROOT, run_python

PAGES = ["README.md", *(f"docs/{page}.md" for page in ["quickstart", "choosing", "nonces", "fork", "locking"])]


@pytest.mark.parametrize("page", PAGES)
def test_docs_examples_run(page: str, tmp_path: Path) -> None:
    text = (ROOT / page).read_text()
    examples = re.findall(r"```python\n(.*?)(?:```|\Z)", text, re.S)  # unclosed, a block runs to the end
    assert examples
    for number, block in enumerate(examples):
        script = tmp_path / f"example_{number}.py"
        script.write_text(block)
        done = run_python(f"import runpy; runpy.run_path({str(script)!r}, run_name='__main__')")
        assert done.returncode == 0, f"{page} block {number}:\n{done.stderr}"
    for block in re.findall(r"```py\n(.*?)```", text, re.S):
        compile(block, page, "exec")


def test_security_doc_cites_tests_that_exist() -> None:
    cited = re.findall(r"`(test_\w+\.py)::(\w+)`", (ROOT / "docs" / "SECURITY.md").read_text())
    assert cited
    for filename, name in cited:
        assert re.search(rf"^def {name}\(", (ROOT / "tests" / filename).read_text(), re.M), f"{filename}::{name}"
