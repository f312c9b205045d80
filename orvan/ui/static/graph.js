// The asset graph: its nodes and the attention counts follow the jobs'
// states as they change.
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

  O.appliers.push(d => {
    const svg = document.querySelector("svg.graph");
    if (!svg) return false;
    for (const key of Object.keys(d.assets || {})) {
      const a = svg.querySelector('a.node[data-key="' + CSS.escape(key) + '"]');
      if (a) node(a, d.assets[key]);
    }
    if (d.totals) attention(d.totals);
    return true;
  });
})();
