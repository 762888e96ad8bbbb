"""The README's commands run as written, and the page check finds what a reader of the site would meet."""
import os
import re
import shutil
import subprocess
import sys

import numpy as np
import matplotlib.image
import pytest

from conftest import ROOT, package_environment, program_path

FIRST_TWO = ["cmake -S . -B build && cmake --build build -j2 && (cd example/run && ../../build/pumak_metrun)",
             "tools/test_all.sh"]
# README lines run elsewhere (the build and the whole suite by CI itself, the install by test_install,
# the site by test_all): each stands here for what of it the test runs, or None.
ELSEWHERE = {
    FIRST_TWO[0]: "(cd example/run && ../../build/pumak_metrun)",
    FIRST_TWO[1]: None,
    "/usr/bin/python3 -m venv --system-site-packages .venv && "
    ".venv/bin/pip install --no-build-isolation --no-index .": None,
    "tools/build_docs.sh": None,
}


def commands(markdown):
    """The lines of the fenced blocks without a language (the shell commands of this project's pages)."""
    blocks = re.findall(r"^```[ \t]*\n(.*?)^```", markdown, re.M | re.S)
    return [line for block in blocks for line in block.splitlines() if line.strip()]


def test_readme_starts_with_the_two_commands_and_its_links_resolve():
    readme = (ROOT / "README.md").read_text()
    assert commands(readme)[:2] == FIRST_TWO
    links = re.findall(r"\]\(([^)#:]+)(?:#[^)]*)?\)", readme)
    assert links and [link for link in links if not (ROOT / link).exists()] == []


def test_readme_commands_run_as_written(tmp_path):
    """Every README command in a copy of the example, with build/ and .venv/bin/pumak those under test."""
    shutil.copytree(ROOT / "example", tmp_path / "example")
    (tmp_path / "build").symlink_to(program_path("metrun").parent)
    (tmp_path / ".venv" / "bin").mkdir(parents=True)
    wrapper = tmp_path / ".venv" / "bin" / "pumak"
    wrapper.write_text(f'#!/bin/sh\nexec "{sys.executable}" -m pumak "$@"\n')
    wrapper.chmod(0o755)
    lines = commands((ROOT / "README.md").read_text())
    assert set(ELSEWHERE) <= set(lines)
    for line in lines:
        command = ELSEWHERE.get(line, line)
        if command is None:
            continue
        done = subprocess.run(["bash", "-c", command], cwd=tmp_path, capture_output=True, text=True, timeout=300,
                              env=package_environment())
        assert done.returncode == 0, f"{line}\n{done.stderr}"
        assert "Traceback" not in done.stderr
    assert (tmp_path / "example" / "run" / "results_kpc_l.csv").stat().st_size > 100_000
    assert (tmp_path / "mysite" / "run" / "results_l3_hourly_2023_12.png").stat().st_size > 10_000


# A small site: an index, a page with a section, an example of the gallery with its figure.
SITE = {
    "index.html": '<title>pumak</title><div role="main"><h1>pumak</h1><p>A point model of a hole in the ice.</p>'
                  '<a href="page.html#section">a section</a> <a href="auto_examples/plot_one.html">example</a>'
                  ' <a href="https://example.invalid/">elsewhere</a></div>',
    "page.html": '<title>page</title><div role="main"><h1>A page</h1><p id="section">Text of the section.</p>'
                 '<a href="index.html">back</a></div>',
    "auto_examples/plot_one.html": '<title>one</title><div role="main"><h1>One example</h1><p>It ends in a figure.'
                                   '</p><img class="sphx-glr-single-img" src="../_images/fig.png"></div>',
}


@pytest.mark.parametrize("page, old, new, said", [
    (None, None, None, None),
    ("index.html", "page.html#section", "missing.html", "index.html: a 'missing.html': no such file missing.html"),
    ("index.html", "page.html#section", "page.html#nowhere", "no element #nowhere in page.html"),
    ("page.html", "<h1>A page</h1>", "", "page.html: does not render"),
    ("auto_examples/plot_one.html", "fig.png", "tiny.png", "figure tiny.png is 20 x 10 pixels"),
    ("auto_examples/plot_one.html", "fig.png", "gone.png", "no such file _images/gone.png"),
    ("auto_examples/plot_one.html", '<img class="sphx-glr-single-img" src="../_images/fig.png">', "",
     "a gallery example without a figure"),
])
def test_check_pages(tmp_path, page, old, new, said):
    chromium = shutil.which("chromium")
    if not chromium:
        pytest.skip("no chromium")
    for name, text in SITE.items():
        if name == page:
            text = text.replace(old, new)
        (tmp_path / name).parent.mkdir(parents=True, exist_ok=True)
        (tmp_path / name).write_text(f"<!DOCTYPE html><html><body>{text}</body></html>")
    (tmp_path / "_images").mkdir()
    matplotlib.image.imsave(tmp_path / "_images" / "fig.png", np.random.default_rng(1).random((300, 400)))
    matplotlib.image.imsave(tmp_path / "_images" / "tiny.png", np.zeros((10, 20)))
    done = subprocess.run([sys.executable, str(ROOT / "tools" / "check_pages.py"), str(tmp_path)],
                          capture_output=True, text=True, timeout=300, env=dict(os.environ))
    if said is None:
        assert (done.returncode, done.stderr) == (0, "")
        assert done.stdout == ("check_pages: 3 pages, 1 gallery figures, 1 external links not followed: "
                               "all render, every internal link resolves\n")
    else:
        assert done.returncode == 1
        assert said in done.stderr
        assert all(line.startswith("check_pages: ") for line in done.stderr.splitlines())
