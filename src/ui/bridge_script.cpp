#include "ui/bridge_script.h"

namespace Kestrilon::UI {

// Values cross as tagged JSON: plain JSON for what a script makes of itself (null = undefined), an
// object {kind, value} for the rest. Objects and functions the host receives become references into
// `objects`, which the host releases when its script value dies; ids carry a per-document token so a
// reference kept from an earlier document never reaches an object of the new one.
const char* const kBridgeScript = R"JS(
(function () {
  'use strict';
  if (location.protocol !== 'res:' || window.__kestrilonHost) return;
  const handler = window.webkit.messageHandlers.kestrilon;
  const post = handler.postMessage.bind(handler);
  const Request = window.XMLHttpRequest;
  const stringify = JSON.stringify, parse = JSON.parse;
  const callUrl = location.protocol + '//' + location.host + '/__kestrilon/callc';
  const token = Math.random().toString(36).slice(2) + Date.now().toString(36);
  const objects = new Map();
  let nextId = 1;

  function encode(v) {
    switch (typeof v) {
      case 'undefined': return null;
      case 'string': case 'boolean': return v;
      case 'number':
        if (Number.isInteger(v) && v >= -2147483648 && v <= 2147483647) return v;
        return { kind: 'VT_R8', value: Number.isFinite(v) ? v : String(v) };
      case 'function': case 'object': {
        if (v === null) return { kind: 'VT_NULL' };
        const id = token + '.' + (nextId++);
        objects.set(id, v);
        return { kind: 'VT_DISPATCH', value: id };
      }
      default: return String(v);
    }
  }
  function decode(t) {
    if (t === null) return undefined;
    if (typeof t !== 'object') return t;
    switch (t.kind) {
      case 'VT_EMPTY': return undefined;
      case 'VT_NULL': return null;
      case 'VT_DISPATCH': return objects.get(t.value);
      case 'VT_BSTR': return t.value === null ? '' : t.value;
      case 'VT_BOOL': return t.value !== 0 && t.value !== false;
      case 'VT_R8': return typeof t.value === 'string' ? Number(t.value) : t.value;
      default: return t.value;
    }
  }
  function encodeArgs(args, count) {
    const list = [];
    for (let i = 0; i < count; ++i) list.push(encode(args[i]));
    return list;
  }
  function callback(v) {
    return (typeof v === 'function' || (typeof v === 'object' && v !== null)) ? encode(v) : null;
  }

  const external = {
    callc: function (name, a2, a3, a4, a5) {
      const request = new Request();
      request.open('POST', callUrl, false);
      request.send(stringify(encodeArgs(arguments, 5)));
      if (request.status !== 200) return undefined;
      return decode(parse(request.responseText));
    },
    asyncallc: function (cb, name, a2, a3, a4, a5) {
      post(stringify({ op: 'async', queued: true, callback: callback(cb),
                       args: encodeArgs(Array.prototype.slice.call(arguments, 1), 5) }));
    },
    asyncalld: function (cb, name, a2, a3, a4, a5) {
      post(stringify({ op: 'async', queued: false, callback: callback(cb),
                       args: encodeArgs(Array.prototype.slice.call(arguments, 1), 5) }));
    },
    // There is no COM on this system: no object can be created.
    getCom: function (id) { return null; }
  };
  Object.freeze(external);
  Object.defineProperty(window, 'external', { value: external, writable: false, configurable: false });

  // The host's calls into the page; each answers a JSON text {s: status, r: result}.
  const UNKNOWN_NAME = -2147352570, EXCEPTION = -2147352567;
  function answer(s, r) { return stringify(r === undefined ? { s: s } : { s: s, r: r }); }
  const host = Object.freeze({
    call: function (name, args) {
      if (!(name in window)) return answer(UNKNOWN_NAME);
      const f = window[name];
      if (typeof f !== 'function') return answer(UNKNOWN_NAME);
      try { return answer(0, encode(f.apply(window, args.map(decode)))); }
      catch (e) { return answer(EXCEPTION); }
    },
    invoke: function (callee, args) {
      const o = decode(callee);
      if (o === undefined || o === null) return answer(0);
      const call = o.call;
      if (call === undefined) return answer(0);
      try { call.apply(o, args.map(decode)); } catch (e) { return answer(EXCEPTION); }
      return answer(0);
    },
    set: function (name, value) {
      try { window[name] = decode(value); } catch (e) { return answer(EXCEPTION); }
      return answer(0);
    },
    get: function (name) {
      if (!(name in window)) return answer(UNKNOWN_NAME);
      return answer(0, encode(window[name]));
    },
    exec: function (text) {
      try { (0, eval)(text); } catch (e) { return answer(EXCEPTION); }
      return answer(0);
    },
    release: function (ids) { ids.forEach(function (id) { objects.delete(id); }); return answer(0); },
    size: function () {
      const body = document.body;
      if (!body) return answer(-2147467259);
      return answer(0, [body.scrollWidth, body.scrollHeight]);
    }
  });
  Object.defineProperty(window, '__kestrilonHost', { value: host, writable: false, configurable: false });

  // Browser keys do nothing in the page: Escape, F1, F5, Alt+Left/Right, Ctrl+D/L/N/O/P/S (the window
  // swallows them too when they come from the keyboard; this also covers synthesized keys).
  window.addEventListener('keydown', function (e) {
    const k = e.key.length === 1 ? e.key.toLowerCase() : e.key;
    if (k === 'Escape' || k === 'F1' || k === 'F5' ||
        (e.altKey && (k === 'ArrowLeft' || k === 'ArrowRight')) ||
        (e.ctrlKey && k.length === 1 && 'dlnops'.indexOf(k) >= 0)) {
      e.preventDefault();
      e.stopImmediatePropagation();
    }
  }, true);

  // Elements the host handles itself.
  const clickIds = ['ui_close', 'ui_quit', 'ui_maximize', 'ui_restore', 'ui_minimize', 'ui_menu'];
  document.addEventListener('click', function (e) {
    for (let el = e.target; el && el.nodeType === 1; el = el.parentElement) {
      if (clickIds.indexOf(el.id) >= 0) { post(stringify({ op: 'click', id: el.id })); return; }
    }
  }, true);
  document.addEventListener('mousedown', function (e) {
    const target = e.target;
    if (!target || target.nodeType !== 1 || !target.closest('#ui_title')) return;
    if (target.id && target.id !== 'ui_title') return;  // a button inside the title bar
    post(stringify({ op: 'title', button: e.button }));
  }, true);
  document.addEventListener('dragstart', function (e) {
    if (e.target && e.target.nodeType === 1 && e.target.closest('a')) e.preventDefault();
    else if (e.target && e.target.parentElement && e.target.parentElement.closest('a')) e.preventDefault();
  }, true);
  function watchBody() {
    if (!document.body || typeof ResizeObserver !== 'function') return;
    let first = true;
    new ResizeObserver(function () {
      if (first) { first = false; return; }  // the first report is the body's initial layout
      post(stringify({ op: 'resize' }));
    }).observe(document.body);
  }
  if (document.readyState === 'loading') document.addEventListener('DOMContentLoaded', watchBody);
  else watchBody();
})();
)JS";

}  // namespace Kestrilon::UI
