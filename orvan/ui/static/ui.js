// orvan ui: live updates, the partition matrix's hover and clicks, the
// timeline's zoom and the copy buttons. Everything shown from data goes in
// through textContent, never as markup.
"use strict";
(function () {
  let token = null, busy = false, again = false, zoom = 1, badOnly = false, refreshes = 0;

  function refresh() {
    if (busy) { again = true; return; }
    busy = true;
    fetch(location.href, { cache: "no-store" }).then(r => r.text()).then(text => {
      const doc = new DOMParser().parseFromString(text, "text/html");
      const fresh = doc.getElementById("live"), main = document.getElementById("live");
      if (fresh && main) {
        main.innerHTML = fresh.innerHTML;
        if (fresh.dataset.poll) main.dataset.poll = "1"; else delete main.dataset.poll;
        refreshes += 1;
        document.body.dataset.refreshes = String(refreshes);
        init();
      }
    }).catch(() => {}).finally(() => {
      busy = false;
      if (again) { again = false; refresh(); }
    });
  }

  function changed(next) {
    if (token !== null && next !== token) refresh();
    token = next;
  }

  function setLive(on) {
    const el = document.getElementById("live-state");
    if (el) el.className = on ? "live-on" : "live-off";
  }

  function poll() {
    // The fallback when the browser or a proxy will not keep an event stream open.
    setLive(true);
    setInterval(() => fetch("/version", { cache: "no-store" }).then(r => r.text()).then(changed)
      .catch(() => setLive(false)), 2000);
  }

  function listen() {
    if (!window.EventSource) return poll();
    const source = new EventSource("/events");
    let opened = false;
    source.onopen = () => { opened = true; setLive(true); };
    source.onmessage = ev => changed(ev.data);
    source.onerror = () => {
      setLive(false);
      if (!opened || source.readyState === EventSource.CLOSED) { source.close(); poll(); }
    };
  }

  function cellIndex(cell, meta) {
    if (cell.tagName === "TD") return (cell.parentElement.rowIndex - 1) * meta.colKeys.length + cell.cellIndex - 1;
    if (cell.tagName === "I") return cell.orvanIndex;
    return -1;
  }

  function cellPartition(i, meta) {
    const n = meta.colKeys.length, p = Object.assign({}, meta.fixed);
    p[meta.colDim] = meta.colKeys[i % n];
    if (meta.rowDim) p[meta.rowDim] = meta.rowKeys[Math.floor(i / n)];
    return p;
  }

  const NAMES = { f: "fresh", s: "stale", x: "failed", i: "interrupted", r: "running", m: "missing", b: "blocked" };

  function initMatrix() {
    const dataEl = document.getElementById("matrix-data"), box = document.querySelector(".matrix");
    if (!dataEl || !box) return;
    const meta = JSON.parse(dataEl.textContent);
    if (box.classList.contains("strip")) Array.from(box.children).forEach((c, i) => { c.orvanIndex = i; });
    let tip = document.getElementById("tip");
    if (!tip) { tip = document.createElement("div"); tip.id = "tip"; document.body.appendChild(tip); }
    box.addEventListener("mouseover", ev => {
      const i = cellIndex(ev.target, meta);
      if (i < 0 || i >= meta.s.length) { tip.style.display = "none"; return; }
      const p = cellPartition(i, meta);
      const lines = [Object.keys(p).sort().map(d => d + "=" + p[d]).join(", "), NAMES[meta.s[i]] || "?"];
      if (meta.run[i]) lines.push("run " + meta.run[i] + (meta.t[i] ? ", " + new Date(meta.t[i] * 1000).toLocaleString() : ""));
      if (meta.err[i]) lines.push(meta.err[i]);
      tip.textContent = lines.join("\n");
      tip.style.display = "block";
      tip.style.left = (ev.pageX + 12) + "px";
      tip.style.top = (ev.pageY + 12) + "px";
    });
    box.addEventListener("mouseleave", () => { tip.style.display = "none"; });
    box.addEventListener("click", ev => {
      const i = cellIndex(ev.target, meta);
      if (i < 0 || i >= meta.s.length) return;
      const p = cellPartition(i, meta), q = new URLSearchParams({ key: meta.key });
      Object.keys(p).sort().forEach(d => q.append("p." + d, p[d]));
      location.href = "/job?" + q.toString();
    });
    const bad = document.getElementById("bad-only");
    if (bad) {
      bad.checked = badOnly;
      box.classList.toggle("bad-only", badOnly);
      bad.addEventListener("change", () => { badOnly = bad.checked; box.classList.toggle("bad-only", badOnly); });
    }
    document.querySelectorAll(".matrix-controls select").forEach(s =>
      s.addEventListener("change", () => s.form.submit()));
  }

  function initGantt() {
    const g = document.querySelector(".gantt");
    if (!g) return;
    g.style.setProperty("--zoom", String(zoom));
    const set = z => { zoom = Math.min(200, Math.max(1, z)); g.style.setProperty("--zoom", String(zoom)); };
    document.querySelectorAll("[data-zoom]").forEach(b => b.addEventListener("click", () => {
      const f = parseFloat(b.dataset.zoom);
      set(f === 0 ? 1 : zoom * f);
    }));
    g.addEventListener("wheel", ev => {
      if (!ev.ctrlKey) return;
      ev.preventDefault();
      set(zoom * (ev.deltaY < 0 ? 1.25 : 0.8));
    }, { passive: false });
  }

  function initCopy() {
    document.querySelectorAll("button.copy").forEach(b => b.addEventListener("click", () => {
      const el = document.getElementById(b.dataset.copy);
      if (!el) return;
      const done = () => { b.textContent = "copied"; };
      const fallback = () => {
        const range = document.createRange();
        range.selectNodeContents(el);
        const sel = getSelection(); sel.removeAllRanges(); sel.addRange(range);
        document.execCommand("copy");
        done();
      };
      if (navigator.clipboard) navigator.clipboard.writeText(el.textContent).then(done, fallback);
      else fallback();
    }));
  }

  let pollTimer = null;
  function init() {
    initMatrix();
    initGantt();
    initCopy();
    const main = document.getElementById("live");
    // A running job's log grows without the catalog changing: look again now and then.
    if (main && main.dataset.poll && !pollTimer) pollTimer = setTimeout(() => { pollTimer = null; refresh(); }, 2000);
  }

  document.addEventListener("DOMContentLoaded", () => { init(); listen(); });
})();
