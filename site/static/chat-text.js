// What the chat page knows about the texts it exchanges with the module: the
// answer documents ("QXCHAT kind", name=value lines), entities, the form the
// back end gives a visitor's line, and where the visitor's own lines stand in
// a poll's transcript. No page, no network: chat.js uses it as
// window.QuorvixChatText, tests load it as a CommonJS module.
(function (exports) {
  "use strict";

  // &lt; and friends as characters, without ever parsing markup.
  function decodeEntities(value) {
    return value.replace(/&(#x[0-9a-fA-F]+|#[0-9]+|lt|gt|amp|quot|apos);/g, function (all, name) {
      if (name === "lt") return "<";
      if (name === "gt") return ">";
      if (name === "amp") return "&";
      if (name === "quot") return "\"";
      if (name === "apos") return "'";
      var code = name.charAt(1) === "x" ? parseInt(name.slice(2), 16) : parseInt(name.slice(1), 10);
      try { return String.fromCodePoint(code); } catch (e) { return all; }
    });
  }

  // A line as the back end stores it: the module turns angle brackets into
  // entities and keeps "<BR>" (and a typed "%0A") as the line break.
  function onTheWire(line) {
    return line.split("<BR>").join("%0A").replace(/</g, "&lt;").replace(/>/g, "&gt;").split("%0A").join("<BR>");
  }

  // An answer document; an HTML page (the error page) gives kind "error"
  // with the code it shows. The chat text comes last and may span lines.
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

  // The back end may keep a name with its markup characters as entities.
  function sameName(name, visitor) { return !!visitor && decodeEntities(name) === decodeEntities(visitor); }

  // A transcript line ("<who>: <text>"): its kind and the text to show; the
  // visitor's own lines without the name.
  function classify(line, visitor) {
    if (/^System: /.test(line)) return { kind: "system", text: decodeEntities(line) };
    var colon = line.indexOf(": ");
    if (colon > 0 && sameName(line.slice(0, colon), visitor)) {
      return { kind: "visitor", text: decodeEntities(line.slice(colon + 2)) };
    }
    return { kind: "agent", text: decodeEntities(line) };
  }

  // Where one line of the visitor stands among a poll's lines (segments, the
  // chat text split at "<BR>"): "<name>: <first line>" and its further lines
  // after it, from index `from` on, compared as the visitor sees them.
  function findOwn(segments, wire, visitor, from) {
    var parts = wire.split("<BR>").map(decodeEntities);
    for (var i = from; i + parts.length <= segments.length; i++) {
      var colon = segments[i].indexOf(": ");
      if (colon <= 0) continue;
      var name = segments[i].slice(0, colon);
      if (visitor && !sameName(name, visitor)) continue;
      if (decodeEntities(segments[i].slice(colon + 2)) !== parts[0]) continue;
      var same = true;
      for (var k = 1; k < parts.length && same; k++) same = decodeEntities(segments[i + k]) === parts[k];
      if (same) return { at: i, count: parts.length, name: name };
    }
    return null;
  }

  // The visitor's lines on their way (each { wire }, in the order typed)
  // found among a poll's lines, in that order. Returns own: index of the
  // first segment -> { entry, count of segments }, and the visitor's name
  // (learnt from the first match when it was not known).
  function matchOwnLines(segments, pending, visitor) {
    var own = {};
    var cursor = 0;
    pending.forEach(function (entry) {
      var found = findOwn(segments, entry.wire, visitor, cursor);
      if (!found) return;
      if (!visitor) visitor = found.name;
      own[found.at] = { entry: entry, count: found.count };
      cursor = found.at + found.count;
    });
    return { own: own, name: visitor || "" };
  }

  exports.decodeEntities = decodeEntities;
  exports.onTheWire = onTheWire;
  exports.parse = parse;
  exports.classify = classify;
  exports.matchOwnLines = matchOwnLines;
})(typeof module === "object" && module.exports ? module.exports : (window.QuorvixChatText = {}));
