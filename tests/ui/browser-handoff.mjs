// The browser hand-off as a user has it: Debian's Chromium, headless, with a
// profile of its own and the extension loaded unpacked; the real
// native-messaging host; the real application on the test's X server. The
// extension's menu handler runs in its service worker (headless Chromium
// draws no menus), over the DevTools protocol on 127.0.0.1.
//   node browser-handoff.mjs APPLICATION HOST EXTENSION_DIRECTORY
import { spawn } from "node:child_process";
import fs from "node:fs";
import os from "node:os";
import path from "node:path";
import WebSocket from "ws";

const [application, host, extension] = process.argv.slice(2);
const extensionId = "ghacjndklefolpahmclkedojnaoomemk";
const home = fs.mkdtempSync(path.join(os.tmpdir(), "lark-browser-"));
const runtime = path.join(home, "runtime");
fs.mkdirSync(runtime, { mode: 0o700 });
const storage = path.join(home, ".local/share/Lark Downloader");
const profile = path.join(home, "profile");
fs.mkdirSync(path.join(profile, "NativeMessagingHosts"), { recursive: true });
// A user-level registration, as make install writes one, but in the test's profile.
fs.writeFileSync(
  path.join(profile, "NativeMessagingHosts/org.lark.downloader.json"),
  JSON.stringify({
    name: "org.lark.downloader",
    description: "Lark Downloader: links from the browser",
    path: host,
    type: "stdio",
    allowed_origins: [`chrome-extension://${extensionId}/`],
  }),
);
// The host lies beside the application it starts.
if (path.dirname(host) !== path.dirname(application)) throw new Error("the host is not beside the application");

// Chromium hands its environment to the host, and the host to Lark: no session bus, the test's home.
const environment = {
  ...process.env,
  HOME: home,
  XDG_DATA_HOME: path.join(home, ".local/share"),
  XDG_CONFIG_HOME: path.join(home, ".config"),
  XDG_RUNTIME_DIR: runtime,
  DBUS_SESSION_BUS_ADDRESS: `unix:path=${path.join(home, "no-bus")}`,
};

const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));
async function until(what, check, seconds = 120) {
  for (const end = Date.now() + seconds * 1000; Date.now() < end; await sleep(100)) {
    const value = await check();
    if (value) return value;
  }
  throw new Error(`timed out waiting for ${what}`);
}

const chromium = spawn(
  "chromium",
  [
    "--headless=new",
    "--no-sandbox",
    "--disable-gpu",
    "--no-first-run",
    "--no-default-browser-check",
    `--user-data-dir=${profile}`,
    `--load-extension=${extension}`,
    `--disable-extensions-except=${extension}`,
    "--disable-features=DisableLoadExtensionCommandLineSwitch",
    "--remote-debugging-address=127.0.0.1",
    "--remote-debugging-port=0",
    "about:blank",
  ],
  { env: environment, stdio: ["ignore", "ignore", "ignore"] },
);

let socket;
let finished = false;
// Whatever hangs, the test ends with a reason well before CTest's limit.
const watchdog = setTimeout(() => finish(1, "FAIL: no answer within 300 s"), 300000);
chromium.once("exit", (code, signal) => {
  if (!finished) finish(1, `FAIL: Chromium ended early (${signal || code})`);
});
function finish(code, message) {
  if (finished) return;
  finished = true;
  clearTimeout(watchdog);
  if (message) console.error(message);
  // Asked to end, Chromium takes its own helpers with it.
  chromium.kill("SIGTERM");
  const stubborn = setTimeout(() => chromium.kill("SIGKILL"), 5000);
  chromium.once("exit", () => clearTimeout(stubborn));
  if (socket) socket.terminate();
  try {
    const lark = Number(fs.readFileSync(path.join(storage, "instance.lock"), "utf8").split("\n")[0]);
    if (lark > 0) process.kill(lark, "SIGTERM");
  } catch {}
  const done = () => {
    fs.rmSync(home, { recursive: true, force: true });
    process.exit(code);
  };
  if (chromium.exitCode !== null || chromium.signalCode !== null) setTimeout(done, 1000);
  else chromium.once("exit", () => setTimeout(done, 1000));
}

try {
  const port = await until("Chromium's debugging port", () => {
    try {
      return fs.readFileSync(path.join(profile, "DevToolsActivePort"), "utf8").split("\n")[0];
    } catch {
      return null;
    }
  });
  const version = await (await fetch(`http://127.0.0.1:${port}/json/version`)).json();
  socket = new WebSocket(version.webSocketDebuggerUrl);
  await new Promise((resolve, reject) => {
    socket.once("open", resolve);
    socket.once("error", reject);
  });
  let next = 0;
  const waiting = new Map();
  socket.on("message", (data) => {
    const message = JSON.parse(data);
    if (message.id && waiting.has(message.id)) {
      waiting.get(message.id)(message);
      waiting.delete(message.id);
    }
  });
  const call = (method, params = {}, session = undefined, seconds = 120) =>
    new Promise((resolve, reject) => {
      const id = ++next;
      const late = setTimeout(() => {
        waiting.delete(id);
        reject(new Error(`${method} ${params.expression || ""}: no answer in ${seconds} s`));
      }, seconds * 1000);
      waiting.set(id, (message) => {
        clearTimeout(late);
        if (message.error) reject(new Error(JSON.stringify(message.error)));
        else resolve(message.result);
      });
      socket.send(JSON.stringify({ id, method, params, sessionId: session }));
    });

  // The worker that answers: on a first start Chromium may replace the one
  // first seen, and what was sent to that one is never answered.
  let sessionId;
  const sessions = new Map();
  const evaluate = async (expression, seconds = 120) => {
    const { result, exceptionDetails } = await call(
      "Runtime.evaluate",
      { expression, awaitPromise: true, returnByValue: true },
      sessionId,
      seconds,
    );
    if (exceptionDetails) throw new Error(`${expression}: ${JSON.stringify(exceptionDetails)}`);
    return result.value;
  };
  // The menu item is there, on links, pages, videos and sound.
  const probe = `new Promise((done) => chrome.contextMenus.update("download-with-lark", {}, () => done(!chrome.runtime.lastError)))`;
  await until("the extension's service worker and its menu item", async () => {
    const { targetInfos } = await call("Target.getTargets");
    const worker = targetInfos.find((t) => t.type === "service_worker" && t.url.startsWith(`chrome-extension://${extensionId}/`));
    if (!worker) return false;
    if (!sessions.has(worker.targetId)) {
      const { sessionId: attached } = await call("Target.attachToTarget", { targetId: worker.targetId, flatten: true });
      sessions.set(worker.targetId, attached);
      // A worker may wait for its debugger before it runs on.
      await call("Runtime.runIfWaitingForDebugger", {}, attached, 5).catch(() => {});
    }
    sessionId = sessions.get(worker.targetId);
    try {
      return await evaluate(probe, 5);
    } catch (error) {
      console.error("probe:", error.message);
      return false;
    }
  });
  const click = (info) => evaluate(`downloadWithLark(${JSON.stringify({ menuItemId: "download-with-lark", ...info })}, {url: "https://example.com/page"})`);
  const history = () => {
    try {
      return fs.readFileSync(path.join(storage, "queue.json"), "utf8");
    } catch {
      return "";
    }
  };
  const expect = (what, actual, expected) => {
    if (JSON.stringify(actual) !== JSON.stringify(expected))
      throw new Error(`${what}: got ${JSON.stringify(actual)}, expected ${JSON.stringify(expected)}`);
  };

  // Lark is not running: the host starts it with the link, and a row appears.
  expect("the first link", await click({ linkUrl: "https://example.com/from-a-link", pageUrl: "https://example.com/page" }), {
    ok: true,
    started: true,
  });
  await until("the first row", () => history().includes("https://example.com/from-a-link"));
  // Lark runs: the page of a video is handed to it.
  expect("the page", await click({ mediaType: "video", srcUrl: "blob:https://example.com/x", pageUrl: "https://example.com/a-video" }), { ok: true });
  await until("the second row", () => history().includes("https://example.com/a-video"));
  // What is not a link is refused in one sentence, and adds nothing.
  const refused = await click({ pageUrl: "chrome://settings/" });
  if (!refused.error || /\n/.test(refused.error)) throw new Error(`not refused: ${JSON.stringify(refused)}`);
  console.log("the extension's links reached Lark");
  finish(0);
} catch (error) {
  finish(1, `FAIL: ${error.message}`);
}
