// A real headless Firefox ESR, driven over WebDriver BiDi, starts the installed host the way a
// signing web application reaches it: a page on 127.0.0.1 asks the test extension's content
// script, which asks the background script, which calls sendNativeMessage or connectNative.

import fs from "node:fs";
import path from "node:path";
import { after, before, describe } from "node:test";

import { answerTimeout, hostWorld, roundTripCases } from "./host-world.mjs";
import { firefoxPath, loudBanner, openFirefoxPage, relay } from "./relay.mjs";
import { extensionDir, readJson, scratchFolder } from "./support.mjs";

const extensionId = readJson(path.join(extensionDir, "manifest.json")).browser_specific_settings.gecko.id;

const firefoxMissing = !fs.existsSync(firefoxPath);
if (firefoxMissing) {
  loudBanner(`FIREFOX ROUND TRIP SKIPPED: ${firefoxPath} is not installed (apt-get install firefox-esr)`);
}

describe("Firefox and the signing host", { skip: firefoxMissing && "firefox-esr is not installed" }, () => {
  const scratch = scratchFolder("firefox");
  const world = hostWorld(scratch.folder);
  let firefox;

  const register = (...args) => world.register("--browser", "firefox", ...args);
  const restore = () => register("--firefox-id", extensionId);

  before(async () => {
    world.prepare();
    // The user's manifest below the HOME Firefox runs with.
    restore();
    firefox = await openFirefoxPage({
      profile: path.join(scratch.folder, "profile"),
      env: world.browserEnvironment(),
      timeout: answerTimeout,
    });
  });

  after(async () => {
    await firefox?.close();
    scratch.remove();
  });

  roundTripCases({
    world,
    ask: () => relay(firefox.page, answerTimeout),
    texts: { hostExited: /^disconnected$/ },
    restore,
    refusals: [
      {
        name: "without a manifest Firefox does not find the host",
        setup: () => register("--uninstall"),
        error: /^No such native application com\.kivo\.signing$/,
      },
      {
        // Firefox gives the page the same words as for a missing manifest.
        name: "an extension id the manifest does not allow is refused",
        setup: () => register("--firefox-id", "someone-else@kivo.example"),
        error: /^No such native application com\.kivo\.signing$/,
      },
    ],
  });
});
