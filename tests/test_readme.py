"""The README's example runs as written."""

from __future__ import annotations

import re

from conftest import ROOT


def test_readme_example_runs() -> None:
    text = (ROOT / "README.md").read_text()
    blocks = re.findall(r"```python\n(.*?)```", text, re.S)
    assert blocks
    for block in blocks:
        exec(compile(block, "README.md", "exec"), {})


def test_security_doc_cites_tests_that_exist() -> None:
    text = (ROOT / "docs" / "SECURITY.md").read_text()
    cited = re.findall(r"`(test_\w+\.py)::(\w+)`", text)
    assert cited
    for filename, name in cited:
        assert re.search(rf"^def {name}\(", (ROOT / "tests" / filename).read_text(), re.M), f"{filename}::{name}"
