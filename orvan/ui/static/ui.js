// orvan ui: live updates (small changes applied in the page; the parts of
// pages register what they take in orvan.appliers), the timeline's zoom and
// the copy buttons. Everything shown from data goes in
// through textContent, never as markup.
"use strict";
(function () {
  const O = window.orvan = {
    appliers: [], inits: [],
    PRIORITY: ["running", "failed", "interrupted", "blocked", "stale", "missing", "fresh"],
    GLYPHS: { fresh: "✓", stale: "↻", failed: "✕", interrupted: "‖", running: "▶", missing: "○", blocked: "⊘" },
    NAMES: { f: "fresh", s: "stale", x: "failed", i: "interrupted", r: "running", m: "missing", b: "blocked" },
  };
  let busy = false, again = false, zoom = 1, refreshes = 0, updates = 0;
  const main = () => document.getElementById("live");

  O.badge = function (state) {
    const b = document.createElement("span");
    b.className = "badge st-" + state;
    b.textContent = (O.GLYPHS[state] ? O.GLYPHS[state] + " " : "") + state.replace("_", " ");
    return b;
  };

  function refresh() {
    // The whole page again: for small pages, and when changes cannot be applied.
    if (busy) { again = true; return; }
    busy = true;
    fetch(location.href, { cache: "no-store" }).then(r => r.text()).then(text => {
      const doc = new DOMParser().parseFromString(text, "text/html");
      const fresh = doc.getElementById("live"), now = main();
      if (fresh && now) {
        now.innerHTML = fresh.innerHTML;
        for (const name of ["poll", "v", "run", "runs"]) {
          if (fresh.dataset[name]) now.dataset[name] = fresh.dataset[name]; else delete now.dataset[name];
        }
        refreshes += 1;
        document.body.dataset.refreshes = String(refreshes);
        init();
      }
    }).catch(() => {}).finally(() => {
      busy = false;
      if (again) { again = false; pull(); }
    });
  }

  function apply(d) {
    // Each part of the page takes what concerns it; a page none of whose
    // parts can take a change is drawn again.
    const t0 = performance.now();
    const some = (d.jobs && d.jobs.length) || (d.run && d.run.length);
    let taken = false;
    for (const f of O.appliers) if (f(d)) taken = true;
    const banner = document.getElementById("reloading");
    if (banner) banner.hidden = !d.reloading;
    if (some && !taken) return false;
    updates += 1;
    document.body.dataset.updates = String(updates);
    document.body.dataset.applyMs = (performance.now() - t0).toFixed(2);
    return true;
  }

  async function pull() {
    const m = main();
    if (!m || !m.dataset.v) return;
    if (busy) { again = true; return; }
    busy = true;
    let redraw = false;
    try {
      const q = new URLSearchParams({ since: m.dataset.v });
      if (m.dataset.run) q.set("run", m.dataset.run);
      if (m.dataset.runs) q.set("runs", "1");
      const d = await (await fetch("/changes?" + q, { cache: "no-store" })).json();
      if (d.reload) redraw = true;
      else if (d.v !== m.dataset.v) { redraw = !apply(d); if (!redraw) m.dataset.v = d.v; }
    } catch (err) {
      redraw = false;
    } finally {
      busy = false;
    }
    if (redraw) refresh();
    else if (again) { again = false; pull(); }
  }

  function changed(next) {
    const m = main();
    if (m && m.dataset.v && next !== m.dataset.v) pull();
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

  O.tip = function (target, lines) {
    let tip = document.getElementById("tip");
    if (!tip) { tip = document.createElement("div"); tip.id = "tip"; document.body.appendChild(tip); }
    if (!lines) { tip.style.display = "none"; return; }
    const r = target.getBoundingClientRect();
    tip.textContent = lines.join("\n");
    tip.style.display = "block";
    tip.style.left = (window.scrollX + r.left) + "px";
    tip.style.top = (window.scrollY + r.bottom + 6) + "px";
  };

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

  function initLog() {
    // Find in the log: only the lines that hold the text; the log follows its end while running.
    const pre = document.querySelector("pre.log"), find = document.querySelector("input.log-find");
    if (!pre) return;
    const whole = pre.textContent;
    if (main() && main().dataset.poll) pre.scrollTop = pre.scrollHeight;
    if (!find) return;
    const show = () => {
      const q = find.value.toLowerCase();
      pre.textContent = q ? whole.split("\n").filter(l => l.toLowerCase().includes(q)).join("\n") : whole;
    };
    find.addEventListener("input", show);
  }

  let pollTimer = null;
  function init() {
    initGantt();
    initCopy();
    initLog();
    O.inits.forEach(f => f());
    const main = document.getElementById("live");
    // A running job's log grows without the catalog changing: look again now and then.
    if (main && main.dataset.poll && !pollTimer) pollTimer = setTimeout(() => { pollTimer = null; refresh(); }, 2000);
  }

  document.addEventListener("DOMContentLoaded", () => { init(); listen(); pull(); });
})();
