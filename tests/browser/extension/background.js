// The extension's background: it talks to the signing host the way a signing web extension does,
// for requests a page relays through content.js and, in Chromium, for tests that call into the
// service worker directly. It reports what the browser said instead of throwing, so a test can
// check failures too. Chromium runs it as a service worker, Firefox as a background script.

const hostName = "com.kivo.signing";
const api = globalThis.browser ?? globalThis.chrome;

// The browser's own text for a failure: Chromium gives runtime.lastError, Firefox the port's
// `error` (and both reject promises with an Error).
const describe = (error) => String(error?.message ?? error);

// One request through sendNativeMessage: the browser starts the host, sends the request, returns
// the first answer and then closes the host's input.
globalThis.sendOnce = async (request) => {
  try {
    return { answer: await api.runtime.sendNativeMessage(hostName, request) };
  } catch (error) {
    return { error: describe(error) };
  }
};

// A conversation over one port: each request is sent once the previous one was answered. Ends when
// the host closes its end (after an error answer, for example) or, once every request has been
// answered, by closing the port from this side. `disconnectError` is what the browser reported
// when the host went away, null when this side closed the port.
globalThis.converse = (requests, timeoutMilliseconds) =>
  new Promise((resolve) => {
    const answers = [];
    const port = api.runtime.connectNative(hostName);
    let finished = false;
    const finish = (disconnectError) => {
      if (finished) return;
      finished = true;
      clearTimeout(timer);
      resolve({ answers, disconnectError });
    };
    const timer = setTimeout(() => {
      port.disconnect();
      finish(`no end within ${timeoutMilliseconds} ms`);
    }, timeoutMilliseconds);
    port.onMessage.addListener((answer) => {
      answers.push(answer);
      if (answers.length < requests.length) {
        port.postMessage(requests[answers.length]);
      } else if (answer.result !== "error") {
        port.disconnect();
        finish(null);
      }
    });
    port.onDisconnect.addListener((closed) => {
      const error = closed?.error ?? globalThis.chrome?.runtime?.lastError;
      finish(error ? describe(error) : "disconnected");
    });
    port.postMessage(requests[0]);
  });

// Requests relayed from a page by content.js: {kind: "sendOnce", request} or
// {kind: "converse", requests, timeout}. sendResponse (rather than a returned promise) is what
// both browsers accept.
api.runtime.onMessage.addListener((message, sender, sendResponse) => {
  const work =
    message?.kind === "sendOnce"
      ? globalThis.sendOnce(message.request)
      : message?.kind === "converse"
        ? globalThis.converse(message.requests, message.timeout)
        : Promise.resolve({ error: `unknown relay kind ${message?.kind}` });
  work.then(sendResponse);
  return true;
});
