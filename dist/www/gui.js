// Morvane operator GUI: asks before a form marked data-confirm is sent.
document.addEventListener("submit", function (e) {
  var text = e.target.getAttribute("data-confirm");
  if (text && !window.confirm(text)) e.preventDefault();
});
