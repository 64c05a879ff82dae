// vopo viewer: the trace list and one trace, routed by the URL's fragment:
//   #/?q=...&outcome=...&source=...&page=N    the trace list
//   #/trace/<id>                              one trace
//   #/trace/<id>/call/<frame id>              one trace, one call selected
"use strict";

const app = document.getElementById("app");
const where = document.getElementById("where");
const PAGE = 50;
let current = null; // the trace on screen: {id, data, rows: Map node -> row element}

// ---------- helpers ----------

function el(tag, attrs, ...children) {
  const node = document.createElement(tag);
  for (const [key, value] of Object.entries(attrs || {})) {
    if (key === "class") node.className = value;
    else if (key.startsWith("on")) node.addEventListener(key.slice(2), value);
    else if (value !== undefined && value !== null) node.setAttribute(key, value);
  }
  for (const child of children.flat(Infinity)) {
    if (child !== null && child !== undefined) node.append(child instanceof Node ? child : String(child));
  }
  return node;
}

class HttpError extends Error {
  constructor(status, message) { super(message); this.status = status; }
}

async function api(path) {
  let response;
  try {
    response = await fetch("/api/" + path);
  } catch (error) {
    throw new HttpError(0, "The viewer's server does not answer; is `vopo view` still running?");
  }
  let body;
  try { body = await response.json(); } catch (error) { body = {error: response.statusText}; }
  if (!response.ok) throw new HttpError(response.status, body.error || response.statusText);
  return body;
}

function showError(error) {
  if (error.status === 404) {
    app.replaceChildren(el("h1", {id: "not-found"}, "404: not found"), el("p", {class: "error"}, error.message),
                        el("p", {}, el("a", {href: "#/"}, "Back to the traces")));
  } else {
    app.replaceChildren(el("p", {class: "error", id: "store-error"}, error.message));
  }
}

function duration(seconds) {
  if (seconds === null || seconds === undefined) return "";
  const size = Math.abs(seconds);
  if (size < 1e-3) return (seconds * 1e6).toFixed(1) + " µs";
  if (size < 1) return (seconds * 1e3).toFixed(2) + " ms";
  return seconds.toFixed(3) + " s";
}

function bytes(count) {
  if (count < 1024) return count + " B";
  if (count < 1024 * 1024) return (count / 1024).toFixed(1) + " KiB";
  return (count / 1024 / 1024).toFixed(1) + " MiB";
}

function when(timestamp) {
  if (typeof timestamp !== "number") return "";
  const moment = new Date(timestamp * 1000);
  const pad = (n, w = 2) => String(n).padStart(w, "0");
  return `${moment.getFullYear()}-${pad(moment.getMonth() + 1)}-${pad(moment.getDate())} ` +
         `${pad(moment.getHours())}:${pad(moment.getMinutes())}:${pad(moment.getSeconds())}`;
}

// ---------- values, written the way Python writes them ----------

const LIMIT = 300;

function shortType(name) {
  return typeof name === "string" && name.startsWith("builtins.") ? name.slice(9) : name;
}

function pyStr(text) {
  const quote = text.includes("'") && !text.includes('"') ? '"' : "'";
  let out = quote;
  for (const ch of text) {
    const code = ch.codePointAt(0);
    if (ch === "\\") out += "\\\\";
    else if (ch === quote) out += "\\" + ch;
    else if (ch === "\n") out += "\\n";
    else if (ch === "\r") out += "\\r";
    else if (ch === "\t") out += "\\t";
    else if (code < 0x20 || code === 0x7f) out += "\\x" + code.toString(16).padStart(2, "0");
    else out += ch;
  }
  return out + quote;
}

function items(list) { return list.map(py).join(", "); }

function pairs(list, keyText) {
  return list.map(([key, value]) => (isMore(key) ? more(key.n) : `${keyText(key)}: ${py(value)}`)).join(", ");
}

function isMore(value) { return value !== null && typeof value === "object" && value.k === "more"; }

function more(count) { return `… (+${count} more)`; }

function attrName(key) { return typeof key === "string" ? key : py(key); }

const BRACKETS = {list: "[]", tuple: "()", dict: "{}", set: "{}", frozenset: "{}"};

function py(value) {
  if (value === null) return "None";
  if (value === true) return "True";
  if (value === false) return "False";
  if (typeof value === "number") return String(value);
  if (typeof value === "string") return pyStr(value);
  if (Array.isArray(value)) return "[" + items(value) + "]";
  switch (value.k) {
    case "int": case "float": case "bytes": case "text": case "standard": case "repr": return value.r;
    case "dict": return "{" + pairs(value.items, py) + "}";
    case "tuple": return value.items.length === 1 && !isMore(value.items[0]) ? `(${py(value.items[0])},)` : "(" + items(value.items) + ")";
    case "set": return value.items.length ? "{" + items(value.items) + "}" : "set()";
    case "frozenset": return value.items.length ? "frozenset({" + items(value.items) + "})" : "frozenset()";
    case "subclass": {
      const inner = py(value.value);
      return shortType(value.type) + (value.value && value.value.k === "tuple" ? inner : `(${inner})`);
    }
    case "enum": return `${shortType(value.type)}.${value.name}`;
    case "exception": return `${shortType(value.type)}(${items(value.args)})`;
    case "ref": return `<${value.what === "builtin" ? "built-in function" : value.what} ${shortType(value.name)}>`;
    case "object": {
      const id = typeof value.id === "number" ? " at 0x" + value.id.toString(16) : "";
      const attrs = value.attrs.length ? ": {" + pairs(value.attrs, attrName) + "}" : "";
      return `<${shortType(value.type)} object${id}${attrs}>`;
    }
    case "cycle": return `<cycle ${shortType(value.type)}>`;
    case "more": return more(value.n);
    case "elided": {
      const name = shortType(value.type);
      if (value.size === null) return `<${name} …>`;
      return BRACKETS[name] ? BRACKETS[name][0] + more(value.size) + BRACKETS[name][1] : `<${name} ${more(value.size)}>`;
    }
    case "redacted": return "<redacted>";
    case "cutstr": return pyStr(value.head) + more(value.omitted);
    case "cutbytes": return value.r + more(value.omitted);
    default: return `<ext ${value.code}>`;
  }
}

function cut(text, limit = LIMIT) { return text.length > limit ? text.slice(0, limit - 1) + "…" : text; }

function argumentList(value) {
  if (value && value.k === "dict") {
    return value.items.map(([key, item]) => (isMore(key) ? more(key.n) : `${attrName(key)}=${py(item)}`)).join(", ");
  }
  return value === undefined ? "" : py(value);
}

function exceptionText(exception) {
  const text = exception.value !== undefined && exception.value !== null ? py(exception.value) : "";
  return text || exception.type || "an exception";
}

// ---------- routing ----------

// Each route bumps this; an answer that arrives after the user moved on is dropped.
let routeToken = 0;

function stale(token) { return token !== routeToken; }

function route() {
  const token = ++routeToken;
  const hash = location.hash.replace(/^#/, "") || "/";
  const [path, search] = hash.split("?");
  const parts = path.split("/").filter(Boolean).map(decodeURIComponent);
  const failed = (error) => { if (!stale(token)) showError(error); };
  if (parts[0] === "trace" && parts[1]) {
    const target = parts[2] === "call" ? {frame: parts[3]} : parts[2] === "node" ? {node: Number(parts[3])} : null;
    openTrace(parts[1], target, token).catch(failed);
  } else if (parts.length === 0) {
    current = null;
    listTraces(new URLSearchParams(search || ""), token).catch(failed);
  } else {
    current = null;
    showError(new HttpError(404, "No page at " + hash));
  }
}

window.addEventListener("hashchange", route);
route();

// ---------- the trace list ----------

async function listTraces(params, token) {
  where.textContent = "traces";
  const page = Math.max(Number(params.get("page") || 1), 1);
  const query = new URLSearchParams({q: params.get("q") || "", outcome: params.get("outcome") || "",
                                     source: params.get("source") || "", offset: (page - 1) * PAGE, limit: PAGE});
  const data = await api("traces?" + query);
  if (stale(token)) return;
  const go = (changes) => {
    const next = new URLSearchParams(params);
    for (const [key, value] of Object.entries(changes)) value ? next.set(key, value) : next.delete(key);
    location.hash = "#/?" + next;
  };
  let typing = null;
  const text = el("input", {id: "filter", type: "search", placeholder: "filter: test, request, trace id, source",
                            value: params.get("q") || ""});
  text.addEventListener("input", () => {
    clearTimeout(typing);
    typing = setTimeout(() => go({q: text.value, page: ""}), 250);
  });
  const outcome = el("select", {id: "outcome", onchange: (event) => go({outcome: event.target.value, page: ""})},
                     el("option", {value: ""}, "any outcome"), data.outcomes.map((name) => el("option", {value: name}, name)));
  outcome.value = params.get("outcome") || "";
  const source = el("select", {id: "source", onchange: (event) => go({source: event.target.value, page: ""})},
                    el("option", {value: ""}, "any source"), data.sources.map((name) => el("option", {value: name}, name)));
  source.value = params.get("source") || "";
  const rows = data.traces.map((trace) => el("tr", {"data-trace": trace.trace_id,
                                                    onclick: () => { location.hash = "#/trace/" + encodeURIComponent(trace.trace_id); }},
    el("td", {}, when(trace.started)),
    el("td", {}, trace.source),
    el("td", {class: "what", title: trace.trace_id}, traceLabel(trace)),
    el("td", {class: "outcome-" + (trace.outcome || "none")}, trace.outcome || (trace.corrupt ? "corrupt" : "")),
    el("td", {class: "num"}, duration(trace.duration)),
    el("td", {class: "num"}, trace.frames),
    el("td", {class: "num"}, bytes(trace.size))));
  const last = Math.min(data.offset + data.traces.length, data.total);
  app.replaceChildren(
    el("h1", {}, "Traces"),
    el("div", {class: "filters"}, text, outcome, source),
    data.total === 0 ? el("p", {class: "note"}, "No trace matches.") :
      el("table", {class: "traces"},
         el("thead", {}, el("tr", {}, ["Started", "Source", "Test / request", "Outcome"].map((h) => el("th", {}, h)),
                            ["Duration", "Frames", "Size"].map((h) => el("th", {class: "num"}, h)))),
         el("tbody", {}, rows)),
    el("div", {class: "pager"},
       el("button", {id: "previous", disabled: page > 1 ? null : "", onclick: () => go({page: page - 1})}, "← newer"),
       el("span", {id: "range"}, data.total ? `${data.offset + 1}–${last} of ${data.total}` : ""),
       el("button", {id: "next", disabled: last < data.total ? null : "", onclick: () => go({page: page + 1})}, "older →")));
  if (document.activeElement === document.body && params.get("q")) text.focus();
}

function traceLabel(trace) {
  if (trace.node_id) return trace.node_id;
  const request = trace.request;
  if (request) return [request.method, request.path, request.status].filter((part) => part !== null).join(" ");
  return trace.trace_id;
}

// ---------- one trace ----------

async function openTrace(traceId, target, token) {
  if (!current || current.id !== traceId) {
    current = {id: traceId, rows: new Map(), selected: null};
    where.textContent = traceId;
    app.replaceChildren(el("p", {class: "note"}, "Reading the trace…"));
    let data = await api("traces/" + encodeURIComponent(traceId));
    if (stale(token)) return;
    renderTrace(data);
    let partial = !data.complete;
    while (!data.complete) {
      await new Promise((resolve) => setTimeout(resolve, 400));
      data = await api("traces/" + encodeURIComponent(traceId));
      if (stale(token)) return;
      // While the trace is read, new rows show up until the user starts exploring.
      if (data.complete || (!current.touched && current.threadsShown < countItems(data))) renderTrace(data);
    }
    if (partial && current.touched && !target) target = currentTarget();
    if (data.error) {
      app.prepend(el("p", {class: "error", id: "trace-error"}, data.error));
      return;
    }
    drawFlames();
  }
  if (target) await selectTarget(target);
}

function currentTarget() {
  const parts = location.hash.split("/").map(decodeURIComponent);
  if (parts[3] === "call") return {frame: parts[4]};
  if (parts[3] === "node") return {node: Number(parts[4])};
  return null;
}

function countItems(data) { return data.threads.reduce((sum, thread) => sum + thread.items.length, 0); }

function renderTrace(data) {
  current.data = data;
  current.rows = new Map();
  current.threadsShown = countItems(data);
  const command = Array.isArray(data.command) ? data.command.join(" ") : "";
  const facts = el("div", {class: "facts"},
    "source ", el("code", {}, data.source || "?"), " · started ", el("code", {}, when(data.started)),
    " · ", el("code", {}, data.records), " records", command ? [" · command ", el("code", {}, command)] : null,
    data.complete ? null : el("span", {class: "progress", id: "progress"}, " · still reading the trace…"));
  const search = el("input", {id: "search", type: "search", placeholder: "find a function by name"});
  const matches = el("div", {class: "matches", id: "matches"});
  search.addEventListener("keydown", (event) => { if (event.key === "Enter") findCalls(search.value, matches); });
  const threads = data.threads.map((thread) => el("section", {class: "thread"},
    el("h2", {}, `Thread ${thread.name}` + (thread.native_id !== null ? ` (native id ${thread.native_id}${thread.main ? ", main" : ""})` : "")),
    el("div", {class: "flame", id: "flame-" + thread.number, "data-thread": thread.number}),
    el("div", {class: "tree", id: "tree-" + thread.number},
       thread.items.map(makeRow), moreRow(thread.total, thread.items.length,
         (offset) => api(`traces/${encodeURIComponent(data.trace_id)}?offset=${offset}`).then((d) => d.threads.find((other) => other.number === thread.number))))));
  app.replaceChildren(
    el("h1", {}, "Trace ", el("code", {}, data.trace_id)), facts,
    el("div", {class: "search"}, search, el("button", {onclick: () => findCalls(search.value, matches)}, "Find")),
    matches,
    el("div", {class: "layout"}, el("div", {}, threads),
       el("aside", {class: "panel", id: "details"}, el("p", {class: "note"}, "Select a call to see its locals."))));
}

function moreRow(total, shown, fetchPage) {
  if (shown >= total) return null;
  const row = el("div", {class: "row more"}, `… ${total - shown} more`);
  row.loadMore = async () => {
    const page = await fetchPage(shown);
    const next = moreRow(total, shown + page.items.length, fetchPage);
    row.replaceWith(...page.items.map(makeRow), ...(next ? [next] : []));
  };
  row.addEventListener("click", () => row.loadMore().catch(showError));
  return row;
}

function makeRow(item) {
  const toggle = el("span", {class: "toggle"}, item.children ? "▸" : "");
  const line = el("div", {class: "row " + item.kind + "-row", "data-node": item.id}, toggle, rowBody(item));
  const wrapper = el("div", {class: "item"}, line);
  const entry = {item, line, wrapper, toggle, box: null};
  current.rows.set(item.id, entry);
  line.addEventListener("click", (event) => {
    if (event.target === toggle) { setOpen(entry, !entry.box || entry.box.hidden).catch(showError); return; }
    navigateTo(item);
  });
  line.addEventListener("dblclick", () => setOpen(entry, !entry.box || entry.box.hidden).catch(showError));
  return wrapper;
}

function rowBody(item) {
  const parts = [];
  if (item.kind === "group" || item.kind === "mark") {
    parts.push(el("span", {class: "call-name"}, markLabel(item)));
    if (item.kind === "group") parts.push(el("span", {class: "dur"}, duration(item.end - item.start)));
    return parts;
  }
  parts.push(el("span", {class: "call-name"}, item.name));
  if (item.arguments !== undefined) parts.push(el("span", {class: "args"}, "(" + cut(argumentList(item.arguments), 120) + ")"));
  if (item.exception) parts.push(el("span", {class: "raised"}, "raised " + cut(exceptionText(item.exception), 120)));
  else if (item.returned) parts.push(el("span", {class: "ret"}, "→ " + cut(py(item.return_value), 120)));
  else if (item.kind === "call") parts.push(el("span", {class: "raised"}, "[no return]"));
  if (item.kind === "orphan") parts.push(el("span", {class: "note"}, "return without a recorded call"));
  parts.push(el("span", {class: "loc"}, item.path || ""));
  if (item.end !== null && item.kind === "call") parts.push(el("span", {class: "dur"}, duration(item.end - item.start)));
  return parts;
}

function markLabel(item) {
  const facts = item.facts || {};
  const text = (key) => (typeof facts[key] === "string" ? facts[key] : facts[key] === undefined ? null : py(facts[key]));
  if (item.name.endsWith("_test")) {
    const outcome = text("outcome");
    return ["test", text("node_id") || text("nodeid"), outcome ? `— ${outcome}` : null].filter(Boolean).join(" ");
  }
  if (item.name.endsWith("_request")) {
    return ["request", text("method"), text("path"), text("status")].filter(Boolean).join(" ");
  }
  const rest = Object.entries(facts).map(([key, value]) => `${key}=${typeof value === "string" ? value : py(value)}`);
  return [item.name, ...rest].join(" ");
}

async function setOpen(entry, open) {
  if (!entry.item.children) return;
  current.touched = true;
  if (!entry.box) {
    const base = `traces/${encodeURIComponent(current.id)}/nodes/${entry.item.id}/children`;
    const page = await api(base);
    entry.box = el("div", {class: "children"}, page.items.map(makeRow),
                   moreRow(page.total, page.items.length, (offset) => api(`${base}?offset=${offset}`)));
    entry.wrapper.append(entry.box);
  }
  entry.box.hidden = !open;
  entry.toggle.textContent = open ? "▾" : "▸";
}

function navigateTo(item) {
  current.touched = true;
  const base = "#/trace/" + encodeURIComponent(current.id);
  const hash = item.kind === "call" && item.frame_id ? `${base}/call/${encodeURIComponent(item.frame_id)}` : `${base}/node/${item.id}`;
  if (location.hash === hash) selectTarget({node: item.id}).catch(showError);
  else location.hash = hash;
}

async function selectTarget(target) {
  const base = `traces/${encodeURIComponent(current.id)}`;
  const item = target.frame !== undefined ? await api(`${base}/calls/${encodeURIComponent(target.frame)}`)
                                          : await api(`${base}/nodes/${target.node}`);
  let container = document.getElementById("tree-" + item.thread);
  for (const ancestor of item.ancestors) {
    const entry = await findRow(ancestor, container);
    if (!entry) break;
    await setOpen(entry, true);
    container = entry.box;
  }
  const entry = await findRow(item, container);
  if (current.selected) current.selected.line.classList.remove("selected");
  if (entry) {
    entry.line.classList.add("selected");
    entry.line.scrollIntoView({block: "center"});
    current.selected = entry;
  }
  for (const block of document.querySelectorAll(".block.selected")) block.classList.remove("selected");
  const block = document.querySelector(`.block[data-node="${item.id}"]`);
  if (block) block.classList.add("selected");
  showDetails(item);
}

async function findRow(item, container) {
  // A row may sit behind the "more" row of its list: load pages until it shows.
  while (container) {
    const entry = current.rows.get(item.id);
    if (entry) return entry;
    const more = container.querySelector(":scope > .more");
    if (!more) return null;
    await more.loadMore();
  }
  return null;
}

function showDetails(item) {
  const panel = document.getElementById("details");
  const table = (value) => {
    if (value === undefined) return el("p", {class: "note"}, "not recorded");
    if (!value || value.k !== "dict") return el("pre", {}, py(value));
    if (!value.items.length) return el("p", {class: "note"}, "no locals");
    return el("dl", {class: "kv"}, value.items.map(([key, entry]) => (isMore(key) ? [el("dt", {}, "…"), el("dd", {}, more(key.n))]
                                                                         : [el("dt", {}, attrName(key)), el("dd", {}, py(entry))])));
  };
  const head = [el("h2", {id: "detail-name"}, item.kind === "call" || item.kind === "orphan" ? item.name : markLabel(item))];
  if (item.path) head.push(el("div", {class: "loc"}, item.path));
  if (item.end !== null) head.push(el("div", {class: "dur"}, duration(item.end - item.start)));
  const body = [];
  if (item.kind === "call" || item.kind === "orphan") {
    if (item.exception) body.push(el("h2", {}, "Raised"), el("pre", {class: "raised", id: "detail-exception"}, exceptionText(item.exception)));
    else if (item.returned) body.push(el("h2", {}, "Returned"), el("pre", {id: "detail-return"}, py(item.return_value)));
    body.push(el("h2", {}, "Locals at call"), el("div", {id: "detail-call-locals"}, table(item.locals_at_call)),
              el("h2", {}, "Locals at return"), el("div", {id: "detail-return-locals"}, table(item.locals_at_return)));
  } else if (item.facts) {
    body.push(el("dl", {class: "kv"}, Object.entries(item.facts).map(([key, value]) => [el("dt", {}, key), el("dd", {}, py(value))])));
  }
  const link = el("a", {href: location.href, id: "detail-link"}, "link to this " + (item.kind === "call" ? "call" : "item"));
  panel.replaceChildren(...head, ...body, el("p", {}, link));
}

async function findCalls(text, box) {
  if (!text.trim()) { box.replaceChildren(); return; }
  const found = await api(`traces/${encodeURIComponent(current.id)}/search?q=${encodeURIComponent(text)}`);
  box.replaceChildren(
    el("div", {class: "note"}, `${found.total} call${found.total === 1 ? "" : "s"} named like “${text}”` +
       (found.total > found.items.length ? `, the first ${found.items.length} shown` : "")),
    ...found.items.map((item) => el("div", {class: "row match", onclick: () => navigateTo(item)},
      el("span", {class: "call-name"}, item.name), el("span", {class: "args"}, "(" + cut(argumentList(item.arguments), 80) + ")"),
      el("span", {class: "loc"}, item.path || ""))));
  if (found.items.length) navigateTo(found.items[0]);
}

// ---------- time view: an icicle chart per thread ----------

async function drawFlames() {
  const data = current.data;
  for (const thread of data.threads) {
    const box = document.getElementById("flame-" + thread.number);
    if (!box) continue;
    await drawFlame(box, thread.number, data.first_time, data.last_time);
  }
}

async function drawFlame(box, number, start, end) {
  const width = Math.max(box.clientWidth, 200);
  const flame = await api(`traces/${encodeURIComponent(current.id)}/flame?thread=${number}&start=${start}&end=${end}&width=${width}`);
  const span = Math.max(flame.end - flame.start, 1e-9);
  let depth = 0;
  const blocks = flame.blocks.map(([node, level, from, to, name, kind, frameId]) => {
    depth = Math.max(depth, level + 1);
    const left = Math.max((from - flame.start) / span, 0) * 100;
    const right = Math.min((to - flame.start) / span, 1) * 100;
    const block = el("div", {class: "block " + kind, "data-node": node, title: `${name} ${duration(to - from)}`}, name);
    block.style.left = left + "%";
    block.style.width = Math.max(right - left, 0.05) + "%";
    block.style.top = level * 18 + "px";
    block.style.background = kind === "group" ? "" : colour(name);
    block.addEventListener("click", () => navigateTo({kind, id: node, frame_id: frameId}));
    block.addEventListener("dblclick", () => drawFlame(box, number, from, to));
    return block;
  });
  box.style.height = Math.max(depth, 1) * 18 + 2 + "px";
  const reset = el("button", {class: "reset", onclick: () => drawFlame(box, number, current.data.first_time, current.data.last_time)}, "⟲");
  reset.style.cssText = "position:absolute;right:0;top:0;padding:0 .3em;font-size:11px";
  const zoomed = start > current.data.first_time || end < current.data.last_time;
  box.replaceChildren(...blocks, ...(zoomed ? [reset] : []));
}

function colour(name) {
  let hash = 0;
  for (const ch of name) hash = (hash * 31 + ch.codePointAt(0)) >>> 0;
  return `hsl(${hash % 360}, 60%, 78%)`;
}
