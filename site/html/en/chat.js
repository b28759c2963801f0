// The chat page's script, one for every language (the texts come from the
// page; it lives in the en folder). It polls for what is new, posts what the visitor
// types and reacts to the codes the answers carry. Everything the agent or the
// visitor wrote is shown as text, never as markup.
(function () {
  "use strict";
  var body = document.body;
  var servlet = body.getAttribute("data-servlet");
  var session = body.getAttribute("data-session");
  var language = body.getAttribute("data-lang");
  var text = JSON.parse(document.getElementById("chat-strings").textContent);
  var transcript = document.getElementById("transcript");
  var typingLine = document.getElementById("typing");
  var statusLine = document.getElementById("status");
  var input = document.getElementById("message");
  var callMe = document.getElementById("callme");
  var index = "0";
  var agentKey = "";
  var polling = true;
  var failures = 0;
  var lastTypingNotice = 0;
  var TRANSIENT = { "1002": true, "1003": true, "1011": true };

  function url(request, values) {
    var query = "varUserRequest=" + request + "&varSessionID=" + encodeURIComponent(session) +
      "&varUserLanguage=" + encodeURIComponent(language);
    for (var name in values) query += "&" + name + "=" + encodeURIComponent(values[name]);
    return servlet + "?" + query;
  }

  // &lt; and friends as characters, without ever parsing markup.
  function decodeEntities(value) {
    return value.replace(/&(#x[0-9a-fA-F]+|#[0-9]+|lt|gt|amp|quot|apos);/g, function (all, name) {
      if (name === "lt") return "<";
      if (name === "gt") return ">";
      if (name === "amp") return "&";
      if (name === "quot") return "\"";
      if (name === "apos") return "'";
      var code = name.charAt(1) === "x" ? parseInt(name.slice(2), 16) : parseInt(name.slice(1), 10);
      return String.fromCodePoint(code);
    });
  }

  // Lines of a chat text: "<BR>" separates them; nothing else is markup.
  function addLines(chat, kind) {
    chat.split("<BR>").forEach(function (line) {
      if (line === "") return;
      var item = document.createElement("li");
      item.className = kind || (/^System: /.test(line) ? "system" : "line");
      item.textContent = decodeEntities(line);
      transcript.appendChild(item);
    });
    transcript.scrollTop = transcript.scrollHeight;
  }

  function say(message, kind) { addLines(message.replace(/</g, "&lt;"), kind || "system"); }

  // "QXCHAT kind" documents: name=value lines; the chat text comes last.
  function parse(reply) {
    if (reply.indexOf("QXCHAT ") !== 0) {
      var code = /id="error-code">([^<]*)</.exec(reply);
      return { kind: "error", fields: { error: code ? code[1] : "?" } };
    }
    var lines = reply.split("\n");
    var result = { kind: lines[0].slice(7).trim(), fields: {} };
    for (var i = 1; i < lines.length; i++) {
      var at = lines[i].indexOf("=");
      if (at < 0) continue;
      var name = lines[i].slice(0, at);
      if (name === "chat") {
        var rest = lines.slice(i).join("\n").slice(at + 1).replace(/\s+$/, "");
        result.fields.chat = rest.slice(1, -1).replace(/\\(["\\])/g, "$1");
        break;
      }
      result.fields[name] = lines[i].slice(at + 1);
    }
    return result;
  }

  function setStatus(message) { statusLine.textContent = message; }

  function stop(message) {
    polling = false;
    typingLine.textContent = "";
    input.disabled = true;
    document.getElementById("send").disabled = true;
    say(message);
  }

  function nextPoll() {
    if (!polling) return;
    var delay = failures === 0 ? 1000 : Math.min(8000, 1000 * Math.pow(2, failures));
    setTimeout(poll, delay);
  }

  function poll() {
    fetch(url("REQ_DELTA_CHAT", { varIndexKey: index }), { cache: "no-store" })
      .then(function (response) { return response.text(); })
      .then(function (reply) {
        var answer = parse(reply);
        var f = answer.fields;
        if (answer.kind === "dispatch" && !f.error) {
          failures = 0;
          setStatus("");
          if (f.chat && f.chat !== "<WCCHATDATA>") addLines(f.chat);
          if (f.index) index = decodeEntities(f.index);
          typingLine.textContent = decodeEntities(f.typing || "");
          if (f.agent && !agentKey) {
            agentKey = decodeEntities(f.agent);
            callMe.hidden = false;
          }
        } else if (answer.kind === "disconnect") {
          stop(f.message || text.agentLeft);
          return;
        } else if (answer.kind === "transfer") {
          failures = 0;
          say(text.transferred + " " + decodeEntities(f.target || ""));
        } else if (TRANSIENT[f.error]) {
          failures++;
          setStatus(text.reconnecting);
        } else {
          stop(text.ended + " (" + f.error + ")");
          return;
        }
        nextPoll();
      })
      .catch(function () {
        failures++;
        setStatus(text.reconnecting);
        nextPoll();
      });
  }

  function post(request, values) {
    var form = "varUserRequest=" + request + "&varSessionID=" + encodeURIComponent(session) +
      "&varUserLanguage=" + encodeURIComponent(language);
    for (var name in values) form += "&" + name + "=" + encodeURIComponent(values[name]);
    return fetch(servlet, {
      method: "POST",
      headers: { "Content-Type": "application/x-www-form-urlencoded" },
      body: form
    });
  }

  function send(line) {
    // Sent exactly once; a line that did not arrive can be sent again by hand.
    post("REQ_ADD_TO_CHAT", { varChatData: line, varIndexKey: index })
      .then(function (response) { return response.text(); })
      .then(function (reply) {
        var answer = parse(reply);
        if (answer.kind !== "control" || answer.fields.error) notDelivered(line, answer.fields.error);
      })
      .catch(function () { notDelivered(line, ""); });
  }

  function notDelivered(line, code) {
    var item = document.createElement("li");
    item.className = "failed";
    item.textContent = text.notDelivered + (code ? " (" + code + ")" : "") + ": " + line.split("<BR>").join(" ") + " ";
    var retry = document.createElement("button");
    retry.type = "button";
    retry.textContent = text.retry;
    retry.addEventListener("click", function () { item.remove(); send(line); });
    item.appendChild(retry);
    transcript.appendChild(item);
  }

  document.getElementById("compose").addEventListener("submit", function (event) {
    event.preventDefault();
    var line = input.value.replace(/\s+$/, "");
    if (line === "" || input.disabled) return;
    input.value = "";
    send(line.replace(/\r?\n/g, "<BR>"));
  });

  input.addEventListener("keydown", function (event) {
    if (event.key === "Enter" && !event.shiftKey && !event.isComposing) {
      event.preventDefault();
      document.getElementById("compose").requestSubmit();
    }
  });

  input.addEventListener("input", function () {
    var now = Date.now();
    if (now - lastTypingNotice < 3000 || input.value === "") return;
    lastTypingNotice = now;
    post("REQ_NOTIFY_TYPING_CHAT", { varIsTypingData: "1", varIndexKey: index }).catch(function () {});
  });

  document.getElementById("callme-form").addEventListener("submit", function (event) {
    event.preventDefault();
    var number = document.getElementById("phone").value;
    fetch(url("REQ_CALLME", { varAgentKey: agentKey, varPhoneNumber: number }), { cache: "no-store" })
      .then(function (response) { return response.text(); })
      .then(function (page) {
        var parsed = new DOMParser().parseFromString(page, "text/html");
        var result = parsed.querySelector("#callme-confirm") || parsed.querySelector("main") || parsed.body;
        document.getElementById("callme-result").textContent = result ? result.textContent.trim() : "";
      })
      .catch(function () { document.getElementById("callme-result").textContent = text.notDelivered; });
  });

  document.getElementById("hangup").addEventListener("click", function () {
    polling = false;
    window.location.href = url("REQ_HANG_UP", {});
  });

  input.focus();
  poll();
})();
