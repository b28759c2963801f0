// Adds the chat to any page with one tag:
//   <script src="https://chat.example.com/webchat/static/embed.js" data-unit="Sales" data-lang="en" async></script>
// A launcher button opens a panel holding the chat pages in an iframe; the
// chat keeps running while the panel is closed, and a reply that arrives
// meanwhile shows as a count on the launcher. The launcher closes an open
// panel, as do the panel's own close button and Escape; on a phone the panel
// takes the whole screen. Optional attributes: data-module (the module's
// file name, default quorvix.so), data-label (the button's text), data-title
// (the panel's name for screen readers).
(function () {
  "use strict";
  var script = document.currentScript;
  if (!script || document.getElementById("quorvix-chat-launcher")) return;
  var base = script.src.replace(/static\/embed\.js(\?.*)?$/, "");
  var origin = new URL(base, location.href).origin;
  var lang = script.getAttribute("data-lang") || document.documentElement.lang || "en";
  var german = /^de/i.test(lang);
  var label = script.getAttribute("data-label") || (german ? "Chat mit uns" : "Chat with us");
  var closeLabel = german ? "Chat schließen" : "Close chat";
  var unreadLabel = german ? " ({n} neue Nachrichten)" : " ({n} new messages)";
  var title = script.getAttribute("data-title") || "Chat";
  var page = base + (script.getAttribute("data-module") || "quorvix.so") +
    "?varUserRequest=REQ_WEBCHAT_MAIN&varUserLanguage=" + encodeURIComponent(german ? "de" : "en") +
    "&varBusinessUnitName=" + encodeURIComponent(script.getAttribute("data-unit") || "");

  var style = document.createElement("style");
  style.textContent =
    "#quorvix-chat-launcher{position:fixed;right:1rem;bottom:1rem;z-index:2147483000;font:600 1rem system-ui,sans-serif;" +
    "min-width:3rem;min-height:3rem;padding:.8rem 1.2rem;border:0;border-radius:2rem;background:#1f5fbf;color:#fff;cursor:pointer;" +
    "box-shadow:0 2px 8px rgba(0,0,0,.3)}" +
    "#quorvix-chat-launcher:focus-visible,#quorvix-chat-panel button:focus-visible{outline:3px solid #1d2733;outline-offset:3px}" +
    "#quorvix-chat-launcher .quorvix-badge{display:inline-block;min-width:1.4rem;margin-left:.5rem;padding:0 .35rem;" +
    "border-radius:1rem;background:#a40000;color:#fff;font-size:.85rem;line-height:1.4rem;text-align:center}" +
    "#quorvix-chat-panel{position:fixed;right:1rem;bottom:4.6rem;z-index:2147483000;width:min(26rem,calc(100vw - 2rem));" +
    "height:min(40rem,calc(100vh - 6rem));border:1px solid #6b7785;border-radius:.75rem;overflow:hidden;background:#fff;" +
    "box-shadow:0 4px 20px rgba(0,0,0,.3);display:flex;flex-direction:column}#quorvix-chat-panel[hidden]{display:none}" +
    "#quorvix-chat-panel .quorvix-bar{flex:none;display:flex;justify-content:flex-end;background:#1f5fbf}" +
    "#quorvix-chat-panel .quorvix-bar button{font:600 1.3rem/1 system-ui,sans-serif;width:2.75rem;height:2.75rem;border:0;" +
    "background:transparent;color:#fff;cursor:pointer}" +
    "#quorvix-chat-panel iframe{flex:1 1 auto;min-height:0;width:100%;border:0}" +
    // A phone: the whole screen, the launcher hidden behind it.
    "@media (max-width:30rem),(max-height:30rem){#quorvix-chat-panel{inset:0;right:0;bottom:0;width:100%;height:100%;" +
    "height:100dvh;border:0;border-radius:0}#quorvix-chat-launcher[aria-expanded=true]{display:none}}";
  document.head.appendChild(style);

  var button = document.createElement("button");
  button.type = "button";
  button.id = "quorvix-chat-launcher";
  button.setAttribute("aria-expanded", "false");
  button.setAttribute("aria-controls", "quorvix-chat-panel");
  var panel = document.createElement("div");
  panel.id = "quorvix-chat-panel";
  panel.setAttribute("role", "dialog");
  panel.setAttribute("aria-label", title);
  panel.hidden = true;
  var bar = document.createElement("div");
  bar.className = "quorvix-bar";
  var close = document.createElement("button");
  close.type = "button";
  close.textContent = "×";
  close.setAttribute("aria-label", closeLabel);
  bar.appendChild(close);
  panel.appendChild(bar);
  var frame = null;
  var unread = 0;

  // Closed: the label and what arrived meanwhile; open: a close mark.
  function showLauncher() {
    var open = !panel.hidden;
    button.textContent = open ? "×" : label;
    button.setAttribute("aria-expanded", String(open));
    if (open) {
      button.setAttribute("aria-label", closeLabel);
    } else if (unread > 0) {
      var badge = document.createElement("span");
      badge.className = "quorvix-badge";
      badge.textContent = String(unread);
      badge.setAttribute("aria-hidden", "true");
      button.appendChild(badge);
      button.setAttribute("aria-label", label + unreadLabel.replace("{n}", String(unread)));
    } else {
      button.removeAttribute("aria-label");
    }
  }

  function openPanel() {
    if (!frame) {
      frame = document.createElement("iframe");
      frame.src = page;
      frame.title = title;
      frame.allow = "autoplay";
      panel.appendChild(frame);
    }
    panel.hidden = false;
    unread = 0;
    showLauncher();
    frame.focus();
  }

  function closePanel() {
    if (panel.hidden) return;
    panel.hidden = true;
    showLauncher();
    button.focus();
  }

  button.addEventListener("click", function () {
    if (panel.hidden) openPanel(); else closePanel();
  });
  close.addEventListener("click", closePanel);
  document.addEventListener("keydown", function (event) {
    if (event.key === "Escape") closePanel();
  });
  // The chat pages in the frame: Escape pressed there, replies that came.
  window.addEventListener("message", function (event) {
    var data = event.data;
    if (!frame || event.source !== frame.contentWindow || event.origin !== origin) return;
    if (!data || data.quorvix !== "chat") return;
    if (data.close) closePanel();
    if (data.unread > 0 && panel.hidden) {
      unread += data.unread;
      showLauncher();
    }
  });
  showLauncher();
  document.body.appendChild(panel);
  document.body.appendChild(button);
})();
