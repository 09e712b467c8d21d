'use strict';
// System audio in step with the picture on the audio server PULSE_SERVER names (a private one,
// with a null sink as its default sink, from tools/with-audio-server): 0.1 s beeps played at
// known times after the start callback land at those times in the file's own audio track,
// across a pause, and sound playing from the start begins with the first picture.
const test = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { spawn, spawnSync } = require('node:child_process');
const { sleep, now, toolEnv, useDisplay, startScene, displayID, playTone, probe } = require('./scene.js');

const { NativeScreenRecorder } = require(process.env.FILMSTRIP_MODULE);

const SERVER = process.env.PULSE_SERVER;
const FRAME_SECONDS = 1 / 30;
const RATE = 48000;
const BEEP_SECONDS = 0.1;
const tempDir = fs.mkdtempSync(path.join(os.tmpdir(), 'filmstrip-audio-'));
const options = { framerate: 30, lowMemoryEncoder: false, hevcEncoder: false, systemAudio: true };
const area = { x: 0, y: 0, width: 64, height: 48 };

function call(recorder, method, ...args) {
  return new Promise((resolve) => recorder[method](...args, (...results) => resolve(results)));
}

// One player for every beep, so that its start-up is the same for all: 440 Hz beeps at a
// quarter of full scale starting `offsets` seconds into its sound, silence between them.
function playBeeps(offsets) {
  const frames = Math.round(RATE * (Math.max(...offsets) + BEEP_SECONDS + 0.2));
  const pcm = Buffer.alloc(frames * 4);
  for (const offset of offsets) {
    const first = Math.round(offset * RATE);
    for (let i = 0; i < BEEP_SECONDS * RATE; i++) {
      const value = Math.round(8192 * Math.sin((2 * Math.PI * 440 * i) / RATE));
      pcm.writeInt16LE(value, (first + i) * 4);
      pcm.writeInt16LE(value, (first + i) * 4 + 2);
    }
  }
  const player = spawn('pacat', ['--server', SERVER, '--playback', '--format=s16le',
    `--rate=${RATE}`, '--channels=2', '--latency-msec=10'], { stdio: ['pipe', 'ignore', 'inherit'], env: toolEnv() });
  player.stdin.end(pcm);
  return new Promise((resolve) => player.once('exit', resolve));
}

// The times sound starts in the file's audio track (the ends of ffmpeg's silences, but for
// the one it reports at the end of the track).
function onsets(file) {
  const end = Number(probe(file).audio.duration);
  const { stderr } = spawnSync('ffmpeg', ['-v', 'info', '-nostats', '-i', file, '-map', '0:a',
    '-af', 'silencedetect=n=-30dB:d=0.05', '-f', 'null', '-'], { env: toolEnv() });
  return [...String(stderr).matchAll(/silence_end: (-?[\d.]+)/g)].map((m) => Number(m[1]))
    .filter((time) => time < end - 0.05);
}

async function withDisplay(body) {
  const server = await useDisplay('320x240');
  const scene = await startScene(server.display, ['204080:0,0,64,48:moving']);
  try {
    return await body(displayID(server.display));
  } finally {
    await scene.stop();
    await server.stop();
  }
}

test('beeps land where they were heard, across a pause', () => withDisplay(async (display) => {
  const recorder = new NativeScreenRecorder();
  const file = path.join(tempDir, 'beeps.mp4');
  const startCalled = now();
  assert.deepEqual(await call(recorder, 'startRecordingDisplay', display, file, area, options), [null]);
  const started = now();
  // Beeps before, between and after a pause of 1.5 s from 5.0 s to 6.5 s; the player's
  // start-up is measured from its first beep.
  const offsets = [0.5, 2.5, 4.0, 7.5, 9.0];
  const playing = playBeeps(offsets);
  const spawned = now() - started;
  await sleep(5.0 - spawned);
  // The pause and the resume take effect somewhere between the call and its callback, so
  // the time left out lies between the shortest and the longest interval they allow.
  const pauseCalled = now();
  assert.deepEqual(await call(recorder, 'pauseRecording'), [null]);
  const pauseAnswered = now();
  await sleep(1.5);
  const resumeCalled = now();
  assert.deepEqual(await call(recorder, 'resumeRecording'), [null]);
  const pausedFor = { least: resumeCalled - pauseAnswered, most: now() - pauseCalled };
  await playing;
  await sleep(0.5);
  assert.deepEqual(await call(recorder, 'stopRecording'), [null, file]);

  const found = onsets(file);
  const startup = found[0] - (spawned + offsets[0]);
  // Each beep's place in the file: [earliest, latest] before a frame period either side.
  const expected = offsets.map((offset) => {
    const heard = spawned + offset + startup;
    return offset > 5.0 ? [heard - pausedFor.most, heard - pausedFor.least] : [heard, heard];
  });
  const shown = (range) => range.map((t) => t.toFixed(3)).join('..');
  console.log(`${SERVER}: start wait ${(started - startCalled).toFixed(3)} s, player start-up `
    + `${startup.toFixed(3)} s, onsets ${found.map((t) => t.toFixed(3)).join(', ')}, expected `
    + `${expected.map(shown).join(', ')}`);
  assert.ok(startup >= 0 && startup < 0.3, `player start-up ${startup.toFixed(3)} s`);
  assert.equal(found.length, offsets.length, `onsets ${found}`);
  found.forEach((onset, i) => assert.ok(
    onset >= expected[i][0] - FRAME_SECONDS && onset <= expected[i][1] + FRAME_SECONDS,
    `beep ${i} at ${onset.toFixed(3)} s, expected ${shown(expected[i])} s`));
}));

test('sound playing from the start begins with the first picture', () => withDisplay(async (display) => {
  const playing = playTone(SERVER, 3);
  await sleep(0.3);
  const recorder = new NativeScreenRecorder();
  const file = path.join(tempDir, 'tone.mp4');
  assert.deepEqual(await call(recorder, 'startRecordingDisplay', display, file, area, options), [null]);
  await sleep(1.5);
  assert.deepEqual(await call(recorder, 'stopRecording'), [null, file]);
  await playing;
  const { video, audio } = probe(file);
  const offset = Number(audio.start_time) - Number(video.start_time);
  console.log(`${SERVER}: first sound ${offset.toFixed(3)} s from the first picture`);
  assert.ok(Math.abs(offset) <= FRAME_SECONDS, `audio starts ${offset.toFixed(3)} s from the first frame`);
  assert.ok(onsets(file).every((t) => t <= 0.05), 'the tone is heard from the start');
}));
