// The chat page's script, one for every language (the texts come from the
// page). It polls for what is new, posts what the visitor types and reacts to
// the codes the answers carry. Everything the agent or the visitor wrote is
// shown as text, never as markup.
//
// Nothing is lost and nothing doubled: the visitor's lines go out one at a
// time, in order. A line whose answer was lost is not sent again blindly: the
// transcript of the next poll that started after the loss decides whether it
// arrived, and one that did not goes out again by itself. Only a line the
// back end refused waits for the visitor's "Send again". The chat (session, index, lines shown, lines not yet delivered) is
// kept in this tab's sessionStorage, so that a reload resumes it. The texts
// themselves (answers, entities, finding own lines) are chat-text.js's.
(function () {
  "use strict";
  var STORE = "quorvix.chat";
  var SLOW_MS = 2000;
  var AUTO_RESENDS = 5;      // then the visitor decides
  var ROOM_SHOWN = 400;      // characters left from which the box says how many
  var TRANSIENT = { "1002": true, "1003": true, "1011": true };
  var body = document.body;
  var servlet = body.getAttribute("data-servlet");
  var language = body.getAttribute("data-lang");
  var text = JSON.parse(document.getElementById("chat-strings").textContent);
  var transcript = document.getElementById("transcript");
  var typingLine = document.getElementById("typing");
  var statusLine = document.getElementById("status");
  var waiting = document.getElementById("waiting");
  var newMessages = document.getElementById("new-messages");
  var input = document.getElementById("message");
  var sendButton = document.getElementById("send");
  var compose = document.getElementById("compose");
  var callMe = document.getElementById("callme");
  // Times in the visitor's zone, written as the visitor's browser writes
  // them when it speaks the page's language.
  var locale = (navigator.languages || []).filter(function (l) { return l.split("-")[0] === language; })[0] || language;
  var T = window.QuorvixChatText;
  var decodeEntities = T.decodeEntities;
  var clock = new Intl.DateTimeFormat(locale || undefined, { hour: "2-digit", minute: "2-digit" });

  // The start page, for the team the visitor came for.
  function startPage() {
    var unit = (load("quorvix.visitor") || {}).unit;
    return servlet + "?varUserRequest=REQ_WEBCHAT_MAIN&varUserLanguage=" + encodeURIComponent(language) +
      (unit ? "&varBusinessUnitName=" + encodeURIComponent(unit) : "");
  }

  // The page that embeds this one in a panel (embed.js) hears of new
  // replies and of Escape; a page of its own has no one to tell.
  function tellEmbedder(message) {
    if (window.parent === window) return;
    message.quorvix = "chat";
    try { window.parent.postMessage(message, "*"); } catch (e) { /* not embedded after all */ }
  }

  function load(key) {
    try { return JSON.parse(sessionStorage.getItem(key) || "null"); } catch (e) { return null; }
  }
  function store(key, value) {
    // The bubbles of the outbox stay out: they are made again on resume.
    var json = JSON.stringify(value, function (name, v) { return name === "element" ? undefined : v; });
    try { sessionStorage.setItem(key, json); } catch (e) { /* private mode: no resume */ }
  }

  // The chat of this tab. A page just made by the chat start carries a new
  // session; the page opened again (reload, back, the start form once more)
  // carries none and takes the one kept.
  var given = body.getAttribute("data-session") || "";
  var kept = load(STORE);
  var chat;
  if (given && given.indexOf("<WC") !== 0 && !(kept && kept.session === given)) {
    var visitor = load("quorvix.visitor") || {};
    chat = { session: given, lang: language, name: visitor.name || "", index: "0", lines: [], outbox: [],
      nextId: 1, agentKey: "", agentSeen: false, ended: "" };
    // The question of the start form opens the conversation, as on the summary.
    if (visitor.question) chat.lines.push({ kind: "visitor", text: visitor.question, time: Date.now() });
  } else if (kept) {
    chat = kept;
  } else {
    window.location.replace(startPage());
    return;
  }
  // What a reload asks for from now on: this page, without a new chat.
  history.replaceState(null, "", servlet + "?varUserRequest=REQ_STAT_PAGE&varPageName=ChatFrame.htm&varUserLanguage=" +
    encodeURIComponent(chat.lang || language));
  function save() { store(STORE, chat); }

  var polling = !chat.ended;
  var pollsStarted = 0;      // a poll numbered above an item's decideAfter saw its fate
  var failures = 0;
  var reconnecting = false;
  var posting = false;
  var slowPolls = 0;
  var slowPosts = 0;
  var unseen = 0;
  var baseTitle = document.title;
  var lastTypingNotice = 0;
  var sound = false;

  function url(request, values) {
    var query = "varUserRequest=" + request + "&varSessionID=" + encodeURIComponent(chat.session) +
      "&varUserLanguage=" + encodeURIComponent(language);
    for (var name in values) query += "&" + name + "=" + encodeURIComponent(values[name]);
    return servlet + "?" + query;
  }

  // ---- what the visitor sees ----

  function nearBottom() { return transcript.scrollHeight - transcript.scrollTop - transcript.clientHeight < 40; }

  function follow(wasNear, count) {
    if (wasNear) {
      transcript.scrollTop = transcript.scrollHeight;
      newMessages.hidden = true;
    } else if (count > 0) {
      newMessages.hidden = false;
    }
  }

  function bubble(kind, lineText, time) {
    var item = document.createElement("li");
    item.className = kind;
    var words = document.createElement("p");
    words.className = "text";
    words.textContent = lineText;
    var meta = document.createElement("span");
    meta.className = "meta";
    if (time) {
      var stamp = document.createElement("time");
      stamp.dateTime = new Date(time).toISOString();
      stamp.textContent = clock.format(new Date(time));
      meta.appendChild(stamp);
    }
    item.appendChild(words);
    item.appendChild(meta);
    return item;
  }

  function firstPending() { return transcript.querySelector("li.pending, li.failed"); }

  // Transcript lines go before the lines still on their way.
  function showLine(line) {
    var item = bubble(line.kind, line.text, line.time);
    transcript.insertBefore(item, firstPending());
    if (line.kind === "agent") {
      chat.agentSeen = true;
      waiting.hidden = true;
    }
  }

  function showOutboxItem(entry) {
    var item = entry.element;
    if (!item) {
      item = bubble("visitor pending", entry.line.split("<BR>").join("\n"), entry.time);
      entry.element = item;
      transcript.appendChild(item);
    }
    var meta = item.querySelector(".meta");
    var note = meta.querySelector(".note") || meta.appendChild(document.createElement("span"));
    note.className = "note";
    var old = item.querySelector("button");
    if (old) old.remove();
    if (entry.state === "failed") {
      item.className = "visitor failed";
      note.textContent = " · " + text.notDelivered + (entry.code ? " (" + entry.code + ")" : "");
      var retry = document.createElement("button");
      retry.type = "button";
      retry.className = "secondary";
      retry.textContent = text.retry;
      retry.disabled = !!chat.ended;
      retry.addEventListener("click", function () {
        entry.state = "queued";
        entry.code = "";
        entry.resends = 0;
        item.remove();
        entry.element = null;
        chat.outbox.splice(chat.outbox.indexOf(entry), 1);
        chat.outbox.push(entry);
        showOutboxItem(entry);
        save();
        pump();
      });
      item.appendChild(retry);
    } else {
      item.className = "visitor pending";
      note.textContent = " · " + (entry.state === "sent" ? text.sent : text.sending);
    }
  }

  // The module says "<agent> typing..."; the visitor reads it in the page's language.
  function typingText(wire) {
    var suffix = " typing...";
    if (wire.length > suffix.length && wire.slice(-suffix.length) === suffix) {
      return text.typing.replace("{name}", wire.slice(0, -suffix.length));
    }
    return wire;
  }

  function setStatus(message) {
    statusLine.textContent = message;
    statusLine.hidden = message === "";
  }

  function updateConnection() {
    setStatus(reconnecting || slowPolls > 0 || slowPosts > 0 ? text.reconnecting : "");
  }

  function notice(count) {
    if (!document.hidden || count === 0) return;
    unseen += count;
    document.title = "(" + unseen + ") " + text.newTitle + " – " + baseTitle;
    if (sound) beep();
  }

  function beep() {
    try {
      var Context = window.AudioContext || window.webkitAudioContext;
      var audio = beep.context || (beep.context = new Context());
      var tone = audio.createOscillator();
      var gain = audio.createGain();
      tone.frequency.value = 880;
      gain.gain.value = 0.08;
      tone.connect(gain);
      gain.connect(audio.destination);
      tone.start();
      tone.stop(audio.currentTime + 0.15);
    } catch (e) { /* no sound: the title still tells */ }
  }

  document.addEventListener("visibilitychange", function () {
    if (!document.hidden) {
      unseen = 0;
      document.title = baseTitle;
    }
  });

  // ---- the conversation ----

  // A successful poll, numbered seq: its lines shown in order, the visitor's
  // own lines taken out of the outbox, lines it proves lost marked so.
  function takeChat(chatText, seq) {
    var wasNear = nearBottom();
    var shown = 0;
    var now = Date.now();
    var segments = chatText === "" ? [] : chatText.split("<BR>");
    var onTheirWay = chat.outbox.filter(function (entry) {
      return entry.state === "sent" || entry.state === "unknown" || entry.state === "sending";
    });
    var matched = T.matchOwnLines(segments, onTheirWay, chat.name);
    var own = matched.own;
    chat.name = matched.name;
    for (var i = 0; i < segments.length; i++) {
      var line;
      if (own[i]) {
        var entry = own[i].entry;
        line = { kind: "visitor", text: entry.line.split("<BR>").join("\n"), time: entry.time };
        if (entry.element) entry.element.remove();
        chat.outbox.splice(chat.outbox.indexOf(entry), 1);
        i += own[i].count - 1;
      } else if (segments[i] !== "") {
        line = T.classify(segments[i], chat.name);
        line.time = now;
        if (line.kind !== "visitor") shown++;
      } else {
        continue;
      }
      chat.lines.push(line);
      showLine(line);
    }
    chat.outbox.forEach(function (entry) {
      if (entry.state === "unknown" && seq > entry.decideAfter) {
        // It did not arrive, so sending it again cannot double it.
        entry.resends = (entry.resends || 0) + 1;
        entry.state = entry.resends > AUTO_RESENDS ? "failed" : "queued";
        showOutboxItem(entry);
      }
    });
    follow(wasNear, shown);
    notice(shown);
    if (shown > 0) tellEmbedder({ unread: shown });
  }

  function end(message, code) {
    polling = false;
    chat.ended = message;
    typingLine.textContent = "";
    setStatus("");
    input.disabled = true;
    sendButton.disabled = true;
    document.getElementById("hangup").disabled = true;
    compose.hidden = true;
    callMe.hidden = true;
    document.getElementById("ended").hidden = false;
    waiting.hidden = true;
    chat.outbox.forEach(function (entry) {
      if (entry.state !== "failed") {
        entry.state = "failed";
        entry.code = code || "";
      }
      showOutboxItem(entry);
    });
    var line = { kind: "system", text: message + (code ? " (" + code + ")" : ""), time: Date.now() };
    chat.lines.push(line);
    showLine(line);
    transcript.scrollTop = transcript.scrollHeight;
    save();
    try {
      var active = load("quorvix.visitor") || {};
      delete active.active;
      store("quorvix.visitor", active);
    } catch (e) { /* nothing to forget */ }
  }

  // ---- talking to the module ----

  function nextPoll() {
    if (!polling) return;
    var delay = failures === 0 ? 1000 : Math.min(3000, 1000 * failures);
    setTimeout(poll, delay);
  }

  function poll() {
    if (!polling) return;
    var seq = ++pollsStarted;
    var wasSlow = false;
    var slow = setTimeout(function () { wasSlow = true; slowPolls++; updateConnection(); }, SLOW_MS);
    var done = function () {
      clearTimeout(slow);
      if (wasSlow) slowPolls--;
    };
    fetch(url("REQ_DELTA_CHAT", { varIndexKey: chat.index }), { cache: "no-store" })
      .then(function (response) { return response.text(); })
      .then(function (reply) {
        done();
        var answer = T.parse(reply);
        var f = answer.fields;
        if (answer.kind === "dispatch" && !f.error) {
          failures = 0;
          reconnecting = false;
          if (f.chat && f.chat !== "<WCCHATDATA>") takeChat(f.chat, seq);
          else takeChat("", seq);
          if (f.index) chat.index = decodeEntities(f.index);
          typingLine.textContent = typingText(decodeEntities(f.typing || ""));
          if (f.agent && !chat.agentKey) chat.agentKey = decodeEntities(f.agent);
          callMe.hidden = !chat.agentKey;
          save();
          updateConnection();
          pump();
        } else if (answer.kind === "disconnect") {
          end(f.message || text.agentLeft);
          return;
        } else if (answer.kind === "transfer") {
          failures = 0;
          var line = { kind: "system", text: text.transferred + " " + decodeEntities(f.target || ""), time: Date.now() };
          chat.lines.push(line);
          showLine(line);
          save();
        } else if (TRANSIENT[f.error] || f.error === "?") {
          // "?": no answer of the chat service's own (an empty one, or the
          // web server's or a proxy's busy page): the chat itself goes on.
          failures++;
          reconnecting = true;
          typingLine.textContent = "";
          updateConnection();
        } else {
          end(text.ended, f.error);
          return;
        }
        nextPoll();
      })
      .catch(function () {
        done();
        failures++;
        reconnecting = true;
        typingLine.textContent = "";
        updateConnection();
        nextPoll();
      });
  }

  function post(request, values) {
    var form = "varUserRequest=" + request + "&varSessionID=" + encodeURIComponent(chat.session) +
      "&varUserLanguage=" + encodeURIComponent(language);
    for (var name in values) form += "&" + name + "=" + encodeURIComponent(values[name]);
    return fetch(servlet, {
      method: "POST",
      headers: { "Content-Type": "application/x-www-form-urlencoded" },
      body: form
    });
  }

  // One line in flight at a time, none while the connection is down or while
  // an earlier line's fate is unknown: lines reach the back end once and in order.
  function pump() {
    if (chat.ended || posting || reconnecting) return;
    for (var i = 0; i < chat.outbox.length; i++) {
      if (chat.outbox[i].state === "unknown") return;
    }
    var next = null;
    for (var j = 0; j < chat.outbox.length && !next; j++) {
      if (chat.outbox[j].state === "queued") next = chat.outbox[j];
    }
    if (next) send(next);
  }

  function send(entry) {
    posting = true;
    entry.state = "sending";
    showOutboxItem(entry);
    save();
    var wasSlow = false;
    var slow = setTimeout(function () { wasSlow = true; slowPosts++; updateConnection(); }, SLOW_MS);
    var settle = function (state, code) {
      clearTimeout(slow);
      if (wasSlow) slowPosts--;
      posting = false;
      if (chat.outbox.indexOf(entry) >= 0) {
        entry.state = state;
        entry.code = code || "";
        // Only a poll that starts after this moment can tell whether it arrived.
        entry.decideAfter = pollsStarted;
        showOutboxItem(entry);
      }
      save();
      updateConnection();
      pump();
    };
    post("REQ_ADD_TO_CHAT", { varChatData: entry.line, varIndexKey: chat.index })
      .then(function (response) { return response.text(); })
      .then(function (reply) {
        var answer = T.parse(reply);
        var code = answer.fields.error;
        if (answer.kind === "control" && !code) settle("sent");
        else if (answer.kind === "control" && !TRANSIENT[code]) settle("failed", code);
        else settle("unknown", "");
      })
      .catch(function () { settle("unknown", ""); });
  }

  function queue(line) {
    var entry = { id: chat.nextId++, line: line, wire: T.onTheWire(line), state: "queued", time: Date.now() };
    chat.outbox.push(entry);
    showOutboxItem(entry);
    follow(true, 0);
    save();
    pump();
  }

  // ---- the page's controls ----

  compose.addEventListener("submit", function (event) {
    event.preventDefault();
    var line = input.value.replace(/\s+$/, "");
    if (line.trim() === "" || input.disabled) return;
    input.value = "";
    showRoom();
    queue(line.replace(/\r?\n/g, "<BR>"));
  });

  input.addEventListener("keydown", function (event) {
    if (event.key === "Enter" && !event.shiftKey && !event.isComposing) {
      event.preventDefault();
      compose.requestSubmit();
    }
  });

  var room = document.getElementById("room");
  var limit = parseInt(input.getAttribute("maxlength"), 10) || 0;
  function showRoom() {
    var left = limit - input.value.length;
    room.hidden = !limit || left > ROOM_SHOWN;
    room.className = left <= 0 ? "low" : "";
    room.textContent = left <= 0 ? text.roomNone : text.room.replace("{n}", String(left));
  }

  input.addEventListener("input", function () {
    showRoom();
    var now = Date.now();
    if (now - lastTypingNotice < 3000 || input.value === "" || reconnecting) return;
    lastTypingNotice = now;
    post("REQ_NOTIFY_TYPING_CHAT", { varIsTypingData: "1", varIndexKey: chat.index }).catch(function () {});
  });

  document.addEventListener("keydown", function (event) {
    if (event.key === "Escape" && !confirmEnd.open) tellEmbedder({ close: true });
  });

  transcript.addEventListener("scroll", function () { if (nearBottom()) newMessages.hidden = true; });
  newMessages.addEventListener("click", function () {
    transcript.scrollTop = transcript.scrollHeight;
    newMessages.hidden = true;
    transcript.focus();
  });

  var soundButton = document.getElementById("sound");
  soundButton.addEventListener("click", function () {
    sound = !sound;
    soundButton.setAttribute("aria-pressed", String(sound));
    soundButton.textContent = sound ? text.soundOn : text.soundOff;
    if (sound) beep();
  });

  function validPhone(number) {
    return /^[0-9 +\-()]+$/.test(number) && (number.match(/[0-9]/g) || []).length >= 3;
  }

  var phone = document.getElementById("phone");
  var phoneError = document.getElementById("phone-error");
  document.getElementById("callme-form").addEventListener("submit", function (event) {
    event.preventDefault();
    var number = phone.value.trim();
    var result = document.getElementById("callme-result");
    if (!validPhone(number)) {
      phone.setAttribute("aria-invalid", "true");
      phoneError.textContent = text.phone;
      phone.focus();
      return;
    }
    phone.removeAttribute("aria-invalid");
    phoneError.textContent = "";
    fetch(url("REQ_CALLME", { varAgentKey: chat.agentKey, varPhoneNumber: number }), { cache: "no-store" })
      .then(function (response) { return response.text(); })
      .then(function (page) {
        var parsed = new DOMParser().parseFromString(page, "text/html");
        var found = parsed.querySelector("#callme-confirm") || parsed.querySelector("main") || parsed.body;
        result.textContent = found ? found.textContent.trim().replace(/\s+/g, " ") : "";
      })
      .catch(function () { result.textContent = text.notDelivered; });
  });

  // The transcript as the page has it, as a text file.
  document.getElementById("save").addEventListener("click", function () {
    var lines = chat.lines.map(function (line) {
      var who = line.kind === "visitor" && chat.name && line.text.indexOf(chat.name + ": ") !== 0 ? chat.name + ": " : "";
      return "[" + clock.format(new Date(line.time)) + "] " + who + line.text;
    });
    var blob = new Blob([lines.join("\n") + "\n"], { type: "text/plain;charset=utf-8" });
    var link = document.createElement("a");
    link.href = URL.createObjectURL(blob);
    link.download = text.transcriptFile;
    document.body.appendChild(link);
    link.click();
    link.remove();
    setTimeout(function () { URL.revokeObjectURL(link.href); }, 1000);
  });

  // The summary is fetched first: a chat the back end has forgotten ends
  // here with its transcript kept, instead of leaving for an error page.
  var hangup = document.getElementById("hangup");
  var confirmEnd = document.getElementById("confirm-end");
  hangup.addEventListener("click", function () { confirmEnd.showModal(); });
  document.getElementById("keep-chatting").addEventListener("click", function () { confirmEnd.close(); });
  document.getElementById("end-now").addEventListener("click", function () {
    confirmEnd.close();
    hangUp();
  });

  // The summary with the time of every line the page saw: its lines are
  // matched, in order, to the lines shown here.
  function timedSummary(summaryText) {
    var cursor = 0;
    return summaryText.split("\n").map(function (lineText) {
      for (var i = cursor; i < chat.lines.length; i++) {
        var line = chat.lines[i];
        var first = line.text.split("\n")[0];
        var shown = line.kind === "visitor" ? chat.name + ": " + first : first;
        if (lineText === shown || lineText === first) {
          cursor = i + 1;
          return { time: line.time, text: lineText };
        }
      }
      return { time: 0, text: lineText };
    });
  }

  function hangUp() {
    hangup.disabled = true;
    fetch(url("REQ_HANG_UP", {}), { cache: "no-store" })
      .then(function (response) { return response.text(); })
      .then(function (page) {
        var parsed = new DOMParser().parseFromString(page, "text/html");
        var summary = parsed.getElementById("summary");
        if (summary) {
          polling = false;
          summary.querySelectorAll("br").forEach(function (br) { br.replaceWith("\n"); });
          var field = function (id) { var e = parsed.getElementById(id); return e ? e.textContent : ""; };
          store("quorvix.summary", { lang: language, customer: field("customer"), caption: field("caption"),
            summary: summary.textContent, lines: timedSummary(summary.textContent) });
          sessionStorage.removeItem(STORE);
          var visitor = load("quorvix.visitor") || {};
          delete visitor.active;
          store("quorvix.visitor", visitor);
          window.location.href = servlet + "?varUserRequest=REQ_STAT_PAGE&varPageName=ChatSummary.htm&varUserLanguage=" +
            encodeURIComponent(language);
          return;
        }
        var code = parsed.getElementById("error-code");
        code = code ? code.textContent.trim() : "";
        if (code && !TRANSIENT[code] && code !== "1006") {
          end(text.ended, code);
        } else {
          hangup.disabled = false;
          setStatus(text.notEnded);
        }
      })
      .catch(function () {
        hangup.disabled = false;
        setStatus(text.notEnded);
      });
  }

  // ---- start or resume ----

  document.getElementById("restart").setAttribute("href", startPage());
  var visitorState = load("quorvix.visitor") || {};
  if (!chat.ended) {
    visitorState.active = true;
    store("quorvix.visitor", visitorState);
  }
  chat.lines.forEach(showLine);
  chat.outbox.forEach(function (entry) {
    entry.element = null;
    // A line that was on its way when the page went away: the next poll decides.
    if (entry.state === "sending") entry.state = "unknown";
    if (entry.state === "unknown") entry.decideAfter = 0;
    showOutboxItem(entry);
  });
  transcript.scrollTop = transcript.scrollHeight;
  waiting.hidden = chat.agentSeen || !!chat.ended;
  callMe.hidden = !chat.agentKey || !!chat.ended;
  if (chat.ended) {
    input.disabled = true;
    sendButton.disabled = true;
    hangup.disabled = true;
    compose.hidden = true;
    document.getElementById("ended").hidden = false;
  } else {
    save();
    input.focus();
    poll();
  }
})();
