"""Command line for OpenBao, so that keys never pass through a terminal:
``quorvex box new PATH [--length N] [--replace]``,
``quorvex identity new PATH [--replace]``, ``quorvex identity show PATH``.
The store comes from the environment (BAO_ADDR, BAO_TOKEN, ... or VAULT_*)."""

from __future__ import annotations

import argparse
import base64
from typing import Any, Callable

Handler = Callable[[argparse.Namespace], int]


def _b64url(public: bytes) -> str:
    return base64.urlsafe_b64encode(public).rstrip(b"=").decode("ascii")


def _publics(keypair: Any) -> None:
    print(f"x25519_public: {_b64url(keypair.x25519_public)}")
    print(f"mlkem768_public: {_b64url(keypair.mlkem768_public)}")


def _as_option(exc: Exception) -> Exception:
    """The refusal to overwrite, worded for the command line (--replace)."""
    from quorvex.openbao import StoreError

    if isinstance(exc, StoreError) and exc.status == 400 and "replace=True" in str(exc):
        return StoreError(str(exc).replace("replace=True", "--replace"), path=exc.path, status=exc.status)
    return exc


def _box(args: argparse.Namespace) -> int:
    from quorvex import _secure
    from quorvex.openbao import Store

    with Store.from_env(args.mount) as store:
        try:
            version = store.put_box(args.path, _secure.SecretBox.random(args.length), replace=args.replace)
        except Exception as exc:
            raise _as_option(exc) from None
    print(f"wrote {store.mount}/{args.path.strip('/')} version {version}")
    return 0


def _identity(args: argparse.Namespace) -> int:
    from quorvex import _secure
    from quorvex.openbao import Store

    with Store.from_env(args.mount) as store:
        if args.action == "new":
            keypair = _secure.HybridKeyPair.generate()
            try:
                version = store.put_identity(args.path, keypair, replace=args.replace)
            except Exception as exc:
                raise _as_option(exc) from None
            print(f"wrote {store.mount}/{args.path.strip('/')} version {version}")
        else:
            keypair = store.get_identity(args.path, args.version)
    _publics(keypair)
    return 0


def _length(text: str) -> int:
    value = int(text)
    if value < 1:
        raise argparse.ArgumentTypeError("must be at least 1")
    return value


def add_commands(commands: Any) -> dict[str, Handler]:
    """Adds `box` and `identity` to the `quorvex` subcommands; returns their handlers."""
    env = "the store comes from BAO_ADDR, BAO_TOKEN, BAO_CACERT, BAO_NAMESPACE (or VAULT_*)"
    box = commands.add_parser("box", help="secret boxes kept in OpenBao", description=env)
    box_actions = box.add_subparsers(dest="action", required=True)
    new_box = box_actions.add_parser("new", help="store a fresh random key at PATH; prints the version written")
    new_box.add_argument("--length", type=_length, default=32, help="key length in bytes (default 32)")
    identity = commands.add_parser("identity", help="hybrid identities kept in OpenBao", description=env)
    id_actions = identity.add_subparsers(dest="action", required=True)
    new_id = id_actions.add_parser("new", help="store a fresh identity at PATH; prints the version and its public keys")
    show = id_actions.add_parser("show", help="print the public keys of the identity at PATH (base64url)")
    show.add_argument("--version", type=_length, default=None, help="a stored version (default: the latest)")
    for parser in (new_box, new_id):
        parser.add_argument("--replace", action="store_true", help="add a new version over an existing secret")
    for parser in (new_box, new_id, show):
        parser.add_argument("path", metavar="PATH", help="the secret's path under the mount")
        parser.add_argument("--mount", default="secret", help="the KV version 2 mount (default: secret)")
    return {"box": _box, "identity": _identity}
