// Installing the host and registering it with browsers: what `cmake --install` and
// register-browsers.sh write, checked as a browser would read it, and the wrapper a Flatpak
// browser starts.

import assert from "node:assert/strict";
import { spawnSync } from "node:child_process";
import fs from "node:fs";
import path from "node:path";
import { after, before, describe, test } from "node:test";

import { hostName, installInto, manifestsBelow, readJson, run, runOk, scratchFolder, sourceDir } from "./support.mjs";

const scratch = scratchFolder("packaging");
after(() => scratch.remove());
const buildDir = process.env.KIVO_BUILD_DIR;
const origins = process.env.KIVO_CHROME_ORIGINS.split(";");
const firefoxIds = process.env.KIVO_FIREFOX_IDS.split(";");
const prefix = path.join(scratch.folder, "prefix with space");
const installedHost = path.join(prefix, "lib/kivo-signing/kivo-signing-host");
const script = path.join(prefix, "share/kivo-signing/register-browsers.sh");
before(() => installInto(prefix));

let homes = 0;
// A user with no browser, Flatpak or Snap of the machine in view.
function newUser(extra = {}) {
  const home = path.join(scratch.folder, `home-${++homes}`);
  fs.mkdirSync(home, { recursive: true });
  const none = path.join(home, "none");
  const env = { HOME: home, XDG_CONFIG_HOME: "", FLATPAK_USER_DIR: "", FLATPAK_SYSTEM_DIR: none, KIVO_SNAP_DIR: none };
  Object.assign(env, extra);
  return { home, env, register: (...args) => runOk(script, args, { env }).stdout };
}

// What --list prints: per browser, how it is installed ("no", "yes", "snap", "flatpak ...") and
// where its manifests are or would be.
function listed(user, ...args) {
  const lines = user.register("--list", ...args).trim().split("\n").slice(1);
  return lines.map((line) => {
    const match = /^(\S+) .*? ((?:no|yes|snap|flatpak).*?) +(\/.*) \((present|would be written)\)$/.exec(line);
    assert.ok(match, line);
    const [, browser, installed, file, state] = match;
    return { browser, installed, file, state };
  });
}

// A manifest names the host and allows the configured extensions of its browser family, nothing else.
function checkManifest(file, host) {
  const { name, type, path: named, description, ...allowed } = readJson(file);
  const wanted = /mozilla|librewolf/.test(file) ? { allowed_extensions: firefoxIds } : { allowed_origins: origins };
  const expected = { name: hostName, type: "stdio", named: host, allowed: wanted };
  assert.deepEqual({ name, type, named, allowed }, expected, file);
  assert.equal(typeof description, "string");
}

describe("cmake --install", () => {
  // The system folders every browser reads, as register-browsers.sh knows them.
  let known;
  const systemFiles = () => (known ??= [...new Set(listed(newUser(), "--system").map(({ file }) => file))].sort());

  // KIVO_MANIFEST_LOCATIONS=system needs its own configuration; it installs the host already built.
  function configuredForSystem() {
    const dir = path.join(scratch.folder, "configured-system");
    runOk(process.env.KIVO_CMAKE, [
      ...["-S", sourceDir, "-B", dir, "-DKIVO_BUILD_TESTS=OFF", "-DKIVO_MANIFEST_LOCATIONS=system"],
      `-DKIVO_CHROME_EXTENSION_ORIGINS=${origins.join(";")}`,
      `-DKIVO_FIREFOX_EXTENSION_IDS=${firefoxIds.join(";")}`,
    ]);
    fs.copyFileSync(path.join(buildDir, "kivo-signing-host"), path.join(dir, "kivo-signing-host"));
    return dir;
  }

  // Where the manifests go, by prefix and setting: the system folders for the prefixes the README
  // names and when forced, otherwise below the prefix without the leading /usr.
  const cases = [
    { prefix: "/usr", inSystem: true },
    { prefix: "/usr/local", inSystem: true },
    { prefix: "/opt/kivo", inSystem: true },
    { prefix: "/srv/kivo", inSystem: false },
    { prefix: "/srv/kivo", inSystem: true, setting: "system", build: configuredForSystem },
  ];
  for (const { prefix: target, inSystem, setting = "auto", build = () => buildDir } of cases) {
    test(`with prefix ${target} and KIVO_MANIFEST_LOCATIONS=${setting}, DESTDIR honoured`, () => {
      const destdir = path.join(scratch.folder, `destdir-${target.replaceAll("/", "-")}-${setting}`);
      const printed = installInto(target, { DESTDIR: destdir }, build());
      const host = path.join(target, "lib/kivo-signing/kivo-signing-host");
      fs.accessSync(path.join(destdir, host), fs.constants.X_OK);
      const wanted = systemFiles().map((file) => (inSystem ? file : path.join(target, file.replace(/^\/usr\//, "/"))));
      assert.deepEqual(manifestsBelow(destdir), wanted.map((file) => path.join(destdir, file)).sort());
      for (const file of wanted) {
        checkManifest(path.join(destdir, file), host);
        assert.ok(printed.includes(file), printed);
      }
    });
  }

  test("into a prefix of its own, names the host there", () => {
    fs.accessSync(installedHost, fs.constants.X_OK);
    assert.equal(manifestsBelow(prefix).length, systemFiles().length);
    manifestsBelow(prefix).forEach((file) => checkManifest(file, installedHost));
    const recorded = fs.readFileSync(path.join(buildDir, "install_manifest.txt"), "utf8");
    assert.match(recorded, /native-messaging-hosts\/com\.kivo\.signing\.json/);
  });
});

describe("register-browsers.sh", () => {
  // The install's manifest for the system folder `file` (below the prefix, without /usr).
  const installed = (file) => fs.readFileSync(path.join(prefix, file.replace(/^\/usr\//, "/")), "utf8");

  test("--browser NAME writes where --list says, what the install wrote; --uninstall removes it", () => {
    const user = newUser({ XDG_CONFIG_HOME: path.join(scratch.folder, "xdg") });
    const destdir = path.join(scratch.folder, "register-destdir");
    const lists = { "--user": listed(user, "--user"), "--system": listed(user, "--system") };
    const system = Object.fromEntries(lists["--system"].map(({ browser, file }) => [browser, file]));
    const env = { ...user.env, DESTDIR: destdir };
    for (const [scope, rows] of Object.entries(lists)) {
      const where = (file) => (scope === "--system" ? path.join(destdir, file) : file);
      for (const { browser, file } of rows) {
        assert.ok(runOk(script, [scope, "--browser", browser], { env }).stdout.includes(`wrote ${where(file)}`));
        assert.equal(fs.readFileSync(where(file), "utf8"), installed(system[browser]), where(file));
        assert.equal(fs.statSync(where(file)).mode & 0o777, 0o644);
      }
      const every = rows.flatMap(({ browser }) => ["--browser", browser]);
      const removed = runOk(script, [scope, "--uninstall", ...every], { env }).stdout;
      for (const { file } of rows) {
        assert.ok(removed.includes(`removed ${where(file)}`), removed);
        assert.equal(fs.existsSync(where(file)), false);
      }
    }
    const chromium = lists["--user"].find(({ browser }) => browser === "chromium").file;
    assert.equal(chromium, path.join(scratch.folder, "xdg/chromium/NativeMessagingHosts", `${hostName}.json`));
  });

  test("the checkout's copy registers the host of the build it is pointed at", () => {
    const user = newUser();
    const args = ["--build-dir", buildDir, "--browser", "firefox"];
    runOk(path.join(sourceDir, "scripts/register-browsers.sh"), args, { env: user.env });
    checkManifest(manifestsBelow(user.home)[0], path.join(buildDir, "kivo-signing-host"));
  });

  test("options replace the settings, and a host path that needs escaping still gives valid JSON", () => {
    const user = newUser();
    const link = path.join(scratch.folder, 'odd "name" \\ here', "kivo-signing-host");
    fs.mkdirSync(path.dirname(link), { recursive: true });
    fs.symlinkSync(installedHost, link);
    const origin = "chrome-extension://abcdefghijklmnopabcdefghijklmnop/";
    user.register("--browser", "chromium", "--host", link, "--chrome-origin", origin);
    const manifest = readJson(manifestsBelow(user.home)[0]);
    assert.deepEqual([manifest.path, manifest.allowed_origins], [link, [origin]]);
  });

  const tabbed = path.join(scratch.folder, "tab\there", "kivo-signing-host");
  const refusals = [
    [["--chrome-origin", "https://example.com/"], /'https:\/\/example\.com\/' is not of the form chrome-extension:/],
    [["--firefox-id", "not an id"], /'not an id' is neither name@domain nor a \{GUID\}/],
    [["--host", "/nonexistent/host"], /the host \/nonexistent\/host does not exist or is not executable/],
    [["--browser", "opera"], /unknown browser 'opera'/],
    [["--flatpak", "org.example.Browser"], /unknown Flatpak 'org\.example\.Browser'/],
    // The check runs inside $(...): it must still stop the script.
    [["--host", tabbed], /holds a control character/],
  ];
  test("refuses bad settings and unknown names, and writes nothing", () => {
    fs.mkdirSync(path.dirname(tabbed));
    fs.symlinkSync(installedHost, tabbed);
    for (const [args, message] of refusals) {
      const user = newUser();
      const result = run(script, args, { env: user.env });
      assert.equal(result.status, 1, args.join(" "));
      assert.match(result.stderr, message);
      assert.deepEqual(fs.readdirSync(user.home), [], args.join(" "));
    }
  });

  test("by default covers installed browsers, Chrome, Chromium, Firefox and Flatpak browsers", () => {
    // Brave and LibreWolf on PATH, Firefox as a Snap and a user Flatpak, Brave as a system Flatpak.
    const user = newUser();
    const bin = path.join(user.home, "bin");
    fs.mkdirSync(bin);
    ["brave-browser", "librewolf"].forEach((program) => fs.writeFileSync(path.join(bin, program), "", { mode: 0o755 }));
    fs.mkdirSync(path.join(user.home, ".local/share/flatpak/app/org.mozilla.firefox"), { recursive: true });
    fs.mkdirSync(path.join(user.home, "flatpaks/app/com.brave.Browser"), { recursive: true });
    fs.mkdirSync(path.join(user.home, "snap/bin"), { recursive: true });
    fs.writeFileSync(path.join(user.home, "snap/bin/firefox"), "");
    const machine = { PATH: `${bin}:${process.env.PATH}`, FLATPAK_SYSTEM_DIR: path.join(user.home, "flatpaks") };
    Object.assign(user.env, machine, { KIVO_SNAP_DIR: path.join(user.home, "snap") });

    const seen = listed(user);
    // One line for the browser's own folder, one per Flatpak installation.
    const says = (name, text) => seen.filter((row) => row.browser === name).map((row) => row.installed.includes(text));
    assert.deepEqual(says("brave", "yes, flatpak com.brave.Browser (system)"), [true, true]);
    assert.deepEqual(says("firefox", "snap, flatpak org.mozilla.firefox (user)"), [true, true]);
    assert.deepEqual([says("librewolf", "yes"), says("edge", "no")], [[true], [true]]);
    const stdout = user.register();
    const always = ["chrome", "chromium", "firefox"];
    const written = seen.filter(({ browser, installed }) => installed !== "no" || always.includes(browser));
    const wanted = written.map(({ file }) => file);
    assert.deepEqual(manifestsBelow(user.home), [...wanted].sort());
    for (const { file, state } of listed(user)) {
      assert.equal(state, wanted.includes(file) ? "present" : "would be written", file);
    }
    const flatpakFirefox = readJson(wanted.find((file) => file.includes("/.var/app/org.mozilla.firefox/")));
    const wrapper = path.join(user.home, ".var/app/org.mozilla.firefox/data/kivo-signing", `${hostName}-flatpak`);
    assert.equal(flatpakFirefox.path, wrapper);
    fs.accessSync(flatpakFirefox.path, fs.constants.X_OK);
    // The Snap Firefox is told what the portal needs.
    assert.match(stdout, /Firefox is installed as a Snap/);
  });
});

// The wrapper a Flatpak browser starts, run through a stand-in flatpak-spawn that runs its
// arguments the way flatpak-spawn --host does on the real system. A real Flatpak browser cannot
// run here.
describe("the Flatpak wrapper", () => {
  const user = newUser();
  const spawnLog = path.join(user.home, "spawn-calls");
  const standIn = path.join(scratch.folder, "stand-in");
  fs.mkdirSync(standIn);
  fs.writeFileSync(
    path.join(standIn, "flatpak-spawn"),
    `#!/bin/sh\nprintf '%s\\n' "$*" >> '${spawnLog}'\n[ "$1" = --host ] || exit 99
while [ "$#" -gt 0 ]; do case "$1" in --*) shift ;; *) break ;; esac; done\nexec "$@"\n`,
    { mode: 0o755 },
  );
  const runBytes = (program, args, input) => {
    const env = { ...process.env, HOME: user.home, PATH: `${standIn}:${process.env.PATH}`, KIVO_VERBOSE_LOGGING: "" };
    const result = spawnSync(program, args, { input, env, timeout: 120_000 });
    assert.equal(result.error, undefined);
    return result;
  };
  const flatpakManifest = (id) => readJson(manifestsBelow(path.join(user.home, ".var/app", id))[0]);

  test("passes every byte and argument through, both ways", () => {
    // A stand-in host that echoes its input and records its arguments, in a folder whose name
    // needs quoting.
    const echoHost = path.join(scratch.folder, "it's an echo", "echo-host");
    fs.mkdirSync(path.dirname(echoHost));
    const echo = `#!/bin/sh\nprintf '%s\\0' "$@" > '${user.home}/arguments'\nexec cat\n`;
    fs.writeFileSync(echoHost, echo, { mode: 0o755 });
    user.register("--flatpak", "org.chromium.Chromium", "--host", echoHost);
    const everyByte = Buffer.from(Array.from({ length: 4096 }, (_, i) => (i * 7) % 256));
    const args = [origins[0], "--parent-window=0", "two words", "quote ' and \" both"];
    const result = runBytes(flatpakManifest("org.chromium.Chromium").path, args, everyByte);
    assert.equal(result.status, 0, result.stderr.toString());
    assert.ok(result.stdout.equals(everyByte), "the wrapper changed the bytes");
    assert.deepEqual(fs.readFileSync(path.join(user.home, "arguments"), "utf8").split("\0").slice(0, -1), args);
    assert.match(fs.readFileSync(spawnLog, "utf8"), /^--host --watch-bus /);
  });

  test("the installed host answers through the wrapper exactly as when started directly", () => {
    assert.match(user.register("--flatpak", "org.mozilla.firefox"), /wrote .*org\.mozilla\.firefox/);
    const manifest = flatpakManifest("org.mozilla.firefox");
    assert.deepEqual(manifest.allowed_extensions, firefoxIds);
    // Long enough that the length prefix has a byte above 0x7f, with text beyond ASCII.
    const input = Buffer.concat(
      [{ type: "version", padding: "ünïcödé ✓ ".repeat(20) }, { type: "frobnicate" }].map((message) => {
        const body = Buffer.from(JSON.stringify(message), "utf8");
        return Buffer.concat([Buffer.from(Uint32Array.of(body.length).buffer), body]);
      }),
    );
    const args = [path.join(path.dirname(manifest.path), `${hostName}.json`), firefoxIds[0]];
    const wrapped = runBytes(manifest.path, args, input);
    const direct = runBytes(installedHost, args, input);
    assert.equal(wrapped.status, direct.status);
    assert.ok(wrapped.stdout.equals(direct.stdout), "the answers differ");
    assert.match(wrapped.stdout.toString(), /"result":"ok".*Request type is unknown: frobnicate/s);
  });

  test("--flatpak writes that Flatpak alone (and Firefox's standard manifest, its proxy's route), and with --uninstall removes its manifest and wrapper", () => {
    const removed = user.register("--flatpak", "org.mozilla.firefox", "--uninstall");
    assert.equal(removed.match(/^removed /gm)?.length, 2, removed);
    assert.deepEqual(fs.readdirSync(path.join(user.home, ".var/app/org.mozilla.firefox/data/kivo-signing")), []);
    // Only the Flatpaks named were ever written, and only the one named was removed.
    assert.deepEqual(manifestsBelow(user.home), [
      path.join(user.home, ".mozilla/native-messaging-hosts", `${hostName}.json`),
      ...manifestsBelow(path.join(user.home, ".var/app/org.chromium.Chromium")),
    ]);
  });
});

test("make-demo-store.sh run again reuses the CA, the signer and the token", () => {
  const store = path.join(scratch.folder, "store");
  const make = () => runOk(path.join(sourceDir, "scripts/make-demo-store.sh"), [store]).stdout;
  make();
  const facts = fs.readFileSync(path.join(store, "demo.env"), "utf8");
  assert.match(make(), /reusing the demo CA(.|\n)*reusing the signer certificate(.|\n)*reusing the token's key/);
  assert.equal(fs.readFileSync(path.join(store, "demo.env"), "utf8"), facts);
});
