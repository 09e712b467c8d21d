'use strict';
// What the X11 recording tests set up and look at: a private X server with the scene client
// on it, a private PulseAudio server with a null sink, the display's RandR id, and the
// pictures and sound of a finished file (through ffprobe and ffmpeg).
const assert = require('node:assert/strict');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { execFileSync, spawn, spawnSync } = require('node:child_process');
const { startDisplay, startClient } = require('../../../tests/x11_display.js');

const SCENE_CLIENT = process.env.FILMSTRIP_SCENE_CLIENT;
const sleep = (seconds) => new Promise((resolve) => setTimeout(resolve, seconds * 1000));
const now = () => performance.now() / 1000;

// Helper programs are not instrumented: keep a sanitizer runtime preloaded into Node out.
function toolEnv(extra = {}) {
  const env = { ...process.env, ...extra };
  delete env.LD_PRELOAD;
  delete env.ASAN_OPTIONS;
  return env;
}

// A private X server of `size` ("WxH") that the plug-in in this process records from;
// resolves to { display, stop }.
async function useDisplay(size) {
  process.env.XVFB_SCREEN = `${size}x24`;
  const server = await startDisplay();
  process.env.DISPLAY = server.display;
  return server;
}

// The process id of the one X server this process has running (through with-xvfb).
function serverPid() {
  const parentOf = (pid) => {
    try {
      const stat = fs.readFileSync(`/proc/${pid}/stat`, 'utf8');
      return { comm: /\((.*)\)/.exec(stat)[1], ppid: Number(stat.slice(stat.lastIndexOf(')') + 2).split(' ')[1]) };
    } catch {
      return null; // gone meanwhile
    }
  };
  const servers = fs.readdirSync('/proc').filter((pid) => {
    const server = /^\d+$/.test(pid) && parentOf(pid);
    const script = server && server.comm === 'Xvfb' && parentOf(server.ppid);
    return script && script.ppid === process.pid;
  });
  assert.equal(servers.length, 1, `X servers of this process: ${servers}`);
  return Number(servers[0]);
}

// Windows of the scene client: specs "RRGGBB:X,Y,W,H[:moving]"; resolves to { windows, stop }.
function startScene(display, specs, { pid } = {}) {
  const args = pid ? ['--pid', String(pid), ...specs] : specs;
  return startClient(display, args, SCENE_CLIENT);
}

// The RandR id of the first connected output: the display id the recorder takes.
function displayID(display) {
  const text = execFileSync('xrandr', ['--verbose'], { env: toolEnv({ DISPLAY: display }) }).toString();
  const match = /^\S+ connected[^\n]*\n\s+Identifier:\s+(0x[0-9a-f]+)/m.exec(text);
  if (!match) throw new Error(`no connected output in:\n${text}`);
  return Number.parseInt(match[1], 16);
}

// A PulseAudio server of our own with a null sink as default sink; resolves to
// { server, stop }. PULSE_SERVER points the plug-in (and pacat) at it.
async function startPulse() {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'filmstrip-pulse-'));
  const server = `unix:${dir}/native`;
  const daemon = spawn('pulseaudio', ['-n', '--daemonize=no', '--exit-idle-time=-1',
    '--use-pid-file=false', '--disable-shm=true', '-L', 'module-null-sink sink_name=filmstrip_test',
    '-L', `module-native-protocol-unix auth-anonymous=1 socket=${dir}/native`],
  { stdio: 'ignore', env: toolEnv({ HOME: dir, XDG_RUNTIME_DIR: dir, XDG_CONFIG_HOME: dir }) });
  const exited = new Promise((resolve) => daemon.once('exit', resolve));
  const deadline = now() + 10;
  while (spawnSync('pactl', ['--server', server, 'info'], { env: toolEnv(), stdio: 'ignore' }).status !== 0) {
    if (now() > deadline || daemon.exitCode !== null) {
      daemon.kill();
      throw new Error('pulseaudio did not start');
    }
    await sleep(0.1);
  }
  // A listener that keeps the null sink rendering in small blocks, as a sound card's sink
  // does once a recording asks for low latency (an idle null sink renders 2 s at a time, and
  // a new monitor recording hears nothing until the next block).
  const listener = spawn('parec', ['--server', server, '--latency-msec=10', '-d',
    '@DEFAULT_MONITOR@', '/dev/null'], { stdio: 'ignore', env: toolEnv() });
  const listening = now() + 10;
  while (!/filmstrip_test\.monitor.*RUNNING/.test(spawnSync('pactl',
    ['--server', server, 'list', 'short', 'sources'], { env: toolEnv() }).stdout)) {
    if (now() > listening) throw new Error('the monitor listener did not start');
    await sleep(0.1);
  }
  await sleep(2.1); // past the idle sink's last long block
  return {
    server,
    exited,
    kill: (signal) => daemon.kill(signal),
    stop: async () => {
      listener.kill();
      daemon.kill('SIGTERM');
      await exited;
      fs.rmSync(dir, { recursive: true, force: true });
    },
  };
}

// Plays a 440 Hz tone at a quarter of full scale into the default sink for `seconds`.
function playTone(server, seconds) {
  const rate = 48000;
  const frames = Math.round(rate * seconds);
  const pcm = Buffer.alloc(frames * 4);
  for (let i = 0; i < frames; i++) {
    const value = Math.round(8192 * Math.sin((2 * Math.PI * 440 * i) / rate));
    pcm.writeInt16LE(value, i * 4);
    pcm.writeInt16LE(value, i * 4 + 2);
  }
  const player = spawn('pacat', ['--server', server, '--playback', '--format=s16le',
    `--rate=${rate}`, '--channels=2'], { stdio: ['pipe', 'ignore', 'inherit'], env: toolEnv() });
  player.stdin.on('error', () => {}); // a server that dies takes the player with it
  player.stdin.end(pcm);
  return new Promise((resolve) => player.once('exit', resolve));
}

function probe(file) {
  const json = execFileSync('ffprobe', ['-v', 'error', '-show_streams', '-show_format',
    '-of', 'json', file], { env: toolEnv() });
  const { streams, format } = JSON.parse(json);
  return {
    video: streams.find((s) => s.codec_type === 'video'),
    audio: streams.find((s) => s.codec_type === 'audio'),
    format,
  };
}

// Every frame of the file scaled to width x height, as rows of RGB pixels.
function pictures(file, width, height) {
  const raw = execFileSync('ffmpeg', ['-v', 'error', '-i', file, '-map', '0:v', '-vf',
    `scale=${width}:${height}`, '-f', 'rawvideo', '-pix_fmt', 'rgb24', '-'],
  { env: toolEnv(), maxBuffer: 1 << 28 });
  const size = width * height * 3;
  const frames = [];
  for (let offset = 0; offset + size <= raw.length; offset += size) {
    frames.push(raw.subarray(offset, offset + size));
  }
  return frames;
}

// The colour of pixel (x, y) of a frame from pictures(), as [r, g, b].
function pixel(frame, width, x, y) {
  const at = (y * width + x) * 3;
  return [frame[at], frame[at + 1], frame[at + 2]];
}

// Whether `rgb` is within a codec's rounding of the colour "RRGGBB".
function near(rgb, hex, tolerance = 40) {
  const expected = [0, 2, 4].map((i) => Number.parseInt(hex.slice(i, i + 2), 16));
  return rgb.every((value, i) => Math.abs(value - expected[i]) <= tolerance);
}

// The loudest sample of the file's audio track, as a fraction of full scale.
function peakLevel(file) {
  const raw = execFileSync('ffmpeg', ['-v', 'error', '-i', file, '-map', '0:a', '-f', 's16le',
    '-ac', '1', '-'], { env: toolEnv(), maxBuffer: 1 << 26 });
  let peak = 0;
  for (let i = 0; i + 1 < raw.length; i += 2) peak = Math.max(peak, Math.abs(raw.readInt16LE(i)));
  return peak / 32768;
}

module.exports = {
  sleep, now, toolEnv, useDisplay, serverPid, startScene, displayID, startPulse, playTone,
  probe, pictures, pixel, near, peakLevel,
};
