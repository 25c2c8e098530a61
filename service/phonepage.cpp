#include "service/phonepage.h"

#include "service/api.h"
#include "service/qrsvg.h"
#include "service/trackers.h"

#include <httplib.h>

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>

namespace service {

using nlohmann::json;

namespace {

constexpr size_t maxQrText = 1024;

TrackerRequest trackerRequest(const httplib::Request& request)
{
    TrackerRequest tracker;
    // httplib adds the fields of a form body to the parameters; the adapters
    // read the body themselves, so only the URL's query is taken here.
    const size_t question = request.target.find('?');
    if (question != std::string::npos) {
        httplib::Params query;
        httplib::detail::parse_query_text(request.target.substr(question + 1), query);
        tracker.query.insert(query.begin(), query.end());
    }
    tracker.body = request.body;
    tracker.authorization = request.get_header_value("Authorization");
    return tracker;
}

// Answers a refused request with its reason; false when the request was taken.
bool refuse(const Intake& intake, httplib::Response& response)
{
    if (intake.refused > 0)
        response.set_header("Kestrel-Refused", std::to_string(intake.refused) + " " + intake.reason);
    if (intake.status == 200)
        return false;
    response.status = intake.status;
    if (intake.status == 401)
        response.set_header("WWW-Authenticate", "Basic realm=\"Kestrel\"");
    response.set_content(json { { "error", intake.reason } }.dump(), "application/json");
    return true;
}

void answerJson(httplib::Response& response, int status, const json& body)
{
    response.status = status;
    response.set_header("Cache-Control", "no-store");
    response.set_content(body.dump(), "application/json; charset=utf-8");
}

} // namespace

void addPhoneRoutes(httplib::Server& server, Api& api, TrackerIntake& intake)
{
    const auto osmand = [&intake](const httplib::Request& request, httplib::Response& response) {
        if (!refuse(intake.take(readOsmand(trackerRequest(request))), response))
            response.status = 200; // the protocol's answer has no body
    };
    server.Get("/track/osmand", osmand);
    server.Post("/track/osmand", osmand);
    server.Post("/track/owntracks", [&intake](const httplib::Request& request, httplib::Response& response) {
        if (!refuse(intake.take(readOwnTracks(trackerRequest(request))), response))
            response.set_content("[]", "application/json");
    });
    server.Post("/track/overland", [&intake](const httplib::Request& request, httplib::Response& response) {
        if (!refuse(intake.take(readOverland(trackerRequest(request))), response))
            response.set_content(R"({"result":"ok"})", "application/json");
    });

    server.Get("/phone", [](const httplib::Request&, httplib::Response& response) {
        response.set_header("Cache-Control", "no-store");
        response.set_content(phonePage(), "text/html; charset=utf-8");
    });
    // What the page shows about its phone: {"userID","phoneKey","since"} in.
    server.Post("/phone/status", [&api, &intake](const httplib::Request& request, httplib::Response& response) {
        const json body = parseRequest(request.body);
        const auto text = [&body](const char* key) {
            return body.is_object() && body.contains(key) && body[key].is_string() ? body[key].get<std::string>()
                                                                                  : std::string();
        };
        const auto user = api.authenticate(text("userID"), text("phoneKey"));
        if (!user)
            return answerJson(response, 403, { { "error", "Unknown user or wrong phone key." } });
        const int64_t since = body.contains("since") && body["since"].is_number() ? body["since"].get<int64_t>() : 0;
        const FixSummary summary = api.store().fixSummary(user->id, since).value_or(FixSummary());
        const Refusals refusals = intake.refusals(user->id);
        json answer { { "phoneName", user->phoneName },
                      { "deviceKey", api.store().deviceKey(user->id).value_or(std::string()) },
                      { "fixesToday", summary.count },
                      { "lastFix", summary.last ? json(*summary.last) : json() },
                      { "refusedToday", refusals.last >= since ? refusals.count : 0 },
                      { "lastRefusal", refusals.last >= since ? refusals.reason : std::string() } };
        answerJson(response, 200, answer);
    });
    server.Get("/phone/qr.svg", [](const httplib::Request& request, httplib::Response& response) {
        const std::string text = request.get_param_value("text");
        const std::string svg = text.size() <= maxQrText ? qrSvg(text) : std::string();
        if (text.empty() || svg.empty())
            return answerJson(response, 400, { { "error", "The text must have 1 to 1024 bytes." } });
        response.set_content(svg, "image/svg+xml");
    });
}

std::vector<std::string> localNetworkAddresses()
{
    std::vector<std::string> addresses;
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0)
        return addresses;
    for (const ifaddrs* entry = list; entry; entry = entry->ifa_next) {
        if (!entry->ifa_addr || entry->ifa_addr->sa_family != AF_INET || !(entry->ifa_flags & IFF_UP)
            || (entry->ifa_flags & IFF_LOOPBACK))
            continue;
        char text[INET_ADDRSTRLEN] = {};
        const auto* address = reinterpret_cast<const sockaddr_in*>(entry->ifa_addr);
        if (inet_ntop(AF_INET, &address->sin_addr, text, sizeof text))
            addresses.emplace_back(text);
    }
    freeifaddrs(list);
    return addresses;
}

std::string phonePage()
{
    return R"PAGE(<!DOCTYPE html>
<html lang="en"><head><meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>Kestrel phone</title>
<style>
* { box-sizing: border-box; }
body { font-family: sans-serif; margin: 0; padding: 0.75em; color: #222; background: #fff; line-height: 1.35; }
h1 { font-size: 1.3em; margin: 0.2em 0 0.4em; }
h2 { font-size: 1.1em; margin: 1.2em 0 0.4em; }
section { margin-bottom: 1em; }
code, .key { font-family: monospace; word-break: break-all; background: #f1f1f1; padding: 0.1em 0.3em; border-radius: 3px; }
.key { font-size: 1.15em; display: inline-block; }
button, input { font-size: 1em; padding: 0.5em 0.8em; }
input { width: 100%; margin-bottom: 0.5em; }
.muted { color: #666; font-size: 0.9em; }
#codebox { width: min(92vw, calc(100vh - 7.5em)); aspect-ratio: 1; margin: 0 auto; }
#codebox svg { width: 100%; height: 100%; display: block; }
#sync { text-align: center; }
details { border: 1px solid #ddd; border-radius: 6px; padding: 0.5em; margin: 0.4em 0; }
summary { font-weight: bold; cursor: pointer; }
.qr { width: min(60vw, 60vh, 240px); display: block; margin: 0.5em 0; }
.hidden { display: none; }
#sync h2 { margin-top: 0.2em; }
/* Sideways the code stays on the left, whole, while the rest scrolls beside it. */
@media (orientation: landscape) {
  body { display: grid; grid-template-columns: auto 1fr; column-gap: 1.5em; align-items: start; }
  h1, #today, #record, #apps { grid-column: 2; }
  #register { grid-column: 1 / span 2; }
  #phone { display: contents; }
  #sync { grid-column: 1; grid-row: 1 / span 4; position: sticky; top: 0; }
  #sync h2 { font-size: 1em; margin: 0 0 0.3em; }
  #codebox { width: min(55vw, calc(100vh - 5.5em)); }
  #validity { max-width: min(55vw, calc(100vh - 5.5em)); margin: 0.3em auto 0; }
}
</style></head><body>
<h1 id="title">Kestrel phone</h1>
<section id="register" class="hidden">
<p>Register this phone with the Kestrel service to record where you are.</p>
<label for="name">Name of this phone</label>
<input id="name" maxlength="64" placeholder="My phone">
<button id="registerButton">Register this phone</button>
<p id="registerState" class="muted"></p>
</section>
<div id="phone" class="hidden">
<section id="today"><span id="fixes">Fixes today: …</span><br><span id="refused" class="muted"></span></section>
<section id="sync">
<h2>Synchronization code</h2>
<div id="codebox"></div>
<p id="validity" class="muted"></p>
</section>
<section id="record" class="hidden">
<h2>Record on this page</h2>
<p id="recordNote" class="muted">Records while this page stays open; positions wait here while there is no network.</p>
<button id="recordButton">Start recording</button> <span id="recordState" class="muted"></span>
</section>
<section id="apps">
<h2>Tracker apps</h2>
<p>Device key: <span id="key" class="key"></span></p>
<p class="muted">Each app below sends your positions to this service with this key. Choose one.</p>
<details><summary>Traccar Client</summary>
<p>Server URL: <code data-url="track/osmand"></code><br>Device identifier: <code data-key></code></p>
<img class="qr" data-qr="track/osmand" alt="QR code of the server URL"></details>
<details><summary>OsmAnd (trip recording, online tracking)</summary>
<p>Web address: <code data-url="track/osmand?id=KEY&amp;lat={0}&amp;lon={1}&amp;timestamp={2}&amp;accuracy={3}&amp;altitude={4}&amp;speed={5}&amp;bearing={6}"></code></p></details>
<details><summary>GPSLogger for Android (log to custom URL)</summary>
<p>URL: <code data-url="track/osmand?id=KEY&amp;lat=%LAT&amp;lon=%LON&amp;timestamp=%TIME&amp;altitude=%ALT&amp;accuracy=%ACC&amp;speed=%SPD&amp;bearing=%DIR&amp;batt=%BATT"></code><br>HTTP method: GET</p></details>
<details><summary>OwnTracks (HTTP mode)</summary>
<p>URL: <code data-url="track/owntracks"></code><br>User: <code>kestrel</code>, password: <code data-key></code></p>
<p><a id="otrc" download="kestrel.otrc">Download the configuration file</a> and open it with OwnTracks, or scan:</p>
<img class="qr" id="otrcQr" alt="QR code of the OwnTracks configuration"></details>
<details><summary>Overland (iOS)</summary>
<p>Receiver endpoint: <code data-url="track/overland?token=KEY"></code></p>
<img class="qr" data-qr="track/overland?token=KEY" alt="QR code of the receiver endpoint"></details>
</section>
</div>
<script>
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
</script></body></html>
)PAGE";
}

} // namespace service
