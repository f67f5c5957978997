// tarvenholm.js: the Tarvenholm control for enrolment pages, through the
// Tarvenholm browser extension and its native host. No dependencies; load it
// as a plain script (it defines globalThis.Tarvenholm) or import
// tarvenholm.mjs as an ES module.
//
//   const kg = await Tarvenholm.create();
//   kg.msgLng = 0; kg.kSize = 2048;          // sent with the next call
//   const providers = await kg.getCSPList();
//   const request = await kg.genReq("2.5.4.3=Ana Ruiz;2.5.4.6=MX");   // "" on failure
//   const code = await kg.setCert(issued);   // 2000 when installed
//   kg.messages;                              // the message boxes of the last call
(function (global) {
  "use strict";

  const PRESENCE_TIMEOUT_MS = 2000;
  let nextId = 1;
  const waiting = new Map();
  let presence = null;

  global.addEventListener("message", (event) => {
    if (event.source !== global || event.origin !== global.location.origin) return;
    const message = event.data;
    if (message?.tarvenholm !== "reply") return;
    if (message.present && presence) {
      presence();
      return;
    }
    const call = waiting.get(message.id);
    if (!call) return;
    waiting.delete(message.id);
    call(message);
  });

  function send(method, params, properties) {
    const id = nextId++;
    return new Promise((resolve) => {
      waiting.set(id, resolve);
      global.postMessage({ tarvenholm: "call", id, method, params, properties }, global.location.origin);
    });
  }

  class KeyGenerator {
    #pending = {};
    #kSize = 1024;

    constructor() {
      this.messages = [];
    }

    set msgLng(value) { this.#pending.msgLng = value; }
    set provName(value) { this.#pending.provName = value; }
    set kSize(value) {
      this.#kSize = value;
      this.#pending.kSize = value;
    }
    get kSize() { return this.#kSize; }

    async #call(method, params) {
      const properties = this.#pending;
      this.#pending = {};
      const reply = await send(method, params, properties);
      this.messages = Array.isArray(reply.messages) ? reply.messages : [];
      if (reply.error) {
        const error = new Error(reply.error);
        error.messages = this.messages;
        throw error;
      }
      return reply.result;
    }

    async getCSPList() { return (await this.#call("getCSPList", [])) ?? ""; }
    async genReq(names) { return (await this.#call("genReq", [String(names)])) ?? ""; }
    async setCert(text) { return this.#call("setCert", [String(text)]); }
  }

  // A control when the extension and its native host answer; else rejects
  // with an Error that says which one is missing.
  async function create() {
    const present = await new Promise((resolve) => {
      const timer = setTimeout(() => resolve(false), PRESENCE_TIMEOUT_MS);
      presence = () => {
        clearTimeout(timer);
        resolve(true);
      };
      global.postMessage({ tarvenholm: "hello" }, global.location.origin);
    });
    presence = null;
    if (!present) throw new Error("The Tarvenholm browser extension is not installed or not enabled for this page.");
    const probe = await send("getCSPList", [], {});
    if (probe.disconnected)
      throw new Error("The Tarvenholm native host is not installed for this browser (run \"tarvenholm bridge install\"): " +
                      probe.error);
    if (probe.error) throw new Error(probe.error);
    return new KeyGenerator();
  }

  global.Tarvenholm = { create, KeyGenerator };
})(globalThis);
