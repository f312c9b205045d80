// The partition matrix: runs of partitions in the same state drawn as one
// range each, rows along one dimension (or, for one dimension of dates, one
// row a month), an axis of the keys, a filter to the ranges that are not
// fresh, and every range a link that the keyboard reaches (one tab stop,
// then the arrows, Home and End).
"use strict";
(function () {
  const O = window.orvan;
  const BAD = new Set(["x", "i", "b", "s"]);
  const DATE = /^\d{4}-\d{2}-\d{2}$/;
  const WRAP = 100;
  let M = null, badOnly = false;

  function dateText(k, withYear) {
    const d = new Date(k + "T00:00:00Z");
    if (isNaN(d)) return k;
    const opts = { month: "short", day: "numeric", timeZone: "UTC" };
    if (withYear) opts.year = "numeric";
    return d.toLocaleDateString(undefined, opts);
  }

  function monthText(ym) {
    const d = new Date(ym + "-01T00:00:00Z");
    return isNaN(d) ? ym : d.toLocaleDateString(undefined, { month: "short", year: "numeric", timeZone: "UTC" });
  }

  // rows: [{label, cells: [[column, partition index, column key index, row key index]]}]
  function layout(meta) {
    const keys = meta.colKeys, at = (r, c) => meta.base + r * meta.rs + c * meta.cs;
    const dates = keys.length > 0 && keys.every(k => DATE.test(k));
    if (meta.rowDim) {
      const rows = meta.rowKeys.map((rk, r) => ({ label: rk, cells: keys.map((_, c) => [c, at(r, c), c, r]) }));
      return { rows, width: keys.length, axis: keys.map(k => dates ? dateText(k, false) : k) };
    }
    if (dates && keys.length > 62) {
      const months = new Map();
      keys.forEach((k, c) => {
        const m = k.slice(0, 7);
        if (!months.has(m)) months.set(m, { label: monthText(m), cells: [] });
        months.get(m).cells.push([Number(k.slice(8, 10)) - 1, at(0, c), c, -1]);
      });
      return { rows: Array.from(months.values()), width: 31, axis: Array.from({ length: 31 }, (_, i) => String(i + 1)) };
    }
    const w = keys.length > WRAP * 1.2 ? WRAP : keys.length, rows = [];
    for (let s = 0; s < keys.length; s += w) {
      const cells = keys.slice(s, s + w).map((_, j) => [j, at(0, s + j), s + j, -1]);
      rows.push({ label: w < keys.length ? (dates ? dateText(keys[s], true) : keys[s]) : meta.colDim, cells });
    }
    return { rows, width: w, axis: w < keys.length ? null : keys.map(k => dates ? dateText(k, false) : k) };
  }

  function partition(cell) {
    const p = Object.assign({}, M.meta.fixed);
    p[M.meta.colDim] = M.meta.colKeys[cell[2]];
    if (M.meta.rowDim) p[M.meta.rowDim] = M.meta.rowKeys[cell[3]];
    return p;
  }

  function jobHref(cell) {
    const p = partition(cell), q = new URLSearchParams({ key: M.meta.key });
    Object.keys(p).sort().forEach(d => q.append("p." + d, p[d]));
    return "/job?" + q.toString();
  }

  function segments(row) {
    const out = [];
    for (const cell of row.cells) {
      const code = M.codes[cell[1]], last = out[out.length - 1];
      if (last && last.code === code && last.to[0] + 1 === cell[0]) { last.to = cell; last.n += 1; }
      else out.push({ code, from: cell, to: cell, n: 1 });
    }
    return out;
  }

  function segText(row, seg) {
    const k = c => M.meta.colKeys[c[2]];
    const span = seg.n > 1 ? k(seg.from) + " – " + k(seg.to) : k(seg.from);
    const where = M.meta.rowDim ? M.meta.rowDim + "=" + row.label + ", " + M.meta.colDim + " " : M.meta.colDim + " ";
    return where + span + ": " + seg.n + " " + O.NAMES[seg.code];
  }

  function drawTrack(ri) {
    const row = M.rows[ri], track = M.tracks[ri];
    track.textContent = "";
    let bad = false;
    for (const seg of segments(row)) {
      const a = document.createElement("a");
      a.className = "seg c-" + seg.code;
      a.style.gridColumn = (seg.from[0] + 1) + " / span " + (seg.to[0] - seg.from[0] + 1);
      a.href = jobHref(seg.from);
      a.dataset.i = String(seg.from[1]);
      a.setAttribute("aria-label", segText(row, seg));
      a.segRow = ri; a.seg = seg;
      a.tabIndex = String(seg.from[1]) === M.current ? 0 : -1;
      if (BAD.has(seg.code)) bad = true;
      track.appendChild(a);
    }
    track.parentElement.classList.toggle("has-bad", bad);
  }

  function axisRow() {
    const div = document.createElement("div");
    div.className = "m-row m-axis";
    div.appendChild(document.createElement("span")).className = "m-head";
    const track = div.appendChild(document.createElement("div"));
    track.className = "m-track";
    const labels = M.axis || Array.from({ length: M.width }, (_, i) => "+" + i);
    const every = Math.max(1, Math.ceil(M.width / 16));
    labels.forEach((text, c) => {
      if (c % every) return;
      const s = track.appendChild(document.createElement("span"));
      s.style.gridColumn = (c + 1) + " / span " + Math.min(every, M.width - c);
      s.textContent = text;
    });
    return div;
  }

  function draw() {
    const box = document.querySelector(".matrix");
    box.textContent = "";
    box.style.setProperty("--cols", String(M.width));
    box.appendChild(axisRow());
    M.tracks = M.rows.map((row, ri) => {
      const div = box.appendChild(document.createElement("div"));
      div.className = "m-row";
      div.setAttribute("role", "row");
      div.appendChild(document.createElement("span")).className = "m-head";
      div.firstChild.textContent = row.label;
      const track = div.appendChild(document.createElement("div"));
      track.className = "m-track";
      return track;
    });
    M.rows.forEach((_, ri) => drawTrack(ri));
    keepStop(box);
    drawBadList();
  }

  function keepStop(box) {
    // The tab stop on a range that is shown: the filter may hide its row.
    const stop = box.querySelector('.seg[tabindex="0"]');
    if (stop && stop.offsetParent !== null) return;
    const row = visibleRows(box)[0];
    rove(row ? row.querySelector(".seg") : null, false);
  }

  // One tab stop for the whole matrix; the arrows move between ranges.
  function rove(a, focus) {
    if (!a) return;
    const old = document.querySelector('.matrix .seg[tabindex="0"]');
    if (old) old.tabIndex = -1;
    a.tabIndex = 0;
    M.current = a.dataset.i;
    if (focus) a.focus();
  }

  function visibleRows(box) {
    return Array.from(box.querySelectorAll(".m-row:not(.m-axis)")).filter(r => r.offsetParent !== null);
  }

  function arrow(ev) {
    const a = ev.target, box = a.closest(".matrix");
    if (!a.seg) return;
    const along = { ArrowRight: 1, ArrowLeft: -1 }[ev.key], across = { ArrowDown: 1, ArrowUp: -1 }[ev.key];
    let next = null;
    if (along) next = along > 0 ? a.nextElementSibling : a.previousElementSibling;
    else if (across) {
      const rows = visibleRows(box), at = rows.indexOf(a.closest(".m-row")) + across, col = a.seg.from[0];
      const segs = at >= 0 && at < rows.length ? Array.from(rows[at].querySelectorAll(".seg")) : [];
      next = segs.find(s => s.seg.from[0] <= col && col <= s.seg.to[0]) || segs[segs.length - 1] || null;
    } else if (ev.key === "Home" || ev.key === "End") {
      const segs = a.parentElement.querySelectorAll(".seg");
      next = segs[ev.key === "Home" ? 0 : segs.length - 1];
    } else return;
    ev.preventDefault();
    rove(next, true);
  }

  function drawBadList() {
    const list = document.querySelector(".bad-ranges");
    if (!list) return;
    list.textContent = "";
    if (!badOnly) return;
    const items = [];
    M.tracks.forEach(t => t.querySelectorAll(".seg").forEach(a => { if (BAD.has(a.seg.code)) items.push(a); }));
    const ul = list.appendChild(document.createElement("ul"));
    items.slice(0, 300).forEach(a => {
      const link = ul.appendChild(document.createElement("li")).appendChild(document.createElement("a"));
      link.href = a.href;
      link.textContent = a.getAttribute("aria-label");
    });
    if (!items.length) ul.appendChild(document.createElement("li")).textContent = "Every partition is fresh.";
    if (items.length > 300) ul.appendChild(document.createElement("li")).textContent = "… and " + (items.length - 300) + " more ranges";
  }

  function tipLines(a) {
    const i = a.seg.from[1], lines = [a.getAttribute("aria-label")];
    if (M.meta.run[i]) lines.push("first: run " + M.meta.run[i] + (M.meta.t[i] ? ", " + new Date(M.meta.t[i] * 1000).toLocaleString() : ""));
    for (const cell of M.rows[a.segRow].cells) {
      if (cell[0] < a.seg.from[0] || cell[0] > a.seg.to[0]) continue;
      if (M.meta.err[cell[1]]) { lines.push(M.meta.err[cell[1]]); break; }
    }
    return lines;
  }

  function init() {
    const dataEl = document.getElementById("matrix-data"), box = document.querySelector(".matrix");
    if (!dataEl || !box) { M = null; return; }
    const meta = JSON.parse(dataEl.textContent), shape = layout(meta);
    M = { meta, codes: meta.s.split(""), rows: shape.rows, width: shape.width, axis: shape.axis, rowOf: new Map(),
      current: M && M.meta.key === meta.key ? M.current : null };
    M.rows.forEach((row, ri) => row.cells.forEach(c => M.rowOf.set(c[1], ri)));
    draw();
    document.body.dataset.matrixMs = performance.now().toFixed(1);
    const show = ev => { if (ev.target.seg) O.tip(ev.target, tipLines(ev.target)); };
    box.addEventListener("mouseover", show);
    box.addEventListener("focusin", show);
    box.addEventListener("keydown", arrow);
    box.addEventListener("focusin", ev => { if (ev.target.seg) rove(ev.target, false); });
    box.addEventListener("mouseleave", () => O.tip(null, null));
    box.addEventListener("focusout", () => O.tip(null, null));
    const bad = document.getElementById("bad-only");
    if (bad) {
      bad.checked = badOnly;
      box.classList.toggle("bad-only", badOnly);
      bad.addEventListener("change", () => {
        badOnly = bad.checked;
        box.classList.toggle("bad-only", badOnly);
        keepStop(box);
        drawBadList();
      });
    }
    document.querySelectorAll(".matrix-controls select").forEach(s => s.addEventListener("change", () => s.form.submit()));
  }

  function headline(key, counts) {
    const head = document.getElementById("asset-head"), list = document.getElementById("asset-counts");
    if (!head || head.dataset.key !== key) return;
    const state = O.PRIORITY.find(s => counts[s]) || "missing";
    const old = head.querySelector(".badge");
    if (old) old.replaceWith(O.badge(state));
    if (list) {
      list.textContent = "";
      O.PRIORITY.filter(s => counts[s]).forEach(s => { list.append(O.badge(s), " " + counts[s] + " "); });
    }
  }

  O.appliers.push(d => {
    const head = document.getElementById("asset-head");
    if (!head) return false;
    const key = head.dataset.key, counts = d.assets && d.assets[key];
    if (!counts) return true;  // nothing of this asset changed
    if (!M) return false;  // an asset of one job: its page is small, draw it again
    const rows = new Set();
    for (const [k, i, code] of d.jobs) {
      if (k !== key) continue;
      M.codes[i] = code;
      if (M.rowOf.has(i)) rows.add(M.rowOf.get(i));
    }
    rows.forEach(drawTrack);
    if (rows.size) { keepStop(document.querySelector(".matrix")); drawBadList(); }
    headline(key, counts);
    return true;
  });
  O.inits.push(init);
})();
