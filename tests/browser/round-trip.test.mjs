// A real headless Chromium starts the installed host the way a signing web application reaches it:
// a page on 127.0.0.1 asks the test extension's content script, which asks the service worker,
// which calls sendNativeMessage or connectNative. One case calls into the service worker directly.

import assert from "node:assert/strict";
import fs from "node:fs";
import path from "node:path";
import { after, before, describe, test } from "node:test";

import {
  answerTimeout,
  base64,
  contractDocument,
  fromBase64,
  hostWorld,
  roundTripCases,
  signedElements,
  testTimeout,
} from "./host-world.mjs";
import { loudBanner, relay, servePage } from "./relay.mjs";
import { extensionDir, scratchFolder, testExtensionId } from "./support.mjs";

// KIVO_CHROMIUM names another browser binary (or a missing one, to see the skip).
const chromiumPath = process.env.KIVO_CHROMIUM || "/usr/bin/chromium";
const chromiumFlags = [
  "--headless=new",
  "--no-sandbox",
  "--disable-gpu",
  "--disable-quic",
  "--disable-background-networking",
  "--disable-component-update",
  "--disable-sync",
  "--no-first-run",
];
// Chromium drops any single message from a host that is larger than this.
const browserAnswerLimit = 1024 * 1024;

const chromiumMissing = !fs.existsSync(chromiumPath);
if (chromiumMissing) {
  loudBanner(`BROWSER ROUND TRIP SKIPPED: ${chromiumPath} is not installed (apt-get install chromium)`);
}

describe("Chromium and the signing host", { skip: chromiumMissing && "chromium is not installed" }, () => {
  const scratch = scratchFolder("round-trip");
  const world = hostWorld(scratch.folder);
  const extensionId = testExtensionId();
  const extensionOrigin = `chrome-extension://${extensionId}/`;
  let context;
  let worker;
  let server;
  let page;

  const register = (...args) => world.register("--browser", "chromium", ...args);
  const restore = () => register("--chrome-origin", extensionOrigin);
  const ask = () => relay(page, answerTimeout);

  // A fresh copy of the installed host, for registering and then spoiling it (register-browsers.sh
  // refuses a host that is missing or not executable).
  let copies = 0;
  const hostCopy = () => {
    const copy = path.join(scratch.folder, `host-copy-${++copies}`, "kivo-signing-host");
    fs.mkdirSync(path.dirname(copy), { recursive: true });
    fs.copyFileSync(world.installedHost, copy);
    fs.chmodSync(copy, 0o755);
    return copy;
  };

  before(async () => {
    let chromium;
    try {
      ({ chromium } = await import("playwright-core"));
    } catch (error) {
      throw new Error(`playwright-core is missing: run 'npm ci' in tests/browser (${error.message})`);
    }
    world.prepare();
    // Chromium's user data folder is the default one below HOME, so the user-level manifest that
    // register-browsers.sh writes is the one Chromium reads.
    restore();
    server = await servePage();
    context = await chromium.launchPersistentContext(path.join(world.home, ".config/chromium"), {
      executablePath: chromiumPath,
      headless: false, // the headless mode comes from --headless=new, which loads extensions
      args: [...chromiumFlags, `--disable-extensions-except=${extensionDir}`, `--load-extension=${extensionDir}`],
      env: world.browserEnvironment(),
      timeout: answerTimeout,
    });
    worker = context.serviceWorkers()[0];
    worker ??= await context.waitForEvent("serviceworker", { timeout: answerTimeout });
    page = await context.newPage();
    await page.goto(server.url);
  });

  after(async () => {
    await context?.close();
    await server?.close();
    scratch.remove();
  });

  test("the service worker, called directly, has the key's id and reaches the host", testTimeout, async () => {
    assert.equal(new URL(worker.url()).host, extensionId);
    const { answer, error } = await worker.evaluate((r) => globalThis.sendOnce(r), { type: "version" });
    assert.equal(error, undefined);
    assert.equal(answer.result, "ok");
    assert.equal(answer.version, process.env.KIVO_VERSION);
  });

  roundTripCases({
    world,
    ask,
    // The port's third request may reach the pipe after the host has gone: Chromium then reports
    // the failed write instead of the exit, depending on which it notices first.
    texts: {
      hostExited: /^(Native host has exited\.|Error when communicating with the native messaging host\.)$/,
    },
    restore,
    refusals: [
      {
        name: "without a manifest the browser does not find the host",
        setup: () => register("--uninstall"),
        error: /Specified native messaging host not found/,
      },
      {
        name: "an extension the manifest does not allow is refused",
        setup: () => register("--chrome-origin", "chrome-extension://abcdefghijklmnopabcdefghijklmnop/"),
        error: /Access to the specified native messaging host is forbidden/,
      },
      {
        name: "a manifest naming a host that is gone is not found",
        setup: () => {
          const copy = hostCopy();
          register("--chrome-origin", extensionOrigin, "--host", copy);
          fs.rmSync(copy);
        },
        error: /Specified native messaging host not found/,
      },
      {
        name: "a host that cannot be executed fails the request without having run",
        setup: () => {
          const copy = hostCopy();
          register("--chrome-origin", extensionOrigin, "--host", copy);
          fs.chmodSync(copy, 0o644);
        },
        // Chromium reports whichever it notices first: the write to the dead
        // child's pipe failing, or the read seeing end of input.
        error: /Native host has exited|Error when communicating with the native messaging host/,
      },
    ],
  });

  // Each signature covers its own element only: a change inside one element breaks that
  // element's signature and leaves the other one valid.
  const changes = [
    { element: "RenderedData", from: "Original wording.", to: "Other wording." },
    { element: "CounterpartData", from: "1250.00", to: "1250.01" },
  ];
  test("a change inside a signed element breaks that element's signature only", testTimeout, async () => {
    const { answers } = await ask().converse([
      {
        type: "sign",
        user_details: world.signer,
        xml_data: [{ id: "only", data: base64(contractDocument("Original wording.")) }],
      },
    ]);
    const text = fromBase64(answers[0].signed_data[0].data);
    for (const { element, from, to } of changes) {
      assert.ok(text.includes(from));
      const changed = path.join(scratch.folder, `changed-${element}.xml`);
      fs.writeFileSync(changed, text.replace(from, to));
      for (const signed of signedElements) {
        const status = world.verifyOne(changed, signed).status;
        if (signed === element) {
          assert.notEqual(status, 0, `the ${signed} signature survived a change in ${element}`);
        } else {
          assert.equal(status, 0, `the ${signed} signature broke on a change in ${element}`);
        }
      }
    }
  });

  test("an answer above the browser's 1 MB limit is dropped by the browser", testTimeout, async () => {
    // The signed document comes back in base64, a third larger than the document itself.
    const fitting = contractDocument("x".repeat(600_000));
    const tooLarge = contractDocument("x".repeat(900_000));
    const sign = (text) =>
      ask().sendOnce({ type: "sign", user_details: world.signer, xml_data: [{ id: "big", data: base64(text) }] });

    const small = await sign(fitting);
    assert.equal(small.error, undefined);
    assert.ok(JSON.stringify(small.answer).length < browserAnswerLimit);
    assert.equal(small.answer.result, "ok");

    const signedBefore = world.logCount("Finished signing XML");
    const large = await sign(tooLarge);
    assert.equal(large.answer, undefined);
    assert.match(large.error, /Error when communicating with the native messaging host/);
    // The host did sign; only the browser dropped the answer.
    assert.equal(world.logCount("Finished signing XML"), signedBefore + 1);
  });
});
