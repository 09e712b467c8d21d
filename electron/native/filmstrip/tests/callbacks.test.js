// The real plug-in's callbacks reach JavaScript in plain Node, which never drains the main
// dispatch queue (Electron's main process does): every recorder operation answers.
// FILMSTRIP_MODULE is the built module.
'use strict';

const test = require('node:test');
const assert = require('node:assert/strict');

const { NativeScreenRecorder } = require(process.env.FILMSTRIP_MODULE);

const call = (recorder, method) =>
  new Promise((resolve) => recorder[method]((...results) => resolve(results)));

test('an idle recorder answers stop, pause and resume', { timeout: 10000 }, async () => {
  const recorder = new NativeScreenRecorder();
  const [stopError, stopPath] = await call(recorder, 'stopRecording');
  assert.equal(stopError.message, 'Not recording');
  assert.equal(stopPath, null);
  assert.deepEqual(await call(recorder, 'pauseRecording'), [null]);
  assert.deepEqual(await call(recorder, 'resumeRecording'), [null]);
});
