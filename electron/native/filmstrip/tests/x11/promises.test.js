// The real plug-in's promise methods (native-layer/filmstrip/promises) on a private X server:
// a window recorded with a pause ends as a file showing the window, and a start with no X
// server rejects with the Error the callback gets.
'use strict';

const test = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { sleep, useDisplay, startScene, probe, pictures, pixel, near } = require('./scene.js');
const { withPromises } = require('../../../../../lib/with_promises');

const CallbackRecorder = require(process.env.FILMSTRIP_MODULE).NativeScreenRecorder;
const NativeScreenRecorder = withPromises(CallbackRecorder);
const options = { framerate: 30, lowMemoryEncoder: false, hevcEncoder: false, systemAudio: false };
const tempDir = fs.mkdtempSync(path.join(os.tmpdir(), 'filmstrip-x11-promises-'));
test.after(() => fs.rmSync(tempDir, { recursive: true, force: true }));

test('without an X server a start rejects as the callback fails', async () => {
    const display = process.env.DISPLAY;
    process.env.DISPLAY = ':65000';
    try {
        const file = path.join(tempDir, 'nowhere.mp4');
        const [expected] = await new Promise((resolve) =>
            new CallbackRecorder().startRecordingDisplay(1, file, null, options, (...results) => resolve(results)));
        const rejected = await new NativeScreenRecorder().startRecordingDisplay(1, file, null, options)
            .then(() => assert.fail('the start resolved'), (error) => error);
        assert.equal(rejected.message, 'Cannot connect to the X display');
        assert.deepEqual([rejected.constructor, rejected.code, rejected.domain],
                         [Error, expected.code, expected.domain]);
        assert.equal(fs.existsSync(file), false);
    } finally {
        process.env.DISPLAY = display;
    }
});

test('a window recorded with a pause shows the window and leaves the pause out', async () => {
    const server = await useDisplay('640x480');
    const scene = await startScene(server.display, ['ff0000:100,100,200,150']);
    try {
        const recorder = new NativeScreenRecorder();
        const file = path.join(tempDir, 'window.mp4');
        assert.equal(await recorder.startRecordingWindow(scene.windows[0], file, options), undefined);
        await sleep(0.6);
        assert.equal(await recorder.pauseRecording(), undefined);
        await sleep(0.8);
        assert.equal(await recorder.resumeRecording(), undefined);
        await sleep(0.6);
        assert.equal(await recorder.stopRecording(), file);

        const { video } = probe(file);
        assert.deepEqual([video.width, video.height], [200, 150]);
        const duration = Number(video.duration);
        assert.ok(duration > 1.0 && duration < 1.8, `duration ${duration} leaves the 0.8 s pause out`);
        const frames = pictures(file, 200, 150);
        assert.ok(frames.length > 0);
        for (const frame of [frames[0], frames[frames.length - 1]]) {
            assert.ok(near(pixel(frame, 200, 100, 75), 'ff0000'), `${pixel(frame, 200, 100, 75)}`);
        }
    } finally {
        await scene.stop();
        await server.stop();
    }
});
