// What both browser round trips share: the installed host with a demo token and a scripted
// pinentry, the documents they sign, xmlsec1 checking the signatures, and the cases every browser
// must pass on the page -> content script -> background -> host road.

import assert from "node:assert/strict";
import fs from "node:fs";
import path from "node:path";
import { test } from "node:test";

import { installInto, readDemoEnv, run, runOk, sourceDir } from "./support.mjs";

export const answerTimeout = 120_000;
export const testTimeout = { timeout: 300_000 };
const pinentry = path.join(sourceDir, "tests/support/scripted-pinentry");
const dsigNamespace = "http://www.w3.org/2000/09/xmldsig#";
export const signedElements = ["CounterpartData", "RenderedData"];

export function contractDocument(renderedText) {
  return [
    '<?xml version="1.0" encoding="UTF-8"?>',
    '<Contract id="c-1">',
    "  <!-- drafted in the browser test -->",
    '  <CounterpartData><Party>Jane Citizen</Party><Amount currency="AUD">1250.00</Amount></CounterpartData>',
    `  <RenderedData><Text>${renderedText}</Text></RenderedData>`,
    "</Contract>",
  ].join("\n");
}

export const base64 = (text) => Buffer.from(text, "utf8").toString("base64");
export const fromBase64 = (text) => Buffer.from(text, "base64").toString("utf8");

// The installed host below `folder`/prefix, a user home, and a demo token whose PIN the scripted
// pinentry gives to every host that asks.
export function hostWorld(folder) {
  const world = {
    folder,
    prefix: path.join(folder, "prefix"),
    home: path.join(folder, "home"),
    store: path.join(folder, "store"),
    pinentryDir: path.join(folder, "pinentry"),
  };
  world.registerScript = path.join(world.prefix, "share/kivo-signing/register-browsers.sh");
  world.installedHost = path.join(world.prefix, "lib/kivo-signing/kivo-signing-host");

  world.prepare = () => {
    installInto(world.prefix);
    world.prepareUser();
  };

  // The home, token and pinentry answers alone, for a host installed some other way.
  world.prepareUser = () => {
    fs.mkdirSync(world.home, { recursive: true });
    runOk(path.join(sourceDir, "scripts/make-demo-store.sh"), [world.store]);
    world.demo = readDemoEnv(world.store);
    world.signer = {
      name: world.demo.KIVO_DEMO_NAME,
      email: world.demo.KIVO_DEMO_EMAIL,
      abn: world.demo.KIVO_DEMO_ABN,
      aki: [world.demo.KIVO_DEMO_AKI],
    };
    fs.mkdirSync(world.pinentryDir, { recursive: true });
    fs.writeFileSync(path.join(world.pinentryDir, "answers"), `pin ${world.demo.KIVO_DEMO_PIN}\n`.repeat(100));
    fs.writeFileSync(path.join(world.pinentryDir, "asked"), "0\n");
  };

  // The environment the browser is started with; it passes it on to the host.
  world.browserEnvironment = () => {
    const environment = {
      ...process.env,
      HOME: world.home,
      SOFTHSM2_CONF: world.demo.SOFTHSM2_CONF,
      KIVO_PINENTRY: pinentry,
      KIVO_TEST_PINENTRY_DIR: world.pinentryDir,
    };
    delete environment.KIVO_VERBOSE_LOGGING;
    delete environment.XDG_CONFIG_HOME;
    return environment;
  };

  // register-browsers.sh --user, the way a user runs it (the installed copy).
  world.register = (...args) =>
    runOk(world.registerScript, ["--user", ...args], { env: { HOME: world.home, XDG_CONFIG_HOME: "" } });

  world.pinQuestions = () => Number(fs.readFileSync(path.join(world.pinentryDir, "asked"), "utf8"));
  // How often the host's log holds `line` so far.
  world.logCount = (line) => {
    const log = path.join(world.home, "kivo-signing.log");
    return fs.existsSync(log) ? fs.readFileSync(log, "utf8").split(line).length - 1 : 0;
  };
  world.hostStarts = () => world.logCount("Application launched");

  // The signature of an element is enveloped in it.
  world.verifyOne = (file, element) =>
    run("xmlsec1", [
      "--verify",
      "--trusted-pem",
      world.demo.KIVO_DEMO_CA_CERT,
      "--node-xpath",
      `//*[local-name()='${element}']/*[local-name()='Signature' and namespace-uri()='${dsigNamespace}']`,
      file,
    ]);

  world.verifySignatures = (text, id) => {
    const signatures = text.match(/<Signature xmlns="http:\/\/www\.w3\.org\/2000\/09\/xmldsig#">/g) ?? [];
    assert.equal(signatures.length, 2, text);
    const file = path.join(folder, `${id}.xml`);
    fs.writeFileSync(file, text);
    for (const element of signedElements) {
      const result = world.verifyOne(file, element);
      assert.equal(result.status, 0, `${element} signature of ${id}: ${result.stderr}`);
    }
  };
  return world;
}

// The cases each browser passes on the road real requests take. `ask()` gives the page's relay
// ({sendOnce, converse}); `texts` holds the browser's own words for the host ending after an
// error answer (`hostExited`) and for the refusals; `restore()` writes the working manifest back;
// `refusals` spoils it in the two ways users meet most.
export function roundTripCases({ world, ask, texts, restore, refusals }) {
  test("a version request answers with the installed host's facts", testTimeout, async () => {
    const { answer, error } = await ask().sendOnce({ type: "version" });
    assert.equal(error, undefined);
    assert.equal(answer.result, "ok");
    assert.equal(answer.version, process.env.KIVO_VERSION);
    assert.equal([answer.major, answer.minor, answer.release, answer.build].join("."), process.env.KIVO_VERSION);
    assert.match(answer.os, /^Linux version \d+\.\d+\.\d+$/);
    assert.equal(answer.os_type, process.arch === "arm64" ? "aarch64" : "x86_64");
    assert.equal(typeof answer.install_location, "string");
    // The host ran with the environment the browser was given.
    assert.ok(world.hostStarts() >= 1);
  });

  test("a sign request is signed with the token's key and both signatures verify", testTimeout, async () => {
    const asked = world.pinQuestions();
    const document = contractDocument("I, Jane Citizen, agree to the terms above.");
    const { answers, disconnectError } = await ask().converse([
      { type: "version", user_details: world.signer },
      {
        type: "sign",
        user_details: world.signer,
        signature_algorithm: "RSA_SHA256",
        xml_data: [
          { id: "first", data: base64(document) },
          { id: "second", data: base64(document.replace("1250.00", "99.95")) },
        ],
      },
    ]);
    assert.equal(disconnectError, null, JSON.stringify(answers));
    assert.equal(world.pinQuestions(), asked + 1, "the host must ask for the PIN once per sign request");
    const [version, signed] = answers;
    assert.equal(version.result, "ok");
    assert.equal(version.cert_serial, world.demo.KIVO_DEMO_SERIAL);
    assert.equal(signed.result, "ok", JSON.stringify(signed));
    assert.equal(signed.cert_serial, world.demo.KIVO_DEMO_SERIAL);
    assert.equal(signed.cert_expiry, world.demo.KIVO_DEMO_EXPIRY);
    assert.equal(signed.cert_issuer, "Kivo Demo CA");
    assert.deepEqual(
      signed.signed_data.map((entry) => entry.id),
      ["first", "second"],
    );
    const amounts = { first: "1250.00", second: "99.95" };
    for (const entry of signed.signed_data) {
      const text = fromBase64(entry.data);
      assert.ok(text.includes(`<Amount currency="AUD">${amounts[entry.id]}</Amount>`), text);
      assert.doesNotMatch(text, /<!--/);
      world.verifySignatures(text, entry.id);
    }
  });

  test("several requests on one connectNative port are answered in order by one host", testTimeout, async () => {
    const startsBefore = world.hostStarts();
    const { answers, disconnectError } = await ask().converse([
      { type: "version" },
      { type: "version", user_details: world.signer },
      { type: "version" },
    ]);
    assert.equal(disconnectError, null, JSON.stringify(answers));
    assert.deepEqual(
      answers.map((answer) => answer.result),
      ["ok", "ok", "ok"],
    );
    assert.equal(answers[0].cert_serial, undefined);
    assert.equal(answers[1].cert_serial, world.demo.KIVO_DEMO_SERIAL);
    assert.equal(world.hostStarts(), startsBefore + 1, "one port, one host");
  });

  test("failing requests get their error answer and end the host", testTimeout, async () => {
    const unknown = await ask().sendOnce({ type: "frobnicate" });
    assert.deepEqual(unknown.answer, {
      result: "error",
      error_code: 101,
      error_message: "Request type is unknown: frobnicate",
    });
    // The third request is already on its way when the host ends; it stays unanswered.
    const { answers, disconnectError } = await ask().converse([
      { type: "version" },
      { type: "sign", xml_data: [] },
      { type: "version" },
    ]);
    assert.equal(answers.length, 2, JSON.stringify(answers));
    assert.equal(answers[0].result, "ok");
    assert.deepEqual(answers[1], {
      result: "error",
      error_code: 101,
      error_message: "Signing request does not include any user_details",
    });
    // The host exits after an error answer, which the browser reports as the port closing.
    assert.match(disconnectError, texts.hostExited);
  });

  for (const { name, setup, error } of refusals) {
    test(name, testTimeout, async () => {
      const startsBefore = world.hostStarts();
      setup();
      try {
        const once = await ask().sendOnce({ type: "version" });
        assert.equal(once.answer, undefined);
        assert.match(once.error, error);
        const port = await ask().converse([{ type: "version" }]);
        assert.deepEqual(port.answers, []);
        assert.match(port.disconnectError, error);
        assert.equal(world.hostStarts(), startsBefore, "the host ran");
      } finally {
        restore();
      }
    });
  }
}
