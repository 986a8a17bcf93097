// The assistant's page: asks the host for the configuration, checks the machine row by row, paints
// each result, repairs and installs on request and shows the state of the customer's USB key.
//
// Written against the jQuery API as it stood in 1.9 (queue/delay/dequeue, on/off, prop, text), so it
// runs on that release as well as on the current one. Every text that comes from the host or from
// the bank's configuration is put into the page with .text(), never as markup.

var APP_DISPLAY_NAME = "Kestrilon网银助手";

var COLOR_OK = "#f5bc4c";
var COLOR_FAIL = "red";
var PROGRESS_FULL_WIDTH = 264;
var CHECK_STEP_DELAY_MS = 300;
var FIX_STEP_DELAY_MS = 200;
var NBSP = "\u00a0";

var isFirstStart = false;

var check_info = [
  { type: "registry", name: "注册表", status: false, status0: "正常", status1: "异常", opr: "修复" },
  { type: "host", name: "HOST文件", status: false, status0: "正常", status1: "异常", opr: "修复" },
  { type: "cfca", name: "CFCA根证书", status: false, status0: "正常", status1: "异常", opr: "修复" },
  { type: "level", name: "IE安全级别", status: false, status0: "正常", status1: "异常", opr: "修复" },
  { type: "iehomepage", name: "首页锁定", status: false, status0: "正常", status1: "异常", opr: "修复" },
  { type: "compatibility", name: "兼容性站点加入", status: false, status0: "已加入", status1: "未加入", opr: "加入" },
  { type: "trust", name: "网银可信站点", status: false, status0: "已加入", status1: "未加入", opr: "加入" },
  { type: "cache", name: "缓存", status: true, status0: NBSP, status1: NBSP, opr: "清除" },
  { type: "connection", name: "网络连接", status: false, status0: "正常", status1: "异常", opr: "" },
  { type: "url", name: "网银服务", status: false, status0: "正常", status1: "异常", opr: "" },
  { type: "dns", name: "DNS解析", status: false, status0: "正常", status1: "异常", opr: "" }
];

// How each row is painted: repairable rows get their button after a failure, the cache row keeps its
// fixed button and always passes, the network rows are reported only.
(function () {
  var repairable = { registry: 1, host: 1, cfca: 1, level: 1, iehomepage: 1, compatibility: 1, trust: 1 };
  $.each(check_info, function (j, row) {
    if (repairable[row.type]) {
      row.checkfunc = function (result) { check_result(result, row.type, !result); };
    } else if (row.type === "cache") {
      row.checkfunc = function (result) { check_result(true, row.type, true); };
    } else {
      row.checkfunc = function (result) { check_result(result, row.type, false); };
    }
  });
})();

var item_info = [];

var key_info = [
  { type: "FT2", name: "飞天二代", keyid: "0x096E0713", cspname: "EnterSafe Interpass3000 CSP for Quorvane V1.0",
    sn: "", issuer: "", subject: "", date: "", selected: false, status: 3 },
  { type: "HT2", name: "海泰二代", keyid: "0xD4490004", cspname: "Haitai HaiKey 3000 CSP For Quorvane",
    sn: "", issuer: "", subject: "", date: "", selected: false, status: 3, software_version: "" }
];

var KEY_FIELDS = ["sn", "issuer", "subject", "date"];

// ---------------------------------------------------------------------------------------------
// Thin wrappers over the host's external object.

function hasHost() {
  return typeof window.external === "object" && window.external !== null &&
         typeof window.external.callc === "function";
}

function callc(name, a2, a3, a4, a5) {
  if (!hasHost()) return undefined;
  try {
    return window.external.callc(name, a2, a3, a4, a5);
  } catch (e) {
    return undefined;
  }
}

// Without a host (or when the host refuses the call) the callback still runs, with the empty answer,
// so that a waiting step releases the queue.
function asyncallc(callback, name, a2, a3, a4, a5) {
  if (hasHost() && typeof window.external.asyncallc === "function") {
    try {
      window.external.asyncallc(callback, name, a2, a3, a4, a5);
      return;
    } catch (e) {
      writeLog("asyncallc " + name + " failed: " + e);
    }
  }
  setTimeout(function () { callback(undefined); }, 0);
}

function get_data(name) { return callc("get_data", name); }

function open_ie(url, trans) {
  if (trans !== undefined) url = get_data(url);
  writeLog("open_ie " + url);
  callc("open_ie", url);
}

function load_setting(key, defaultValue) { return callc("load_settings", key, defaultValue); }
function save_setting(key, value) { callc("save_settings", key, value); }
function msgbox(text, icon) { callc("messagebox", text, icon); }
var messagebox = msgbox;

// The host answers nothing while the command is not available; the caller's default then stands.
function get_version(what, defaultText) {
  var v = callc("get_version", what, defaultText);
  if (v === undefined || v === null || v === "") return defaultText;
  return String(v);
}

function delay_ms(ms) { callc("delay_ms", ms); }
function restart_app() { callc("restart_app"); }
function check_update(manual) {
  writeLog("send check_update " + manual);
  callc("check_update", manual);
}
function trace(s, isNewLine) { callc("debug_print", s, isNewLine !== false); }
function showInfo(text) { $("#check_text").text(text); }

// The page's trace for support staff: every step sent and every answer painted goes to the log.
function writeLog(text) { callc("set_Log", "[page] " + text); }

function describe(answer) {
  if (answer === undefined) return "(empty)";
  if (answer === null) return "(null)";
  return String(answer);
}

function parseAnswer(answer) {
  if (typeof answer !== "string" || answer === "") return null;
  try {
    var parsed = $.evalJSON(answer);
    return (parsed !== null && typeof parsed === "object") ? parsed : null;
  } catch (e) {
    return null;
  }
}

// ---------------------------------------------------------------------------------------------
// The work queue: jQuery's default queue on the document. A step ends when its last callback calls
// next(), so at most one check, repair or install is outstanding. Steps that need an argument take
// it from a first-in-first-out list filled when they were queued.

var queuedArgs = [];

function queueStep(delayMs, arg, body) {
  queuedArgs.push(arg);
  var doc = $(document);
  if (delayMs > 0) doc.delay(delayMs);
  doc.queue(function (next) {
    var stepArg = queuedArgs.shift();
    var released = false;
    var release = function () {
      if (released) return;
      released = true;
      next();
    };
    try {
      body(stepArg, release);
    } catch (e) {
      writeLog("step failed: " + e);
      release();
    }
  });
}

function checkRowCount() { return check_info.length; }
function itemCount() { return item_info.length; }
function totalSteps() { return checkRowCount() + itemCount(); }

function findCheckRow(type) {
  for (var j = 0; j < check_info.length; j++) {
    if (check_info[j].type === type) return j;
  }
  return -1;
}

// ---------------------------------------------------------------------------------------------
// Functions the host calls.

function setItemInfo(index, name, val) {
  index = Number(index);
  if (!item_info[index]) item_info[index] = { status: 2 };
  item_info[index][name] = val;
}

function setProgress(progress, index, status) {
  progress = Number(progress);
  if (isNaN(progress)) progress = 0;
  if (progress < 0) progress = 0;
  if (progress > 100) progress = 100;
  var bar = $("#progressbar");
  var width = Math.round(progress * PROGRESS_FULL_WIDTH / 100);

  if (index === undefined || index === null) {
    bar.css("width", width + "px");
    return;
  }
  index = Number(index);
  if (index < 0) {
    if (status) {
      bar.css({ width: width + "px", "background-color": COLOR_OK });
      showInfo(progress === 100 ? "更新完成" : "正在更新" + APP_DISPLAY_NAME + "...");
    } else {
      bar.css({ width: PROGRESS_FULL_WIDTH + "px", "background-color": COLOR_FAIL });
      showInfo("更新失败");
    }
    return;
  }
  var item = item_info[index];
  var name = item && item.name !== undefined ? String(item.name) : "";
  bar.css("width", width + "px");
  if (status) {
    bar.css("background-color", COLOR_OK);
    showInfo((progress === 100 ? "正在安装" : "正在下载") + name + "...");
  } else {
    bar.css("background-color", COLOR_FAIL);
    showInfo("下载失败！");
  }
}

function setKeyInfo(index, name, val) {
  var key = key_info[Number(index)];
  if (!key) return;
  key[name] = val;
  if (name === "selected") writeLog("key " + key.type + " selected=" + val);
  if (!key.selected) return;
  $("#uk_info_status").text(key.name + "已插入");
  var field = $("#ukey_" + name);
  if (val === "") {
    field.text("请确认驱动是否安装正确！").addClass("hongse");
  } else if (typeof val === "string") {
    field.text(val).removeClass("hongse");
  }
}

function getKeyInfo(index, name) {
  var key = key_info[Number(index)];
  return key ? key[name] : undefined;
}

function is_can_Open_update() {
  for (var k = 0; k < key_info.length; k++) {
    if (!key_info[k].selected) continue;
    for (var i = 0; i < item_info.length; i++) {
      var item = item_info[i];
      if (item && item.type === "key" && item.flag === key_info[k].type && item.status === 0) return true;
    }
  }
  return false;
}

function isAnyKeyConnect() {
  $.each(KEY_FIELDS, function (n, field) { $("#ukey_" + field).text("").removeClass("hongse"); });
  $("#uk_info_status").text("U-Key未插入");
  $.each(key_info, function (i, key) { key.selected = false; });
  $.each(key_info, function (i, key) {
    writeLog("send is_key_connect " + key.keyid + " " + i);
    asyncallc(function (answer) {
      writeLog("answer is_key_connect " + key.keyid + ": " + describe(answer));
    }, "is_key_connect", key.keyid, i);
  });
  $("#driver_count").text("2");
  is_can_Open_update();
}

// ---------------------------------------------------------------------------------------------
// Painting. Each answer goes into the trace with what it painted, in one line (every log line is
// written through to disk, and the check steps are timed).

var lastPainted = "";

function logAnswer(what, answer) {
  writeLog("answer " + what + ": " + describe(answer) + " -> painted " + (lastPainted || "nothing"));
  lastPainted = "";
}

function setNetworkLine(connected) {
  $(".imglianwang").attr("src", connected ? "images/anquan.png" : "images/anquan1.png");
  $(".textlianwang").text(connected ? "已联网" : "未联网").toggleClass("offline", !connected);
}

function check_result(ok, type, has_fix) {
  var j = findCheckRow(type);
  if (j < 0) return;
  var row = check_info[j];
  if (type === "connection") setNetworkLine(ok);
  row.status = ok;
  $("#" + type + "_img").css("background-image", ok ? "url('images/true.png')" : "url('images/false.png')");
  var statusCell = $("#" + type + "_status");
  if (ok) {
    statusCell.text(row.status0).removeClass("hongse");
  } else {
    statusCell.text(row.status1).addClass("hongse");
  }
  var fixCell = $("#" + type + "_fix");
  if (has_fix) {
    fixCell.empty().append(makeButton("修复 ", function () { do_fix(type); }));
  } else {
    fixCell.text(NBSP);
  }
  lastPainted = type + ": " + (ok ? "pass" : "fail");
  do_test_all();
}

function makeButton(label, onClick) {
  return $("<button type=\"button\" class=\"sa\"></button>").text(label).on("click", onClick);
}

function getStatusText(status) {
  switch (status) {
    case 0: return { icon: "images/true.png", text: "已安装", repair: false };
    case 1: return { icon: "images/false.png", text: "已禁用", repair: true };
    case 2: return { icon: "images/false.png", text: "有升级", repair: true };
    default: return { icon: "images/false.png", text: "未安装", repair: true };
  }
}

function item_result(index, status) {
  var item = item_info[index];
  if (!item) return;
  item.status = status;
  var display = getStatusText(status);
  lastPainted = "item " + index + " (" + item.name + "): " + display.text;

  if (item.type === "key") {
    var selected = false;
    $.each(key_info, function (k, key) {
      if (key.type === item.flag) {
        key.status = status;
        if (key.selected) selected = true;
      }
    });
    if (!selected) return;
    is_can_Open_update();
  } else {
    var flag = String(item.flag === undefined ? "" : item.flag);
    var nameCell = $("#" + flag + "_name");
    var statusCell = $("#" + flag + "_status");
    var fixCell = $("#" + flag + "_fix");
    // A flag that names no row of the page (or contains selector characters) paints nothing.
    if (/^[A-Za-z0-9_]+$/.test(flag)) {
      nameCell.css("background-image", "url('" + display.icon + "')")
              .text(item.name === undefined ? "" : String(item.name));
      statusCell.text(display.text);
      if (display.repair) {
        fixCell.empty().append(makeButton("安装", function () { do_install(index); }));
        statusCell.addClass("hongse");
      } else {
        fixCell.text(NBSP);
        statusCell.removeClass("hongse");
      }
    }
  }
  do_test_all();
}

function selectedKeyTypes() {
  var types = {};
  $.each(key_info, function (k, key) { if (key.selected) types[key.type] = true; });
  return types;
}

function do_test_all() {
  var ok = true;
  $.each(check_info, function (j, row) { if (row.status !== true) ok = false; });
  var selected = selectedKeyTypes();
  $.each(item_info, function (i, item) {
    if (!item) return;
    if (item.type === "key") {
      if (selected[item.flag] && item.status !== 0) ok = false;
    } else if (item.status !== 0) {
      ok = false;
    }
  });
  var result = $("#check_result");
  if (ok) {
    result.text("您的电脑已达到安全要求，可放心登录网银").css("color", COLOR_OK);
  } else {
    result.text("对不起，您的电脑不符合安全要求，请修复").css("color", COLOR_FAIL);
  }
  return ok;
}

function rowsFail(types) {
  for (var n = 0; n < types.length; n++) {
    var j = findCheckRow(types[n]);
    if (j >= 0 && check_info[j].status === false) return true;
  }
  return false;
}

function setGroupOpen(n, open) {
  if (open) {
    $("#jiance" + n).addClass("checkOpen");
    $("#check_one" + n).show();
  } else {
    $("#jiance" + n).removeClass("checkOpen");
    $("#check_one" + n).hide();
  }
}

function CheckStatus_Change() {
  setGroupOpen(1, rowsFail(["registry", "host", "cfca"]));
  setGroupOpen(2, rowsFail(["connection", "dns", "url"]));
  setGroupOpen(3, rowsFail(["level", "trust", "compatibility", "iehomepage"]));
  var selected = selectedKeyTypes();
  var itemsFail = false;
  $.each(item_info, function (i, item) {
    if (!item || item.status === 0) return;
    if (item.type !== "key" || selected[item.flag]) itemsFail = true;
  });
  setGroupOpen(4, itemsFail);
}

function toggleGroup(n) {
  setGroupOpen(n, !$("#jiance" + n).hasClass("checkOpen"));
}

// ---------------------------------------------------------------------------------------------
// Checks, repairs and installs.

function bindCheckAll() { $("#id_do_check_all").off("click").on("click", do_check_all); }
function bindFixAll() { $("#id_do_fix_all").off("click").on("click", do_fix_all); }

function do_check_all() {
  isAnyKeyConnect();
  queueStep(0, null, function (arg, release) {
    showInfo("正在检测...");
    $("#check_result").hide();
    $("#id_do_check_all").off("click");
    $("#id_do_fix_all").prop("disabled", true);
    writeLog("check all: " + checkRowCount() + " rows, " + itemCount() + " items");
    release();
  });
  var total = totalSteps();
  for (var i = 0; i < total; i++) do_check(i, true);
  queueStep(0, null, function (arg, release) {
    CheckStatus_Change();
    showInfo("检测完毕！");
    var ok = do_test_all();
    writeLog("check all done: " + (ok ? "pass" : "fail"));
    isFirstStart = false;
    callc("save_settings", "IsFirstStart", false);
    bindCheckAll();
    $("#id_do_fix_all").prop("disabled", false);
    $("#check_result").show();
    release();
  });
}

function do_check(i, withProgress) {
  var rows = checkRowCount();
  if (i < 0 || i >= rows + itemCount()) return;
  queueStep(CHECK_STEP_DELAY_MS, { i: i, withProgress: withProgress }, function (arg, release) {
    var total = totalSteps();
    if (arg.i < rows) {
      var sentType = check_info[arg.i].type;
      writeLog("send do_check " + sentType);
      asyncallc(function (answer) {
        var parsed = parseAnswer(answer);
        // An answer that cannot be read is the host's failure: the row is shown as failing.
        var type = parsed && typeof parsed.type === "string" ? parsed.type : sentType;
        var j = findCheckRow(type);
        if (j >= 0) {
          showInfo("正在检测" + check_info[j].name + "...");
          check_info[j].checkfunc(parsed ? parsed.result === true : false);
          if (arg.withProgress) setProgress(100 * (j + 1) / total);
        }
        logAnswer("do_check " + sentType, answer);
        release();
      }, "do_check", sentType);
    } else {
      var sentIndex = arg.i - rows;
      writeLog("send do_check " + sentIndex);
      asyncallc(function (answer) {
        var parsed = parseAnswer(answer);
        var index = parsed && typeof parsed.index === "number" ? parsed.index : sentIndex;
        var item = item_info[index];
        if (item) {
          showInfo("正在检测" + (item.name === undefined ? "" : item.name) + "...");
          item_result(index, parsed && typeof parsed.result === "number" ? parsed.result : 3);
          if (arg.withProgress) setProgress(100 * (index + 1 + rows) / total);
        }
        logAnswer("do_check " + sentIndex, answer);
        release();
      }, "do_check", sentIndex);
    }
  });
}

function do_fix(type) {
  queueStep(FIX_STEP_DELAY_MS, type, function (sentType, release) {
    writeLog("send do_fix " + sentType);
    asyncallc(function (answer) {
      writeLog("answer do_fix " + sentType + ": " + describe(answer));
      var parsed = parseAnswer(answer);
      var j = findCheckRow(parsed && typeof parsed.type === "string" ? parsed.type : sentType);
      if (j < 0) { release(); return; }
      var row = check_info[j];
      if (row.opr !== "") showInfo("正在" + row.opr + row.name + "...");
      writeLog("send do_check " + row.type);
      asyncallc(function (checkAnswer) {
        var checked = parseAnswer(checkAnswer);
        var ok = checked ? checked.result === true : false;
        row.checkfunc(ok);
        logAnswer("do_check " + row.type, checkAnswer);
        if (row.opr !== "") showInfo(row.name + row.opr + (ok ? "成功！" : "失败！"));
        release();
      }, "do_check", row.type);
    }, "do_fix", sentType);
  });
}

function do_fix_all() {
  queueStep(0, null, function (arg, release) {
    $("#id_do_fix_all").off("click");
    writeLog("repair all");
    release();
  });
  $.each(check_info, function (j, row) {
    if (row.opr !== "" && row.status === false) do_fix(row.type);
  });
  $.each(item_info, function (i, item) {
    if (!item || item.status === 0) return;
    if (item.type !== "key") {
      do_install(i);
    } else {
      $.each(key_info, function (k, key) {
        if (key.selected && key.type === item.flag) do_install(i);
      });
    }
  });
  queueStep(0, null, function (arg, release) {
    bindFixAll();
    writeLog("repair all done");
    release();
  });
}

function do_install(index) {
  queueStep(FIX_STEP_DELAY_MS, index, function (sentIndex, release) {
    var item = item_info[sentIndex];
    var name = item && item.name !== undefined ? String(item.name) : "";
    showInfo("正在安装" + name + "...");
    writeLog("send do_install " + sentIndex);
    asyncallc(function (answer) {
      writeLog("answer do_install " + sentIndex + ": " + describe(answer));
      var parsed = parseAnswer(answer);
      var checkIndex = parsed && typeof parsed.index === "number" ? parsed.index : sentIndex;
      writeLog("send do_check " + checkIndex);
      asyncallc(function (checkAnswer) {
        var checked = parseAnswer(checkAnswer);
        var status = checked && typeof checked.result === "number" ? checked.result : 3;
        var paintIndex = checked && typeof checked.index === "number" ? checked.index : checkIndex;
        item_result(paintIndex, status);
        logAnswer("do_check " + checkIndex, checkAnswer);
        var painted = item_info[paintIndex];
        var paintedName = painted && painted.name !== undefined ? String(painted.name) : name;
        showInfo(paintedName + (status === 0 ? "安装成功！" : "安装失败！"));
        release();
      }, "do_check", checkIndex);
    }, "do_install", sentIndex);
  });
}

// ---------------------------------------------------------------------------------------------
// Tabs and start-up.

function setTab(name, cursel, n) {
  for (var i = 1; i <= n; i++) {
    var tab = $("#" + name + i);
    var pane = $("#con_" + name + "_" + i);
    if (i === cursel) {
      tab.addClass("navhover");
      pane.show();
    } else {
      tab.removeClass("navhover");
      pane.hide();
    }
  }
}

function showBrowserVersion() {
  var text = get_version("ieversion", "无");
  var major = parseInt(text, 10);
  $("#ie").text(major >= 4 && major <= 11 ? "IE" + major : text);
}

var SYSTEM_NAMES = [
  ["Windows 8", "Windows 8"], ["Windows 7", "Windows 7"], ["Windows Vista", "Windows Vista"],
  ["Windows Server 2008", "Windows 2008"], ["Windows Server 2003", "Windows 2003"],
  ["Windows XP", "Windows XP"], ["Windows 2000", "Windows 2000"], ["Windows 10", "Windows 10"]
];

function showSystemVersion() {
  var text = get_version("sysversion", "无");
  var shown = text;
  for (var n = 0; n < SYSTEM_NAMES.length; n++) {
    if (text.indexOf(SYSTEM_NAMES[n][0]) >= 0) { shown = SYSTEM_NAMES[n][1]; break; }
  }
  $("#sys").text(shown);
}

var STARTUP_TABS = { quicklink: 3, ukey: 2, scan: 1, help: 4 };

function startUp() {
  $("body").on("mousewheel DOMMouseScroll wheel", function (e) { e.preventDefault(); return false; })
           .on("contextmenu", function () { return false; });
  $("#ui_mini").on("click", function () { callc("mini_size"); });
  $("#ui_quit").on("click", function () { callc("quit"); });
  $("#id_check_update").on("click", function () { check_update(true); return false; });
  for (var n = 1; n <= 4; n++) {
    (function (tab) {
      $("#one" + tab).on("click", function () { setTab("one", tab, 4); });
      $("#jiance" + tab).on("click", function () { toggleGroup(tab); });
    })(n);
  }
  $("#cache_clean").on("click", function () { do_fix("cache"); });
  $.each(["bank_url", "per_pub_url", "corp_url", "bank_deposit", "per_pub_question", "corp_question"],
         function (n, link) { $("#link_" + link).on("click", function () { open_ie(link, 1); }); });

  var word = callc("do_extra_startup");
  writeLog("start-up word: " + describe(word));
  var wordText = String(word);
  setTab("one", STARTUP_TABS.hasOwnProperty(wordText) ? STARTUP_TABS[wordText] : 1, 4);

  showBrowserVersion();
  showSystemVersion();

  writeLog("send do_check connection");
  asyncallc(function (answer) {
    var parsed = parseAnswer(answer);
    setNetworkLine(parsed ? parsed.result === true : false);
    writeLog("answer do_check connection: " + describe(answer) + " -> network line " + $(".textlianwang").text());
  }, "do_check", "connection");

  showInfo("正在下载配置文件...");
  writeLog("send get_config");
  asyncallc(function (answer) {
    writeLog("answer get_config: " + itemCount() + " items");
    showInfo("配置文件下载完毕");
    bindCheckAll();
    bindFixAll();
    check_update(false);
    showInfo("开始检测...");
    do_check_all();
  }, "get_config");
}

$(document).ready(startUp);
