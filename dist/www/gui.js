// Morvane operator GUI: asks before a form marked data-confirm is sent; a list form with
// ticked rows (class "pick") sends their values, separated by blanks, as its "ids".
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
