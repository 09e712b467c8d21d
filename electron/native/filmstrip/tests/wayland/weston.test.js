'use strict';
// NativeScreenRecorder on a Wayland desktop (headless weston, run by tools/with-weston): an
// XWayland window is filmed with its own pixels; a window that is no X client is refused
// with a message that names Wayland.
const test = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { sleep, startScene, pictures, pixel, near, probe } = require('../x11/scene.js');

const { NativeScreenRecorder } = require(process.env.FILMSTRIP_MODULE);

const options = { framerate: 30, lowMemoryEncoder: false, hevcEncoder: false, systemAudio: false };
const tempDir = fs.mkdtempSync(path.join(os.tmpdir(), 'filmstrip-weston-'));
const NOT_XWAYLAND = 'Window not found among the XWayland windows: on Wayland only X11 '
  + '(XWayland) windows can be recorded; run the app with GDK_BACKEND=x11, QT_QPA_PLATFORM=xcb '
  + 'or --ozone-platform=x11, or record its display';

function call(recorder, method, ...args) {
  return new Promise((resolve) => recorder[method](...args, (...results) => resolve(results)));
}

test.after(() => fs.rmSync(tempDir, { recursive: true, force: true }));

test('an XWayland window is filmed with its own pixels', async () => {
  const scene = await startScene(process.env.DISPLAY, ['c02020:0,0,320,240']);
  try {
    const recorder = new NativeScreenRecorder();
    const file = path.join(tempDir, 'window.mp4');
    assert.deepEqual(await call(recorder, 'startRecordingWindow', scene.windows[0], file, options),
      [null]);
    await sleep(0.5);
    assert.deepEqual(await call(recorder, 'stopRecording'), [null, file]);
    const { video } = probe(file);
    assert.equal(video.width, 320);
    assert.equal(video.height, 240);
    const frames = pictures(file, 320, 240);
    assert.ok(frames.length > 0);
    for (const frame of [frames[0], frames[frames.length - 1]]) {
      assert.ok(near(pixel(frame, 320, 160, 120), 'c02020'), `${pixel(frame, 320, 160, 120)}`);
    }
  } finally {
    await scene.stop();
  }
});

test('a window that is no X client is refused, naming Wayland', async () => {
  const recorder = new NativeScreenRecorder();
  const file = path.join(tempDir, 'native.mp4');
  const [error] = await call(recorder, 'startRecordingWindow', 0x7ffffff0, file, options);
  assert.equal(error.message, NOT_XWAYLAND);
  assert.equal(fs.existsSync(file), false);
});
