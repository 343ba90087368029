// Sorting by a column header, grouping chips, and a period that excludes dates.
// Plain script, no library: the pages work without it, only less handily.
"use strict";

function sortKey(cell) {
  const v = cell.dataset.v;
  if (v !== undefined) return v === "" ? null : Number(v);
  const text = cell.textContent;
  return text === "" ? null : text;
}

function sortBy(table, index, th) {
  const descending = th.getAttribute("aria-sort") === "ascending";
  const body = table.tBodies[0];
  const rows = Array.from(body.rows);
  const keyed = rows.map((row, position) => [sortKey(row.cells[index]), position, row]);
  keyed.sort((a, b) => {
    // Empty cells (NULL) go last either way; equal keys keep their order.
    if (a[0] === null || b[0] === null) {
      return a[0] === b[0] ? a[1] - b[1] : a[0] === null ? 1 : -1;
    }
    let order = typeof a[0] === "number" ? a[0] - b[0] : a[0].localeCompare(b[0]);
    if (descending) order = -order;
    return order || a[1] - b[1];
  });
  for (const other of table.tHead.rows[0].cells) other.removeAttribute("aria-sort");
  th.setAttribute("aria-sort", descending ? "descending" : "ascending");
  body.append(...keyed.map((item) => item[2]));
}

document.addEventListener("DOMContentLoaded", () => {
  const table = document.getElementById("result");
  if (table) {
    for (const button of table.querySelectorAll("button.sort")) {
      button.addEventListener("click", () =>
        sortBy(table, Number(button.dataset.col), button.closest("th")));
    }
  }
  const group = document.getElementById("group_by");
  for (const chip of document.querySelectorAll("button.chip")) {
    chip.addEventListener("click", () => {
      const names = group.value.split(",").map((s) => s.trim()).filter(Boolean);
      if (names.length === 0 && group.placeholder) names.push(...group.placeholder.split(","));
      if (!names.includes(chip.dataset.add)) names.push(chip.dataset.add);
      group.value = names.join(",");
    });
  }
  const period = document.getElementById("period");
  const dates = [document.getElementById("start"), document.getElementById("end")];
  if (period) {
    period.addEventListener("change", () => {
      if (period.value) for (const input of dates) input.value = "";
    });
    for (const input of dates) {
      input.addEventListener("change", () => { if (input.value) period.value = ""; });
    }
  }
});
