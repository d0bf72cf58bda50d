// The test extension's background: it asks the signing host for what a page relays through
// content.js, the way a signing web extension does, and reports what the browser said instead of
// throwing. Chromium runs it as a service worker, Firefox as a background script.

const api = globalThis.browser ?? globalThis.chrome;
const hostName = "com.kivo.signing";

// One request: the browser starts the host, returns its first answer and closes its input.
const sendOnce = (request) =>
  api.runtime.sendNativeMessage(hostName, request).then(
    (answer) => ({ answer }),
    (error) => ({ error: String(error?.message ?? error) }),
  );

// Requests one at a time on one port. Ends when every request was answered (this side then closes
// the port) or when the host closes its end first (`hostClosed`), as after an error answer.
const converse = (requests) =>
  new Promise((resolve) => {
    const answers = [];
    const port = api.runtime.connectNative(hostName);
    port.onMessage.addListener((answer) => {
      answers.push(answer);
      if (answers.length < requests.length) {
        port.postMessage(requests[answers.length]);
      } else {
        port.disconnect();
        resolve({ answers, hostClosed: false });
      }
    });
    port.onDisconnect.addListener(() => resolve({ answers, hostClosed: true }));
    port.postMessage(requests[0]);
  });

// {request} or {requests} from content.js; sendResponse (rather than a returned promise) is what
// both browsers accept.
api.runtime.onMessage.addListener((message, sender, sendResponse) => {
  (message.requests ? converse(message.requests) : sendOnce(message.request)).then(sendResponse);
  return true;
});
