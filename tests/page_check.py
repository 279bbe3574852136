#!/usr/bin/env python3
"""Opens a page in headless Chromium, from its file:// URL with a new empty
profile in the working folder (removed afterwards), and says what a person
would see, a line each:

    svg: N            the <svg> elements in the page's DOM
    script: N         the <script> elements in it
    TEXT: N           how often each TEXT given stands in the DOM
    console: none     or each message the page wrote on the browser's console
    screenshot: many colours    or "one colour": its pixels, never blank
    fetches: none     or each src= or href= of the page that leaves it, and each <link>

    tests/page_check.py [--screenshot PNG] [--scale S] [--size W,H] PAGE [TEXT...]

The browser's window is 1280 by 2400 pixels (or W by H); the screenshot is
taken at a scale of 0.25 (Chromium draws no less than half: enough to see
that the page is drawn, and quick to read here), or S, and kept as PNG where
asked."""

import argparse
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import zlib

FLAGS = ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
         "--disable-background-networking", "--disable-component-update", "--disable-sync",
         "--enable-logging=stderr", "--v=0", "--hide-scrollbars"]
CONSOLE = re.compile(r":INFO:CONSOLE[^\]]*\] (.*)")
LEAVES = re.compile(rb"""(?:src|href)=["']?(?:https?:|//)[^"'\s>]*|<link\b[^>]*""", re.IGNORECASE)


def browse(page, folder, shot, scale, size):
    """The DOM Chromium made of the page and what it logged, its screenshot written to shot."""
    profile = tempfile.mkdtemp(prefix="chromium-", dir=folder)
    environment = dict(os.environ, HOME=profile, XDG_CONFIG_HOME=profile, XDG_CACHE_HOME=profile)
    command = ["chromium", *FLAGS, f"--user-data-dir={profile}", f"--window-size={size}",
               f"--force-device-scale-factor={scale}",
               f"--screenshot={shot}", "--dump-dom", "file://" + os.path.abspath(page)]
    browser = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=environment,
                               start_new_session=True)
    try:
        dom, log = browser.communicate(timeout=300)
    except subprocess.TimeoutExpired:
        os.killpg(browser.pid, signal.SIGKILL)
        browser.communicate()
        raise SystemExit("page_check: chromium did not end within 300 s")
    finally:
        shutil.rmtree(profile, ignore_errors=True)
    return dom.decode("utf-8", "replace"), log.decode("utf-8", "replace")


def paeth(a, b, c):
    p = a + b - c
    pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
    return a if pa <= pb and pa <= pc else b if pb <= pc else c


def unfiltered(kind, row, prior, step):
    """One scanline of a PNG with its filter undone."""
    if kind == 0:
        return row
    if kind == 2:
        return bytearray((x + y) & 255 for x, y in zip(row, prior))
    out = bytearray(row)
    for i in range(len(out)):
        left = out[i - step] if i >= step else 0
        if kind == 1:
            out[i] = (out[i] + left) & 255
        elif kind == 3:
            out[i] = (out[i] + (left + prior[i]) // 2) & 255
        else:
            out[i] = (out[i] + paeth(left, prior[i], prior[i - step] if i >= step else 0)) & 255
    return out


def colours(path):
    """The distinct colours of an 8-bit RGB or RGBA PNG, up to 16."""
    with open(path, "rb") as f:
        data = f.read()
    at, chunks = 8, {}
    while at < len(data):
        length = int.from_bytes(data[at:at + 4], "big")
        kind = data[at + 4:at + 8]
        chunks[kind] = chunks.get(kind, b"") + data[at + 8:at + 8 + length]
        at += 12 + length
    width, height, depth, colour_type = (int.from_bytes(chunks[b"IHDR"][0:4], "big"),
                                         int.from_bytes(chunks[b"IHDR"][4:8], "big"), chunks[b"IHDR"][8],
                                         chunks[b"IHDR"][9])
    if depth != 8 or colour_type not in (2, 6):
        raise SystemExit(f"page_check: a PNG of depth {depth} and colour type {colour_type}")
    step = 3 if colour_type == 2 else 4
    raw, stride = zlib.decompress(chunks[b"IDAT"]), width * step + 1
    prior, seen = bytearray(width * step), set()
    for y in range(height):
        line = raw[y * stride:(y + 1) * stride]
        prior = unfiltered(line[0], line[1:], prior, step)
        seen.update(bytes(prior[x:x + 3]) for x in range(0, len(prior), step * 7))
        if len(seen) >= 16:
            break
    return len(seen)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--screenshot")
    parser.add_argument("--scale", default="0.25")
    parser.add_argument("--size", default="1280,2400")
    parser.add_argument("page")
    parser.add_argument("texts", nargs="*")
    options = parser.parse_args()
    if not os.path.isfile(options.page):
        raise SystemExit(f"page_check: no page {options.page}")
    folder = tempfile.mkdtemp(prefix="page-check-", dir=".")
    try:
        shot = options.screenshot or os.path.join(folder, "screenshot.png")
        dom, log = browse(options.page, folder, shot, options.scale, options.size)
        print(f"svg: {len(re.findall(r'<svg[ >]', dom))}")
        print(f"script: {len(re.findall(r'<script[ >]', dom, re.IGNORECASE))}")
        for text in options.texts:
            print(f"{text}: {dom.count(text)}")
        messages = CONSOLE.findall(log)
        print("console: " + ("none" if not messages else "\n".join(messages)))
        if not os.path.exists(shot):
            print("screenshot: none")
        else:
            print("screenshot: " + ("one colour" if colours(shot) < 2 else "many colours"))
    finally:
        shutil.rmtree(folder, ignore_errors=True)
    with open(options.page, "rb") as f:
        leaving = LEAVES.findall(f.read())
    print("fetches: " + ("none" if not leaving else "\n".join(x.decode("utf-8", "replace") for x in leaving)))
    return 0


if __name__ == "__main__":
    sys.exit(main())
