// The Debian package on a real system: built by scripts/package.sh for the test extension, linted,
// installed with apt-get over an earlier version, used by every browser of the round trips through
// the system-wide manifests alone, then removed and purged without leaving a file behind. Also
// holds the RPM to the same file list. Installs into the running system, so it needs root and is
// meant for throw-away machines (scripts/test.sh runs it); it refuses to touch an installed copy.
//
// Run: node tests/package/install.test.mjs (after `npm ci` in tests/browser).

import assert from "node:assert/strict";
import fs from "node:fs";
import path from "node:path";
import { after, before, describe, test } from "node:test";

import { base64, browsers, chromeOrigin, contractDocument, firefoxId, fromBase64 } from "../browser/support.mjs";
import { hostWorld, loudBanner, manifestsBelow, openBrowser, run, runOk } from "../browser/support.mjs";
import { scratchFolder, sourceDir } from "../browser/support.mjs";

const packageName = "kivo-signing-host";
const packageBuild = process.env.KIVO_PACKAGE_BUILD_DIR || path.join(sourceDir, "build-package-test");
const slow = { timeout: 900_000 };
const aptEnv = { DEBIAN_FRONTEND: "noninteractive" };

// dpkg's "<want> ok <state> <version>" for the package; "" or "... not-installed" when it is gone.
const installedVersion = () => run("dpkg-query", ["-W", "-f=${Status} ${Version}", packageName]).stdout.trim();
const onMachine = () => !/^$|not-installed/.test(installedVersion());
const apt = (...args) => runOk("apt-get", ["-y", "-q", ...args], { env: aptEnv });
// Each regular file of a package listing as "<mode letters> <path>", sorted.
const regularFiles = (lines) => lines.filter((line) => line.startsWith("-")).sort();

const whyNot = process.getuid() !== 0 && "the package test installs into the system and needs root";
if (whyNot) loudBanner(`PACKAGE TEST SKIPPED: ${whyNot}`);

describe("the Debian package", { skip: whyNot }, () => {
  const scratch = scratchFolder("package");
  let deb;
  let version;
  let listing; // `dpkg-deb -c`: "<mode letters> <owner> <size> <date> <time> ./<path>"
  let entries; // every path in the package, folders ending in "/"
  let existedBefore;

  before(() => {
    if (onMachine()) {
      throw new Error(`${packageName} is on this machine already (${installedVersion()}); purge it first`);
    }
    const args = ["--build-dir", packageBuild, "--chrome-origin", chromeOrigin, "--firefox-id", firefoxId];
    // A Release build from scratch takes many minutes on a busy machine.
    runOk(path.join(sourceDir, "scripts/package.sh"), args, { timeout: 3_600_000 });
    deb = path.join(packageBuild, fs.readdirSync(packageBuild).find((name) => name.endsWith(".deb")));
    version = runOk("dpkg-deb", ["-f", deb, "Version"]).stdout.trim();
    listing = runOk("dpkg-deb", ["-c", deb]).stdout.trim().split("\n");
    // A link is listed as "name -> target": the entry is the name.
    entries = listing.map((line) =>
      line.split(/\s+/).slice(5).join(" ").replace(/ -> .*$/, "").replace(/^\./, ""),
    );
    // What is on the machine before the package, so that the purge check spares shared folders.
    existedBefore = new Set(entries.filter((name) => fs.existsSync(name)));
  });

  // Runs even when a test failed half way: no package, no files of it, no scratch folder remain.
  after(() => {
    if (onMachine()) run("apt-get", ["-y", "-q", "purge", packageName], { env: aptEnv });
    scratch.remove();
  });

  test("lintian finds no error", () => {
    const { status, stdout, stderr } = run("lintian", ["--pedantic", deb]);
    assert.equal(status, 0, stdout + stderr);
    assert.doesNotMatch(stdout, /^E: /m);
  });

  test("the RPM holds the same files with the same modes", () => {
    const rpm = path.join(packageBuild, fs.readdirSync(packageBuild).find((name) => name.endsWith(".rpm")));
    const query = ["-qp", "--qf", "[%{FILEMODES:perms} %{FILENAMES}\\n]", rpm];
    const rpmFiles = regularFiles(runOk("rpm", query).stdout.trim().split("\n"));
    const debFiles = regularFiles(listing.map((line) => line.replace(/ .* \.\//, " /")));
    assert.deepEqual(rpmFiles, debFiles.filter((line) => !line.includes(" /usr/share/lintian/")));
  });

  describe("installed with apt-get over an earlier version", () => {
    // A user with a demo token and a scripted pinentry, and no manifest of their own.
    const world = hostWorld(scratch.folder);

    before(() => {
      // The earlier version: this package relabelled just below it, with one file the new one lacks.
      const unpacked = path.join(scratch.folder, "earlier");
      runOk("dpkg-deb", ["-R", deb, unpacked]);
      const control = path.join(unpacked, "DEBIAN/control");
      const fields = fs.readFileSync(control, "utf8");
      fs.writeFileSync(control, fields.replace(/^Version: .*$/m, `Version: ${version}~earlier`));
      fs.writeFileSync(path.join(unpacked, "usr/share/kivo-signing/dropped-in-upgrade"), "old\n");
      const earlier = path.join(scratch.folder, "earlier.deb");
      runOk("dpkg-deb", ["--root-owner-group", "-b", unpacked, earlier]);
      apt("install", earlier);
      assert.match(installedVersion(), /install ok installed .*~earlier$/);
      apt("install", deb);
      world.prepareUser();
    });

    test("the upgrade replaced the earlier version and its files", () => {
      assert.equal(installedVersion(), `install ok installed ${version}`);
      assert.equal(fs.existsSync("/usr/share/kivo-signing/dropped-in-upgrade"), false);
      assert.deepEqual(entries.filter((name) => !fs.existsSync(name)), []);
    });

    for (const name of Object.keys(browsers)) {
      const missing = !fs.existsSync(browsers[name].binary) && `${browsers[name].binary} is not installed`;
      if (missing && !whyNot) loudBanner(`PACKAGE TEST OF ${name.toUpperCase()} SKIPPED: ${missing}`);
      const title = `${name} starts the installed host through the system-wide manifest alone`;
      test(title, { ...slow, skip: missing }, async () => {
        const browser = await openBrowser(name, world);
        try {
          // A version request and a sign request, each starting the host, whose signatures verify.
          const starts = world.hostStarts();
          const asked = world.pinQuestions();
          const versionAnswer = await browser.sendOnce({ type: "version" });
          assert.equal(versionAnswer.answer?.version, version, JSON.stringify(versionAnswer));
          const xmlData = [{ id: name, data: base64(contractDocument("1.00")) }];
          const { answer } = await browser.sendOnce({ type: "sign", user_details: world.signer, xml_data: xmlData });
          assert.equal(answer?.result, "ok", JSON.stringify(answer));
          assert.equal(answer.cert_serial, world.demo.KIVO_DEMO_SERIAL);
          assert.equal(world.pinQuestions(), asked + 1, "the host must ask once per sign request");
          world.verifySignatures(fromBase64(answer.signed_data[0].data), name);
          assert.equal(world.hostStarts(), starts + 2);
        } finally {
          await browser.close();
        }
        assert.deepEqual(manifestsBelow(world.home), [], "a manifest of the user's own did it");
      });
    }

    test("remove keeps only the manifests below /etc, purge leaves nothing of the package", () => {
      apt("remove", packageName);
      assert.match(installedVersion(), /config-files/);
      const files = entries.filter((name) => !name.endsWith("/"));
      assert.deepEqual(files.filter((name) => fs.existsSync(name)), files.filter((name) => name.startsWith("/etc/")));
      apt("purge", packageName);
      assert.equal(onMachine(), false, installedVersion());
      const left = entries.filter((name) => !existedBefore.has(name) && fs.existsSync(name.replace(/\/$/, "")));
      assert.deepEqual(left, []);
    });
  });
});
