"use strict";
const $ = (id) => document.getElementById(id);
const stored = "kestrel.phone", queued = "kestrel.queue";
let phone = JSON.parse(localStorage.getItem(stored) || "null");
const zone = Intl.DateTimeFormat().resolvedOptions().timeZone || "UTC";
const absolute = (path) => new URL(path, location.href).href;
const clock = (ms) => new Date(ms).toLocaleTimeString();

async function post(path, body) {
  const reply = await fetch(path, { method: "POST", cache: "no-store",
    headers: { "Content-Type": "application/json" }, body: JSON.stringify(body) });
  let json = null;
  try { json = await reply.json(); } catch (e) {}
  return { ok: reply.ok, status: reply.status, json: json };
}
const credentials = () => ({ userID: phone.userID, phoneKey: phone.phoneKey });

$("registerButton").onclick = async () => {
  $("registerState").textContent = "Registering…";
  try {
    const reply = await post("phone/register", { phoneName: $("name").value.trim() });
    if (!reply.ok) throw new Error(reply.json && reply.json.body || ("HTTP " + reply.status));
    phone = { userID: reply.json.userID, phoneKey: reply.json.phoneKey,
              deviceKey: reply.json.deviceKey, phoneName: reply.json.phoneName };
    localStorage.setItem(stored, JSON.stringify(phone));
    show();
  } catch (e) { $("registerState").textContent = "Registration failed: " + e.message; }
};

function fillSettings() {
  const fill = (text) => text.replace("KEY", encodeURIComponent(phone.deviceKey));
  $("key").textContent = phone.deviceKey;
  document.querySelectorAll("[data-key]").forEach((e) => { e.textContent = phone.deviceKey; });
  // The query of a template stays as it is: its placeholders are no URL syntax.
  const url = (t) => { const i = t.indexOf("?"); return i < 0 ? absolute(t) : absolute(t.slice(0, i)) + t.slice(i); };
  document.querySelectorAll("[data-url]").forEach((e) => { e.textContent = url(fill(e.dataset.url)); });
  document.querySelectorAll("[data-qr]").forEach((e) => {
    e.src = "phone/qr.svg?text=" + encodeURIComponent(url(fill(e.dataset.qr))); });
  const config = JSON.stringify({ _type: "configuration", mode: 3, url: absolute("track/owntracks"),
    auth: true, username: "kestrel", password: phone.deviceKey });
  $("otrc").href = "data:application/json;charset=utf-8," + encodeURIComponent(config);
  $("otrcQr").src = "phone/qr.svg?text=" + encodeURIComponent("owntracks:///config?inline=" + btoa(config));
}

async function refreshStatus() {
  const midnight = new Date(); midnight.setHours(0, 0, 0, 0);
  try {
    const reply = await post("phone/status", Object.assign(credentials(), { since: midnight.getTime() }));
    if (reply.status === 403) { $("fixes").textContent = "The service no longer knows this phone."; return; }
    if (!reply.ok) return;
    const s = reply.json;
    if (s.deviceKey && s.deviceKey !== phone.deviceKey) {
      phone.deviceKey = s.deviceKey; localStorage.setItem(stored, JSON.stringify(phone)); fillSettings(); }
    $("fixes").textContent = s.fixesToday + (s.fixesToday === 1 ? " fix" : " fixes") + " today"
      + (s.lastFix ? ", the last at " + clock(s.lastFix) : "");
    $("refused").textContent = s.refusedToday ? s.refusedToday + " refused; last: " + s.lastRefusal : "";
  } catch (e) { $("fixes").textContent = "The service does not answer."; }
}

let code = null, codeBusy = false;
async function newCode() {
  try {
    const reply = await post("phone/syncCode", credentials());
    if (!reply.ok) { $("validity").textContent = "No code: " + (reply.json && reply.json.body || reply.status); return; }
    const received = Date.now();
    code = { id: reply.json.syncID, until: received + (reply.json.expires - reply.json.created) };
  } catch (e) { $("validity").textContent = "The service does not answer."; }
}
async function showCode() {
  if (codeBusy) return;
  codeBusy = true;
  try { await drawCode(); } finally { codeBusy = false; }
}
async function drawCode() {
  if (!code || Date.now() >= code.until - 1000) await newCode();
  if (!code) return;
  const left = Math.max(0, Math.floor((code.until - Date.now()) / 1000));
  $("validity").textContent = "Valid until " + clock(code.until) + " (" + Math.floor(left / 60) + ":"
    + String(left % 60).padStart(2, "0") + " left). Photograph it with the camera.";
  try {
    const reply = await fetch("sync/qr.svg?code=" + code.id + "&t=" + Date.now(), { cache: "no-store" });
    if (reply.ok) $("codebox").innerHTML = await reply.text(); else code = null;
  } catch (e) {}
}

// Recording on the page itself: positions are queued and sent in batches.
let watch = null, wakeLock = null, problem = "";
const queue = () => JSON.parse(localStorage.getItem(queued) || "[]");
function keep(list) { localStorage.setItem(queued, JSON.stringify(list.slice(-20000))); }
async function upload() {
  let list = queue();
  while (list.length) {
    const batch = list.slice(0, 500);
    let reply;
    try { reply = await post("phone/fixes", Object.assign(credentials(), { fixes: batch })); }
    catch (e) { break; }
    if (!reply.ok && reply.status !== 400) break;
    if (!reply.ok) $("recordState").textContent = "Positions refused: " + (reply.json && reply.json.body);
    list = queue().slice(batch.length); keep(list);
  }
  if (watch !== null)
    $("recordState").textContent = "Recording; " + list.length + " waiting to be sent." + (problem ? " " + problem : "");
}
async function lockScreen() {
  try { if (navigator.wakeLock && watch !== null) wakeLock = await navigator.wakeLock.request("screen"); } catch (e) {}
}
$("recordButton").onclick = () => {
  if (watch !== null) {
    navigator.geolocation.clearWatch(watch); watch = null;
    if (wakeLock) wakeLock.release();
    $("recordButton").textContent = "Start recording"; $("recordState").textContent = ""; upload(); return;
  }
  watch = navigator.geolocation.watchPosition((p) => {
    if (p.coords.accuracy > 1000) { problem = "Positions less accurate than 1 km are left out."; return; }
    problem = "";
    const list = queue();
    list.push({ time: new Date(p.timestamp).toISOString(), latitude: p.coords.latitude,
      longitude: p.coords.longitude, altitude: p.coords.altitude || 0, accuracy: p.coords.accuracy,
      timeZoneId: zone });
    keep(list);
    if (list.length >= 20) upload();
  }, (e) => { problem = "No position: " + e.message; $("recordState").textContent = problem; },
  { enableHighAccuracy: true, maximumAge: 0 });
  $("recordButton").textContent = "Stop recording"; lockScreen(); upload();
};
document.addEventListener("visibilitychange", () => { if (document.visibilityState === "visible") lockScreen(); });
addEventListener("online", upload);

function show() {
  $("register").classList.toggle("hidden", !!phone);
  $("phone").classList.toggle("hidden", !phone);
  if (!phone) return;
  $("title").textContent = phone.phoneName || "Kestrel phone";
  $("record").classList.remove("hidden");
  if (!window.isSecureContext || !navigator.geolocation) {
    $("recordButton").classList.add("hidden");
    $("recordNote").textContent = "This page records positions itself only when opened over HTTPS or on "
      + "localhost; here, use one of the tracker apps below.";
  }
  fillSettings(); refreshStatus(); showCode();
  setInterval(refreshStatus, 30000); setInterval(showCode, 250); setInterval(upload, 15000);
}
show();
