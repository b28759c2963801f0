// The visitor's pages around the chat: the start form (fields of only blanks
// refused, a busy state while the chat starts, the visitor's name, question
// and business unit kept for this tab, an open chat resumed instead of a
// second one), the summary (kept for a reload, with the time of each line),
// the callback confirmation (the number and the times asked for) and the
// error pages (what happened, what to do). Links marked data-keep-unit keep
// the business unit. Everything works without this script, only less kindly.
(function () {
  "use strict";
  function load(key) {
    try { return JSON.parse(sessionStorage.getItem(key) || "null"); } catch (e) { return null; }
  }
  function store(key, value) {
    try { sessionStorage.setItem(key, JSON.stringify(value)); } catch (e) { /* private mode */ }
  }
  var visitor = load("quorvix.visitor") || {};
  var chat = load("quorvix.chat");
  var servlet = document.body.getAttribute("data-servlet") || "quorvix.so";
  var language = document.documentElement.lang || "en";
  var strings = document.getElementById("page-strings");
  var text = strings ? JSON.parse(strings.textContent) : {};
  var embedded = window.parent !== window;
  var locale = (navigator.languages || []).filter(function (l) { return l.split("-")[0] === language; })[0] || language;

  function pageUrl(name) {
    return servlet + "?varUserRequest=REQ_STAT_PAGE&varPageName=" + name + "&varUserLanguage=" + encodeURIComponent(language);
  }

  // The unit this page was opened for, else the one this tab came with.
  function keepUnit() {
    document.querySelectorAll("input[name=varBusinessUnitName]").forEach(function (field) {
      if (field.value && field.value.indexOf("<WC") !== 0) visitor.unit = field.value;
    });
    store("quorvix.visitor", visitor);
    if (!visitor.unit) return;
    document.querySelectorAll("input[name=varBusinessUnitName]").forEach(function (field) {
      if (!field.value) field.value = visitor.unit;
    });
    var shown = document.getElementById("business-unit");
    if (shown && !shown.textContent) shown.textContent = visitor.unit;
    document.querySelectorAll("a[data-keep-unit]").forEach(function (link) {
      var href = link.getAttribute("href");
      if (/[?&]varBusinessUnitName=[^&]/.test(href)) return;
      link.setAttribute("href", href.replace(/&varBusinessUnitName=$|&varBusinessUnitName=(?=&)/, "") +
        "&varBusinessUnitName=" + encodeURIComponent(visitor.unit));
    });
  }

  function download(name, content) {
    var link = document.createElement("a");
    link.href = URL.createObjectURL(new Blob([content], { type: "text/plain;charset=utf-8" }));
    link.download = name;
    document.body.appendChild(link);
    link.click();
    link.remove();
  }

  // A form that is on its way: its button says so until the answer comes.
  function busy(form, message) {
    var button = form.querySelector("button[type=submit]");
    var note = form.querySelector(".busy") || form.appendChild(document.createElement("p"));
    note.className = "busy";
    note.setAttribute("role", "status");
    note.textContent = message || "";
    if (button) button.setAttribute("aria-disabled", "true");
    form.setAttribute("aria-busy", "true");
  }
  function idle(form) {
    var note = form.querySelector(".busy");
    if (note) note.textContent = "";
    var button = form.querySelector("button[type=submit]");
    if (button) button.removeAttribute("aria-disabled");
    form.removeAttribute("aria-busy");
  }

  function startPage(form) {
    var open = chat && !chat.ended && visitor.active;
    // In a site's chat panel the running chat is what the visitor wants back.
    if (open && embedded) {
      window.location.replace(pageUrl("ChatFrame.htm"));
      return;
    }
    var resume = document.getElementById("resume");
    if (open && resume) {
      resume.hidden = false;
      resume.querySelector("a").setAttribute("href", pageUrl("ChatFrame.htm"));
    }
    var callback = document.getElementById("callback-form");
    var forms = [form].concat(callback ? [callback] : []);
    var noUnit = document.getElementById("no-unit");
    if (!visitor.unit && noUnit) {
      // Without a team the back end can take neither a chat nor a callback.
      noUnit.hidden = false;
      var unitLine = document.querySelector(".unit");
      if (unitLine) unitLine.hidden = true;
      forms.forEach(function (each) {
        each.querySelector("button[type=submit]").setAttribute("aria-disabled", "true");
      });
    }
    forms.forEach(function (each) {
      each.setAttribute("novalidate", "");
      each.addEventListener("submit", function (event) {
        if (each.getAttribute("aria-busy") === "true" || (!visitor.unit && noUnit)) {
          event.preventDefault();
          if (!visitor.unit && noUnit) noUnit.focus();
          return;
        }
        if (each === form && !checkStart(event)) return;
        busy(each, each === form ? text.starting : text.checking);
      });
    });
    // Back to this page from the next one: the forms can be sent again.
    window.addEventListener("pageshow", function (event) { if (event.persisted) forms.forEach(idle); });

    function checkStart(event) {
      if (open) {
        event.preventDefault();
        window.location.href = pageUrl("ChatFrame.htm");
        return false;
      }
      var first = null;
      form.querySelectorAll("[data-not-blank]").forEach(function (field) {
        var error = document.getElementById(field.id + "-error");
        field.value = field.value.trim();
        var bad = field.value === "";
        if (bad) field.setAttribute("aria-invalid", "true"); else field.removeAttribute("aria-invalid");
        if (error) error.textContent = bad ? field.getAttribute("data-not-blank") : "";
        if (bad && !first) first = field;
      });
      if (first) {
        event.preventDefault();
        first.focus();
        return false;
      }
      var name = form.querySelector("[name=varCustomerName]");
      var question = form.querySelector("[name=varCaption]");
      visitor.name = name ? name.value : "";
      visitor.question = question ? question.value : "";
      store("quorvix.visitor", visitor);
      sessionStorage.removeItem("quorvix.chat");
      return true;
    }
  }

  function clock(time) {
    return new Intl.DateTimeFormat(locale, { hour: "2-digit", minute: "2-digit" }).format(new Date(time));
  }

  function summaryPage(summary) {
    var kept = load("quorvix.summary");
    if (summary.querySelector("wcchatsummary")) {
      // Opened again: the page as it was, from this tab's copy.
      if (!kept) return;
      document.getElementById("customer").textContent = kept.customer;
      document.getElementById("caption").textContent = kept.caption;
      summary.textContent = kept.summary;
    } else {
      summary.querySelectorAll("br").forEach(function (br) { br.replaceWith("\n"); });
      kept = { customer: document.getElementById("customer").textContent,
        caption: document.getElementById("caption").textContent, summary: summary.textContent };
      store("quorvix.summary", kept);
      history.replaceState(null, "", pageUrl("ChatSummary.htm"));
    }
    var lines = kept.lines || kept.summary.split("\n").map(function (line) { return { time: 0, text: line }; });
    if (kept.lines) {
      summary.textContent = "";
      lines.forEach(function (line) {
        var row = document.createElement("p");
        if (line.time) {
          var stamp = document.createElement("time");
          stamp.dateTime = new Date(line.time).toISOString();
          stamp.textContent = clock(line.time);
          row.appendChild(stamp);
        }
        row.appendChild(document.createTextNode(line.text));
        summary.appendChild(row);
      });
    }
    var save = document.getElementById("save");
    if (save) {
      save.hidden = false;
      save.addEventListener("click", function () {
        var file = lines.map(function (line) { return (line.time ? "[" + clock(line.time) + "] " : "") + line.text; });
        download(text.transcriptFile || "chat.txt", file.join("\n") + "\n");
      });
    }
  }

  // What callback.js kept of the request: the number and the times asked for.
  function callbackConfirmed(details) {
    var asked = load("quorvix.callback");
    if (!asked) return;
    var format = new Intl.DateTimeFormat(locale, { weekday: "long", day: "numeric", month: "long", hour: "2-digit", minute: "2-digit" });
    var items = [text.number.replace("{number}", asked.phone)];
    if (asked.times.length === 0) items.push(text.soon);
    asked.times.forEach(function (time) {
      var m = /^(\d{4})-(\d{2})-(\d{2})T(\d{2}):(\d{2})/.exec(time);
      if (m) items.push(format.format(new Date(+m[1], +m[2] - 1, +m[3], +m[4], +m[5])));
    });
    items.forEach(function (item) {
      var row = document.createElement("li");
      row.textContent = item;
      details.appendChild(row);
    });
    details.hidden = false;
  }

  function errorPage(code) {
    var value = code.textContent.trim();
    var known = document.querySelector("[data-code~=\"" + value.replace(/[^0-9]/g, "") + "\"]");
    (known || document.querySelector("[data-code~=other]")).hidden = false;
    var back = document.getElementById("back-to-chat");
    if (back && chat && !chat.ended) {
      back.hidden = false;
      back.setAttribute("href", pageUrl("ChatFrame.htm"));
    }
  }

  keepUnit();
  var form = document.getElementById("chat-form");
  if (form) startPage(form);
  var summary = document.getElementById("summary");
  if (summary) summaryPage(summary);
  var details = document.getElementById("callback-details");
  if (details) callbackConfirmed(details);
  var code = document.getElementById("error-code");
  if (code) errorPage(code);
  if (embedded) {
    document.addEventListener("keydown", function (event) {
      if (event.key === "Escape") window.parent.postMessage({ quorvix: "chat", close: true }, "*");
    });
  }
})();
