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
