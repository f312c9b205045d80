// The search box: Ctrl+K (or "/") from anywhere, results as the user types,
// arrows to move, Enter to go, Escape to leave.
"use strict";
(function () {
  let timer = null, active = -1, asked = 0;

  function items() { return Array.from(document.querySelectorAll("#find-results a")); }

  function mark(i) {
    const all = items();
    if (!all.length) return;
    active = (i + all.length) % all.length;
    all.forEach((a, j) => a.setAttribute("aria-selected", j === active ? "true" : "false"));
    all[active].scrollIntoView({ block: "nearest" });
  }

  function show(found) {
    const list = document.getElementById("find-results");
    list.textContent = "";
    active = -1;
    for (const f of found) {
      const a = list.appendChild(document.createElement("li")).appendChild(document.createElement("a"));
      a.href = f.href;
      a.setAttribute("role", "option");
      a.appendChild(document.createElement("small")).textContent = f.kind;
      a.append(" " + f.label + (f.detail ? " · " + f.detail : ""));
    }
    if (!found.length) list.appendChild(document.createElement("li")).textContent = "nothing found";
    list.hidden = false;
    if (found.length) mark(0);
  }

  function ask(text) {
    const n = ++asked;
    if (!text.trim()) { document.getElementById("find-results").hidden = true; return; }
    fetch("/api/search?" + new URLSearchParams({ q: text }), { cache: "no-store" }).then(r => r.json())
      .then(found => { if (n === asked) show(found); }).catch(() => {});
  }

  document.addEventListener("DOMContentLoaded", () => {
    const box = document.getElementById("find"), list = document.getElementById("find-results");
    if (!box) return;
    document.addEventListener("keydown", ev => {
      const typing = /^(INPUT|TEXTAREA|SELECT)$/.test(document.activeElement.tagName);
      if ((ev.key === "k" && (ev.ctrlKey || ev.metaKey)) || (ev.key === "/" && !typing)) {
        ev.preventDefault();
        box.focus();
        box.select();
      }
    });
    box.addEventListener("input", () => { clearTimeout(timer); timer = setTimeout(() => ask(box.value), 120); });
    box.addEventListener("keydown", ev => {
      if (ev.key === "ArrowDown") { ev.preventDefault(); mark(active + 1); }
      else if (ev.key === "ArrowUp") { ev.preventDefault(); mark(active - 1); }
      else if (ev.key === "Enter" && active >= 0) { ev.preventDefault(); location.href = items()[active].href; }
      else if (ev.key === "Escape") { list.hidden = true; box.blur(); }
    });
    box.addEventListener("blur", () => setTimeout(() => { list.hidden = true; }, 200));
  });
})();
