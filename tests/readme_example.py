"""The README's first example, its code and the output it shows, read from the README itself."""

from __future__ import annotations

import pathlib
import re

README = pathlib.Path(__file__).resolve().parents[1] / "README.md"
HEADING = "## A first example\n"
CODE_THEN_OUTPUT = re.compile(r"```python\n(?P<code>.*?)```.*?```text\n(?P<output>.*?)```", re.S)


def readme_example() -> tuple[str, str]:
    """(code, printed output) of the first Python block after the heading and the text block after it."""
    section = README.read_text().split(HEADING, 1)[1]
    found = CODE_THEN_OUTPUT.search(section)
    assert found, "the README's first example has lost its code or output block"
    return found["code"], found["output"]
