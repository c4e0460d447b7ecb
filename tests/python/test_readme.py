"""The README's quickstart runs as written."""

import pathlib
import re

import pytest

README = pathlib.Path(__file__).resolve().parents[2] / "README.md"
SNIPPETS = re.findall(r"```python\n(.*?)```", README.read_text(encoding="utf-8"), flags=re.S)


def test_readme_has_the_three_quickstart_snippets():
    assert len(SNIPPETS) == 3


@pytest.mark.parametrize("index", range(len(SNIPPETS)))
def test_readme_snippet_runs(index, capsys):
    exec(compile(SNIPPETS[index], f"README.md snippet {index + 1}", "exec"), {"__name__": "__readme__"})
    capsys.readouterr()
