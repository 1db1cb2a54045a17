"""The two builds of the enclave side by side: the one installed (imported as
quorvex._secure) and, where the checkout holds it, the build that links the
other libcrypto (system libcrypto for `pip install .`, OpenSSL 3.5 inside for
the wheel), found in the development trees build/<dir>/pkg/quorvex."""

from __future__ import annotations

import importlib.machinery
import importlib.util
from pathlib import Path
from types import ModuleType

from bench.harness import Case

ROOT = Path(__file__).resolve().parent.parent
# Benchmarks whose rows depend on the libcrypto, and the rows of them that are
# run for each build.
REPEATED = {"keyed": ("SecretBox.aes_gcm_",), "hybrid": ("seal_hybrid", "HybridKeyPair.")}


def origin(module: ModuleType) -> str:
    return str(module._libcrypto["origin"])


def describe(module: ModuleType) -> str:
    info = module._libcrypto
    text = f"{info['version']}, {info['origin']}"
    if info["debian_source"]:
        text += f", Debian source {info['debian_source']}"
    return f"{text} ({module.__file__})"


def _load(path: Path) -> ModuleType | None:
    """A second copy of the extension from `path`, not entered in sys.modules."""
    loader = importlib.machinery.ExtensionFileLoader("quorvex._secure", str(path))
    module_spec = importlib.util.spec_from_file_location("quorvex._secure", path, loader=loader)
    if module_spec is None:
        return None
    module = importlib.util.module_from_spec(module_spec)
    loader.exec_module(module)
    return module if hasattr(module, "_libcrypto") else None


def other_build(installed: ModuleType) -> ModuleType | None:
    """The newest development build whose libcrypto differs from the installed one's."""
    found = sorted(ROOT.glob("build/*/pkg/quorvex/_secure*.so"), key=lambda p: p.stat().st_mtime, reverse=True)
    for path in found:
        try:
            module = _load(path)
        except ImportError:
            continue
        if module is not None and origin(module) != origin(installed):
            return module
    return None


def cases_for(name: str, module: ModuleType, quick: bool) -> list[Case]:
    """The libcrypto-bound cases of bench/<name>.py, run against `module`: a
    fresh copy of the benchmark whose `_secure` is that build."""
    module_spec = importlib.util.find_spec(f"bench.{name}")
    assert module_spec is not None and module_spec.loader is not None
    copy = importlib.util.module_from_spec(module_spec)
    module_spec.loader.exec_module(copy)
    copy._secure = module  # type: ignore[attr-defined]
    return [c for c in copy.cases(quick) if c.operation.startswith(REPEATED[name])]
