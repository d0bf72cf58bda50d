// The web page side of the browser tests: a page served on 127.0.0.1 that asks the test
// extension's content script for native-messaging work, the way a signing web application does.

import http from "node:http";

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

// Prints a banner that cannot be missed in a test log, on stdout and stderr both.
export function loudBanner(text) {
  const line = "!".repeat(text.length);
  console.log(`\n${line}\n${text}\n${line}\n`);
  console.error(text);
}
