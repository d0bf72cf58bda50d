// The Debian package on a real system: built by scripts/package.sh for the test extension, linted,
// installed with apt-get over an earlier version, used by a real headless Chromium and Firefox
// through the system-wide manifests alone, then removed and purged without leaving a file behind. Also holds
// the RPM to the same file list. Installs into the running system, so it needs root and is meant
// for throw-away machines (scripts/test.sh runs it); it refuses to touch an installed copy.
//
// Run: node tests/package/install.test.mjs (after `npm ci` in tests/browser).

import assert from "node:assert/strict";
import fs from "node:fs";
import { createRequire } from "node:module";
import path from "node:path";
import { after, before, describe, test } from "node:test";
import { fileURLToPath } from "node:url";

const sourceDir = path.resolve(path.dirname(fileURLToPath(import.meta.url)), "../..");
const packageBuild = process.env.KIVO_PACKAGE_BUILD_DIR || path.join(sourceDir, "build-package-test");
// The ids of the test extension, which the package is built to allow: the Chromium id its key
// fixes (checked below) and the Firefox id its manifest names.
const testOrigin = "chrome-extension://bdiafcajkebdaomlbcaljccklblopale/";
const firefoxId = JSON.parse(fs.readFileSync(new URL("../browser/extension/manifest.json", import.meta.url)))
  .browser_specific_settings.gecko.id;
// support.mjs takes the checkout, the build and the deployment settings from the environment.
Object.assign(process.env, {
  KIVO_SOURCE_DIR: sourceDir,
  KIVO_BUILD_DIR: packageBuild,
  KIVO_CHROME_ORIGINS: testOrigin,
  KIVO_FIREFOX_IDS: firefoxId,
});
const { extensionDir, run, runOk, scratchFolder, testExtensionId } = await import("../browser/support.mjs");
const { base64, contractDocument, fromBase64, hostWorld } = await import("../browser/host-world.mjs");
const { firefoxPath, loudBanner, openFirefoxPage, relay } = await import("../browser/relay.mjs");

const packageName = "kivo-signing-host";
const version = "1.0.0.1";
const deb = path.join(packageBuild, `${packageName}_${version}_amd64.deb`);
const rpm = path.join(packageBuild, `${packageName}-${version}.x86_64.rpm`);
const installedHost = "/usr/lib/kivo-signing/kivo-signing-host";
const systemManifests = {
  chrome: "/etc/opt/chrome/native-messaging-hosts/com.kivo.signing.json",
  chromium: "/etc/chromium/native-messaging-hosts/com.kivo.signing.json",
  firefox: "/usr/lib/mozilla/native-messaging-hosts/com.kivo.signing.json",
};
const chromiumPath = process.env.KIVO_CHROMIUM || "/usr/bin/chromium";
const firefoxMissing = !fs.existsSync(firefoxPath) && `${firefoxPath} is not installed`;
const answerTimeout = 120_000;
const slow = { timeout: 900_000 };
const aptEnv = { DEBIAN_FRONTEND: "noninteractive" };

// dpkg's "<want> ok <state> <version>" for the package; "" or "... not-installed" when it is gone.
const installedVersion = () =>
  run("dpkg-query", ["-W", "-f=${Status} ${Version}", packageName]).stdout.trim();
const onMachine = () => !/^$|not-installed/.test(installedVersion());
const apt = (...args) => runOk("apt-get", ["-y", "-q", ...args], { env: aptEnv });

// `dpkg-deb -c`: {path: mode letters} for every entry, folders ending in "/".
function debEntries(file) {
  const entries = {};
  for (const line of runOk("dpkg-deb", ["-c", file]).stdout.trim().split("\n")) {
    const [mode, , , , , ...rest] = line.split(/\s+/);
    entries[rest.join(" ").replace(/^\./, "")] = mode;
  }
  return entries;
}
const filesOf = (entries) =>
  Object.entries(entries)
    .filter(([, mode]) => mode.startsWith("-"))
    .map(([name, mode]) => `${mode} ${name}`)
    .sort();

const whyNot =
  process.getuid() !== 0
    ? "the package test installs into the system and needs root"
    : !fs.existsSync(chromiumPath)
      ? `${chromiumPath} is not installed`
      : null;
if (whyNot) {
  loudBanner(`PACKAGE TEST SKIPPED: ${whyNot}`);
} else if (firefoxMissing) {
  loudBanner(`PACKAGE TEST OF FIREFOX SKIPPED: ${firefoxMissing}`);
}

describe("the Debian package", { skip: whyNot ?? false }, () => {
  const scratch = scratchFolder("package");
  let debContents;
  let existedBefore;

  before(() => {
    if (onMachine()) {
      throw new Error(`${packageName} is on this machine already (${installedVersion()}); purge it first`);
    }
    const args = ["--build-dir", packageBuild, "--chrome-origin", testOrigin, "--firefox-id", firefoxId];
    runOk(path.join(sourceDir, "scripts/package.sh"), args);
    debContents = debEntries(deb);
    // What is on the machine before the package, so that the purge check spares shared folders.
    existedBefore = new Set(Object.keys(debContents).filter((name) => fs.existsSync(name)));
  });

  // Runs even when a test failed half way: no package, no files of it, no scratch folder remain.
  after(() => {
    if (onMachine()) {
      run("apt-get", ["-y", "-q", "purge", packageName], { env: aptEnv });
    }
    scratch.remove();
  });

  test("the test extension has the id the package allows", () => {
    assert.equal(`chrome-extension://${testExtensionId()}/`, testOrigin);
  });

  test("carries its fields, its files and the manifests as conffiles", () => {
    const field = (name) => runOk("dpkg-deb", ["-f", deb, name]).stdout.trim();
    assert.equal(field("Package"), packageName);
    assert.equal(field("Version"), version);
    assert.equal(field("Architecture"), "amd64");
    assert.equal(field("Section"), "utils");
    assert.match(field("Maintainer"), /^.+ <.+@.+>$/);
    assert.match(field("Recommends"), /pinentry/);
    assert.equal(field("Suggests"), "opensc");
    // Computed by dpkg-shlibdeps from the libraries the host links.
    for (const library of ["libc6", "libssl3", "libxml2", "libp11-kit0", "libicu72", "libstdc++6"]) {
      assert.match(field("Depends"), new RegExp(`(^|, )${library.replaceAll("+", "\\+")} \\(>= `));
    }
    assert.match(field("Description"), /^\S.+\n .+/);

    const files = filesOf(debContents);
    for (const expected of [
      `-rwxr-xr-x ${installedHost}`,
      "-rwxr-xr-x /usr/share/kivo-signing/register-browsers.sh",
      "-rw-r--r-- /usr/share/kivo-signing/chromium-host-manifest.json.in",
      "-rw-r--r-- /usr/share/kivo-signing/firefox-host-manifest.json.in",
      "-rw-r--r-- /usr/share/kivo-signing/deployment.conf",
      "-rw-r--r-- /usr/share/doc/kivo-signing-host/copyright",
      "-rw-r--r-- /usr/share/doc/kivo-signing-host/changelog.gz",
      ...Object.values(systemManifests).map((file) => `-rw-r--r-- ${file}`),
    ]) {
      assert.ok(files.includes(expected), `${expected} is not in the package:\n${files.join("\n")}`);
    }
    const listed = runOk("dpkg-deb", ["-I", deb, "conffiles"]).stdout.trim().split("\n");
    assert.deepEqual(
      listed.sort(),
      Object.keys(debContents).filter((name) => name.startsWith("/etc/") && !name.endsWith("/")).sort(),
    );
  });

  test("lintian finds no error, and the README explains every warning", () => {
    const { status, stdout, stderr } = run("lintian", ["--pedantic", deb]);
    assert.equal(status, 0, stdout + stderr);
    const tags = [...stdout.matchAll(/^([EW]): \S+: (\S+)/gm)].map(([, level, tag]) => ({ level, tag }));
    assert.deepEqual(tags.filter(({ level }) => level === "E"), [], stdout + stderr);
    const readme = fs.readFileSync(path.join(sourceDir, "README.md"), "utf8");
    for (const { tag } of tags) {
      assert.ok(readme.includes(`\`${tag}\``), `lintian warns ${tag}, which the README does not explain`);
    }
  });

  test("the RPM holds the same files with the same modes", () => {
    const info = runOk("rpm", ["-qp", "--qf", "%{NAME} %{VERSION} %{ARCH}", rpm]).stdout;
    assert.equal(info, `${packageName} ${version} x86_64`);
    const rpmFiles = runOk("rpm", ["-qp", "--qf", "[%{FILEMODES:perms} %{FILENAMES}\\n]", rpm])
      .stdout.trim()
      .split("\n")
      .filter((line) => line.startsWith("-"))
      .sort();
    const debFiles = filesOf(debContents).filter((line) => !line.includes(" /usr/share/lintian/"));
    assert.deepEqual(rpmFiles, debFiles);
  });

  describe("installed with apt-get over an earlier version", () => {
    // A user with a demo token and a scripted pinentry, and no manifest of their own.
    const world = hostWorld(scratch.folder);
    let context;
    let worker;
    let firefox;

    // A version request and a sign request, each on its own sendNativeMessage (so a host start
    // each), answered by the installed host; the document's two signatures verify.
    async function versionAndSign(sendOnce, id) {
      const starts = world.hostStarts();
      const versionRequest = await sendOnce({ type: "version" });
      assert.equal(versionRequest.error, undefined);
      assert.equal(versionRequest.answer.result, "ok");
      assert.equal(versionRequest.answer.version, version);

      const asked = world.pinQuestions();
      const signed = await sendOnce({
        type: "sign",
        user_details: world.signer,
        xml_data: [{ id, data: base64(contractDocument("I agree.")) }],
      });
      assert.equal(signed.error, undefined);
      assert.equal(signed.answer.result, "ok", JSON.stringify(signed.answer));
      assert.equal(signed.answer.cert_serial, world.demo.KIVO_DEMO_SERIAL);
      assert.equal(world.pinQuestions(), asked + 1, "the host must ask through pinentry once per sign request");
      world.verifySignatures(fromBase64(signed.answer.signed_data[0].data), id);
      assert.equal(world.hostStarts(), starts + 2);
    }

    before(async () => {
      // The earlier version: this package relabelled 1.0.0.0, with one file the new one lacks.
      const unpacked = path.join(scratch.folder, "earlier");
      runOk("dpkg-deb", ["-R", deb, unpacked]);
      const control = path.join(unpacked, "DEBIAN/control");
      fs.writeFileSync(control, fs.readFileSync(control, "utf8").replace(/^Version: .*$/m, "Version: 1.0.0.0"));
      fs.writeFileSync(path.join(unpacked, "usr/share/kivo-signing/dropped-in-1.0.0.1"), "old\n");
      const earlier = path.join(scratch.folder, `${packageName}_1.0.0.0_amd64.deb`);
      runOk("dpkg-deb", ["--root-owner-group", "-b", unpacked, earlier]);
      apt("install", earlier);
      assert.match(installedVersion(), /install ok installed 1\.0\.0\.0$/);
      apt("install", deb);

      world.prepareUser();

      const require = createRequire(path.join(sourceDir, "tests/browser/package.json"));
      const { chromium } = require("playwright-core");
      context = await chromium.launchPersistentContext(path.join(world.home, ".config/chromium"), {
        executablePath: chromiumPath,
        headless: false, // --headless=new below, the headless mode that loads extensions
        args: [
          "--headless=new",
          "--no-sandbox",
          "--disable-gpu",
          "--no-first-run",
          "--disable-background-networking",
          "--disable-component-update",
          `--disable-extensions-except=${extensionDir}`,
          `--load-extension=${extensionDir}`,
        ],
        env: world.browserEnvironment(),
        timeout: answerTimeout,
      });
      worker = context.serviceWorkers()[0];
      worker ??= await context.waitForEvent("serviceworker", { timeout: answerTimeout });
    });

    after(async () => {
      await context?.close();
      await firefox?.close();
    });

    test("the upgrade replaced the earlier version and its files", () => {
      assert.match(installedVersion(), new RegExp(`install ok installed ${version.replaceAll(".", "\\.")}$`));
      assert.equal(fs.existsSync("/usr/share/kivo-signing/dropped-in-1.0.0.1"), false);
      const owned = runOk("dpkg", ["-L", packageName]).stdout.trim().split("\n");
      for (const file of filesOf(debContents).map((line) => line.split(" ")[1])) {
        assert.ok(owned.includes(file), `dpkg does not list ${file}`);
        assert.ok(fs.existsSync(file), `${file} is missing`);
      }
      fs.accessSync(installedHost, fs.constants.X_OK);
      for (const [browser, file] of Object.entries(systemManifests)) {
        const manifest = JSON.parse(fs.readFileSync(file, "utf8"));
        assert.equal(manifest.path, installedHost, file);
        const allowed = browser === "firefox" ? manifest.allowed_extensions : manifest.allowed_origins;
        assert.deepEqual(allowed, [browser === "firefox" ? firefoxId : testOrigin], file);
      }
    });

    test("Chromium starts the installed host through the system-wide manifest alone", slow, async () => {
      await versionAndSign((request) => worker.evaluate((r) => globalThis.sendOnce(r), request), "chromium");
      // No per-user manifest where Chromium looks (it makes the folder itself, empty): the
      // system-wide one did it.
      const userFolder = path.join(world.home, ".config/chromium/NativeMessagingHosts");
      assert.deepEqual(fs.existsSync(userFolder) ? fs.readdirSync(userFolder) : [], []);
    });

    const firefoxCase = { ...slow, skip: firefoxMissing };
    test("Firefox starts the installed host through the system-wide manifest alone", firefoxCase, async () => {
      firefox = await openFirefoxPage({
        profile: path.join(scratch.folder, "firefox-profile"),
        env: world.browserEnvironment(),
        timeout: answerTimeout,
      });
      await versionAndSign(relay(firefox.page, answerTimeout).sendOnce, "firefox");
      // Firefox's only per-user folder, below the HOME it runs with, holds no manifest.
      const userFolder = path.join(world.home, ".mozilla/native-messaging-hosts");
      assert.deepEqual(fs.existsSync(userFolder) ? fs.readdirSync(userFolder) : [], []);
    });

    test("remove keeps only the manifests below /etc, purge leaves nothing of the package", () => {
      apt("remove", packageName);
      assert.match(installedVersion(), /config-files/);
      const files = Object.keys(debContents).filter((name) => !name.endsWith("/"));
      assert.deepEqual(
        files.filter((name) => fs.existsSync(name)),
        files.filter((name) => name.startsWith("/etc/")),
      );
      assert.ok(fs.existsSync(systemManifests.chromium));

      apt("purge", packageName);
      assert.equal(onMachine(), false, installedVersion());
      const left = Object.keys(debContents).filter(
        (name) => !existedBefore.has(name) && fs.existsSync(name.replace(/\/$/, "")),
      );
      assert.deepEqual(left, []);
    });
  });
});
