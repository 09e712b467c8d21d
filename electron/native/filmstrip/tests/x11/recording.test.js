'use strict';
// NativeScreenRecorder recording a private X server: a display with a pause, a rectangle, a
// covered window, the host's own windows left out, system audio from a private PulseAudio
// server (and none), and an X server that dies mid-recording.
const test = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { spawnSync } = require('node:child_process');
const {
  sleep, now, toolEnv, useDisplay, serverPid, startScene, displayID, startPulse, playTone, probe,
  pictures, pixel, near, peakLevel,
} = require('./scene.js');

const { NativeScreenRecorder } = require(process.env.FILMSTRIP_MODULE);

const FRAMERATE = 30;
const FRAME_SECONDS = 1 / FRAMERATE;
const SCREEN = '640x480';
const SYSTEM_AUDIO_MESSAGE = 'This Mac would not record system audio. Choose Mute System Audio '
  + 'in the dock to record without it.';

// A stream-stopped message without the count of frames a loaded machine had no time to
// write, which ends it when there were any.
const withoutDrops = (message) => message.replace(/; \d+ video frames dropped$/, '');
const options = (extra = {}) => ({
  framerate: FRAMERATE, lowMemoryEncoder: false, hevcEncoder: false, systemAudio: false, ...extra,
});
const tempDir = fs.mkdtempSync(path.join(os.tmpdir(), 'filmstrip-x11-'));
let fileCount = 0;
const newPath = () => path.join(tempDir, `recording-${++fileCount}.mp4`);

function call(recorder, method, ...args) {
  return new Promise((resolve) => recorder[method](...args, (...results) => resolve(results)));
}

// Runs `body` with a private X server (and the scene's windows on it), then stops both.
async function withScene(specs, body, sceneOptions) {
  const server = await useDisplay(SCREEN);
  const scene = await startScene(server.display, specs, sceneOptions);
  try {
    return await body(server, scene);
  } finally {
    await scene.stop();
    await server.stop();
  }
}

// Records for `seconds`, then stops; returns the file.
async function record(start, seconds) {
  const recorder = new NativeScreenRecorder();
  const file = newPath();
  assert.deepEqual(await start(recorder, file), [null]);
  await sleep(seconds);
  assert.deepEqual(await call(recorder, 'stopRecording'), [null, file]);
  return file;
}

test('without an X server, starts fail and leave no file', async () => {
  process.env.DISPLAY = ':65000';
  const recorder = new NativeScreenRecorder();
  for (const start of [
    (file) => call(recorder, 'startRecordingDisplay', 1, file, null, options()),
    (file) => call(recorder, 'startRecordingWindow', 1, file, options()),
  ]) {
    const file = newPath();
    const [error] = await start(file);
    assert.equal(error.message, 'Cannot connect to the X display');
    assert.equal(fs.existsSync(file), false);
  }
});

test('a display with a moving client and a 1 s pause', () =>
  withScene(['204080:100,100,320,240:moving'], async ({ display }) => {
    const recorder = new NativeScreenRecorder();
    const file = newPath();
    const startCalled = now();
    assert.deepEqual(await call(recorder, 'startRecordingDisplay', displayID(display), file, null,
      options()), [null]);
    const startAnswered = now();
    await sleep(1);
    const pauseCalled = now();
    assert.deepEqual(await call(recorder, 'pauseRecording'), [null]);
    const pauseAnswered = now();
    await sleep(1);
    const resumeCalled = now();
    assert.deepEqual(await call(recorder, 'resumeRecording'), [null]);
    const resumeAnswered = now();
    await sleep(1);
    const stopCalled = now();
    assert.deepEqual(await call(recorder, 'stopRecording'), [null, file]);
    const stopAnswered = now();

    const { video } = probe(file);
    assert.equal(video.codec_name, 'h264');
    assert.equal(video.width, 640);
    assert.equal(video.height, 480);
    // About 2 s: each native moment lies between its call and its callback, and the file may
    // be up to 2 frames off those bounds.
    const duration = Number(video.duration);
    const least = stopCalled - startAnswered - (resumeAnswered - pauseCalled);
    const most = stopAnswered - startCalled - (resumeCalled - pauseAnswered);
    assert.ok(duration >= least - 2 * FRAME_SECONDS && duration <= most + 2 * FRAME_SECONDS,
      `duration ${duration} not within [${least}, ${most}] and 2 frames`);
    assert.ok(Math.abs(duration - 2) < 0.5, `duration ${duration} is not about 2 s`);
    const frames = pictures(file, 64, 48);
    assert.ok(frames.length >= 30, `${frames.length} frames`);
    assert.notDeepEqual(frames[0], frames[frames.length - 1], 'the picture never changed');
  }));

test('a rectangle of a display is cropped from it', () =>
  withScene(['ff0000:50,40,100,76'], async ({ display }) => {
    const file = await record((recorder, out) => call(recorder, 'startRecordingDisplay',
      displayID(display), out, { x: 50, y: 40, width: 201, height: 151.4 }, options()), 0.5);
    const { video } = probe(file);
    assert.equal(video.codec_name, 'h264');
    assert.equal(video.width, 200);
    assert.equal(video.height, 150);
    const [frame] = pictures(file, 200, 150);
    assert.ok(near(pixel(frame, 200, 25, 20), 'ff0000'), 'the window is at the top left');
    assert.ok(near(pixel(frame, 200, 175, 120), '000000'), 'the rest is the empty screen');
  }));

test('a covered window, in HEVC with the low-memory settings', () =>
  withScene(['00c000:10,10,200,100', '0000ff:0,0,300,200'], async (server, { windows }) => {
    const file = await record((recorder, out) => call(recorder, 'startRecordingWindow',
      windows[0], out, options({ hevcEncoder: true, lowMemoryEncoder: true })), 0.5);
    const { video, audio } = probe(file);
    assert.equal(video.codec_name, 'hevc');
    assert.equal(video.width, 200);
    assert.equal(video.height, 100);
    assert.equal(audio, undefined);
    const [frame] = pictures(file, 200, 100);
    assert.ok(near(pixel(frame, 200, 100, 50), '00c000'), `${pixel(frame, 200, 100, 50)}`);
  }));

test("the host application's own windows are left out of a display", () =>
  withScene(['00c000:0,0,640,480'], async ({ display }) => {
    const host = await startScene(display, ['ff0000:100,100,200,150'], { pid: process.pid });
    try {
      const file = await record((recorder, out) => call(recorder, 'startRecordingDisplay',
        displayID(display), out, null, options()), 0.5);
      const [frame] = pictures(file, 640, 480);
      assert.ok(near(pixel(frame, 640, 200, 175), '00c000'), `${pixel(frame, 640, 200, 175)}`);
    } finally {
      await host.stop();
    }
  }));

test('system audio from the default sink; refused without an audio server', () =>
  withScene(['204080:0,0,64,48:moving'], async ({ display }) => {
    const rect = { x: 0, y: 0, width: 64, height: 48 };
    const start = (recorder, out) => call(recorder, 'startRecordingDisplay', displayID(display),
      out, rect, options({ systemAudio: true }));

    process.env.PULSE_SERVER = `unix:${tempDir}/no-server-here`;
    const refused = newPath();
    const [error] = await start(new NativeScreenRecorder(), refused);
    assert.equal(error.message, SYSTEM_AUDIO_MESSAGE);
    assert.equal(fs.existsSync(refused), false);

    const pulse = await startPulse();
    process.env.PULSE_SERVER = pulse.server;
    try {
      const recorder = new NativeScreenRecorder();
      const file = newPath();
      assert.deepEqual(await start(recorder, file), [null]);
      await playTone(pulse.server, 1);
      await sleep(0.3);
      assert.deepEqual(await call(recorder, 'stopRecording'), [null, file]);
      const { audio } = probe(file);
      assert.equal(audio.codec_name, 'aac');
      assert.equal(audio.sample_rate, '48000');
      assert.equal(audio.channels, 2);
      const peak = peakLevel(file);
      assert.ok(peak > 0.1, `the audio track is silent (peak ${peak})`);
    } finally {
      delete process.env.PULSE_SERVER;
      await pulse.stop();
    }
  }));

// The loud and quiet stretches of a file's audio track, from ffmpeg's silencedetect:
// [{ start, end }] of each silence, in seconds of the file.
function silences(file) {
  const { stderr } = spawnSync('ffmpeg', ['-v', 'info', '-nostats', '-i', file, '-map', '0:a',
    '-af', 'silencedetect=n=-30dB:d=0.05', '-f', 'null', '-'], { env: toolEnv() });
  const found = [];
  for (const [, key, value] of String(stderr).matchAll(/silence_(start|end): (-?[\d.]+)/g)) {
    if (key === 'start') found.push({ start: Number(value), end: Infinity });
    else found[found.length - 1].end = Number(value);
  }
  return found;
}

test('system audio from the first moment of the take, in step with the picture', () =>
  withScene(['204080:0,0,64,48:moving'], async ({ display }) => {
    const pulse = await startPulse();
    process.env.PULSE_SERVER = pulse.server;
    try {
      const playing = playTone(pulse.server, 4); // sound already playing when the take starts
      await sleep(0.5);
      const recorder = new NativeScreenRecorder();
      const file = newPath();
      assert.deepEqual(await call(recorder, 'startRecordingDisplay', displayID(display), file,
        { x: 0, y: 0, width: 64, height: 48 }, options({ systemAudio: true })), [null]);
      await sleep(1.5);
      assert.deepEqual(await call(recorder, 'stopRecording'), [null, file]);
      await playing;
      const { video, audio } = probe(file);
      const offset = Number(audio.start_time) - Number(video.start_time);
      assert.ok(Math.abs(offset) <= FRAME_SECONDS,
        `audio starts ${offset.toFixed(3)} s from the first frame`);
      const quiet = silences(file).filter(({ end }) => end < Number(audio.duration) - 0.05);
      assert.deepEqual(quiet, [], 'the tone is heard from the start to the end');
    } finally {
      delete process.env.PULSE_SERVER;
      await pulse.stop();
    }
  }));

test('the audio server dying mid-take ends it once, with sound and picture kept up to then', () =>
  withScene(['204080:0,0,64,48:moving'], async ({ display }) => {
    const pulse = await startPulse();
    process.env.PULSE_SERVER = pulse.server;
    try {
      const playing = playTone(pulse.server, 5);
      const recorder = new NativeScreenRecorder();
      const stops = [];
      const stopped = new Promise((resolve) => recorder.setStreamStoppedCallback((...args) => {
        stops.push([withoutDrops(args[0]), ...args.slice(1)]);
        resolve();
      }));
      const file = newPath();
      assert.deepEqual(await call(recorder, 'startRecordingDisplay', displayID(display), file,
        { x: 0, y: 0, width: 64, height: 48 }, options({ systemAudio: true })), [null]);
      const started = now();
      await sleep(1.5);
      const killed = now() - started;
      pulse.kill('SIGKILL');
      await stopped;
      await sleep(0.3);
      assert.deepEqual(stops, [[
        'System audio stopped: the audio server went away (Connection terminated)', file, true]]);
      const [notRecording] = await call(recorder, 'stopRecording');
      assert.equal(notRecording.message, 'Not recording');
      await playing;
      const { video, audio } = probe(file);
      assert.ok(Number(video.duration) >= killed - 2 * FRAME_SECONDS, `video ${video.duration} s`);
      // What the server had sent before it died is kept, up to its 10 ms blocks in flight.
      assert.ok(Number(audio.duration) >= killed - 0.1, `audio ${audio.duration} s of ${killed}`);
    } finally {
      delete process.env.PULSE_SERVER;
      await pulse.stop();
    }
  }));

// What a recording captures and how it goes away mid-recording, and what the stream-stopped
// callback then says.
const recordDisplay = (recorder, file, { display }) =>
  call(recorder, 'startRecordingDisplay', displayID(display), file, null, options());
const UNEXPECTED_ENDS = [
  {
    name: 'the X server dies',
    record: recordDisplay,
    end: () => process.kill(serverPid(), 'SIGKILL'),
    message: () => 'The connection to the X display was lost',
  },
  {
    name: 'the monitor is switched off',
    record: recordDisplay,
    // Xvfb turns the output off, then refuses the smaller screen: the exit status is not 0.
    end: ({ display }) => spawnSync('xrandr', ['--output', 'screen', '--off'],
      { env: toolEnv({ DISPLAY: display }), stdio: 'ignore' }),
    message: ({ display }) => `Display ${displayID(display)} is no longer connected`,
  },
  {
    name: 'the recorded window is closed',
    record: (recorder, file, { scene }) =>
      call(recorder, 'startRecordingWindow', scene.windows[0], file, options()),
    end: ({ scene }) => scene.stop(),
    message: () => 'The window was closed',
  },
];

for (const { name, record: start, end, message } of UNEXPECTED_ENDS) {
  test(`${name} mid-recording: the stream ends once, with the file kept`, () =>
    withScene(['204080:0,0,320,240:moving'], async ({ display }, scene) => {
      const recorder = new NativeScreenRecorder();
      const stops = [];
      let stopped;
      const firstStop = new Promise((resolve) => { stopped = resolve; });
      recorder.setStreamStoppedCallback((...args) => {
        stops.push([withoutDrops(args[0]), ...args.slice(1)]);
        stopped();
      });
      const file = newPath();
      const expected = message({ display });
      assert.deepEqual(await start(recorder, file, { display, scene }), [null]);
      await sleep(0.7);
      await end({ display, scene });
      await firstStop;
      await sleep(0.3);
      assert.deepEqual(stops, [[expected, file, true]]);
      const [notRecording] = await call(recorder, 'stopRecording');
      assert.equal(notRecording.message, 'Not recording');
      const { video } = probe(file);
      assert.equal(video.codec_name, 'h264');
      assert.ok(pictures(file, 32, 24).length >= 10);
    }));
}

test.after(() => fs.rmSync(tempDir, { recursive: true, force: true }));
