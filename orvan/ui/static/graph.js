// The asset graph: fitted to its box, zoomed and panned with the mouse,
// fingers or keys; filtered by state, module or an asset's lineage (the
// filters live in the address); full names on hover and focus; nodes and the
// attention counts follow the jobs' states as they change.
"use strict";
(function () {
  const O = window.orvan;
  const SVG = "http://www.w3.org/2000/svg";
  const NODE_W = 210, NODE_H = 44;

  function countsLine(counts) {
    return O.PRIORITY.filter(s => counts[s]).map(s => counts[s] + " " + s).join(" · ");
  }

  function bars(g, counts) {
    g.textContent = "";
    const total = Object.values(counts).reduce((a, b) => a + b, 0);
    let x = 8;
    O.PRIORITY.slice().reverse().filter(s => counts[s]).forEach(s => {
      const w = (NODE_W - 16) * counts[s] / total, r = g.appendChild(document.createElementNS(SVG, "rect"));
      r.setAttribute("class", "bar st-" + s);
      r.setAttribute("x", x.toFixed(1));
      r.setAttribute("y", String(NODE_H - 9));
      r.setAttribute("width", w.toFixed(1));
      r.setAttribute("height", "5");
      x += w;
    });
  }

  function node(a, counts) {
    const state = O.PRIORITY.find(s => counts[s]) || "missing";
    a.dataset.state = state;
    a.querySelector(".box").setAttribute("class", "box st-" + state);
    const g = a.querySelector(".bars"), line = g ? countsLine(counts) : state;
    a.querySelector(".detail").textContent = O.GLYPHS[state] + " " + line;
    if (g) bars(g, counts);
    const title = a.querySelector("title");
    if (title) title.textContent = a.dataset.key + " — " + line;
  }

  function attention(totals) {
    const p = document.querySelector(".attention");
    if (!p) return;
    p.textContent = "";
    O.PRIORITY.filter(s => s !== "fresh" && totals[s]).forEach(s => {
      const a = p.appendChild(document.createElement("a"));
      a.className = "count st-" + s;
      a.href = "/jobs?state=" + s;
      a.textContent = O.GLYPHS[s] + " " + totals[s] + " " + s;
      p.append(" ");
    });
    const all = Object.values(totals).reduce((a, b) => a + b, 0);
    p.appendChild(document.createElement("span")).textContent = (totals.fresh || 0) + " of " + all + " jobs fresh";
  }

  function place(a) {
    const m = /translate\(([-\d.]+),([-\d.]+)\)/.exec(a.getAttribute("transform"));
    return m ? [Number(m[1]), Number(m[2])] : [0, 0];
  }

  function kept(svg) {
    // The nodes the address's filters keep; null when there are none.
    const q = new URLSearchParams(location.search), state = q.get("state"), module = q.get("module");
    const lineage = q.get("lineage");
    if (!state && !module && !lineage) return null;
    const nodes = Array.from(svg.querySelectorAll("a.node"));
    let keep = new Set(nodes.map(n => n.dataset.key));
    if (lineage) {
      const ups = new Map(), downs = new Map();
      svg.querySelectorAll(".edges path").forEach(p => {
        (downs.get(p.dataset.a) || downs.set(p.dataset.a, []).get(p.dataset.a)).push(p.dataset.b);
        (ups.get(p.dataset.b) || ups.set(p.dataset.b, []).get(p.dataset.b)).push(p.dataset.a);
      });
      const line = new Set([lineage]);
      for (const links of [ups, downs]) {
        const stack = [lineage];
        while (stack.length) for (const k of links.get(stack.pop()) || []) if (!line.has(k)) { line.add(k); stack.push(k); }
      }
      keep = new Set([...keep].filter(k => line.has(k)));
    }
    nodes.forEach(n => {
      if (module && n.dataset.module !== module) keep.delete(n.dataset.key);
      if (state && !n.dataset.states.split(" ").includes(state)) keep.delete(n.dataset.key);
    });
    return keep;
  }

  function filter(svg, keep) {
    svg.querySelectorAll("a.node").forEach(n => {
      const out = keep !== null && !keep.has(n.dataset.key);
      n.classList.toggle("out", out);
      if (out) n.setAttribute("tabindex", "-1"); else n.removeAttribute("tabindex");
    });
    svg.querySelectorAll(".edges path").forEach(p =>
      p.classList.toggle("out", keep !== null && !(keep.has(p.dataset.a) && keep.has(p.dataset.b))));
  }

  function initGraph() {
    const box = document.querySelector(".graph-box"), svg = box && box.querySelector("svg.graph");
    if (!svg) return;
    let view = null;
    const set = v => { view = v; svg.setAttribute("viewBox", [v.x, v.y, v.w, v.h].map(n => n.toFixed(1)).join(" ")); };
    function fit() {
      const shown = Array.from(svg.querySelectorAll("a.node:not(.out)"));
      if (!shown.length) return set({ x: 0, y: 0, w: Number(svg.dataset.w), h: Number(svg.dataset.h) });
      const xs = shown.map(place);
      const x0 = Math.min(...xs.map(p => p[0])) - 20, y0 = Math.min(...xs.map(p => p[1])) - 20;
      const x1 = Math.max(...xs.map(p => p[0])) + NODE_W + 20, y1 = Math.max(...xs.map(p => p[1])) + NODE_H + 20;
      const bw = box.clientWidth || 800, bh = box.clientHeight || 500;
      // Never larger than life: a small graph keeps its size, centred.
      const scale = Math.min(1, bw / (x1 - x0), bh / (y1 - y0)), w = bw / scale, h = bh / scale;
      set({ x: (x0 + x1 - w) / 2, y: (y0 + y1 - h) / 2, w, h });
    }
    function zoom(f, cx, cy) {
      const w = Math.min(Math.max(view.w / f, 150), Number(svg.dataset.w) * 4 + 2000);
      const k = w / view.w;
      if (cx === undefined) { cx = view.x + view.w / 2; cy = view.y + view.h / 2; }
      set({ x: cx - (cx - view.x) * k, y: cy - (cy - view.y) * k, w, h: view.h * k });
    }
    const at = ev => {
      const r = svg.getBoundingClientRect();
      return [view.x + (ev.clientX - r.left) / r.width * view.w, view.y + (ev.clientY - r.top) / r.height * view.h];
    };
    filter(svg, kept(svg));
    fit();
    box.addEventListener("wheel", ev => { ev.preventDefault(); const [x, y] = at(ev); zoom(ev.deltaY < 0 ? 1.2 : 1 / 1.2, x, y); },
      { passive: false });
    const pointers = new Map();
    let moved = 0, pinch = 0;
    box.addEventListener("pointerdown", ev => { pointers.set(ev.pointerId, [ev.clientX, ev.clientY]); moved = 0; });
    box.addEventListener("pointermove", ev => {
      const was = pointers.get(ev.pointerId);
      if (!was) return;
      pointers.set(ev.pointerId, [ev.clientX, ev.clientY]);
      const r = svg.getBoundingClientRect();
      if (pointers.size === 2) {
        const [a, b] = Array.from(pointers.values()), dist = Math.hypot(a[0] - b[0], a[1] - b[1]);
        if (pinch) zoom(dist / pinch);
        pinch = dist;
        moved += 10;
        return;
      }
      const dx = ev.clientX - was[0], dy = ev.clientY - was[1];
      moved += Math.abs(dx) + Math.abs(dy);
      if (moved > 4) set({ x: view.x - dx * view.w / r.width, y: view.y - dy * view.h / r.height, w: view.w, h: view.h });
    });
    const up = ev => { pointers.delete(ev.pointerId); pinch = 0; };
    box.addEventListener("pointerup", up);
    box.addEventListener("pointercancel", up);
    // A drag that ends on a node is not a click on it.
    box.addEventListener("click", ev => { if (moved > 4) { ev.preventDefault(); moved = 0; } }, true);
    box.addEventListener("keydown", ev => {
      const step = { ArrowLeft: [-1, 0], ArrowRight: [1, 0], ArrowUp: [0, -1], ArrowDown: [0, 1] }[ev.key];
      if (step) set({ x: view.x + step[0] * view.w / 8, y: view.y + step[1] * view.h / 8, w: view.w, h: view.h });
      else if (ev.key === "+" || ev.key === "=") zoom(1.25);
      else if (ev.key === "-") zoom(0.8);
      else if (ev.key === "0") fit();
      else return;
      ev.preventDefault();
    });
    document.querySelectorAll("[data-g]").forEach(b => b.addEventListener("click", () => {
      if (b.dataset.g === "fit") fit(); else zoom(b.dataset.g === "in" ? 1.25 : 0.8);
    }));
    const show = ev => {
      const a = ev.target.closest && ev.target.closest("a.node");
      if (a) O.tip(a, [a.querySelector("title").textContent]);
    };
    box.addEventListener("mouseover", show);
    box.addEventListener("focusin", show);
    box.addEventListener("mouseleave", () => O.tip(null, null));
    box.addEventListener("focusout", () => O.tip(null, null));
    svg.orvanView = () => view;
  }

  O.inits.push(initGraph);

  const SETTLED = new Set(["done", "fresh", "failed", "interrupted", "not_run"]);
  O.appliers.push(d => {
    // The banner of the run going on counts its jobs as they settle.
    const p = document.getElementById("run-progress");
    if (!p || !d.run) return false;
    const counts = JSON.parse(p.dataset.counts);
    for (const [, , before, after] of d.run) {
      counts[before] = (counts[before] || 0) - 1;
      counts[after] = (counts[after] || 0) + 1;
    }
    p.dataset.counts = JSON.stringify(counts);
    const n = s => counts[s] || 0, all = Object.values(counts).reduce((a, b) => a + b, 0);
    const done = Object.keys(counts).filter(s => SETTLED.has(s)).reduce((a, s) => a + counts[s], 0);
    const failed = n("failed") + n("interrupted");
    p.querySelector("span").textContent = done + " of " + all + " jobs settled" + (failed ? ", " + failed + " failed" : "");
    return true;
  });

  O.appliers.push(d => {
    const svg = document.querySelector("svg.graph");
    if (!svg) return false;
    for (const key of Object.keys(d.assets || {})) {
      const a = svg.querySelector('a.node[data-key="' + CSS.escape(key) + '"]');
      if (!a) return false;  // drawn in its module's node: draw the page again
      node(a, d.assets[key]);
    }
    if (d.totals) attention(d.totals);
    return true;
  });
})();
