// Helpers the browser tests call inside this service worker; they talk to the signing host the way
// a web extension would, and report what the browser said instead of throwing, so a test can check
// failures too.

const hostName = "com.kivo.signing";

// One request through sendNativeMessage: the browser starts the host, sends the request, returns
// the first answer and then closes the host's input.
globalThis.sendOnce = async (request) => {
  try {
    return { answer: await chrome.runtime.sendNativeMessage(hostName, request) };
  } catch (error) {
    return { error: String(error?.message ?? error) };
  }
};

// A conversation over one port: each request is sent once the previous one was answered. Ends when
// the host closes its end (after an error answer, for example) or, once every request has been
// answered, by closing the port from this side. `disconnectError` is what the browser reported
// when the host went away, null when this side closed the port.
globalThis.converse = (requests, timeoutMilliseconds) =>
  new Promise((resolve) => {
    const answers = [];
    const port = chrome.runtime.connectNative(hostName);
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
    port.onDisconnect.addListener(() => {
      finish(chrome.runtime.lastError?.message ?? "disconnected");
    });
    port.postMessage(requests[0]);
  });
