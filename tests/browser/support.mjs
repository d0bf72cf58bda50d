// What the browser and package tests share: running programs, installing the host into a scratch
// prefix, a user with a demo token and a scripted pinentry, and the two browsers that start the
// host from a page on 127.0.0.1 through the test extension (content script, then background).

import assert from "node:assert/strict";
import { spawnSync } from "node:child_process";
import { createHash } from "node:crypto";
import fs from "node:fs";
import http from "node:http";
import os from "node:os";
import path from "node:path";
import { fileURLToPath } from "node:url";

export const sourceDir = fileURLToPath(new URL("../..", import.meta.url));
export const extensionDir = path.join(sourceDir, "tests/browser/extension");
export const hostName = "com.kivo.signing";
const extensionManifest = JSON.parse(fs.readFileSync(path.join(extensionDir, "manifest.json"), "utf8"));
export const firefoxId = extensionManifest.browser_specific_settings.gecko.id;
// Chromium's id for an extension: the first 128 bits of the SHA-256 of its key, each hex digit
// written as a letter from a to p.
export const chromeOrigin = `chrome-extension://${[
  ...createHash("sha256").update(Buffer.from(extensionManifest.key, "base64")).digest("hex").slice(0, 32),
]
  .map((digit) => String.fromCharCode(97 + parseInt(digit, 16)))
  .join("")}/`;

// Runs a program without a shell; `check` fails on a non-zero exit with the program's output.
export function run(program, args, { env = {}, input, check = false, timeout = 300_000 } = {}) {
  const options = { env: { ...process.env, ...env }, input, encoding: "utf8", timeout };
  const result = spawnSync(program, args, options);
  if (result.error) throw result.error;
  if (check && result.status !== 0) {
    throw new Error(`${program} ${args.join(" ")} exited ${result.status}\n${result.stdout}\n${result.stderr}`);
  }
  return result;
}
export const runOk = (program, args, options) => run(program, args, { ...options, check: true });

export function scratchFolder(prefix) {
  const parent = process.env.KIVO_TEST_TMP ?? os.tmpdir();
  fs.mkdirSync(parent, { recursive: true });
  const folder = fs.mkdtempSync(path.join(parent, `${prefix}-`));
  return { folder, remove: () => fs.rmSync(folder, { recursive: true, force: true }) };
}

// `cmake --install` of the build ctest names into `prefix`; returns what cmake printed.
export const installInto = (prefix, env = {}, buildDir = process.env.KIVO_BUILD_DIR) =>
  runOk(process.env.KIVO_CMAKE ?? "cmake", ["--install", buildDir, "--prefix", prefix], { env }).stdout;

export const readJson = (file) => JSON.parse(fs.readFileSync(file, "utf8"));
// Every native-messaging manifest of this host below `folder`.
export const manifestsBelow = (folder) =>
  fs.existsSync(folder)
    ? fs.readdirSync(folder, { recursive: true }).filter((name) => path.basename(name) === `${hostName}.json`)
        .map((name) => path.join(folder, name)).sort()
    : [];

export const base64 = (text) => Buffer.from(text, "utf8").toString("base64");
export const fromBase64 = (text) => Buffer.from(text, "base64").toString("utf8");
export const contractDocument = (amount) =>
  `<?xml version="1.0" encoding="UTF-8"?>\n<Contract id="c-1">\n  <!-- drafted in the browser test -->
  <CounterpartData><Party>Jane Citizen</Party><Amount currency="AUD">${amount}</Amount></CounterpartData>
  <RenderedData><Text>I, Jane Citizen, agree to the terms above.</Text></RenderedData>\n</Contract>`;

// A user below `folder` with a demo token whose PIN the scripted pinentry gives to every host that
// asks, and what a test reads back: PIN dialogs, host starts, signatures checked by xmlsec1.
export function hostWorld(folder) {
  const home = path.join(folder, "home");
  const store = path.join(folder, "store");
  const pinentryDir = path.join(folder, "pinentry");
  const world = { folder, home };
  world.prepareUser = () => {
    fs.mkdirSync(home, { recursive: true });
    fs.mkdirSync(pinentryDir, { recursive: true });
    runOk(path.join(sourceDir, "scripts/make-demo-store.sh"), [store]);
    const text = fs.readFileSync(path.join(store, "demo.env"), "utf8");
    world.demo = Object.fromEntries([...text.matchAll(/^export ([A-Z0-9_]+)='(.*)'$/gm)].map((m) => m.slice(1)));
    const { KIVO_DEMO_NAME: name, KIVO_DEMO_EMAIL: email, KIVO_DEMO_ABN: abn, KIVO_DEMO_AKI: aki } = world.demo;
    world.signer = { name, email, abn, aki: [aki] };
    fs.writeFileSync(path.join(pinentryDir, "answers"), `pin ${world.demo.KIVO_DEMO_PIN}\n`.repeat(100));
    fs.writeFileSync(path.join(pinentryDir, "asked"), "0\n");
  };
  // The environment the browser is started with and hands on to the host.
  world.browserEnvironment = () => {
    const { KIVO_VERBOSE_LOGGING, XDG_CONFIG_HOME, ...inherited } = process.env;
    return {
      ...inherited,
      HOME: home,
      SOFTHSM2_CONF: world.demo.SOFTHSM2_CONF,
      KIVO_PINENTRY: path.join(sourceDir, "tests/support/scripted-pinentry"),
      KIVO_TEST_PINENTRY_DIR: pinentryDir,
    };
  };
  world.pinQuestions = () => Number(fs.readFileSync(path.join(pinentryDir, "asked"), "utf8"));
  world.hostStarts = () => {
    const log = path.join(home, "kivo-signing.log");
    return fs.existsSync(log) ? fs.readFileSync(log, "utf8").split("Application launched").length - 1 : 0;
  };
  // Both enveloped signatures of a signed document verify against the demo CA.
  world.verifySignatures = (text, id) => {
    assert.equal(text.match(/<Signature xmlns="http:\/\/www\.w3\.org\/2000\/09\/xmldsig#">/g)?.length, 2, text);
    const file = path.join(folder, `${id}.xml`);
    fs.writeFileSync(file, text);
    for (const element of ["CounterpartData", "RenderedData"]) {
      const xpath = `//*[local-name()='${element}']/*[local-name()='Signature']`;
      const args = ["--verify", "--trusted-pem", world.demo.KIVO_DEMO_CA_CERT, "--node-xpath", xpath, file];
      const result = run("xmlsec1", args);
      assert.equal(result.status, 0, `${element} signature of ${id}: ${result.stderr}`);
    }
  };
  return world;
}

// The page a signing web application would be: it posts {kivoRequest: id, ...} to its own window,
// the content script relays it to the background and posts {kivoAnswer: id, result} back.
const pageHtml = `<!doctype html><html><head><meta charset="utf-8"><title>Kivo test page</title></head><body><script>
  let lastQuestion = 0;
  const waiting = new Map();
  window.addEventListener("message", (event) => {
    if (event.source !== window || typeof event.data?.kivoAnswer !== "number") return;
    waiting.get(event.data.kivoAnswer)?.(event.data.result);
    waiting.delete(event.data.kivoAnswer);
  });
  window.askExtension = (message) => new Promise((resolve) => {
    waiting.set(++lastQuestion, resolve);
    window.postMessage({ kivoRequest: lastQuestion, ...message }, window.location.origin);
  });
</script></body></html>`;

async function load(module) {
  try {
    return await import(module);
  } catch (error) {
    throw new Error(`${module} is missing: run 'npm ci' in tests/browser (${error.message})`);
  }
}

// The browsers the round trips run, each started with the test extension for a world's user: how
// register-browsers.sh allows the extension, and how to launch it ({newPage, close}).
export const browsers = {
  chromium: {
    binary: process.env.KIVO_CHROMIUM || "/usr/bin/chromium",
    allow: ["--chrome-origin", chromeOrigin],
    async launch(world, timeout) {
      const { chromium } = await load("playwright-core");
      const flags = ["--headless=new", "--no-sandbox", "--disable-gpu", "--no-first-run", "--disable-sync"];
      flags.push("--disable-background-networking", "--disable-component-update");
      // Its default user data folder below HOME, where register-browsers.sh writes for the user.
      const context = await chromium.launchPersistentContext(path.join(world.home, ".config/chromium"), {
        executablePath: this.binary,
        headless: false, // --headless=new is the headless mode that loads extensions
        args: [...flags, `--disable-extensions-except=${extensionDir}`, `--load-extension=${extensionDir}`],
        env: world.browserEnvironment(),
        timeout,
      });
      // A page opened before the extension is loaded gets no content script.
      if (context.serviceWorkers().length === 0) await context.waitForEvent("serviceworker", { timeout });
      return { newPage: () => context.newPage(), close: () => context.close() };
    },
  },
  firefox: {
    binary: process.env.KIVO_FIREFOX || "/usr/bin/firefox-esr",
    allow: ["--firefox-id", firefoxId],
    async launch(world, timeout) {
      const { default: puppeteer } = await load("puppeteer-core");
      const browser = await puppeteer.launch({
        browser: "firefox",
        executablePath: this.binary,
        headless: true,
        userDataDir: fs.mkdtempSync(path.join(world.folder, "firefox-profile-")),
        env: world.browserEnvironment(),
        timeout,
        protocolTimeout: timeout * 2,
      });
      // Firefox runs it unsigned as a temporary add-on.
      await browser.installExtension(extensionDir);
      return { newPage: () => browser.newPage(), close: () => browser.close() };
    },
  },
};

// Opens the page in browser `name`. `sendOnce(request)` is one sendNativeMessage, giving
// {answer} or {error}; `converse(requests)` sends them one at a time on one connectNative port,
// giving {answers, hostClosed}.
export async function openBrowser(name, world, timeout = 120_000) {
  const server = http.createServer((request, response) => {
    response.writeHead(200, { "content-type": "text/html; charset=utf-8" }).end(pageHtml);
  });
  await new Promise((resolve) => server.listen(0, "127.0.0.1", resolve));
  let browser;
  const close = async () => {
    await browser?.close();
    await new Promise((resolve) => server.close(resolve));
  };
  try {
    browser = await browsers[name].launch(world, timeout);
    const page = await browser.newPage();
    await page.goto(`http://127.0.0.1:${server.address().port}/`);
    const ask = (message) => page.evaluate((m) => window.askExtension(m), message);
    return { sendOnce: (request) => ask({ request }), converse: (requests) => ask({ requests }), close };
  } catch (error) {
    await close();
    throw error;
  }
}

// A banner that cannot be missed in a test log, on stdout and stderr both.
export function loudBanner(text) {
  const line = "!".repeat(text.length);
  console.log(`\n${line}\n${text}\n${line}\n`);
  console.error(text);
}
