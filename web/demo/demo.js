// The demo enrolment: genReq, the local authority's /issue, setCert.
import { Tarvenholm } from "../tarvenholm.mjs";

const $ = (id) => document.getElementById(id);

function show(status, messages = [], failed = false) {
  $("status").textContent = status;
  $("status").className = failed ? "error" : "";
  $("messages").replaceChildren(...messages.map(({ kind, text }) => {
    const item = document.createElement("li");
    item.className = kind;
    item.textContent = `[${kind}] ${text}`;
    return item;
  }));
}

async function enrol(kg) {
  $("request").disabled = true;
  kg.msgLng = 0;
  kg.kSize = Number($("size").value);
  kg.provName = $("provider").value;
  const request = await kg.genReq(`2.5.4.3=${$("name").value};2.5.4.6=${$("country").value}`);
  if (request === "") return show("No request was made.", kg.messages, true);
  $("request-text").hidden = false;
  $("request-text").textContent = request;
  show("Request made; the authority is issuing…", kg.messages);
  const answer = await fetch("/issue", { method: "POST", body: request });
  if (!answer.ok) return show(`The authority refused: ${await answer.text()}`, [], true);
  const code = await kg.setCert(await answer.text());
  show(code === 2000 ? `Installed (setCert answered ${code}).` : `Not installed (setCert answered ${code}).`,
       kg.messages, code !== 2000);
  document.body.dataset.result = String(code);
}

try {
  const kg = await Tarvenholm.create();
  const providers = (await kg.getCSPList()).split("|").filter((name) => name !== "");
  $("provider").replaceChildren(...providers.map((name) => new Option(name, name)));
  $("provider").value = "Microsoft Enhanced Cryptographic Provider v1.0";
  $("request").disabled = false;
  show("Tarvenholm is ready.");
  $("enrol").addEventListener("submit", (event) => {
    event.preventDefault();
    enrol(kg).catch((error) => {
      show(error.message, error.messages ?? [], true);
      document.body.dataset.result = "error";
    });
  });
} catch (error) {
  show(error.message, [], true);
}
