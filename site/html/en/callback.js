// The callback form's script, one for every language (the texts come from the
// page; it lives in the en folder). It checks what it can before the form is
// sent, shows each problem beside its field and announces them, and fills in
// what the back end needs:
//   varSchedules       up to three times, each YYYY-MM-DDTHH:MM in the visitor's
//                      local time, joined by ";" (empty: as soon as possible)
//   varTimezoneOffset  minutes from local time to UTC (Date.getTimezoneOffset)
//   varJavaScriptSupport  "yes": the module refuses the request without it
(function () {
  "use strict";
  var form = document.getElementById("callback-request");
  if (!form) return;
  var text = JSON.parse(document.getElementById("callback-strings").textContent);
  var summary = document.getElementById("form-errors");
  var times = Array.prototype.slice.call(form.querySelectorAll("[data-schedule]"));
  var phonePattern = /^[0-9 +\-()]+$/;

  document.getElementById("js-support").value = "yes";

  function pad(n) { return (n < 10 ? "0" : "") + n; }
  function localMinute(date) {
    return date.getFullYear() + "-" + pad(date.getMonth() + 1) + "-" + pad(date.getDate()) + "T" +
      pad(date.getHours()) + ":" + pad(date.getMinutes());
  }
  var earliest = localMinute(new Date());
  times.forEach(function (input) { input.min = earliest; });

  function show(input, message) {
    var error = document.getElementById(input.id + "-error");
    error.textContent = message || "";
    if (message) input.setAttribute("aria-invalid", "true");
    else input.removeAttribute("aria-invalid");
    return message ? input : null;
  }

  // A time the visitor typed; null when it is not a date and time.
  function parseTime(value) {
    var m = /^(\d{4})-(\d{2})-(\d{2})T(\d{2}):(\d{2})/.exec(value);
    if (!m) return null;
    var date = new Date(+m[1], +m[2] - 1, +m[3], +m[4], +m[5]);
    return isNaN(date.getTime()) ? null : date;
  }

  function check() {
    var invalid = [];
    var callType = document.getElementById("call-type");
    var topic = callType.options.length === 0 ? text.noTopics : (callType.value ? "" : text.noTopic);
    invalid.push(show(callType, topic));
    var name = document.getElementById("name");
    invalid.push(show(name, name.value.trim() ? "" : text.name));
    var phone = document.getElementById("phone");
    var number = phone.value.trim();
    var digits = number.replace(/[^0-9]/g, "").length;
    invalid.push(show(phone, !phonePattern.test(number) ? text.phone : (digits < 3 ? text.phoneShort : "")));
    var now = Date.now();
    times.forEach(function (input) {
      var problem = "";
      if (input.value) {
        var when = parseTime(input.value);
        problem = when === null ? text.timeBad : (when.getTime() <= now ? text.timePast : "");
      } else if (input.validity && input.validity.badInput) {
        problem = text.timeBad;
      }
      invalid.push(show(input, problem));
    });
    return invalid.filter(function (input) { return input !== null; });
  }

  form.addEventListener("submit", function (event) {
    var invalid = check();
    if (invalid.length) {
      event.preventDefault();
      summary.textContent = text.summary;
      invalid[0].focus();
      return;
    }
    summary.textContent = "";
    document.getElementById("schedules").value =
      times.map(function (input) { return input.value; }).filter(Boolean).join(";");
    document.getElementById("timezone-offset").value = String(new Date().getTimezoneOffset());
    // The confirmation page repeats them.
    try {
      sessionStorage.setItem("quorvix.callback", JSON.stringify({ phone: document.getElementById("phone").value.trim(),
        times: times.map(function (input) { return input.value; }).filter(Boolean) }));
    } catch (e) { /* private mode: the confirmation stays general */ }
    document.getElementById("js-support").value = "yes";
  });

  // A corrected field loses its message at once; new problems wait for the next send.
  form.addEventListener("input", function (event) {
    var input = event.target;
    if (input.getAttribute && input.getAttribute("aria-invalid") === "true") {
      var error = document.getElementById(input.id + "-error");
      if (error) { error.textContent = ""; input.removeAttribute("aria-invalid"); }
    }
  });
})();
