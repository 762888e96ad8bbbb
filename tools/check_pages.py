#!/usr/bin/python3
"""Open the built documentation in headless Chromium and check what a reader would meet.

    tools/check_pages.py [HTML_DIR] [--chromium PROGRAM]

HTML_DIR is the built site (default docs/_build/html). One headless
Chromium, with a fresh profile and every host name unresolvable (nothing is
fetched from the network), opens a scratch page that loads each page of the
site in turn in a frame and reports what the browser made of it. Checked:

- every page renders: it has a title, a first heading and text in its main part;
- every internal link resolves: a link, image, style sheet or script of a page
  names a file of the site, and a link's #fragment an element of that page;
  external links (http, https, mailto) are counted, never fetched;
- every gallery figure is an image the browser decoded, at least 200 x 150 pixels.

Prints one line per fault and a summary line; exit status 0 when all pages
pass, 1 on a fault, 2 when the site or Chromium is missing.
"""
import argparse
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path
from urllib.parse import unquote, urlsplit

FLAGS = ["--headless", "--no-sandbox", "--disable-gpu", "--no-first-run", "--disable-background-networking",
         "--disable-component-update", "--disable-sync", "--disable-default-apps", "--mute-audio",
         "--allow-file-access-from-files", "--host-resolver-rules=MAP * ~NOTFOUND",
         "--virtual-time-budget=600000"]
# A gallery figure smaller than this was not drawn (or not decoded).
MIN_FIGURE = (200, 150)
# Pages written by the build, not by the project: not opened.
SKIPPED = ("_static/", "_sources/", "_images/", "_downloads/")
# Pages Sphinx makes from the others (filled by scripts or lists): a title suffices.
GENERATED = ("search.html", "genindex.html", "py-modindex.html")
# A page of the gallery that shows an example (its index and timings are not).
EXAMPLE_PAGE = re.compile(r"auto_examples/plot_[^/]+\.html")

# Loads each page into the frame, then records title, headings, text, links,
# ids and images; the report replaces the body, for --dump-dom.
PROBE = """<!DOCTYPE html>
<html><body><iframe id="page" style="width:1200px;height:900px"></iframe><pre id="report"></pre>
<script>
const pages = %s;
const report = [];
const frame = document.getElementById("page");
function look(url) {
  return new Promise(done => {
    const timer = setTimeout(() => done({url: url, error: "did not load"}), 20000);
    frame.onload = () => {
      clearTimeout(timer);
      const doc = frame.contentDocument;
      if (!doc || !doc.body) { done({url: url, error: "no document"}); return; }
      const main = doc.querySelector('[role="main"]') || doc.body;
      const h1 = doc.querySelector("h1");
      const refs = [];
      for (const a of doc.querySelectorAll("a[href]")) refs.push(["a", a.getAttribute("href"), a.href]);
      for (const e of doc.querySelectorAll("img[src], script[src]")) refs.push([e.tagName.toLowerCase(), e.getAttribute("src"), e.src]);
      for (const e of doc.querySelectorAll("link[href]")) refs.push(["link", e.getAttribute("href"), e.href]);
      const images = [...doc.querySelectorAll("img")].map(i => ({src: i.src, cls: i.className,
        complete: i.complete, width: i.naturalWidth, height: i.naturalHeight}));
      const ids = [...doc.querySelectorAll("[id], a[name]")].map(e => e.id || e.getAttribute("name"));
      done({url: url, title: doc.title, h1: h1 ? h1.textContent.trim() : "",
            text: main.innerText.trim().length, refs: refs, images: images, ids: ids});
    };
    frame.src = url;
  });
}
(async () => {
  for (const url of pages) {
    const seen = await look(url);
    // Images load after the page's onload in lazy themes: look once more when some are pending.
    if (seen.images && seen.images.some(i => !i.complete)) {
      await new Promise(r => setTimeout(r, 500));
      seen.images = [...frame.contentDocument.querySelectorAll("img")].map(i => ({src: i.src,
        cls: i.className, complete: i.complete, width: i.naturalWidth, height: i.naturalHeight}));
    }
    report.push(seen);
  }
  document.body.innerHTML = "";
  const pre = document.createElement("pre");
  pre.id = "report";
  pre.textContent = "REPORT" + JSON.stringify(report) + "END";
  document.body.appendChild(pre);
})();
</script></body></html>
"""


def browse(chromium, pages):
    """What Chromium made of each page (the probe's report), as a list of dicts."""
    with tempfile.TemporaryDirectory(prefix="check_pages-") as scratch:
        probe = Path(scratch) / "probe.html"
        probe.write_text(PROBE % json.dumps([p.as_uri() for p in pages]), encoding="utf-8")
        profile = Path(scratch) / "profile"
        done = subprocess.run([chromium, *FLAGS, f"--user-data-dir={profile}", "--dump-dom", probe.as_uri()],
                              capture_output=True, text=True, timeout=600)
    found = re.search(r"REPORT(.*)END", done.stdout, re.S)
    if not found:
        raise RuntimeError(f"{chromium} gave no report (status {done.returncode})")
    import html
    return json.loads(html.unescape(found.group(1)))


def local_target(url, root):
    """The file (and fragment) a file:// URL names inside the site, or None for another scheme."""
    parts = urlsplit(url)
    if parts.scheme != "file":
        return None
    return Path(unquote(parts.path)), unquote(parts.fragment)


def faults(report, root):
    """One line per fault found in the report of the pages under root."""
    ids = {Path(unquote(urlsplit(page["url"]).path)): set(page.get("ids", ())) for page in report}
    out = []
    for page in report:
        name = Path(unquote(urlsplit(page["url"]).path)).relative_to(root).as_posix()
        if "error" in page:
            out.append(f"{name}: {page['error']}")
            continue
        if not page["title"] or (name not in GENERATED and (not page["h1"] or page["text"] < 20)):
            out.append(f"{name}: does not render: title {page['title']!r}, first heading {page['h1']!r}, "
                       f"{page['text']} characters of text")
        for kind, written, url in page["refs"]:
            target = local_target(url, root)
            if target is None:
                continue
            path, fragment = target
            if root not in path.parents and path != root:
                out.append(f"{name}: {kind} {written!r} leads out of the site ({path})")
            elif not path.exists():
                out.append(f"{name}: {kind} {written!r}: no such file {path.relative_to(root)}")
            elif fragment and path.suffix == ".html" and kind == "a":
                known = ids.get(path)
                if known is None:
                    known = set(re.findall(r'\bid="([^"]+)"', path.read_text(encoding="utf-8", errors="replace")))
                if fragment not in known:
                    out.append(f"{name}: link {written!r}: no element #{fragment} in {path.relative_to(root)}")
        if EXAMPLE_PAGE.fullmatch(name):
            figures = [i for i in page["images"] if "sphx-glr-single-img" in i["cls"] or "sphx-glr-multi-img" in i["cls"]]
            if not figures:
                out.append(f"{name}: a gallery example without a figure")
            for image in figures:
                if image["width"] < MIN_FIGURE[0] or image["height"] < MIN_FIGURE[1]:
                    out.append(f"{name}: figure {Path(urlsplit(image['src']).path).name} is "
                               f"{image['width']} x {image['height']} pixels as the browser decoded it")
    return out


def main(argv=None):
    parser = argparse.ArgumentParser(prog="check_pages", description=__doc__.split("\n\n")[0])
    parser.add_argument("html", nargs="?", default="docs/_build/html", help="the built site")
    parser.add_argument("--chromium", default=None, help="the browser (default: chromium on PATH)")
    args = parser.parse_args(argv)
    root = Path(args.html).resolve()
    if not (root / "index.html").is_file():
        print(f"check_pages: {args.html}: no index.html (build the site first: tools/build_docs.sh)", file=sys.stderr)
        return 2
    chromium = args.chromium or shutil.which("chromium") or shutil.which("chromium-browser")
    if not chromium or not os.access(chromium, os.X_OK):
        print("check_pages: no chromium (install it: tools/install_deps.sh chromium chromium-driver)", file=sys.stderr)
        return 2
    pages = sorted(p for p in root.rglob("*.html")
                   if not p.relative_to(root).as_posix().startswith(SKIPPED))
    try:
        report = browse(chromium, pages)
    except (RuntimeError, subprocess.TimeoutExpired, OSError, ValueError) as error:
        print(f"check_pages: {error}", file=sys.stderr)
        return 1
    found = faults(report, root)
    for line in found:
        print(f"check_pages: {line}", file=sys.stderr)
    external = sum(1 for page in report for kind, _, url in page.get("refs", ())
                   if urlsplit(url).scheme not in ("file", ""))
    figures = sum(1 for page in report for i in page.get("images", ()) if "sphx-glr-" in i.get("cls", "")
                  and "img" in i.get("cls", ""))
    print(f"check_pages: {len(report)} pages, {figures} gallery figures, {external} external links not followed: "
          + (f"{len(found)} fault(s)" if found else "all render, every internal link resolves"))
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main())
