// Helpers of the page's style sheets; nothing on this page needs them, so the page works without them.
function mainStyleFlash(element) {
  if (!element || !element.style) return;
  var original = element.style.opacity;
  element.style.opacity = "0.6";
  setTimeout(function () { element.style.opacity = original; }, 150);
}
