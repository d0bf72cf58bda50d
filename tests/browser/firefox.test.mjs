// A real headless Firefox ESR, driven over WebDriver BiDi, starts the installed host the way a
// signing web application reaches it: a page on 127.0.0.1 asks the test extension's content
// script, which asks the background script, which calls sendNativeMessage or connectNative.

import fs from "node:fs";
import path from "node:path";
import { after, before, describe } from "node:test";

import { answerTimeout, hostWorld, roundTripCases } from "./host-world.mjs";
import { loudBanner, relay, servePage } from "./relay.mjs";
import { extensionDir, readJson, scratchFolder } from "./support.mjs";

// KIVO_FIREFOX names another browser binary (or a missing one, to see the skip).
const firefoxPath = process.env.KIVO_FIREFOX || "/usr/bin/firefox-esr";
const extensionId = readJson(path.join(extensionDir, "manifest.json")).browser_specific_settings.gecko.id;

const firefoxMissing = !fs.existsSync(firefoxPath);
if (firefoxMissing) {
  loudBanner(`FIREFOX ROUND TRIP SKIPPED: ${firefoxPath} is not installed (apt-get install firefox-esr)`);
}

describe("Firefox and the signing host", { skip: firefoxMissing && "firefox-esr is not installed" }, () => {
  const scratch = scratchFolder("firefox");
  const world = hostWorld(scratch.folder);
  let browser;
  let server;
  let page;

  const register = (...args) => world.register("--browser", "firefox", ...args);
  const restore = () => register("--firefox-id", extensionId);

  before(async () => {
    let puppeteer;
    try {
      ({ default: puppeteer } = await import("puppeteer-core"));
    } catch (error) {
      throw new Error(`puppeteer-core is missing: run 'npm ci' in tests/browser (${error.message})`);
    }
    world.prepare();
    // Firefox reads the user's manifests from ~/.mozilla/native-messaging-hosts for the HOME it
    // runs with; the profile is a fresh one beside it.
    restore();
    server = await servePage();
    const profile = path.join(scratch.folder, "profile");
    fs.mkdirSync(profile, { recursive: true });
    browser = await puppeteer.launch({
      browser: "firefox",
      executablePath: firefoxPath,
      headless: true,
      userDataDir: profile,
      env: world.browserEnvironment(),
      timeout: answerTimeout,
      protocolTimeout: answerTimeout * 2,
    });
    // A temporary add-on: Firefox runs it unsigned.
    await browser.installExtension(extensionDir);
    page = await browser.newPage();
    await page.goto(server.url);
  });

  after(async () => {
    await browser?.close();
    await server?.close();
    scratch.remove();
  });

  roundTripCases({
    world,
    ask: () => relay(page, answerTimeout),
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
