"use strict";
// The page asks the program for its state every second and shows it; Start
// and Stop are posted to it. Nothing is loaded from anywhere else.
const $ = (id) => document.getElementById(id);
let latestShown = null;
let daysKey = null;
let live = true;

function fact(list, name, value) {
  if (value === null || value === undefined || value === "") return;
  const dt = document.createElement("dt");
  dt.textContent = name;
  const dd = document.createElement("dd");
  dd.textContent = value;
  list.append(dt, dd);
}

function show(s) {
  $("words").textContent = s.words;
  $("start").disabled = s.state !== "stopped";
  $("stop").disabled = s.state === "stopped";
  const facts = document.createElement("dl");
  facts.id = "facts";
  fact(facts, "State", s.words);
  fact(facts, "Status line", s.status);
  fact(facts, "Source", s.source);
  if (s.state !== "stopped") fact(facts, "Interval", s.interval + " s");
  fact(facts, "Frames today", String(s.framesToday));
  fact(facts, "Free space", s.free);
  fact(facts, "Folder", s.folder);
  if (s.sending) {
    const w = s.sending;
    fact(facts, "Sending", w.waiting + " frames waiting" + (w.lastSent ? ", last sent " + w.lastSent : ""));
    if (w.lastError) fact(facts, "Sending error", w.lastError + (w.errorSince ? " (since " + w.errorSince + ")" : ""));
  }
  if (s.dailyVideo) {
    fact(facts, "Daily video", s.dailyVideo.state);
    if (s.dailyVideo.lastError) fact(facts, "Daily video error", s.dailyVideo.lastError);
  }
  $("facts").replaceWith(facts);
  if (s.latest !== latestShown) {
    latestShown = s.latest;
    $("latest").src = s.latest ? "/latest.jpg?frame=" + encodeURIComponent(s.latest) : "";
    $("latestName").textContent = s.latest || "(none yet)";
  }
  const key = s.folder + "|" + s.framesToday;
  if (key !== daysKey) {
    daysKey = key;
    loadDays();
    loadVideos();
  }
}

async function poll() {
  try {
    const r = await fetch("/api/status", { cache: "no-store" });
    if (r.ok) show(await r.json());
  } catch (e) {
    $("words").textContent = "The program does not answer.";
  }
  setTimeout(poll, 1000);
}

async function loadDays() {
  const r = await fetch("/api/days", { cache: "no-store" });
  if (!r.ok) return;
  const days = await r.json();
  const box = $("days");
  const open = new Set([...box.querySelectorAll("details[open]")].map((d) => d.dataset.day));
  box.textContent = days.length ? "" : "No frames yet.";
  for (const d of days.reverse()) {
    const details = document.createElement("details");
    details.dataset.day = d.day;
    const summary = document.createElement("summary");
    summary.textContent = d.day.replaceAll("_", ".") + " — " + d.frames + " frames";
    details.append(summary);
    details.addEventListener("toggle", () => { if (details.open) loadFrames(details); });
    box.append(details);
    if (open.has(d.day)) details.open = true;
  }
}

async function loadFrames(details) {
  const r = await fetch("/api/frames?day=" + encodeURIComponent(details.dataset.day), { cache: "no-store" });
  if (!r.ok) return;
  const grid = document.createElement("div");
  grid.className = "thumbs";
  for (const name of await r.json()) {
    const a = document.createElement("a");
    a.href = "/frames/" + encodeURIComponent(name);
    a.title = name;
    const img = document.createElement("img");
    img.loading = "lazy";
    img.alt = name;
    img.src = "/thumbs/" + encodeURIComponent(name);
    a.append(img);
    grid.append(a);
  }
  details.querySelector(".thumbs")?.remove();
  details.append(grid);
}

async function loadVideos() {
  const r = await fetch("/api/videos", { cache: "no-store" });
  if (!r.ok) return;
  const list = $("videos");
  list.textContent = "";
  const videos = await r.json();
  if (!videos.length) list.textContent = "No videos yet.";
  for (const v of videos) {
    const li = document.createElement("li");
    const b = document.createElement("button");
    b.type = "button";
    b.textContent = v.name + " (" + (v.bytes / 1e6).toFixed(1) + " MB)";
    b.addEventListener("click", () => {
      const p = $("player");
      p.hidden = false;
      p.src = "/videos/" + encodeURIComponent(v.name);
      p.play().catch(() => {});
    });
    li.append(b);
    list.append(li);
  }
}

async function act(what) {
  $("start").disabled = $("stop").disabled = true;
  const r = await fetch("/api/" + what, { method: "POST" });
  $("words").textContent = await r.text();
}

$("start").addEventListener("click", () => act("start"));
$("stop").addEventListener("click", () => act("stop"));
$("liveToggle").addEventListener("click", () => {
  live = !live;
  $("live").src = live ? "/stream.mjpg" : "";
  $("liveToggle").textContent = live ? "Pause" : "Watch";
});
$("live").src = "/stream.mjpg";
poll();
