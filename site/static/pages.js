// The visitor's pages around the chat: the start form (fields of only blanks
// refused, the visitor's name and business unit kept for this tab, an open
// chat resumed instead of a second one), the summary (kept for a reload) and
// the error pages (what happened, what to do). Links marked data-keep-unit
// keep the business unit. Everything works without this script, only less kindly.
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

  function pageUrl(name) {
    return servlet + "?varUserRequest=REQ_STAT_PAGE&varPageName=" + name + "&varUserLanguage=" + encodeURIComponent(language);
  }

  function keepUnit() {
    if (!visitor.unit) return;
    document.querySelectorAll("a[data-keep-unit]").forEach(function (link) {
      if (/[?&]varBusinessUnitName=/.test(link.getAttribute("href"))) return;
      link.setAttribute("href", link.getAttribute("href") + "&varBusinessUnitName=" + encodeURIComponent(visitor.unit));
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

  function startPage(form) {
    var unitField = form.querySelector("[name=varBusinessUnitName]");
    if (unitField && unitField.value) visitor.unit = unitField.value;
    store("quorvix.visitor", visitor);
    var open = chat && !chat.ended && visitor.active;
    var resume = document.getElementById("resume");
    if (open && resume) {
      resume.hidden = false;
      resume.querySelector("a").setAttribute("href", pageUrl("ChatFrame.htm"));
    }
    form.setAttribute("novalidate", "");
    form.addEventListener("submit", function (event) {
      if (open) {
        event.preventDefault();
        window.location.href = pageUrl("ChatFrame.htm");
        return;
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
        return;
      }
      var name = form.querySelector("[name=varCustomerName]");
      visitor.name = name ? name.value : "";
      store("quorvix.visitor", visitor);
      sessionStorage.removeItem("quorvix.chat");
    });
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
    var save = document.getElementById("save");
    if (save) {
      save.hidden = false;
      save.addEventListener("click", function () { download(text.transcriptFile || "chat.txt", summary.textContent + "\n"); });
    }
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

  var form = document.getElementById("chat-form");
  if (form) startPage(form);
  var summary = document.getElementById("summary");
  if (summary) summaryPage(summary);
  var code = document.getElementById("error-code");
  if (code) errorPage(code);
  keepUnit();
})();
