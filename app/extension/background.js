// "Download with Lark" in the menu of links, videos and pages. The link goes
// to Lark through its native-messaging host, which hands it to the running
// application or starts it; nothing listens on the network.
const api = globalThis.browser ?? globalThis.chrome;
const host = "org.lark.downloader";
const menuId = "download-with-lark";

function createMenu() {
  api.contextMenus.removeAll(() => {
    api.contextMenus.create({
      id: menuId,
      title: "Download with Lark",
      contexts: ["link", "page", "video", "audio"],
    });
  });
}

api.runtime.onInstalled.addListener(createMenu);
api.runtime.onStartup.addListener(createMenu);

// A video's own address is often a blob or a stream piece: the page is what yt-dlp reads.
function linkOf(info, tab) {
  return info.linkUrl || info.pageUrl || (tab && tab.url) || "";
}

// Answers with the host's reply: {ok: true} or {error: "one sentence"}.
function sendToLark(url) {
  return new Promise((resolve) => {
    api.runtime.sendNativeMessage(host, { url }, (reply) => {
      const failure = api.runtime.lastError;
      resolve(reply || { error: failure ? failure.message : "Lark did not answer." });
    });
  });
}

// What a click on the menu item runs; answers with the host's reply.
function downloadWithLark(info, tab) {
  if (info.menuItemId !== menuId) return Promise.resolve(null);
  return sendToLark(linkOf(info, tab)).then((reply) => {
    if (reply.error) console.warn("Lark:", reply.error);
    return reply;
  });
}

api.contextMenus.onClicked.addListener(downloadWithLark);
globalThis.downloadWithLark = downloadWithLark;
