'use strict';
// A Node process killed 12 s into a recording of a private X server leaves a file that plays
// its closed fragments (at least 5 s).
const test = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { spawn } = require('node:child_process');
const readline = require('node:readline');
const { sleep, useDisplay, startScene, displayID, probe } = require('./scene.js');

test('SIGKILL 12 s into a recording leaves a playable file', async () => {
  const server = await useDisplay('320x240');
  const scene = await startScene(server.display, ['204080:0,0,320,240:moving']);
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'filmstrip-killed-'));
  const file = path.join(dir, 'recording.mp4');
  try {
    const child = spawn(process.execPath, ['-e', `
      const { NativeScreenRecorder } = require(${JSON.stringify(process.env.FILMSTRIP_MODULE)});
      new NativeScreenRecorder().startRecordingDisplay(${displayID(server.display)},
        ${JSON.stringify(file)}, null,
        { framerate: 30, lowMemoryEncoder: false, hevcEncoder: false, systemAudio: false },
        (error) => console.log(error ? error.message : 'started'));
      setInterval(() => {}, 1000);
    `], { stdio: ['ignore', 'pipe', 'inherit'] });
    const exited = new Promise((resolve) => child.once('exit', (code, signal) => resolve(signal)));
    const line = await new Promise((resolve) =>
      readline.createInterface({ input: child.stdout }).once('line', resolve));
    assert.equal(line, 'started');
    await sleep(12);
    child.kill('SIGKILL');
    assert.equal(await exited, 'SIGKILL');
    const { video } = probe(file);
    assert.equal(video.codec_name, 'h264');
    assert.ok(Number(video.duration) >= 5, `only ${video.duration} s survived`);
  } finally {
    fs.rmSync(dir, { recursive: true, force: true });
    await scene.stop();
    await server.stop();
  }
});
