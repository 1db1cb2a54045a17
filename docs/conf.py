"""Sphinx configuration. The API reference is read from the installed
package (``pip install .`` first), so the docs show what users import."""

from importlib import metadata

# Document the native module itself (its docstrings and text signatures),
# not the typed stub beside it, which newer autodoc would otherwise prefer.
import quorvex._secure  # noqa: F401

project = "quorvex"
author = "The quorvex developers"
copyright = "The quorvex developers"
release = version = metadata.version("quorvex")

extensions = ["sphinx.ext.autodoc", "myst_parser"]
source_suffix = {".rst": "restructuredtext", ".md": "markdown"}
root_doc = "index"
exclude_patterns = ["_build"]

# Links such as PROTOCOL.md#4-sealed-json-field resolve to headings.
myst_heading_anchors = 3

# The enclave's docstrings start with their text signature; the rest is
# bilingual text, shown as it is written.
autodoc_member_order = "bysource"
autodoc_default_options = {"members": True, "undoc-members": True}

# Backticks in the docstrings mark code.
default_role = "literal"


def _one_paragraph_per_language(app, what, name, obj, options, lines):  # type: ignore[no-untyped-def]
    """Starts the Portuguese half of a docstring on a paragraph of its own,
    also where it follows the English half on the same line."""
    out: list[str] = []
    for line in lines:
        english, flag, portuguese = line.partition("🇧🇷 ")
        if flag:
            if english.strip():
                out.append(english.rstrip())
            if out and out[-1]:
                out.append("")
            line = flag + portuguese
        out.append(line)
    lines[:] = out


def setup(app):  # type: ignore[no-untyped-def]
    app.connect("autodoc-process-docstring", _one_paragraph_per_language)


html_theme = "alabaster"
html_title = f"quorvex {release}"
