// Installing the host and registering it with browsers: what `cmake --install` and
// register-browsers.sh write, checked as a browser would read it.

import assert from "node:assert/strict";
import fs from "node:fs";
import path from "node:path";
import { after, before, describe, test } from "node:test";

import {
  browserFolders,
  buildDir,
  configuredFirefoxIds,
  configuredOrigins,
  firefoxFamily,
  hostName,
  installInto,
  prefixManifestPaths,
  readJson,
  run,
  runOk,
  scratchFolder,
  sourceDir,
  userManifestPaths,
} from "./support.mjs";

const scratch = scratchFolder("packaging");
after(() => scratch.remove());

const prefix = path.join(scratch.folder, "prefix with space");
const installedHost = path.join(prefix, "lib/kivo-signing/kivo-signing-host");
const installedScript = path.join(prefix, "share/kivo-signing/register-browsers.sh");
const checkoutScript = path.join(sourceDir, "scripts/register-browsers.sh");
const otherOrigin = "chrome-extension://abcdefghijklmnopabcdefghijklmnop/";

const systemFolders = [...new Set(Object.values(browserFolders).map((folders) => folders.system))];
const familyOfFolder = (folder) => (/mozilla|librewolf/.test(folder) ? "firefox" : "chrome");

function checkManifest(file, hostPath, browser) {
  const manifest = readJson(file);
  assert.equal(manifest.name, hostName);
  assert.equal(manifest.type, "stdio");
  assert.equal(manifest.path, hostPath);
  assert.equal(typeof manifest.description, "string");
  if (firefoxFamily.has(browser)) {
    assert.deepEqual(manifest.allowed_extensions, configuredFirefoxIds);
    assert.equal(manifest.allowed_origins, undefined);
  } else {
    assert.deepEqual(manifest.allowed_origins, configuredOrigins);
    assert.equal(manifest.allowed_extensions, undefined);
  }
}

function newHome(name) {
  const home = path.join(scratch.folder, name);
  fs.mkdirSync(home, { recursive: true });
  return home;
}

function userEnv(home) {
  return { HOME: home, XDG_CONFIG_HOME: "" };
}

describe("cmake --install", () => {
  before(() => installInto(prefix));

  test("puts an executable host below the prefix", () => {
    fs.accessSync(installedHost, fs.constants.X_OK);
    assert.ok(fs.statSync(installedHost).isFile());
  });

  test("writes one manifest per system folder, naming the installed host", () => {
    for (const [folder, file] of Object.entries(prefixManifestPaths(prefix))) {
      checkManifest(file, installedHost, familyOfFolder(folder));
    }
  });

  test("with DESTDIR and prefix /usr, writes to the system folders and names the final path", () => {
    const destdir = path.join(scratch.folder, "destdir");
    const printed = installInto("/usr", { DESTDIR: destdir });
    const finalHost = "/usr/lib/kivo-signing/kivo-signing-host";
    fs.accessSync(path.join(destdir, finalHost), fs.constants.X_OK);
    // Every system folder of every browser, and nothing else below the folders' roots.
    for (const folder of systemFolders) {
      const file = path.join(destdir, folder, `${hostName}.json`);
      checkManifest(file, finalHost, familyOfFolder(folder));
      assert.ok(printed.includes(`${folder}/${hostName}.json`), printed);
    }
    const written = printed.split("\n").filter((line) => line.includes(`${hostName}.json`));
    assert.equal(written.length, systemFolders.length, printed);
    const recorded = fs.readFileSync(path.join(buildDir, "install_manifest.txt"), "utf8");
    assert.match(recorded, /\/etc\/chromium\/native-messaging-hosts\/com\.kivo\.signing\.json/);
  });
});

describe("register-browsers.sh", () => {
  before(() => installInto(prefix));

  test("the installed copy writes for the user exactly what the install wrote", () => {
    const home = newHome("home-same");
    const { stdout } = runOk(installedScript, ["--user"], { env: userEnv(home) });
    const installed = prefixManifestPaths(prefix);
    for (const [browser, file] of Object.entries(userManifestPaths(home))) {
      const installedFile = installed[browserFolders[browser].system];
      assert.equal(fs.readFileSync(file, "utf8"), fs.readFileSync(installedFile, "utf8"));
      assert.ok(stdout.includes(`wrote ${file}`), stdout);
      assert.equal(fs.statSync(file).mode & 0o777, 0o644);
    }
  });

  test("--uninstall removes what it wrote and says so; a second run finds nothing", () => {
    const home = newHome("home-uninstall");
    runOk(installedScript, ["--user"], { env: userEnv(home) });
    const first = runOk(installedScript, ["--user", "--uninstall"], { env: userEnv(home) }).stdout;
    const second = runOk(installedScript, ["--uninstall"], { env: userEnv(home) }).stdout;
    for (const file of Object.values(userManifestPaths(home))) {
      assert.equal(fs.existsSync(file), false);
      assert.ok(first.includes(`removed ${file}`), first);
      assert.ok(second.includes(`nothing to remove at ${file}`), second);
    }
  });

  test("options replace the settings and --browser limits what is written", () => {
    const home = newHome("home-options");
    runOk(installedScript, ["--browser", "chromium", "--chrome-origin", otherOrigin], {
      env: userEnv(home),
    });
    const files = userManifestPaths(home);
    assert.deepEqual(readJson(files.chromium).allowed_origins, [otherOrigin]);
    assert.equal(fs.existsSync(files.chrome), false);
    assert.equal(fs.existsSync(files.firefox), false);
  });

  test("follows XDG_CONFIG_HOME for Chrome and Chromium", () => {
    const home = newHome("home-xdg");
    const config = path.join(home, "elsewhere");
    runOk(installedScript, ["--browser", "chrome", "--browser", "chromium"], {
      env: { HOME: home, XDG_CONFIG_HOME: config },
    });
    checkManifest(path.join(config, "chromium/NativeMessagingHosts", `${hostName}.json`), installedHost, "chromium");
    checkManifest(path.join(config, "google-chrome/NativeMessagingHosts", `${hostName}.json`), installedHost, "chrome");
  });

  test("--system writes to the system folders below DESTDIR", () => {
    const destdir = path.join(scratch.folder, "system-destdir");
    runOk(installedScript, ["--system"], { env: { DESTDIR: destdir } });
    checkManifest(
      path.join(destdir, "usr/lib/mozilla/native-messaging-hosts", `${hostName}.json`),
      installedHost,
      "firefox",
    );
    checkManifest(
      path.join(destdir, "etc/opt/chrome/native-messaging-hosts", `${hostName}.json`),
      installedHost,
      "chrome",
    );
  });

  test("the checkout's copy registers the host of the build it is pointed at", () => {
    const home = newHome("home-checkout");
    runOk(checkoutScript, ["--build-dir", buildDir, "--browser", "firefox"], { env: userEnv(home) });
    const built = path.join(buildDir, "kivo-signing-host");
    checkManifest(userManifestPaths(home).firefox, built, "firefox");
  });

  test("a host path that needs escaping still gives valid JSON", () => {
    const home = newHome("home-escape");
    const odd = path.join(scratch.folder, 'odd "name" \\ here');
    fs.mkdirSync(odd, { recursive: true });
    const link = path.join(odd, "kivo-signing-host");
    fs.symlinkSync(installedHost, link);
    runOk(installedScript, ["--browser", "chromium", "--host", link], { env: userEnv(home) });
    assert.equal(readJson(userManifestPaths(home).chromium).path, link);
  });

  const refusals = [
    {
      name: "an origin that is not an extension origin",
      args: ["--chrome-origin", "https://example.com/"],
      message: /'https:\/\/example\.com\/' is not of the form chrome-extension:\/\/<32 letters a-p>\//,
    },
    {
      name: "an extension id with letters outside a-p",
      args: ["--chrome-origin", "chrome-extension://zzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzz/"],
      message: /is not of the form chrome-extension/,
    },
    {
      name: "a Firefox id that is neither name@domain nor a GUID",
      args: ["--firefox-id", "not an id"],
      message: /'not an id' is neither name@domain nor a \{GUID\}/,
    },
    {
      name: "a host that does not exist",
      args: ["--host", "/nonexistent/kivo-signing-host"],
      message: /the host \/nonexistent\/kivo-signing-host does not exist or is not executable/,
    },
    { name: "an unknown browser", args: ["--browser", "opera"], message: /unknown browser 'opera'/ },
  ];
  for (const { name, args, message } of refusals) {
    test(`refuses ${name} and writes nothing`, () => {
      const home = newHome(`home-refused-${name.replaceAll(" ", "-")}`);
      const result = run(installedScript, args, { env: userEnv(home) });
      assert.equal(result.status, 1);
      assert.match(result.stderr, message);
      for (const file of Object.values(userManifestPaths(home))) {
        assert.equal(fs.existsSync(file), false, `${file} was written`);
      }
    });
  }
});

describe("make-demo-store.sh", () => {
  test("a second run reuses the CA, the signer and the token", () => {
    const store = path.join(scratch.folder, "store");
    const script = path.join(sourceDir, "scripts/make-demo-store.sh");
    runOk(script, [store]);
    const facts = fs.readFileSync(path.join(store, "demo.env"), "utf8");
    const again = runOk(script, [store]).stdout;
    assert.match(again, /reusing the demo CA/);
    assert.match(again, /reusing the signer certificate/);
    assert.match(again, /reusing the token's key and certificate/);
    assert.equal(fs.readFileSync(path.join(store, "demo.env"), "utf8"), facts);
  });
});
