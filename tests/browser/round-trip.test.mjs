// Round trips from a real headless browser to the installed host, the way a signing web
// application reaches it: a page on 127.0.0.1 asks the test extension's content script, which asks
// the background, which calls sendNativeMessage or connectNative. The same cases run in every
// browser named on the command line (default: all of them); a missing browser is skipped loudly.
//
// Run through ctest: browser_chromium, browser_firefox.

import assert from "node:assert/strict";
import fs from "node:fs";
import path from "node:path";
import { after, before, describe, test } from "node:test";

import { base64, browsers, contractDocument, fromBase64, hostWorld, installInto, openBrowser } from "./support.mjs";
import { loudBanner, runOk, scratchFolder } from "./support.mjs";

const slow = { timeout: 300_000 };

// Each case gets the open browser ({sendOnce, converse}) and the world of its user.
const cases = [
  [
    "a version request answers with the installed host's facts",
    async (browser, world) => {
      const { answer, error } = await browser.sendOnce({ type: "version" });
      assert.equal(error, undefined);
      assert.equal(answer.result, "ok");
      assert.equal(answer.version, process.env.KIVO_VERSION);
      assert.equal([answer.major, answer.minor, answer.release, answer.build].join("."), answer.version);
      assert.match(answer.os, /^Linux version \d+\.\d+\.\d+$/);
      assert.equal(answer.os_type, process.arch === "arm64" ? "aarch64" : "x86_64");
      assert.equal(typeof answer.install_location, "string");
      // The host ran with the HOME the browser was given.
      assert.ok(world.hostStarts() >= 1);
    },
  ],
  [
    "a sign request is approved once, signed with the token's key, and both signatures verify",
    async (browser, world) => {
      const asked = world.pinQuestions();
      const { answers, hostClosed } = await browser.converse([
        { type: "version", user_details: world.signer },
        {
          type: "sign",
          user_details: world.signer,
          signature_algorithm: "RSA_SHA256",
          xml_data: [
            { id: "first", data: base64(contractDocument("1250.00")) },
            { id: "second", data: base64(contractDocument("99.95")) },
          ],
        },
      ]);
      assert.equal(hostClosed, false, JSON.stringify(answers));
      assert.equal(world.pinQuestions(), asked + 1, "the host must ask once per sign request");
      const [version, signed] = answers;
      assert.equal(version.cert_serial, world.demo.KIVO_DEMO_SERIAL);
      assert.equal(signed.result, "ok", JSON.stringify(signed));
      assert.equal(signed.cert_serial, world.demo.KIVO_DEMO_SERIAL);
      assert.equal(signed.cert_expiry, world.demo.KIVO_DEMO_EXPIRY);
      assert.equal(signed.cert_issuer, "Kivo Demo CA");
      assert.deepEqual(signed.signed_data.map((entry) => entry.id), ["first", "second"]);
      for (const [entry, amount] of [[signed.signed_data[0], "1250.00"], [signed.signed_data[1], "99.95"]]) {
        const text = fromBase64(entry.data);
        assert.ok(text.includes(`<Amount currency="AUD">${amount}</Amount>`), text);
        assert.doesNotMatch(text, /<!--/);
        world.verifySignatures(text, entry.id);
      }
    },
  ],
  [
    "several requests on one connectNative port are answered in order by one host",
    async (browser, world) => {
      const startsBefore = world.hostStarts();
      const { answers, hostClosed } = await browser.converse([
        { type: "version" },
        { type: "version", user_details: world.signer },
        { type: "version" },
      ]);
      assert.equal(hostClosed, false, JSON.stringify(answers));
      assert.deepEqual(answers.map((answer) => [answer.result, answer.cert_serial]), [
        ["ok", undefined],
        ["ok", world.demo.KIVO_DEMO_SERIAL],
        ["ok", undefined],
      ]);
      assert.equal(world.hostStarts(), startsBefore + 1, "one port, one host");
    },
  ],
  [
    "an error answer reaches the page and ends the host, leaving the next request unanswered",
    async (browser) => {
      const { answers, hostClosed } = await browser.converse([
        { type: "version" },
        { type: "sign", xml_data: [] },
        { type: "version" },
      ]);
      assert.equal(hostClosed, true);
      assert.equal(answers.length, 2, JSON.stringify(answers));
      assert.deepEqual(answers[1], {
        result: "error",
        error_code: 101,
        error_message: "Signing request does not include any user_details",
      });
    },
  ],
];

for (const name of process.argv.slice(2).length ? process.argv.slice(2) : Object.keys(browsers)) {
  const missing = !fs.existsSync(browsers[name].binary) && `${browsers[name].binary} is not installed`;
  if (missing) loudBanner(`ROUND TRIP SKIPPED in ${name}: ${missing}`);

  describe(`${name} and the signing host`, { skip: missing }, () => {
    let scratch;
    let world;
    let browser;
    before(async () => {
      scratch = scratchFolder(`round-trip-${name}`);
      world = hostWorld(scratch.folder);
      const prefix = path.join(scratch.folder, "prefix");
      installInto(prefix);
      world.prepareUser();
      // The installed copy writes the user's manifest for the test extension, as a user runs it.
      const args = ["--user", "--browser", name, ...browsers[name].allow];
      const env = { HOME: world.home, XDG_CONFIG_HOME: "" };
      runOk(path.join(prefix, "share/kivo-signing/register-browsers.sh"), args, { env });
      browser = await openBrowser(name, world);
    });
    after(async () => {
      await browser?.close();
      scratch?.remove();
    });

    for (const [title, check] of cases) {
      test(title, slow, () => check(browser, world));
    }
  });
}
