// The chat page's text rules without a browser: which lines of a poll are
// the visitor's own lines on their way, so that none is shown twice or
// offered again, and how answers and lines are read.
//
//   node --test chat-text.test.mjs
import assert from "node:assert/strict";
import { createRequire } from "node:module";
import test from "node:test";

const require = createRequire(import.meta.url);
const text = require("../../site/static/chat-text.js");

// Each row: the poll's chat text, the lines on their way as typed (newlines
// as "<BR>"), the visitor's name as sent ("" unknown), and which typed lines
// are found at which segment (index: typed line), then the name learnt.
const rows = [
  { what: "a plain line among the agent's", chat: "Alex: Hi<BR>Ann: hello<BR>Alex: Thank you, hello",
    typed: ["hello"], name: "Ann", found: { 1: "hello" } },
  { what: "the agent quoting the line is not the line", chat: "Alex: Ann: hello", typed: ["hello"], name: "Ann", found: {} },
  { what: "an agent saying the same words is not the visitor",
    chat: "Alex: hello<BR>Ann: hello", typed: ["hello"], name: "Ann", found: { 1: "hello" } },
  { what: "markup typed, entities stored", chat: "Ann: a &lt;b&gt; &amp; c", typed: ["a <b> & c"], name: "Ann", found: { 0: "a <b> & c" } },
  { what: "a name with markup kept as entities", chat: "Ann &lt;i&gt;Lee&lt;/i&gt;: hi", typed: ["hi"], name: "Ann <i>Lee</i>",
    found: { 0: "hi" } },
  { what: "a line of several lines", chat: "Ann: one<BR>two<BR>Alex: ok", typed: ["one<BR>two"], name: "Ann", found: { 0: "one<BR>two" } },
  { what: "only the first part of a longer line is not it", chat: "Ann: one<BR>Alex: two", typed: ["one<BR>two"], name: "Ann",
    found: {} },
  { what: "the same words twice are two lines, in order", chat: "Ann: yes<BR>Alex: sure?<BR>Ann: yes",
    typed: ["yes", "yes"], name: "Ann", found: { 0: "yes", 2: "yes" } },
  { what: "a line not there yet leaves the later ones alone",
    chat: "Ann: second", typed: ["first", "second"], name: "Ann", found: { 0: "second" } },
  { what: "order is kept: a later line is not matched before an earlier one",
    chat: "Ann: b<BR>Ann: a", typed: ["a", "b"], name: "Ann", found: { 1: "a" } },
  { what: "the name learnt when it was not known", chat: "Alex: Hi<BR>Bea Z: hello", typed: ["hello"], name: "",
    found: { 1: "hello" }, learnt: "Bea Z" },
  { what: "another visitor's name is not ours", chat: "Bob: hello", typed: ["hello"], name: "Ann", found: {} },
];

test("the visitor's own lines are found once, in order", () => {
  for (const row of rows) {
    const pending = row.typed.map((line) => ({ line, wire: text.onTheWire(line) }));
    const segments = row.chat.split("<BR>");
    const matched = text.matchOwnLines(segments, pending, row.name);
    const found = Object.fromEntries(Object.entries(matched.own).map(([at, m]) => [at, m.entry.line]));
    assert.deepEqual(found, row.found, row.what);
    assert.equal(matched.name, row.learnt ?? row.name, `${row.what}: name`);
    for (const [at, m] of Object.entries(matched.own)) {
      assert.equal(m.count, m.entry.line.split("<BR>").length, `${row.what}: segments of the line at ${at}`);
    }
  }
});

test("lines are told apart and shown as text", () => {
  assert.deepEqual(text.classify("System: Alex has joined the chat.", "Ann"), { kind: "system", text: "System: Alex has joined the chat." });
  assert.deepEqual(text.classify("Ann &lt;i&gt;: a &lt;b&gt;", "Ann <i>"), { kind: "visitor", text: "a <b>" });
  assert.deepEqual(text.classify("Alex: 5 &gt; 3 &#x263A;", "Ann"), { kind: "agent", text: "Alex: 5 > 3 \u263A" });
  assert.equal(text.decodeEntities("&#99999999; &bogus;"), "&#99999999; &bogus;");
  assert.equal(text.onTheWire("a<b>%0Ac<BR>d"), "a&lt;b&gt;<BR>c<BR>d");
});

test("answers are read as the module writes them", () => {
  const dispatch = text.parse('QXCHAT dispatch\nerror=\nindex=7\nagent=A1\npush=\ntyping=Alex typing...\nchat="Alex: say \\"hi\\"\nback\\\\slash"\n');
  assert.equal(dispatch.kind, "dispatch");
  assert.deepEqual(dispatch.fields, { error: "", index: "7", agent: "A1", push: "", typing: "Alex typing...", chat: 'Alex: say "hi"\nback\\slash' });
  assert.deepEqual(text.parse("QXCHAT control\nerror=1003\nsession=S1\n").fields, { error: "1003", session: "S1" });
  assert.deepEqual(text.parse('<html><span class="code" id="error-code">3010</span></html>'), { kind: "error", fields: { error: "3010" } });
});
