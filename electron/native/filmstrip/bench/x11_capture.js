'use strict';
// The measuring half of bench/x11_capture, run on the benchmark's X server ($DISPLAY).
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { execFileSync, spawn } = require('node:child_process');

const { NativeScreenRecorder } = require(process.env.FILMSTRIP_MODULE);
const SECONDS = Number(process.env.BENCH_SECONDS);
const RATE = 30;
const WIDTH = 1920;
const HEIGHT = 1080;
const expected = SECONDS * RATE;
const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'filmstrip-bench-'));
const CLOCK_TICKS = Number(execFileSync('getconf', ['CLK_TCK']).toString());
const sleep = (seconds) => new Promise((resolve) => setTimeout(resolve, seconds * 1000));

function framesIn(file) {
  return Number(execFileSync('ffprobe', ['-v', 'error', '-select_streams', 'v:0', '-count_packets',
    '-show_entries', 'stream=nb_read_packets', '-of', 'csv=p=0', file]).toString().trim());
}

function displayID() {
  const text = execFileSync('xrandr', ['--verbose']).toString();
  return Number.parseInt(/^\S+ connected[^\n]*\n\s+Identifier:\s+(0x[0-9a-f]+)/m.exec(text)[1], 16);
}

function cpuSeconds(usage) {
  return (usage.user + usage.system) / 1e6;
}

async function ours() {
  const file = path.join(dir, 'filmstrip.mp4');
  const recorder = new NativeScreenRecorder();
  const before = process.cpuUsage();
  await new Promise((resolve, reject) => recorder.startRecordingDisplay(displayID(), file, null,
    { framerate: RATE, lowMemoryEncoder: false, hevcEncoder: false, systemAudio: false },
    (error) => (error ? reject(error) : resolve())));
  await sleep(SECONDS);
  await new Promise((resolve, reject) => recorder.stopRecording(
    (error) => (error ? reject(error) : resolve())));
  return { frames: framesIn(file), cpu: cpuSeconds(process.cpuUsage(before)) };
}

// CPU seconds of the waited-for children of this process (cutime and cstime).
function childCpuSeconds() {
  const stat = fs.readFileSync('/proc/self/stat', 'utf8');
  const fields = stat.slice(stat.lastIndexOf(')') + 2).split(' ');
  return (Number(fields[13]) + Number(fields[14])) / CLOCK_TICKS;
}

function ffmpeg() {
  const file = path.join(dir, 'x11grab.mp4');
  const before = childCpuSeconds();
  execFileSync('ffmpeg', ['-v', 'error', '-f', 'x11grab', '-draw_mouse', '0', '-framerate',
    String(RATE), '-video_size', `${WIDTH}x${HEIGHT}`, '-i', process.env.DISPLAY, '-t',
    String(SECONDS), '-c:v', 'libx264', '-preset', 'ultrafast', '-profile:v', 'high', '-b:v',
    '5M', '-pix_fmt', 'yuv420p', file]);
  const cpu = childCpuSeconds() - before;
  return { frames: framesIn(file), cpu };
}

async function main() {
  const scene = spawn(process.env.FILMSTRIP_SCENE_CLIENT,
    ['204080:0,0,1920,1080', 'c08020:200,150,800,450:moving'], { stdio: ['pipe', 'pipe', 'inherit'] });
  await new Promise((resolve) => scene.stdout.once('data', resolve));
  try {
    const mine = await ours();
    const theirs = ffmpeg();
    console.log(`${SECONDS} s of ${WIDTH}x${HEIGHT} at ${RATE} fps, H.264 5 Mbit/s`);
    console.log(`filmstrip: ${mine.frames} of ${expected} frames (${(mine.frames / expected).toFixed(3)}), ${mine.cpu.toFixed(1)} CPU s`);
    console.log(`ffmpeg x11grab: ${theirs.frames} of ${expected} frames (${(theirs.frames / expected).toFixed(3)}), ${theirs.cpu.toFixed(1)} CPU s`);
    console.log(`CPU filmstrip / ffmpeg: ${(mine.cpu / theirs.cpu).toFixed(2)}`);
  } finally {
    scene.stdin.end();
    fs.rmSync(dir, { recursive: true, force: true });
  }
}

main().catch((error) => {
  console.error(error);
  process.exit(1);
});
