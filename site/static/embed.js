// Adds the chat to any page with one tag:
//   <script src="https://chat.example.com/webchat/static/embed.js" data-unit="Sales" data-lang="en" async></script>
// A launcher button opens a panel holding the chat pages in an iframe; the
// chat keeps running while the panel is closed. Optional attributes:
// data-module (the module's file name, default quorvix.so), data-label (the
// button's text), data-title (the panel's name for screen readers).
(function () {
  "use strict";
  var script = document.currentScript;
  if (!script || document.getElementById("quorvix-chat-launcher")) return;
  var base = script.src.replace(/static\/embed\.js(\?.*)?$/, "");
  var lang = script.getAttribute("data-lang") || document.documentElement.lang || "en";
  var german = /^de/i.test(lang);
  var label = script.getAttribute("data-label") || (german ? "Chat mit uns" : "Chat with us");
  var title = script.getAttribute("data-title") || "Chat";
  var page = base + (script.getAttribute("data-module") || "quorvix.so") +
    "?varUserRequest=REQ_WEBCHAT_MAIN&varUserLanguage=" + encodeURIComponent(german ? "de" : "en") +
    "&varBusinessUnitName=" + encodeURIComponent(script.getAttribute("data-unit") || "");

  var style = document.createElement("style");
  style.textContent =
    "#quorvix-chat-launcher{position:fixed;right:1rem;bottom:1rem;z-index:2147483000;font:600 1rem system-ui,sans-serif;" +
    "padding:.8rem 1.2rem;border:0;border-radius:2rem;background:#1f5fbf;color:#fff;cursor:pointer;box-shadow:0 2px 8px rgba(0,0,0,.3)}" +
    "#quorvix-chat-launcher:focus-visible{outline:3px solid #1d2733;outline-offset:3px}" +
    "#quorvix-chat-panel{position:fixed;right:1rem;bottom:4.6rem;z-index:2147483000;width:min(26rem,calc(100vw - 2rem));" +
    "height:min(40rem,calc(100vh - 6rem));border:1px solid #6b7785;border-radius:.75rem;overflow:hidden;background:#fff;" +
    "box-shadow:0 4px 20px rgba(0,0,0,.3)}#quorvix-chat-panel[hidden]{display:none}" +
    "#quorvix-chat-panel iframe{width:100%;height:100%;border:0}";
  document.head.appendChild(style);

  var button = document.createElement("button");
  button.type = "button";
  button.id = "quorvix-chat-launcher";
  button.textContent = label;
  button.setAttribute("aria-expanded", "false");
  button.setAttribute("aria-controls", "quorvix-chat-panel");
  var panel = document.createElement("div");
  panel.id = "quorvix-chat-panel";
  panel.hidden = true;

  button.addEventListener("click", function () {
    var open = panel.hidden;
    if (open && !panel.firstChild) {
      var frame = document.createElement("iframe");
      frame.src = page;
      frame.title = title;
      frame.allow = "autoplay";
      panel.appendChild(frame);
    }
    panel.hidden = !open;
    button.setAttribute("aria-expanded", String(open));
    if (open) panel.firstChild.focus();
  });
  document.addEventListener("keydown", function (event) {
    if (event.key === "Escape" && !panel.hidden) {
      panel.hidden = true;
      button.setAttribute("aria-expanded", "false");
      button.focus();
    }
  });
  document.body.appendChild(panel);
  document.body.appendChild(button);
})();
