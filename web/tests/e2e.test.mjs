// End to end in Debian's chromium, headless, with the extension loaded: the
// demo page on 127.0.0.1 makes a request through the extension and
// tarvenholm-bridge, the demo authority issues root, intermediate and user,
// setCert answers 2000, and the stores show the certificate bound to its
// key; then the page makes a modern EC request with createRequest, which
// openssl verifies. The scripted pinentry answers for the user.
//
//   TARVENHOLM_BUILD      the build tree with tarvenholm and tarvenholm-bridge (default build/)
//   TARVENHOLM_ARTIFACTS  where the screenshot goes (default <build>/artifacts)
import assert from "node:assert/strict";
import { execFileSync, spawn } from "node:child_process";
import { mkdirSync, mkdtempSync, readFileSync, rmSync, writeFileSync } from "node:fs";
import { tmpdir } from "node:os";
import { dirname, join, resolve } from "node:path";
import { after, before, test } from "node:test";
import { fileURLToPath } from "node:url";

import { chromium } from "playwright-core";

const source = resolve(dirname(fileURLToPath(import.meta.url)), "../..");
const build = resolve(process.env.TARVENHOLM_BUILD ?? join(source, "build"));
const artifacts = resolve(process.env.TARVENHOLM_ARTIFACTS ?? join(build, "artifacts"));
// Generous: the machine may be busy with other builds.
const STEP_TIMEOUT_MS = 180_000;

const work = mkdtempSync(join(tmpdir(), "tarvenholm-e2e-"));
const environment = {
  ...process.env,
  TARVENHOLM_HOME: join(work, "home"),
  TARVENHOLM_PINENTRY: join(source, "tests/scripted-pinentry"),
  TARVENHOLM_TEST_PINENTRY_ANSWERS: join(work, "answers"),
  TARVENHOLM_TEST_PINENTRY_LOG: join(work, "pinentry.log"),
  LANG: "C",
};
const tarvenholm = (...args) => execFileSync(join(build, "tarvenholm"), args, { env: environment, encoding: "utf8" });

let authority;
before(async () => {
  mkdirSync(artifacts, { recursive: true });
  authority = spawn("node", [join(source, "web/demo/authority.mjs"), "--port", "0", "--dir", join(work, "ca")],
                    { env: environment, stdio: ["ignore", "pipe", "inherit"] });
  authority.url = await new Promise((resolveUrl, reject) => {
    authority.once("exit", (code) => reject(new Error(`the demo authority exited with ${code}`)));
    authority.stdout.on("data", (data) => {
      const found = /listening on (\S+)/.exec(String(data));
      if (found) resolveUrl(found[1]);
    });
  });
});

after(() => {
  authority?.kill();
  rmSync(work, { recursive: true, force: true });
});

test("the demo page enrols, and a page makes a modern request, through the extension and the bridge", { timeout: 10 * STEP_TIMEOUT_MS }, async () => {
  const profile = join(work, "profile");
  tarvenholm("bridge", "install", "--browser", "chromium", "--profile", profile);
  // "Always allow" for the page, no password for the new key, then "Trust" for the authority's root.
  writeFileSync(environment.TARVENHOLM_TEST_PINENTRY_ANSWERS, "notok\ncancel\nok\n");

  const extension = join(source, "web/extension");
  const browser = await chromium.launchPersistentContext(profile, {
    executablePath: "/usr/bin/chromium",
    headless: false,
    env: environment,
    timeout: STEP_TIMEOUT_MS,
    args: ["--headless=new", "--no-sandbox", `--disable-extensions-except=${extension}`,
           `--load-extension=${extension}`, "--disable-features=DisableLoadExtensionCommandLineSwitch"],
  });
  try {
    const page = await browser.newPage();
    page.setDefaultTimeout(STEP_TIMEOUT_MS);
    await page.goto(authority.url);
    await page.locator("#status", { hasText: "Tarvenholm is ready." }).waitFor();
    await page.click("#request");
    await page.waitForSelector("body[data-result]");
    await page.screenshot({ path: join(artifacts, "bridge-demo.png"), fullPage: true });
    assert.equal(await page.getAttribute("body", "data-result"), "2000", await page.textContent("#status"));

    // The page is allowed always now; the new EC key gets a password.
    writeFileSync(environment.TARVENHOLM_TEST_PINENTRY_ANSWERS, "pin page secret\n");
    const made = await page.evaluate(async () => {
      const kg = await globalThis.Tarvenholm.create();
      kg.msgLng = 0;
      kg.keyAlgorithm = "ec:p256";
      kg.hashAlgorithm = "sha256";
      kg.extKeyUsage = "clientAuth";
      const request = await kg.createRequest("CN=Ana Ruiz,O=Example,C=MX");
      return { request, container: kg.requestContainer, provider: kg.requestProvider, messages: kg.messages };
    });
    const pem = `-----BEGIN CERTIFICATE REQUEST-----\n${made.request.match(/.{1,64}/g).join("\n")}\n` +
                "-----END CERTIFICATE REQUEST-----\n";
    const text = execFileSync("openssl", ["req", "-verify", "-noout", "-text"],
                              { input: pem, encoding: "utf8", stdio: ["pipe", "pipe", "pipe"] });
    assert.match(text, /Signature Algorithm: ecdsa-with-SHA256/, JSON.stringify(made));
    assert.match(text, /Subject: C ?= ?MX, O ?= ?Example, CN ?= ?Ana Ruiz/);
    assert.match(text, /TLS Web Client Authentication/);
    assert.equal(made.provider, "Tarvenholm Software Key Storage Provider");
    assert.ok(tarvenholm("keys", "list").includes(`${made.container}\t${made.provider}\t256\t`));
  } finally {
    await browser.close();
  }

  assert.match(readFileSync(environment.TARVENHOLM_TEST_PINENTRY_LOG, "utf8"), /SHA-256 fingerprint: [0-9A-F]{64}/);
  assert.equal(tarvenholm("store", "list", "ROOT").trim().split("\n").length, 1);
  const mine = tarvenholm("store", "list", "MY").trim().split("\n");
  assert.equal(mine.length, 1);
  const [thumbprint, subject, container] = mine[0].split("\t");
  assert.match(subject, /CN=Ana Ruiz/);
  const keys = tarvenholm("keys", "list").trim().split("\n").map((line) => line.split("\t"));
  assert.deepEqual(keys.filter((key) => key[3] === thumbprint).map((key) => key[0]), [container]);
  assert.match(tarvenholm("bridge", "sites"), new RegExp(`^${authority.url.replace(/\/demo\/$/, "")}\tallow\tuser$`, "m"));
});
