// A real headless Chromium starts the installed host through the test extension's service worker
// and exchanges version, sign and failing requests with it, the way a signing web extension does.

import assert from "node:assert/strict";
import fs from "node:fs";
import path from "node:path";
import { after, before, describe, test } from "node:test";

import {
  extensionDir,
  installInto,
  readDemoEnv,
  run,
  runOk,
  scratchFolder,
  sourceDir,
  testExtensionId,
} from "./support.mjs";

// KIVO_CHROMIUM names another browser binary (or a missing one, to see the skip).
const chromiumPath = process.env.KIVO_CHROMIUM || "/usr/bin/chromium";
const chromiumFlags = [
  "--headless=new",
  "--no-sandbox",
  "--disable-gpu",
  "--disable-background-networking",
  "--disable-component-update",
  "--disable-sync",
  "--no-first-run",
];
const answerTimeout = 120_000;
const testTimeout = { timeout: 300_000 };
const pinentry = path.join(sourceDir, "tests/support/scripted-pinentry");
const dsigNamespace = "http://www.w3.org/2000/09/xmldsig#";
const signedElements = ["CounterpartData", "RenderedData"];
// Chromium drops any single message from a host that is larger than this.
const browserAnswerLimit = 1024 * 1024;

function contractDocument(renderedText) {
  return [
    '<?xml version="1.0" encoding="UTF-8"?>',
    '<Contract id="c-1">',
    "  <!-- drafted in the browser test -->",
    '  <CounterpartData><Party>Jane Citizen</Party><Amount currency="AUD">1250.00</Amount></CounterpartData>',
    `  <RenderedData><Text>${renderedText}</Text></RenderedData>`,
    "</Contract>",
  ].join("\n");
}

const base64 = (text) => Buffer.from(text, "utf8").toString("base64");
const fromBase64 = (text) => Buffer.from(text, "base64").toString("utf8");

const chromiumMissing = !fs.existsSync(chromiumPath);
if (chromiumMissing) {
  const banner = `BROWSER ROUND TRIP SKIPPED: ${chromiumPath} is not installed (apt-get install chromium)`;
  console.log(`\n${"!".repeat(banner.length)}\n${banner}\n${"!".repeat(banner.length)}\n`);
  console.error(banner);
}

describe("Chromium and the signing host", { skip: chromiumMissing && "chromium is not installed" }, () => {
  const scratch = scratchFolder("round-trip");
  const prefix = path.join(scratch.folder, "prefix");
  const home = path.join(scratch.folder, "home");
  const store = path.join(scratch.folder, "store");
  const registerScript = path.join(prefix, "share/kivo-signing/register-browsers.sh");
  const extensionId = testExtensionId();
  const extensionOrigin = `chrome-extension://${extensionId}/`;
  let demo;
  let context;
  let worker;
  let signer;

  // Every host that signs asks for the token's PIN once; the scripted pinentry gives the demo
  // PIN to each of them.
  const pinentryDir = path.join(scratch.folder, "pinentry");
  const preparePinentry = () => {
    fs.mkdirSync(pinentryDir, { recursive: true });
    fs.writeFileSync(path.join(pinentryDir, "answers"), `pin ${demo.KIVO_DEMO_PIN}\n`.repeat(100));
    fs.writeFileSync(path.join(pinentryDir, "asked"), "0\n");
    return pinentryDir;
  };
  const pinQuestions = () => Number(fs.readFileSync(path.join(pinentryDir, "asked"), "utf8"));

  // How often the host's log holds `line` so far.
  const logCount = (line) => {
    const log = path.join(home, "kivo-signing.log");
    return fs.existsSync(log) ? fs.readFileSync(log, "utf8").split(line).length - 1 : 0;
  };
  const hostStarts = () => logCount("Application launched");

  // A fresh copy of the installed host, for registering and then spoiling it (register-browsers.sh
  // refuses a host that is missing or not executable).
  let copies = 0;
  const hostCopy = () => {
    const copy = path.join(scratch.folder, `host-copy-${++copies}`, "kivo-signing-host");
    fs.mkdirSync(path.dirname(copy), { recursive: true });
    fs.copyFileSync(path.join(prefix, "lib/kivo-signing/kivo-signing-host"), copy);
    fs.chmodSync(copy, 0o755);
    return copy;
  };

  const register = (...args) =>
    runOk(registerScript, ["--user", "--browser", "chromium", ...args], {
      env: { HOME: home, XDG_CONFIG_HOME: "" },
    });
  const sendOnce = (request) => worker.evaluate((r) => globalThis.sendOnce(r), request);
  const converse = (requests) =>
    worker.evaluate(([r, t]) => globalThis.converse(r, t), [requests, answerTimeout]);

  before(async () => {
    let chromium;
    try {
      ({ chromium } = await import("playwright-core"));
    } catch (error) {
      throw new Error(`playwright-core is missing: run 'npm ci' in tests/browser (${error.message})`);
    }
    fs.mkdirSync(home, { recursive: true });
    installInto(prefix);
    runOk(path.join(sourceDir, "scripts/make-demo-store.sh"), [store]);
    demo = readDemoEnv(store);
    signer = {
      name: demo.KIVO_DEMO_NAME,
      email: demo.KIVO_DEMO_EMAIL,
      abn: demo.KIVO_DEMO_ABN,
      aki: [demo.KIVO_DEMO_AKI],
    };
    // Chromium's user data folder is the default one below HOME, so the user-level manifest that
    // register-browsers.sh writes is the one Chromium reads.
    register("--chrome-origin", extensionOrigin);
    // The browser passes its environment on to the host.
    const environment = {
      ...process.env,
      HOME: home,
      SOFTHSM2_CONF: demo.SOFTHSM2_CONF,
      KIVO_PINENTRY: pinentry,
      KIVO_TEST_PINENTRY_DIR: preparePinentry(),
    };
    delete environment.KIVO_VERBOSE_LOGGING;
    delete environment.XDG_CONFIG_HOME;
    context = await chromium.launchPersistentContext(path.join(home, ".config/chromium"), {
      executablePath: chromiumPath,
      headless: false, // the headless mode comes from --headless=new, which loads extensions
      args: [
        ...chromiumFlags,
        `--disable-extensions-except=${extensionDir}`,
        `--load-extension=${extensionDir}`,
      ],
      env: environment,
      timeout: answerTimeout,
    });
    worker = context.serviceWorkers()[0];
    worker ??= await context.waitForEvent("serviceworker", { timeout: answerTimeout });
  });

  after(async () => {
    await context?.close();
    scratch.remove();
  });

  test("the extension has the id its key fixes", () => {
    assert.equal(new URL(worker.url()).host, extensionId);
  });

  test("a version request answers with the installed host's facts", testTimeout, async () => {
    const { answer, error } = await sendOnce({ type: "version" });
    assert.equal(error, undefined);
    assert.equal(answer.result, "ok");
    assert.equal(answer.version, process.env.KIVO_VERSION);
    assert.equal([answer.major, answer.minor, answer.release, answer.build].join("."), process.env.KIVO_VERSION);
    assert.match(answer.os, /^Linux version \d+\.\d+\.\d+$/);
    assert.equal(answer.os_type, process.arch === "arm64" ? "aarch64" : "x86_64");
    assert.equal(typeof answer.install_location, "string");
    // The host ran with the environment the browser was given.
    assert.match(fs.readFileSync(path.join(home, "kivo-signing.log"), "utf8"), /Application launched/);
  });

  test("failing requests get their error answer and end the host", testTimeout, async () => {
    const unknown = await sendOnce({ type: "frobnicate" });
    assert.deepEqual(unknown.answer, {
      result: "error",
      error_code: 101,
      error_message: "Request type is unknown: frobnicate",
    });

    // The third request is already on its way when the host ends; it stays unanswered.
    const { answers, disconnectError } = await converse([
      { type: "version" },
      { type: "sign", xml_data: [] },
      { type: "version" },
    ]);
    assert.equal(answers.length, 2, JSON.stringify(answers));
    assert.equal(answers[0].result, "ok");
    assert.deepEqual(answers[1], {
      result: "error",
      error_code: 101,
      error_message: "Signing request does not include any user_details",
    });
    // The host exits after an error answer, which the browser reports as the port closing.
    assert.match(disconnectError, /Native host has exited/);
  });

  test("a sign request is signed with the token's key and both signatures verify", testTimeout, async () => {
    const document = contractDocument("I, Jane Citizen, agree to the terms above.");
    const { answers, disconnectError } = await converse([
      { type: "version", user_details: signer },
      {
        type: "sign",
        user_details: signer,
        signature_algorithm: "RSA_SHA256",
        xml_data: [
          { id: "first", data: base64(document) },
          { id: "second", data: base64(document.replace("1250.00", "99.95")) },
        ],
      },
    ]);
    assert.equal(disconnectError, null, JSON.stringify(answers));
    assert.ok(pinQuestions() >= 1, "the host signed without asking for the PIN");
    const [version, signed] = answers;
    assert.equal(version.result, "ok");
    assert.equal(version.cert_serial, demo.KIVO_DEMO_SERIAL);

    assert.equal(signed.result, "ok", JSON.stringify(signed));
    assert.equal(signed.cert_serial, demo.KIVO_DEMO_SERIAL);
    assert.equal(signed.cert_expiry, demo.KIVO_DEMO_EXPIRY);
    assert.equal(signed.cert_issuer, "Kivo Demo CA");
    assert.deepEqual(
      signed.signed_data.map((entry) => entry.id),
      ["first", "second"],
    );
    const amounts = { first: "1250.00", second: "99.95" };
    for (const entry of signed.signed_data) {
      const text = fromBase64(entry.data);
      assert.ok(text.includes(`<Amount currency="AUD">${amounts[entry.id]}</Amount>`), text);
      assert.doesNotMatch(text, /<!--/);
      verifySignatures(text, entry.id);
    }
  });

  // Each signature covers its own element only: a change inside one element breaks that
  // element's signature and leaves the other one valid.
  const changes = [
    { element: "RenderedData", from: "Original wording.", to: "Other wording." },
    { element: "CounterpartData", from: "1250.00", to: "1250.01" },
  ];
  test("a change inside a signed element breaks that element's signature only", testTimeout, async () => {
    const { answers } = await converse([
      {
        type: "sign",
        user_details: signer,
        xml_data: [{ id: "only", data: base64(contractDocument("Original wording.")) }],
      },
    ]);
    const text = fromBase64(answers[0].signed_data[0].data);
    for (const { element, from, to } of changes) {
      assert.ok(text.includes(from));
      const changed = path.join(scratch.folder, `changed-${element}.xml`);
      fs.writeFileSync(changed, text.replace(from, to));
      for (const signed of signedElements) {
        const status = verifyOne(changed, signed).status;
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
      sendOnce({ type: "sign", user_details: signer, xml_data: [{ id: "big", data: base64(text) }] });

    const small = await sign(fitting);
    assert.equal(small.error, undefined);
    assert.ok(JSON.stringify(small.answer).length < browserAnswerLimit);
    assert.equal(small.answer.result, "ok");

    const signedBefore = logCount("Finished signing XML");
    const large = await sign(tooLarge);
    assert.equal(large.answer, undefined);
    assert.match(large.error, /Error when communicating with the native messaging host/);
    // The host did sign; only the browser dropped the answer.
    assert.equal(logCount("Finished signing XML"), signedBefore + 1);
  });

  const refusals = [
    {
      name: "without a manifest the browser does not find the host",
      setup: () =>
        runOk(registerScript, ["--user", "--browser", "chromium", "--uninstall"], {
          env: { HOME: home, XDG_CONFIG_HOME: "" },
        }),
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
  ];
  for (const { name, setup, error } of refusals) {
    test(name, testTimeout, async () => {
      const startsBefore = hostStarts();
      setup();
      try {
        const result = await sendOnce({ type: "version" });
        assert.equal(result.answer, undefined);
        assert.match(result.error, error);
        assert.equal(hostStarts(), startsBefore, "the host ran");
      } finally {
        register("--chrome-origin", extensionOrigin);
      }
    });
  }

  // The signature of an element is enveloped in it.
  function verifyOne(file, element) {
    return run("xmlsec1", [
      "--verify",
      "--trusted-pem",
      demo.KIVO_DEMO_CA_CERT,
      "--node-xpath",
      `//*[local-name()='${element}']/*[local-name()='Signature' and namespace-uri()='${dsigNamespace}']`,
      file,
    ]);
  }

  function verifySignatures(text, id) {
    const signatures = text.match(/<Signature xmlns="http:\/\/www\.w3\.org\/2000\/09\/xmldsig#">/g) ?? [];
    assert.equal(signatures.length, 2, text);
    const file = path.join(scratch.folder, `${id}.xml`);
    fs.writeFileSync(file, text);
    for (const element of signedElements) {
      const result = verifyOne(file, element);
      assert.equal(result.status, 0, `${element} signature of ${id}: ${result.stderr}`);
    }
  }
});
