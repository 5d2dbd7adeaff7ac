"""Headless Chromium driven by Selenium, for the station's page: the
browser test and the screenshots share it. Chromium and its driver come
from Debian's packages; nothing is fetched."""

import os
import tempfile

from selenium import webdriver
from selenium.webdriver.chrome.service import Service

CHROMIUM = os.environ.get("CHROMIUM", "/usr/bin/chromium")
CHROMEDRIVER = os.environ.get("CHROMEDRIVER", "/usr/bin/chromedriver")


def chromium(width=1400, height=1000, zoom=1.0):
    """A fresh headless Chromium with its own profile; `zoom` as the page's
    zoom would be (2.0: 200 %)."""
    profile = tempfile.TemporaryDirectory(prefix="station-chromium-")
    options = webdriver.ChromeOptions()
    options.binary_location = CHROMIUM
    for flag in ("--headless", "--no-sandbox", "--disable-gpu", "--disable-quic",
                 "--no-first-run", "--disable-background-networking",
                 "--disable-component-update", "--disable-sync",
                 "--disable-dev-shm-usage", "--user-data-dir=" + profile.name,
                 "--window-size=%d,%d" % (width, height),
                 "--force-device-scale-factor=%g" % zoom):
        options.add_argument(flag)
    driver = webdriver.Chrome(service=Service(CHROMEDRIVER), options=options)
    driver.profile = profile  # removed with the driver
    return driver
