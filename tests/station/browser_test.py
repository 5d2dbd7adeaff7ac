"""The station's page in a real headless browser against four simulated
instruments: serials typed (two started by Enter, as a barcode scanner
does, two by "Start all ready"), the instructions answered from the
keyboard, three tiles reach "Download comleted." while the fourth's cable
is pulled mid-image and that tile ends with its reason; the record holds
the four serials. Usage: browser_test.py (FWDL, INSTRUMENT_SIM, CHROMIUM,
CHROMEDRIVER name the programs)."""

import os
import tempfile
import unittest

from selenium.webdriver.common.by import By
from selenium.webdriver.common.keys import Keys

import browser
import rig

SERIALS = ["SN-1001", "SN-1002", "SN-1003", "SN-1004"]
PULLED = 3  # the slot whose cable is pulled


class StationPage(unittest.TestCase):
    def setUp(self):
        self.folder = tempfile.TemporaryDirectory()
        self.image = rig.image_file(self.folder.name, 30000)
        self.record = os.path.join(self.folder.name, "units.jsonl")
        fast = ("--flash-ms", "100")
        # The pulled one at the line's pace: some five seconds of image.
        self.sims = [rig.Sim(self.folder.name, *fast) for _ in range(3)]
        self.sims.append(rig.Sim(self.folder.name, "--baud", "57600"))
        self.station = rig.Station([s.path for s in self.sims], self.image, self.record)
        self.driver = browser.chromium()

    def tearDown(self):
        self.driver.quit()
        self.driver.profile.cleanup()
        self.station.stop()
        for sim in self.sims:
            sim.close()
        self.folder.cleanup()

    def tiles(self):
        return self.driver.find_elements(By.CSS_SELECTOR, "article.tile")

    def text_of(self, tile, selector):
        part = tile.find_element(By.CSS_SELECTOR, selector)
        return part.text if part.is_displayed() else ""

    def test_four_units_flash_and_a_pulled_cable_ends_only_its_own(self):
        self.driver.get(self.station.url)
        tiles = rig.wait_for(lambda: len(self.tiles()) == 4 and self.tiles(),
                             what="four tiles")
        for tile, serial in zip(tiles, SERIALS):
            field = tile.find_element(By.CSS_SELECTOR, "input")
            field.send_keys(serial + (Keys.ENTER if serial in SERIALS[:2] else ""))
        start_all = self.driver.find_element(By.ID, "start-all")
        start_all.send_keys(Keys.ENTER)

        # Each tile asks for the instrument; OK from the keyboard.
        answered = set()

        def answer_prompts():
            for index, tile in enumerate(self.tiles()):
                if index in answered or not self.text_of(tile, ".prompt"):
                    continue
                self.assertIn("1. Turn on the instrument.", self.text_of(tile, ".prompt"))
                tile.find_element(By.CSS_SELECTOR, ".ok").send_keys(Keys.ENTER)
                answered.add(index)
            return len(answered) == 4

        rig.wait_for(answer_prompts, what="four prompts answered")

        def sending(tile):
            bar = tile.find_element(By.CSS_SELECTOR, "progress")
            return bar.is_displayed() and float(bar.get_attribute("value")) > 0

        rig.wait_for(lambda: sending(self.tiles()[PULLED]), what="the image going out")
        self.sims[PULLED].pull_cable()

        def ended():
            return all("good" in t.get_attribute("class") or "failed" in t.get_attribute("class")
                       for t in self.tiles())

        rig.wait_for(ended, timeout=120, what="every tile's end")
        for index, tile in enumerate(self.tiles()):
            result = self.text_of(tile, ".result")
            if index == PULLED:
                self.assertIn("failed", tile.get_attribute("class"))
                self.assertIn("The port was lost", result)
                self.assertIn("has gone.", result, "the reason, as the box says it")
            else:
                self.assertIn("good", tile.get_attribute("class"))
                self.assertIn("Download comleted.", result)
            self.assertIn(SERIALS[index], result)
        self.assertEqual(self.driver.find_element(By.ID, "good").text, "3")
        self.assertEqual(self.driver.find_element(By.ID, "failed").text, "1")
        rows = self.driver.find_elements(By.CSS_SELECTOR, "#records tr")
        self.assertEqual(len(rows), 4)

        units = {r["serial"]: r for r in rig.records(self.record)}
        self.assertEqual(sorted(units), SERIALS)
        self.assertEqual(units[SERIALS[PULLED]]["outcome"], "port_lost")
        for serial in SERIALS[:PULLED]:
            self.assertEqual(units[serial]["outcome"], "success")
            self.assertEqual(units[serial]["firmware"]["size"], 30000)


if __name__ == "__main__":
    unittest.main()
