// Shared pieces of the browser tests: where the build is, running programs, installing the host
// into a scratch prefix, and reading manifests.

import { spawnSync } from "node:child_process";
import { createHash } from "node:crypto";
import fs from "node:fs";
import os from "node:os";
import path from "node:path";

function required(name) {
  const value = process.env[name];
  if (!value) {
    throw new Error(`${name} is not set: run these tests through ctest`);
  }
  return value;
}

export const buildDir = required("KIVO_BUILD_DIR");
export const sourceDir = required("KIVO_SOURCE_DIR");
export const cmake = process.env.KIVO_CMAKE ?? "cmake";
export const hostName = "com.kivo.signing";
export const extensionDir = path.join(sourceDir, "tests/browser/extension");
export const configuredOrigins = required("KIVO_CHROME_ORIGINS").split(";");
export const configuredFirefoxIds = required("KIVO_FIREFOX_IDS").split(";");

// Runs a program without a shell; returns {status, stdout, stderr}.
export function run(program, args, { env = {}, input } = {}) {
  const result = spawnSync(program, args, {
    env: { ...process.env, ...env },
    input,
    encoding: "utf8",
    timeout: 300_000,
  });
  if (result.error) {
    throw result.error;
  }
  return { status: result.status, stdout: result.stdout, stderr: result.stderr };
}

// Like run, but a non-zero exit fails with the program's own output.
export function runOk(program, args, options) {
  const result = run(program, args, options);
  if (result.status !== 0) {
    throw new Error(
      `${program} ${args.join(" ")} exited ${result.status}\n${result.stdout}\n${result.stderr}`,
    );
  }
  return result;
}

// A scratch folder for one test file, removed by the returned function.
export function scratchFolder(prefix) {
  const parent = process.env.KIVO_TEST_TMP ?? os.tmpdir();
  fs.mkdirSync(parent, { recursive: true });
  const folder = fs.mkdtempSync(path.join(parent, `${prefix}-`));
  return { folder, remove: () => fs.rmSync(folder, { recursive: true, force: true }) };
}

// `cmake --install` of this build into `prefix`; returns what cmake printed.
export function installInto(prefix, env = {}) {
  return runOk(cmake, ["--install", buildDir, "--prefix", prefix], { env }).stdout;
}

export function readJson(file) {
  return JSON.parse(fs.readFileSync(file, "utf8"));
}

// Each browser's native-messaging folders: `user` below HOME (with XDG_CONFIG_HOME unset) and
// `system`. The README's table says the same.
export const browserFolders = {
  chrome: { user: ".config/google-chrome/NativeMessagingHosts", system: "/etc/opt/chrome/native-messaging-hosts" },
  "chrome-beta": { user: ".config/google-chrome-beta/NativeMessagingHosts", system: "/etc/opt/chrome/native-messaging-hosts" },
  "chrome-unstable": { user: ".config/google-chrome-unstable/NativeMessagingHosts", system: "/etc/opt/chrome/native-messaging-hosts" },
  chromium: { user: ".config/chromium/NativeMessagingHosts", system: "/etc/chromium/native-messaging-hosts" },
  edge: { user: ".config/microsoft-edge/NativeMessagingHosts", system: "/etc/opt/edge/native-messaging-hosts" },
  "edge-beta": { user: ".config/microsoft-edge-beta/NativeMessagingHosts", system: "/etc/opt/edge/native-messaging-hosts" },
  "edge-dev": { user: ".config/microsoft-edge-dev/NativeMessagingHosts", system: "/etc/opt/edge/native-messaging-hosts" },
  brave: { user: ".config/BraveSoftware/Brave-Browser/NativeMessagingHosts", system: "/etc/opt/chrome/native-messaging-hosts" },
  vivaldi: { user: ".config/vivaldi/NativeMessagingHosts", system: "/etc/opt/chrome/native-messaging-hosts" },
  firefox: { user: ".mozilla/native-messaging-hosts", system: "/usr/lib/mozilla/native-messaging-hosts" },
  librewolf: { user: ".librewolf/native-messaging-hosts", system: "/usr/lib/librewolf/native-messaging-hosts" },
};
export const firefoxFamily = new Set(["firefox", "librewolf"]);

// Where a prefix install ("prefix" manifest locations) puts the manifests, by system folder.
export function prefixManifestPaths(prefix) {
  const paths = {};
  for (const { system } of Object.values(browserFolders)) {
    paths[system] = path.join(prefix, system.replace(/^\/usr\//, "/"), `${hostName}.json`);
  }
  return paths;
}

// Where register-browsers.sh --user puts each browser's manifest for `home`.
export function userManifestPaths(home, browsers = ["chrome", "chromium", "firefox"]) {
  return Object.fromEntries(
    browsers.map((browser) => [browser, path.join(home, browserFolders[browser].user, `${hostName}.json`)]),
  );
}

// The id Chromium gives an extension: the first 128 bits of the SHA-256 of its public key, each
// hex digit written as a letter from a to p.
export function extensionIdOf(manifestKeyBase64) {
  const digest = createHash("sha256").update(Buffer.from(manifestKeyBase64, "base64")).digest("hex");
  return [...digest.slice(0, 32)]
    .map((digit) => String.fromCharCode("a".charCodeAt(0) + parseInt(digit, 16)))
    .join("");
}

export function testExtensionId() {
  return extensionIdOf(readJson(path.join(extensionDir, "manifest.json")).key);
}

// Reads the `export NAME='value'` lines of make-demo-store.sh's demo.env.
export function readDemoEnv(storeDir) {
  const facts = {};
  for (const line of fs.readFileSync(path.join(storeDir, "demo.env"), "utf8").split("\n")) {
    const match = /^export ([A-Z0-9_]+)='(.*)'$/.exec(line);
    if (match) {
      facts[match[1]] = match[2];
    }
  }
  return facts;
}
