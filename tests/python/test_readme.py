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


# The guide's examples that stand on their own, the ones opening with their imports; its
# Django and Flask settings are fragments of a project.
GUIDE = README.parent / "docs" / "guide.md"
GUIDE_SNIPPETS = [s for s in re.findall(r"```python\n(.*?)```", GUIDE.read_text(encoding="utf-8"), flags=re.S)
                  if s.startswith(("import ", "from "))]


def test_guide_has_the_quickstart_and_the_server_example():
    assert len(GUIDE_SNIPPETS) == 2 and "Server(cache, port=0)" in GUIDE_SNIPPETS[1]


@pytest.mark.parametrize("index", range(len(GUIDE_SNIPPETS)))
def test_guide_snippet_runs(index, capsys):
    exec(compile(GUIDE_SNIPPETS[index], f"docs/guide.md snippet {index + 1}", "exec"), {"__name__": "__guide__"})
    capsys.readouterr()
