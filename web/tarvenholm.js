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
//
//   kg.keyAlgorithm = "ec:p256"; kg.extKeyUsage = "clientAuth";       // the modern request
//   const modern = await kg.createRequest("CN=Ana Ruiz,O=Example,C=MX");
//   kg.requestContainer; kg.requestProvider;  // where its key is
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

  // Properties that read back as put, with the control's defaults.
  const READABLE = {
    kSize: 1024, keyAlgorithm: "rsa:3072", hashAlgorithm: "sha256", usePss: false, singleRdn: false,
    subjectAltNames: "", keyUsage: "", extKeyUsage: "", renewContainer: "",
  };
  const WRITE_ONLY = ["msgLng", "provName", "challengePassword"];
  // Read from the control after each createRequest.
  const MADE = ["requestContainer", "requestProvider"];

  class KeyGenerator {
    #pending = {};
    #values = { ...READABLE };
    #made = Object.fromEntries(MADE.map((name) => [name, ""]));

    // Every put is sent with the next call, in the order the page made them.
    static {
      for (const name of WRITE_ONLY)
        Object.defineProperty(this.prototype, name, { set(value) { this.#pending[name] = value; } });
      for (const name of Object.keys(READABLE))
        Object.defineProperty(this.prototype, name, {
          get() { return this.#values[name]; },
          set(value) {
            this.#values[name] = value;
            this.#pending[name] = value;
          },
        });
      for (const name of MADE) Object.defineProperty(this.prototype, name, { get() { return this.#made[name]; } });
    }

    constructor() {
      this.messages = [];
    }

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

    // The request as one line of base64; bad input rejects with an Error naming the fault.
    async createRequest(subject) {
      const request = (await this.#call("createRequest", [String(subject)])) ?? "";
      for (const name of MADE) {
        const reply = await send(name, [], {});
        this.#made[name] = reply.error ? "" : reply.result ?? "";
      }
      return request;
    }
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
