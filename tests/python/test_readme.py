"""Every Python block of the README and of docs/*.md runs as written (those
under one heading of a page in order, sharing their names)."""

import pytest

import readme_blocks

SECTIONS = [(page, heading) for page in readme_blocks.pages() for heading in readme_blocks.sections(page=page)]


@pytest.mark.parametrize("page, heading", SECTIONS, ids=[f"{p.name}:{h}" for p, h in SECTIONS])
def test_blocks_run(page, heading):
    readme_blocks.run(heading, page)


def test_every_page_with_python_is_collected():
    # A page whose blocks the parametrization missed would go unchecked.
    names = {p.name for p, _ in SECTIONS}
    assert {"README.md", "extension.md", "recipes.md"} <= names


def test_blocks_are_grouped_by_heading_outside_other_fences():
    text = (
        "# A\n```python\nx = 1\n```\n```sh\n# not a heading\n```\n```python\ny = x\n```\n## B\n```python\nz = 2\n```\n"
    )
    found = readme_blocks.sections(text)
    assert {h: [c.strip() for c in blocks] for h, blocks in found.items()} == {"A": ["x = 1", "y = x"], "B": ["z = 2"]}
    assert found["B"][0] == "\n" * 12 + "z = 2\n"  # on line 13, as in the text


@pytest.mark.parametrize(
    "code, absent",
    [
        ("import numpy as np\n", "numpy"),
        ("from sklearn.pipeline import make_pipeline\n", "sklearn"),
        ("    import sklearn\n", "sklearn"),
    ],
)
def test_blocks_needing_an_absent_optional_module_are_named(monkeypatch, code, absent):
    monkeypatch.setattr(readme_blocks.importlib.util, "find_spec", lambda name: None)
    assert readme_blocks.missing(["import orbisk\n", code]) == [absent]
    assert readme_blocks.missing(["import orbisk\nimport numpyish\n"]) == []
