// Logging in to the browser host: what the printed address and the session cookie allow.
import { test } from "node:test";
import assert from "node:assert/strict";
import { mkdtempSync, rmSync, writeFileSync, readFileSync, statSync, existsSync, chmodSync } from "node:fs";
import { tmpdir } from "node:os";
import { join } from "node:path";
import { startShell, eventually, sessionCookie } from "./shell.mjs";

async function withShell(args, env, body) {
  const container = mkdtempSync(join(tmpdir(), "musicshell-login-"));
  const shell = await startShell(["--container", container, ...args], env);
  try {
    await body(shell, container);
  } finally {
    await shell.stop();
    rmSync(container, { recursive: true, force: true });
  }
}

test("an address logs in once, onto a path of the server's own", async () => {
  await withShell([], {}, async (shell) => {
    const token = new URL(shell.address).searchParams.get("token");
    const login = await shell.request(`//evil.example/?token=${token}`);
    assert.equal(login.status, 302);
    assert.equal(login.headers.location, `${shell.origin}//evil.example/`);
    // Browsers keep cookies by host, not port: named by port, two shells keep their pages apart.
    assert.equal(sessionCookie(login).split("=")[0], `musicshell-${shell.port}`);
    assert.match(login.headers["set-cookie"][0], /; Path=\/; HttpOnly; SameSite=Strict$/);
    assert.equal((await shell.request(`/?token=${token}`)).status, 403, "the address again");
    const again = await shell.request(`/?token=${token}`, { Cookie: sessionCookie(login) });
    assert.equal(again.status, 302, "a logged-in browser is sent on");
    assert.equal(again.headers.location, `${shell.origin}/`);
  });
});

test("--open hands the browser a private page, and nothing waits for the browser", async () => {
  const folder = mkdtempSync(join(tmpdir(), "musicshell-launcher-"));
  // Stands in for the browser: notes its arguments, then stays until the test lets it go.
  const launcher = `#!/bin/sh\nprintf '%s\\n' "$@" > "${folder}/arguments"\n` +
    `while [ -d "${folder}" ] && [ ! -e "${folder}/release" ]; do sleep 0.05; done\n`;
  for (const name of ["chromium", "xdg-open"]) {
    writeFileSync(join(folder, name), launcher);
    chmodSync(join(folder, name), 0o755);
  }
  try {
    await withShell(["--open"], { PATH: `${folder}:${process.env.PATH}` }, async (shell) => {
      const argumentsFile = join(folder, "arguments");
      await eventually(() => existsSync(argumentsFile), "the browser to start");
      const answer = await shell.hostRequest({ id: "while-opening", host: "audioSession" }, 5000);
      assert.equal(answer.ok, true);

      const given = readFileSync(argumentsFile, "utf8").trim().split("\n");
      assert.ok(!given.some((argument) => argument.includes("token")), given.join(" "));
      assert.equal(given[1], "--disable-features=HardwareMediaKeyHandling,MediaSessionService");
      const page = decodeURIComponent(new URL(given[0].replace(/^--app=/, "")).pathname);
      assert.equal(statSync(page).mode & 0o777, 0o600);
      const address = readFileSync(page, "utf8").match(/url=([^"]+)"/)[1];
      assert.equal((await shell.request(new URL(address).pathname + new URL(address).search)).status, 302);
      assert.notEqual(address, shell.address, "the page's address is not the printed one");
    });
  } finally {
    writeFileSync(join(folder, "release"), "");
    rmSync(folder, { recursive: true, force: true });
  }
});
