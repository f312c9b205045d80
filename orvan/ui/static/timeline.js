// A run's timeline: one line per asset, its jobs fetched when the line is
// opened, a page of them at a time, so that a run of ten thousand jobs
// draws as fast as one of ten.
"use strict";
(function () {
  const O = window.orvan;

  function countsText(counts) {
    return Object.entries(counts).filter(([, n]) => n > 0).sort((a, b) => b[1] - a[1])
      .map(([s, n]) => n + " " + s.replace("_", " ")).join(" · ");
  }

  function row(g, r) {
    const [id, label, status, start, end, href, err] = r;
    const t0 = Number(g.dataset.t0), span = Number(g.dataset.span), now = Date.now() / 1000;
    const div = document.createElement("div");
    div.className = "g-row";
    div.dataset.id = String(id);
    const a = div.appendChild(document.createElement("a"));
    a.className = "g-label";
    a.href = href;
    a.textContent = label || "(the job)";
    a.title = label + ": " + status + (err ? "\n" + err : "");
    const track = div.appendChild(document.createElement("div"));
    track.className = "g-track";
    if (start !== null && status !== "fresh" && status !== "not_run") {
      const bar = track.appendChild(document.createElement("span"));
      const from = start - t0, to = (end === null ? now : end) - t0;
      bar.className = "g-bar st-" + status;
      bar.style.left = (100 * from / span).toFixed(3) + "%";
      bar.style.width = Math.max(100 * (to - from) / span, 0.15).toFixed(3) + "%";
      bar.title = a.title;
    }
    return div;
  }

  async function load(d, offset) {
    const g = d.closest(".gantt");
    const q = new URLSearchParams({ asset: d.dataset.asset, offset: String(offset) });
    const data = await (await fetch("/api/run/" + g.dataset.run + "?" + q, { cache: "no-store" })).json();
    const box = d.querySelector(".g-rows");
    if (offset === 0) box.textContent = "";
    const more = box.querySelector(".g-more");
    if (more) more.remove();
    data.rows.forEach(r => box.appendChild(row(g, r)));
    const shown = offset + data.rows.length;
    d.dataset.shown = String(shown);
    if (shown < data.total) {
      const b = box.appendChild(document.createElement("button"));
      b.type = "button";
      b.className = "g-more";
      b.textContent = "show more (" + shown + " of " + data.total + ")";
      b.addEventListener("click", () => load(d, shown));
    }
  }

  function init() {
    document.querySelectorAll(".gantt details.g-group").forEach(d => d.addEventListener("toggle", () => {
      if (d.open && !d.dataset.shown) load(d, 0);
    }));
  }

  O.appliers.push(d => {
    const g = document.querySelector(".gantt[data-run]");
    if (!g || !d.run) return false;
    const touched = new Set();
    for (const [, key, before, after] of d.run) {
      const group = g.querySelector('details.g-group[data-asset="' + CSS.escape(key) + '"]');
      if (!group) return false;  // a job of an asset not drawn yet: draw the page again
      const counts = JSON.parse(group.dataset.counts);
      counts[before] = (counts[before] || 0) - 1;
      counts[after] = (counts[after] || 0) + 1;
      group.dataset.counts = JSON.stringify(counts);
      group.querySelector(".g-counts").textContent = countsText(counts);
      touched.add(group);
    }
    // An opened line shows its jobs' times, which changed with their states.
    touched.forEach(group => { if (group.open && group.dataset.shown) load(group, 0); });
    return true;
  });
  O.inits.push(init);
})();
