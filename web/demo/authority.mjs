// The demo's local certification authority and web server, on 127.0.0.1
// only: serves web/ (the demo page, tarvenholm.js) and answers
// POST /issue, whose body is a request as genReq makes it, with the
// certificates (root, intermediate, user) as the base64 PKCS#7 setCert
// takes. Issues with the openssl command through the test-ca script.
//
//   node authority.mjs [--port N] [--dir DIR]   (port 0: any free port)
// Prints "listening on http://127.0.0.1:PORT/demo/" once it serves.
import { execFileSync } from "node:child_process";
import { existsSync, mkdtempSync, readFileSync, writeFileSync } from "node:fs";
import { createServer } from "node:http";
import { tmpdir } from "node:os";
import { dirname, extname, join, normalize, resolve } from "node:path";
import { fileURLToPath } from "node:url";

const here = dirname(fileURLToPath(import.meta.url));
const webRoot = resolve(here, "..");
const option = (name, fallback) => {
  const index = process.argv.indexOf(name);
  return index > 0 ? process.argv[index + 1] : fallback;
};
const port = Number(option("--port", "8443"));
const dir = option("--dir", mkdtempSync(join(tmpdir(), "tarvenholm-authority-")));
// Beside this file when installed; in the source tree, scripts/test-ca.
const testCa = [join(here, "test-ca"), resolve(here, "../../scripts/test-ca")].find(existsSync);

if (!existsSync(join(dir, "root.pem"))) execFileSync("bash", [testCa, dir, "init"], { stdio: "inherit" });

const types = { ".html": "text/html", ".js": "text/javascript", ".mjs": "text/javascript", ".css": "text/css" };
const MAX_REQUEST = 64 * 1024;

function issue(request) {
  const requestFile = join(dir, "request.txt");
  const answerFile = join(dir, "answer.p7b");
  writeFileSync(requestFile, request);
  execFileSync("bash", [testCa, dir, "issue", requestFile, answerFile], { stdio: ["ignore", "ignore", "pipe"] });
  return readFileSync(answerFile, "utf8");
}

const server = createServer((request, response) => {
  if (request.method === "POST" && request.url === "/issue") {
    let body = "";
    request.on("data", (chunk) => {
      body += chunk;
      if (body.length > MAX_REQUEST) request.destroy();
    });
    request.on("end", () => {
      try {
        const answer = issue(body.trim());
        response.writeHead(200, { "content-type": "text/plain" }).end(answer);
      } catch (error) {
        response.writeHead(400, { "content-type": "text/plain" }).end("the request could not be issued");
      }
    });
    return;
  }
  const path = normalize(decodeURIComponent(new URL(request.url, "http://x").pathname)).replace(/^\/+/, "");
  const file = resolve(webRoot, path.endsWith("/") || path === "" ? join(path, "index.html") : path);
  if (!file.startsWith(webRoot + "/") || !existsSync(file) || !types[extname(file)]) {
    response.writeHead(404).end("not found");
    return;
  }
  response.writeHead(200, { "content-type": types[extname(file)] }).end(readFileSync(file));
});

server.listen(port, "127.0.0.1", () => {
  console.log(`listening on http://127.0.0.1:${server.address().port}/demo/`);
});
