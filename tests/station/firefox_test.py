"""The station's page in headless Firefox: Tab to each tile's serial
field, type the serial and Enter (as a barcode scanner does), then OK on
the instructions; both tiles reach "Download comleted." and the record
holds both serials. OK is clicked with the mouse here: Enter on a focused
button does not press it when Firefox's own driver sends the key, on any
page (the Chromium test presses it from the keyboard). Usage:
firefox_test.py (FWDL, INSTRUMENT_SIM, FIREFOX name the programs)."""

import os
import tempfile
import unittest

import firefox
import rig

SERIALS = ["SN-2001", "SN-2002"]


class StationPageInFirefox(unittest.TestCase):
    def setUp(self):
        self.folder = tempfile.TemporaryDirectory()
        self.image = rig.image_file(self.folder.name, 20000)
        self.record = os.path.join(self.folder.name, "units.jsonl")
        self.sims = [rig.Sim(self.folder.name, "--flash-ms", "100") for _ in SERIALS]
        self.station = rig.Station([s.path for s in self.sims], self.image, self.record)
        self.browser = firefox.Firefox()

    def tearDown(self):
        self.browser.quit()
        self.station.stop()
        for sim in self.sims:
            sim.close()
        self.folder.cleanup()

    def tab_to(self, selector):
        """Presses Tab until the element `selector` has the focus."""
        test = "document.activeElement === document.querySelector(%r)" % selector
        for _ in range(60):
            if self.browser.evaluate(test):
                return
            self.browser.type("\t")
        self.fail("Tab never reached " + selector)

    def tile(self, index, part=""):
        return "article.tile:nth-of-type(%d) %s" % (index + 1, part)

    def test_two_units_flashed(self):
        self.browser.get(self.station.url)
        rig.wait_for(lambda: self.browser.evaluate(
            "document.querySelectorAll('article.tile').length") == 2, what="two tiles")
        for index, serial in enumerate(SERIALS):
            self.tab_to(self.tile(index, "input"))
            self.browser.type(serial + "\n")
            rig.wait_for(lambda: "1. Turn on the instrument." in (self.browser.evaluate(
                "document.querySelector(%r).innerText" % self.tile(index, ".prompt")) or ""),
                what="the instructions on tile %d" % index)
            self.browser.click(self.tile(index, ".ok"))

        def results():
            return self.browser.evaluate(
                "[...document.querySelectorAll('article.tile')].map("
                "t => [t.className, t.querySelector('.result').innerText])")

        rig.wait_for(lambda: all("good" in c or "failed" in c for c, _ in results()),
                     timeout=120, what="both tiles' end")
        for (classes, text), serial in zip(results(), SERIALS):
            self.assertIn("good", classes)
            self.assertIn("Download comleted.", text)
            self.assertIn(serial, text)
        units = {r["serial"]: r["outcome"] for r in rig.records(self.record)}
        self.assertEqual(units, {serial: "success" for serial in SERIALS})


if __name__ == "__main__":
    unittest.main()
