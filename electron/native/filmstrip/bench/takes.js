'use strict';
// The measuring half of bench/takes.
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { execFileSync, spawnSync } = require('node:child_process');
const {
  sleep, useDisplay, startScene, displayID, startPulse, playTone,
} = require('../tests/x11/scene.js');

const { NativeScreenRecorder } = require(process.env.FILMSTRIP_MODULE);
const RATE = 30;
const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'filmstrip-takes-'));
const megabytes = () => (process.memoryUsage().rss / (1 << 20)).toFixed(0);

function call(recorder, method, ...args) {
  return new Promise((resolve) => recorder[method](...args, (...results) => resolve(results)));
}

// Presentation times of the file's video frames, in order.
function frameTimes(file) {
  return execFileSync('ffprobe', ['-v', 'error', '-select_streams', 'v:0', '-show_entries',
    'packet=pts_time', '-of', 'csv=p=0', file]).toString().trim().split('\n').map(Number)
    .sort((a, b) => a - b);
}

// Where the audio track has stretches of silence of 50 ms or more (the tone plays all along).
function silentStretches(file) {
  const { stderr } = spawnSync('ffmpeg', ['-v', 'info', '-nostats', '-i', file, '-map', '0:a',
    '-af', 'silencedetect=n=-30dB:d=0.05', '-f', 'null', '-']);
  const starts = [...String(stderr).matchAll(/silence_start: (-?[\d.]+)/g)].map((m) => m[1]);
  return `${starts.length} silent stretches in the sound${starts.length ? ` (at ${starts.join(', ')} s)` : ''}`;
}

async function take(display, name, seconds, extra) {
  const file = path.join(dir, `${name}.mp4`);
  const recorder = new NativeScreenRecorder();
  const [error] = await call(recorder, 'startRecordingDisplay', displayID(display), file, null,
    { framerate: RATE, lowMemoryEncoder: false, hevcEncoder: false, systemAudio: false, ...extra });
  if (error) throw error;
  await sleep(1);
  const memory = [megabytes()];
  await sleep(seconds / 2 - 1);
  memory.push(megabytes());
  await sleep(seconds / 2);
  memory.push(megabytes());
  const [stopError] = await call(recorder, 'stopRecording');
  if (stopError) throw stopError;
  const times = frameTimes(file);
  const expected = seconds * RATE;
  let gap = 0;
  for (let i = 1; i < times.length; i++) gap = Math.max(gap, times[i] - times[i - 1]);
  const early = times.filter((t) => t < 0.3).length;
  const sound = extra.systemAudio ? `, ${silentStretches(file)}` : '';
  console.log(`${name}, ${seconds} s: ${times.length} of ${expected} frames `
    + `(${(times.length / expected).toFixed(3)}), longest gap ${(gap * 1000).toFixed(0)} ms, `
    + `${early} frames in the first 300 ms${sound}; `
    + `resident MB at start/middle/end: ${memory.join('/')}`);
}

async function main() {
  const server = await useDisplay('1920x1080');
  const scene = await startScene(server.display,
    ['204080:0,0,1920,1080', 'c08020:200,150,800,450:moving']);
  const pulse = await startPulse();
  process.env.PULSE_SERVER = pulse.server;
  try {
    const hevc = Number(process.env.HEVC_SECONDS);
    const h264 = Number(process.env.H264_SECONDS);
    console.log(`1920x1080 at ${RATE} fps on ${os.cpus().length} cores, load ${os.loadavg()[0].toFixed(1)}`);
    await take(server.display, 'HEVC', hevc, { hevcEncoder: true });
    const tone = playTone(pulse.server, h264 + 2);
    await take(server.display, 'H.264 with system audio', h264, { systemAudio: true });
    await tone;
  } finally {
    await pulse.stop();
    await scene.stop();
    await server.stop();
    fs.rmSync(dir, { recursive: true, force: true });
  }
}

main().catch((error) => {
  console.error(error);
  process.exit(1);
});
