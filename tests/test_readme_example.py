"""The README's first example runs and prints what the README says it prints."""

import subprocess
import sys

from readme_example import readme_example


def test_readme_example_prints_what_the_readme_shows():
    code, output = readme_example()
    done = subprocess.run(
        [sys.executable, "-c", code], capture_output=True, text=True, timeout=60
    )
    assert done.returncode == 0, done.stderr
    assert done.stdout == output
