"""Package attributes imported on first use, so that a worker process, which imports only a
plugin's worker module, never imports the framework the plugin's classes are built on."""

import importlib


def lazy_exports(namespace: dict, where: dict[str, str]):
    """(__getattr__, __dir__) for the package whose globals() are `namespace`: attribute
    name is taken from the submodule where[name] when first asked for, then kept."""
    package = namespace["__name__"]

    def __getattr__(name: str):
        if name in where:
            value = getattr(importlib.import_module(f".{where[name]}", package), name)
            namespace[name] = value
            return value
        raise AttributeError(f"module {package!r} has no attribute {name!r}")

    def __dir__():
        return sorted(set(namespace) | set(where))

    return __getattr__, __dir__
