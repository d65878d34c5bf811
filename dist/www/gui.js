// Morvane operator GUI: asks before a form marked data-confirm is sent; a list form with
// ticked rows (class "pick") sends their values, separated by blanks, as its "ids"; an element
// with data-refresh is replaced every few seconds by what its URL answers (the dashboard's live
// figures), while the page is visible.
document.addEventListener("submit", function (e) {
  var text = e.target.getAttribute("data-confirm");
  if (text && !window.confirm(text)) {
    e.preventDefault();
    return;
  }
  var ids = e.target.querySelector("input[name=ids]");
  if (ids) {
    var picked = [];
    e.target.querySelectorAll("input.pick:checked").forEach(function (box) { picked.push(box.value); });
    ids.value = picked.join(" ");
  }
});

document.querySelectorAll("[data-refresh]").forEach(function (el) {
  var busy = false;
  setInterval(function () {
    if (busy || document.hidden) return;
    busy = true;
    fetch(el.getAttribute("data-refresh"), { credentials: "same-origin", redirect: "manual" })
      .then(function (r) { return r.ok ? r.text() : null; })
      .then(function (html) {
        if (html) {
          el.innerHTML = html;
          el.setAttribute("data-refreshed", String(Date.now()));
        }
      })
      .catch(function () {})
      .finally(function () { busy = false; });
  }, 5000);
});
