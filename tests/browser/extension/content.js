// Relays a page's requests to the background and the answers back, the way a signing web
// application reaches its extension: the page posts {kivoRequest: id, ...} to its own window and
// gets {kivoAnswer: id, result} back.

const relayApi = globalThis.browser ?? globalThis.chrome;

window.addEventListener("message", (event) => {
  if (event.source !== window || typeof event.data?.kivoRequest !== "number") {
    return;
  }
  const { kivoRequest: id, ...message } = event.data;
  relayApi.runtime.sendMessage(message).then(
    (result) => window.postMessage({ kivoAnswer: id, result }, window.location.origin),
    (error) => window.postMessage({ kivoAnswer: id, result: { error: String(error?.message ?? error) } }, window.location.origin),
  );
});
