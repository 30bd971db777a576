"""Every Python block of the README runs as written (those under one heading
in order, sharing their names)."""

import pytest

import readme_blocks

SECTIONS = readme_blocks.sections()


@pytest.mark.parametrize("heading", SECTIONS)
def test_readme_blocks_run(heading):
    readme_blocks.run(heading)


def test_blocks_are_grouped_by_heading_outside_other_fences():
    text = "# A\n```python\nx = 1\n```\n```sh\n# not a heading\n```\n```python\ny = x\n```\n## B\n```python\nz = 2\n```\n"
    found = readme_blocks.sections(text)
    assert {h: [c.strip() for c in blocks] for h, blocks in found.items()} == {"A": ["x = 1", "y = x"], "B": ["z = 2"]}
    assert found["B"][0] == "\n" * 12 + "z = 2\n"  # on line 13, as in the text
