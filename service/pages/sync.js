const box = document.getElementById("code");
// The page names its code, or none when it must ask for one itself.
let code = box.dataset.code;
const state = document.getElementById("state");
let busy = false;
let timer = null;
async function start() {
  if (!code) {
    // The phone's identifier and key come in the fragment (#userID=..&phoneKey=..),
    // which the browser never sends with the page's address.
    const given = new URLSearchParams(location.hash.slice(1));
    if (!given.get("userID") || !given.get("phoneKey")) {
      box.style.display = "none";
      state.textContent = "Open this page from your phone: its address carries the phone's key (#userID=...&phoneKey=...).";
      return;
    }
    try {
      const reply = await fetch("phone/syncCode", { method: "POST", cache: "no-store",
        headers: { "Content-Type": "application/json" },
        body: JSON.stringify({ userID: given.get("userID") || "", phoneKey: given.get("phoneKey") || "" }) });
      const answer = await reply.json();
      if (!reply.ok) { box.style.display = "none"; state.textContent = answer.body || "This page needs the phone's key."; return; }
      code = answer.syncID;
    } catch (e) { state.textContent = "The service does not answer."; return; }
  }
  timer = setInterval(refresh, 200);
  refresh();
}
async function refresh() {
  if (busy) return;
  busy = true;
  try {
    const reply = await fetch("sync/qr.svg?code=" + code + "&t=" + Date.now(), { cache: "no-store" });
    if (reply.ok) { box.innerHTML = await reply.text(); }
    else { box.innerHTML = ""; state.textContent = "This code has expired: reload the page for a new one."; clearInterval(timer); }
  } catch (e) { state.textContent = "The service does not answer."; }
  busy = false;
}
start();
