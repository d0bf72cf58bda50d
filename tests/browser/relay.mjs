// The web page side of the browser tests: a page served on 127.0.0.1 that asks the test
// extension's content script for native-messaging work, the way a signing web application does.

import fs from "node:fs";
import http from "node:http";

import { extensionDir } from "./support.mjs";

// KIVO_FIREFOX names another browser binary (or a missing one, to see the skip).
export const firefoxPath = process.env.KIVO_FIREFOX || "/usr/bin/firefox-esr";

const pageHtml = `<!doctype html>
<html><head><meta charset="utf-8"><title>Kivo signing test page</title></head>
<body><p>Signing test page</p>
<script>
  // Each question carries a number; the content script answers with the same number.
  let lastQuestion = 0;
  const waiting = new Map();
  window.addEventListener("message", (event) => {
    if (event.source !== window || typeof event.data?.kivoAnswer !== "number") return;
    waiting.get(event.data.kivoAnswer)?.(event.data.result);
    waiting.delete(event.data.kivoAnswer);
  });
  window.askExtension = (message) =>
    new Promise((resolve) => {
      const id = ++lastQuestion;
      waiting.set(id, resolve);
      window.postMessage({ kivoRequest: id, ...message }, window.location.origin);
    });
</script></body></html>
`;

// Serves the page on an unused port of 127.0.0.1 (the address the extension's content script is
// declared for). Returns {url, close}.
export async function servePage() {
  const server = http.createServer((request, response) => {
    response.writeHead(200, { "content-type": "text/html; charset=utf-8", "cache-control": "no-store" });
    response.end(pageHtml);
  });
  await new Promise((resolve) => server.listen(0, "127.0.0.1", resolve));
  return {
    url: `http://127.0.0.1:${server.address().port}/`,
    close: () => new Promise((resolve) => server.close(resolve)),
  };
}

// What a page (Playwright's or Puppeteer's: both take one argument) asks the extension for,
// through the content script and the background.
export const pageAsk = (page, message) => page.evaluate((m) => window.askExtension(m), message);

// The two ways a page asks for host work. `sendOnce` is one request through sendNativeMessage;
// `converse` is several requests on one connectNative port.
export const relay = (page, answerTimeout) => ({
  sendOnce: (request) => pageAsk(page, { kind: "sendOnce", request }),
  converse: (requests) => pageAsk(page, { kind: "converse", requests, timeout: answerTimeout }),
});

// A headless Firefox with a fresh profile in `profile`, the test extension as a temporary add-on
// (Firefox runs it unsigned) and the served page open. Firefox reads the user's manifests from
// ~/.mozilla/native-messaging-hosts for the HOME in `env`, which it also hands on to the host.
// Returns {page, close}; on a failure it closes what it opened.
export async function openFirefoxPage({ profile, env, timeout }) {
  let puppeteer;
  try {
    ({ default: puppeteer } = await import("puppeteer-core"));
  } catch (error) {
    throw new Error(`puppeteer-core is missing: run 'npm ci' in tests/browser (${error.message})`);
  }
  const server = await servePage();
  let browser;
  const close = async () => {
    await browser?.close();
    await server.close();
  };
  try {
    fs.mkdirSync(profile, { recursive: true });
    browser = await puppeteer.launch({
      browser: "firefox",
      executablePath: firefoxPath,
      headless: true,
      userDataDir: profile,
      env,
      timeout,
      protocolTimeout: timeout * 2,
    });
    await browser.installExtension(extensionDir);
    const page = await browser.newPage();
    await page.goto(server.url);
    return { page, close };
  } catch (error) {
    await close();
    throw error;
  }
}

// Prints a banner that cannot be missed in a test log, on stdout and stderr both.
export function loudBanner(text) {
  const line = "!".repeat(text.length);
  console.log(`\n${line}\n${text}\n${line}\n`);
  console.error(text);
}
