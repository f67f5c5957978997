// The extension's relay: what reaches the native host is the call's own
// fields and the origin the browser gives for the sending frame, never one
// the page wrote into its message.
import assert from "node:assert/strict";
import { test } from "node:test";

import { nativeMessageFor, originOf } from "../extension/relay.js";

test("a page's own origin field is replaced by the browser's", () => {
  const forged = { id: 7, method: "genReq", params: ["2.5.4.3=A"], properties: { kSize: 2048 },
                   origin: "https://bank.example", extra: "dropped" };
  const message = nativeMessageFor(forged, { origin: "http://127.0.0.1:8080", url: "https://bank.example/" });
  assert.deepEqual(message, { id: 7, method: "genReq", params: ["2.5.4.3=A"], properties: { kSize: 2048 },
                              origin: "http://127.0.0.1:8080" });
});

test("the origin comes from the sender's URL when the browser gives no origin", () => {
  const cases = [
    [{ url: "https://ca.example:8443/enrol?x=1" }, "https://ca.example:8443"],
    [{ origin: "", url: "http://localhost:3000/" }, "http://localhost:3000"],
    [{ url: "not a url" }, "null"],
    [{}, "null"],
    [undefined, "null"],
  ];
  for (const [sender, origin] of cases) assert.equal(originOf(sender), origin, JSON.stringify(sender));
});
