// Relays the page's calls, posted with window.postMessage by tarvenholm.js,
// to the extension, and the native host's replies back to the page. A call
// still waiting when the native host stops is answered with an error.
(() => {
  const api = globalThis.browser ?? globalThis.chrome;
  let extension = null;
  const waiting = new Set();

  const toPage = (message) => window.postMessage({ tarvenholm: "reply", ...message }, window.location.origin);

  function connect() {
    extension = api.runtime.connect({ name: "tarvenholm" });
    extension.onMessage.addListener((reply) => {
      if (reply?.disconnected) {
        const error = "the Tarvenholm bridge stopped" + (reply.error ? ": " + reply.error : "");
        for (const id of waiting) toPage({ id, result: null, messages: [], error, disconnected: true });
        waiting.clear();
        return;
      }
      waiting.delete(reply?.id);
      toPage(reply);
    });
    extension.onDisconnect.addListener(() => {
      extension = null;
    });
  }

  window.addEventListener("message", (event) => {
    if (event.source !== window || event.origin !== window.location.origin) return;
    const message = event.data;
    if (message?.tarvenholm === "hello") {
      toPage({ present: true });
    } else if (message?.tarvenholm === "call") {
      if (extension === null) connect();
      waiting.add(message.id);
      extension.postMessage({ id: message.id, method: message.method, params: message.params,
                              properties: message.properties });
    }
  });
})();
