// Installing the host and registering it with browsers: what `cmake --install` and
// register-browsers.sh write, checked as a browser would read it.

import assert from "node:assert/strict";
import { spawnSync } from "node:child_process";
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
    {
      name: "an unknown Flatpak",
      args: ["--flatpak", "org.example.Browser"],
      message: /unknown Flatpak 'org\.example\.Browser'/,
    },
    {
      // The check runs inside $(...): it must still stop the script.
      name: "a host path holding a tab",
      args: () => {
        const tabbed = path.join(scratch.folder, "tab\there", "kivo-signing-host");
        fs.mkdirSync(path.dirname(tabbed), { recursive: true });
        fs.rmSync(tabbed, { force: true });
        fs.symlinkSync(installedHost, tabbed);
        return ["--host", tabbed];
      },
      message: /holds a control character/,
    },
  ];
  for (const { name, args, message } of refusals) {
    test(`refuses ${name} and writes nothing`, () => {
      const home = newHome(`home-refused-${name.replaceAll(" ", "-")}`);
      const result = run(installedScript, typeof args === "function" ? args() : args, { env: userEnv(home) });
      assert.equal(result.status, 1);
      assert.match(result.stderr, message);
      for (const file of Object.values(userManifestPaths(home, Object.keys(browserFolders)))) {
        assert.equal(fs.existsSync(file), false, `${file} was written`);
      }
    });
  }
});

describe("register-browsers.sh for every browser", () => {
  before(() => installInto(prefix));
  const browsers = Object.keys(browserFolders);

  test("--browser NAME writes each browser's user and system folder", () => {
    const home = newHome("home-every");
    const destdir = path.join(scratch.folder, "every-destdir");
    for (const browser of browsers) {
      runOk(installedScript, ["--browser", browser], { env: userEnv(home) });
      checkManifest(userManifestPaths(home, [browser])[browser], installedHost, browser);
      runOk(installedScript, ["--system", "--browser", browser], { env: { DESTDIR: destdir } });
      checkManifest(path.join(destdir, browserFolders[browser].system, `${hostName}.json`), installedHost, browser);
    }
  });

  test("the README's table names the same folders", () => {
    const readme = fs.readFileSync(path.join(sourceDir, "README.md"), "utf8");
    for (const [browser, { user, system }] of Object.entries(browserFolders)) {
      const row = readme.split("\n").find((line) => line.includes(`(\`${browser}\`) |`));
      assert.ok(row, `no README row for ${browser}`);
      const cells = row.split("|").map((cell) => cell.trim());
      assert.equal(cells[2], `\`~/${user}/\``, row);
      assert.equal(cells[3], `\`${system}/\``, row);
    }
  });

  test("browsers that share Chrome's system folder get one manifest there", () => {
    const destdir = path.join(scratch.folder, "shared-destdir");
    const { stdout } = runOk(installedScript, ["--system", "--browser", "chrome", "--browser", "brave", "--browser", "vivaldi"], {
      env: { DESTDIR: destdir },
    });
    const file = path.join(destdir, "etc/opt/chrome/native-messaging-hosts", `${hostName}.json`);
    assert.equal(stdout.split(`wrote ${file}`).length - 1, 1, stdout);
    assert.match(stdout, /serves brave too/);
    assert.match(stdout, /serves vivaldi too/);
  });

  // A machine with Brave and LibreWolf on PATH, Firefox and Brave as Flatpaks (one per-user, one
  // system-wide) and Firefox as a Snap.
  function fakeMachine(name) {
    const home = newHome(name);
    const bin = path.join(home, "bin");
    fs.mkdirSync(bin, { recursive: true });
    for (const program of ["brave-browser", "librewolf", "flatpak"]) {
      const file = path.join(bin, program);
      // The stand-in flatpak records how it was called.
      fs.writeFileSync(file, `#!/bin/sh\necho "$0 $*" >> "${path.join(home, "calls")}"\n`, { mode: 0o755 });
    }
    const systemFlatpaks = path.join(home, "system-flatpak");
    fs.mkdirSync(path.join(home, ".local/share/flatpak/app/org.mozilla.firefox"), { recursive: true });
    fs.mkdirSync(path.join(systemFlatpaks, "app/com.brave.Browser"), { recursive: true });
    const snaps = path.join(home, "snap");
    fs.mkdirSync(path.join(snaps, "bin"), { recursive: true });
    fs.writeFileSync(path.join(snaps, "bin/firefox"), "");
    const env = {
      ...userEnv(home),
      PATH: `${bin}:/usr/bin:/bin`,
      FLATPAK_USER_DIR: "",
      FLATPAK_SYSTEM_DIR: systemFlatpaks,
      KIVO_SNAP_DIR: snaps,
    };
    return { home, env, calls: () => fs.readFileSync(path.join(home, "calls"), "utf8") };
  }

  test("the default covers installed browsers, Chrome, Chromium, Firefox and Flatpak browsers", () => {
    const machine = fakeMachine("home-default");
    const { stdout } = runOk(installedScript, [], { env: machine.env });
    const wanted = ["chrome", "chromium", "firefox", "brave", "librewolf"];
    for (const [browser, file] of Object.entries(userManifestPaths(machine.home, browsers))) {
      assert.equal(fs.existsSync(file), wanted.includes(browser), `${browser}: ${file}\n${stdout}`);
    }
    for (const [id, folder] of [
      ["org.mozilla.firefox", ".mozilla/native-messaging-hosts"],
      ["com.brave.Browser", "config/BraveSoftware/Brave-Browser/NativeMessagingHosts"],
    ]) {
      const manifest = readJson(path.join(machine.home, ".var/app", id, folder, `${hostName}.json`));
      assert.equal(manifest.path, path.join(machine.home, ".var/app", id, "data/kivo-signing", `${hostName}-flatpak`));
      assert.ok(stdout.includes(`run: flatpak override --user --talk-name=org.freedesktop.Flatpak ${id}`), stdout);
    }
    // The Snap Firefox is told what the portal needs.
    assert.match(stdout, /Firefox is installed as a Snap.*\n.*WebExtensions portal/);
    assert.equal(fs.existsSync(path.join(machine.home, "calls")), false, "flatpak ran without --yes");
  });

  test("--list tells each browser's installation and manifest", () => {
    const machine = fakeMachine("home-list");
    runOk(installedScript, ["--browser", "brave"], { env: machine.env });
    const lines = runOk(installedScript, ["--list"], { env: machine.env }).stdout.split("\n");
    const line = (browser, text) => lines.find((l) => l.startsWith(`${browser} `) && l.includes(text));
    const brave = userManifestPaths(machine.home, ["brave"]).brave;
    assert.ok(line("brave", `yes, flatpak com.brave.Browser (system)`), lines.join("\n"));
    assert.ok(line("brave", `${brave} (present)`), lines.join("\n"));
    assert.ok(line("firefox", "snap, flatpak org.mozilla.firefox (user)"), lines.join("\n"));
    assert.ok(line("firefox", ".var/app/org.mozilla.firefox/.mozilla/native-messaging-hosts"), lines.join("\n"));
    assert.ok(line("edge-dev", "no "), lines.join("\n"));
    assert.ok(line("edge-dev", "(would be written)"), lines.join("\n"));
    assert.equal(lines.filter((l) => /^[a-z]/.test(l)).length, browsers.length + 2 /* and the two Flatpaks */);
  });

  test("--flatpak with --yes runs the override and --uninstall removes manifest and wrapper", () => {
    const machine = fakeMachine("home-yes");
    const args = ["--flatpak", "org.mozilla.firefox"];
    const { stdout } = runOk(installedScript, [...args, "--yes"], { env: machine.env });
    assert.match(stdout, /running: flatpak override --user --talk-name=org\.freedesktop\.Flatpak org\.mozilla\.firefox/);
    assert.match(machine.calls(), /\/flatpak override --user --talk-name=org\.freedesktop\.Flatpak org\.mozilla\.firefox\n$/);
    // Only the named Flatpak: no manifest for the native browsers.
    assert.equal(fs.existsSync(userManifestPaths(machine.home).chrome), false);
    const removed = runOk(installedScript, [...args, "--uninstall"], { env: machine.env }).stdout;
    assert.equal(removed.match(/^removed /gm)?.length, 2, removed);
    assert.equal(fs.existsSync(path.join(machine.home, ".var/app/org.mozilla.firefox/data/kivo-signing")), true);
    assert.deepEqual(fs.readdirSync(path.join(machine.home, ".var/app/org.mozilla.firefox/data/kivo-signing")), []);
  });
});

// The wrapper a Flatpak browser starts, run through a stand-in flatpak-spawn that runs its
// arguments the way flatpak-spawn --host does on the real system. A real Flatpak browser cannot
// run here.
describe("the Flatpak wrapper", () => {
  before(() => installInto(prefix));
  const home = newHome("home-flatpak");
  const standIn = path.join(home, "stand-in");
  const spawnLog = path.join(home, "spawn-calls");
  const origin = configuredOrigins[0];

  before(() => {
    fs.mkdirSync(standIn, { recursive: true });
    fs.writeFileSync(
      path.join(standIn, "flatpak-spawn"),
      [
        "#!/bin/sh",
        `printf '%s\\n' "$*" >> '${spawnLog}'`,
        '[ "$1" = --host ] || { echo "stand-in flatpak-spawn: only --host is supported" >&2; exit 99; }',
        'while [ "$#" -gt 0 ]; do case "$1" in --*) shift ;; *) break ;; esac; done',
        'exec "$@"',
        "",
      ].join("\n"),
      { mode: 0o755 },
    );
  });

  const frame = (message) => {
    const body = Buffer.from(JSON.stringify(message), "utf8");
    const length = Buffer.alloc(4);
    length.writeUInt32LE(body.length);
    return Buffer.concat([length, body]);
  };
  const frames = (bytes) => {
    const messages = [];
    for (let at = 0; at < bytes.length; ) {
      const length = bytes.readUInt32LE(at);
      messages.push(JSON.parse(bytes.subarray(at + 4, at + 4 + length).toString("utf8")));
      at += 4 + length;
    }
    return messages;
  };
  const runBytes = (program, args, input) => {
    const result = spawnSync(program, args, {
      input,
      env: { ...process.env, HOME: home, PATH: `${standIn}:${process.env.PATH}`, KIVO_VERBOSE_LOGGING: "" },
      timeout: 120_000,
    });
    assert.equal(result.error, undefined);
    return result;
  };

  test("passes every byte and argument through, both ways", () => {
    // A stand-in host that echoes its input and records its arguments, in a folder whose name
    // needs quoting.
    const echoHost = path.join(scratch.folder, "it's an echo", "echo-host");
    fs.mkdirSync(path.dirname(echoHost), { recursive: true });
    fs.writeFileSync(echoHost, `#!/bin/sh\nprintf '%s\\0' "$@" > '${home}/echo-arguments'\nexec cat\n`, { mode: 0o755 });
    runOk(installedScript, ["--flatpak", "org.chromium.Chromium", "--host", echoHost], { env: userEnv(home) });
    const manifest = readJson(path.join(home, ".var/app/org.chromium.Chromium/config/chromium/NativeMessagingHosts", `${hostName}.json`));
    const everyByte = Buffer.from(Array.from({ length: 4096 }, (_, i) => (i * 7) % 256));
    const args = [origin, "--parent-window=0", "two words", "quote ' and \" both"];
    const result = runBytes(manifest.path, args, everyByte);
    assert.equal(result.status, 0, result.stderr.toString());
    assert.ok(result.stdout.equals(everyByte), "the wrapper changed the bytes");
    assert.deepEqual(fs.readFileSync(path.join(home, "echo-arguments"), "utf8").split("\0").slice(0, -1), args);
    assert.match(fs.readFileSync(spawnLog, "utf8"), /^--host --watch-bus /);
  });

  test("the installed host answers through the wrapper exactly as when started directly", () => {
    runOk(installedScript, ["--flatpak", "org.mozilla.firefox"], { env: userEnv(home) });
    const manifest = readJson(path.join(home, ".var/app/org.mozilla.firefox/.mozilla/native-messaging-hosts", `${hostName}.json`));
    assert.deepEqual(manifest.allowed_extensions, configuredFirefoxIds);
    // Long enough that the length prefix has a byte above 0x7f, with text beyond ASCII.
    const input = Buffer.concat([
      frame({ type: "version", padding: "ünïcödé ✓ ".repeat(20) }),
      frame({ type: "frobnicate" }),
    ]);
    const args = [path.join(path.dirname(manifest.path), `${hostName}.json`), configuredFirefoxIds[0]];
    const wrapped = runBytes(manifest.path, args, input);
    const direct = runBytes(installedHost, args, input);
    assert.equal(wrapped.status, direct.status);
    assert.ok(wrapped.stdout.equals(direct.stdout), "the answers differ");
    const answers = frames(wrapped.stdout);
    assert.equal(answers.length, 2);
    assert.equal(answers[0].result, "ok");
    assert.equal(answers[1].error_message, "Request type is unknown: frobnicate");
  });
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
