// One native host per page connection: the content script of a page opens
// a port, and its calls go to a tarvenholm-bridge process of its own, which
// the browser starts on the first call and ends when the page goes away.
import { HOST_NAME, nativeMessageFor } from "./relay.js";

const api = globalThis.browser ?? globalThis.chrome;

api.runtime.onConnect.addListener((page) => {
  if (page.name !== "tarvenholm" || page.sender?.id !== api.runtime.id || page.sender?.frameId !== 0) {
    page.disconnect();
    return;
  }
  let host = null;
  page.onMessage.addListener((call) => {
    if (host === null) {
      host = api.runtime.connectNative(HOST_NAME);
      host.onMessage.addListener((reply) => page.postMessage(reply));
      host.onDisconnect.addListener((port) => {
        host = null;
        const reason = port?.error?.message ?? api.runtime.lastError?.message ?? "";
        page.postMessage({ disconnected: true, error: reason });
      });
    }
    host.postMessage(nativeMessageFor(call, page.sender));
  });
  page.onDisconnect.addListener(() => host?.disconnect());
});
