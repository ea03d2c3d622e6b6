"""Headless Debian Chromium for the page's tests and bench, started offline."""

from __future__ import annotations

import os
import shutil
from pathlib import Path
from typing import Any

CHROMIUM = "/usr/lib/chromium/chromium"


def missing() -> str | None:
    """Why no browser can run here, or None."""
    if shutil.which("chromedriver") is None:
        return "chromedriver is not installed (apt-get install chromium-driver)"
    if not os.access(CHROMIUM, os.X_OK):
        return f"{CHROMIUM} is not installed (apt-get install chromium)"
    try:
        import selenium  # noqa: F401
    except ImportError:
        return "selenium is not installed"
    return None


def chromium(tmp: Path, width: int = 1600, height: int = 900) -> Any:
    """A headless Chromium whose profile folders land in ``tmp``."""
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service

    opts = webdriver.ChromeOptions()
    opts.binary_location = CHROMIUM
    for arg in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage"):
        opts.add_argument(arg)
    # An explicit driver path: Selenium Manager, which would go online, is skipped.
    service = Service(executable_path=shutil.which("chromedriver"), env={**os.environ, "TMPDIR": str(tmp)})
    driver = webdriver.Chrome(service=service, options=opts)
    driver.execute_cdp_cmd(
        "Emulation.setDeviceMetricsOverride",
        {"width": width, "height": height, "deviceScaleFactor": 1, "mobile": False},
    )
    return driver


#: [pump id, label, classes, text] of each tile, top to bottom, in one round trip
TILES_JS = """
return [...document.querySelectorAll('#pumps .tile')].map(
    t => [t.dataset.pump, t.querySelector('.label').textContent, t.className, t.innerText]);
"""


def tiles(driver: Any) -> list[list[str]]:
    return list(driver.execute_script(TILES_JS))
