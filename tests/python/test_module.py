import pkgutil
import subprocess
import sys

import pytest

import vellum
from vellum import _vellum


def test_all_lists_the_four_names_in_registration_order():
    assert _vellum.__all__ == ["Cache", "Server", "CacheLockedError", "CorruptDataError"]
    # The package's Cache is the pure-Python mapping around the native class.
    assert vellum.Server is _vellum.Server
    with vellum.Cache() as wrapper:
        assert isinstance(wrapper.native, _vellum.Cache)


@pytest.mark.parametrize("cls", [_vellum.Cache, _vellum.Server])
def test_classes_are_qualified_by_the_package_module_and_are_final(cls):
    assert cls.__module__ == "vellum._vellum"
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})


@pytest.mark.parametrize(
    "exc, base, doc",
    [
        (_vellum.CacheLockedError, OSError, "The persistence directory is in use by another live process."),
        (_vellum.CorruptDataError, ValueError, "The persisted snapshot failed its checksum or structure check."),
    ],
)
def test_exception_types_have_their_base_module_and_doc(exc, base, doc):
    assert issubclass(exc, base)
    assert exc.__module__ == "_vellum"
    assert exc.__doc__ == doc


def test_class_docs_carry_text_signatures():
    assert _vellum.Cache.__text_signature__ == (
        '(max_memory=0, policy="noeviction", shards=64, persist_dir=None, fsync="everysec", snapshot_interval=300)'
    )
    assert _vellum.Cache.__doc__ == (
        "Bytes-level cache. The Python `vellum.Cache` wrapper adds decoding,\n"
        "JSON handling and dict-style sugar on top of this class."
    )
    # Bounded request memory added the request_budget argument, scripts their time limit.
    assert _vellum.Server.__text_signature__ == (
        '(cache, host="127.0.0.1", port=6380, password=None, request_budget=None, script_time_limit_ms=5000)'
    )
    assert _vellum.Server.__doc__ == "RESP2 server that serves a `Cache` over TCP."
    assert _vellum.Cache.ttl.__doc__.startswith("Remaining TTL in whole seconds, rounded up.")
    assert _vellum.Cache.set.__text_signature__ == "($self, key, value, ex=None, px=None, nx=False, xx=False)"


def test_module_initialises_only_once_per_process():
    code = (
        "import sys, importlib\n"
        "import vellum._vellum\n"
        "del sys.modules['vellum._vellum']\n"
        "try:\n"
        "    importlib.import_module('vellum._vellum')\n"
        "except ImportError:\n"
        "    print('refused')\n"
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert out.stdout.strip() == "refused", out.stderr


def test_demo_runs():
    # The demo moved behind its own command when `python -m vellum` without one began to
    # print the help (test_cli.py).
    out = subprocess.run([sys.executable, "-m", "vellum", "demo"], capture_output=True, text=True, timeout=60)
    assert out.returncode == 0, out.stderr
    assert "cache.get(b'greeting') -> b'hello'" in out.stdout


# Discovered, so a module added later is covered without editing this list.
PACKAGE_MODULES = ["vellum"] + sorted(f"vellum.{m.name}" for m in pkgutil.iter_modules(vellum.__path__))


@pytest.mark.parametrize("module", PACKAGE_MODULES)
def test_each_module_imports_first_in_a_fresh_interpreter(module):
    # In this test process every module is already loaded, which hides an import cycle;
    # loading one module from scratch fails when a cycle leaves a name unbound.
    out = subprocess.run([sys.executable, "-c", f"import {module}"], capture_output=True, text=True, timeout=60)
    assert out.returncode == 0, out.stderr
