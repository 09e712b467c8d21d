// The recorder's promise methods (native-layer/filmstrip/promises) over the plug-in built with
// the synthetic capture source (FILMSTRIP_MODULE): each settles as its callback would have been
// called, with the same values and the same Error objects.
'use strict';

const test = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { execFileSync } = require('node:child_process');
const { withPromises } = require('../../../../lib/with_promises');

const CallbackRecorder = require(process.env.FILMSTRIP_MODULE).NativeScreenRecorder;
const NativeScreenRecorder = withPromises(CallbackRecorder);

const DISPLAY = 1;
const options = { framerate: 10, lowMemoryEncoder: false, hevcEncoder: false, systemAudio: false };
const tempDir = fs.mkdtempSync(path.join(os.tmpdir(), 'filmstrip-promises-'));
test.after(() => fs.rmSync(tempDir, { recursive: true, force: true }));
const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

// What the callback method hands its callback for the same call.
function callbackResult(method, ...args) {
    return new Promise((resolve) => new CallbackRecorder()[method](...args, (...results) => resolve(results)));
}

test('a refusal rejects with the Error the callback gets, its code and domain intact', async () => {
    const nowhere = path.join(tempDir, 'missing', 'out.mp4');
    const cases = [
        ['stopRecording', []],
        ['startRecordingDisplay', [4000000001, path.join(tempDir, 'a.mp4'), null, options]],
        ['startRecordingDisplay', [DISPLAY, nowhere, null, options]],
        ['startRecordingWindow', [999, path.join(tempDir, 'b.mp4'), options]],
    ];
    for (const [method, args] of cases) {
        const [expected] = await callbackResult(method, ...args);
        const rejected = await new NativeScreenRecorder()[method](...args).then(
            () => assert.fail(`${method} resolved`), (error) => error);
        assert.equal(rejected.constructor, Error, method);
        assert.deepEqual({ message: rejected.message, code: rejected.code, domain: rejected.domain },
                         { message: expected.message, code: expected.code, domain: expected.domain },
                         method);
    }
});

test('a misfit argument rejects with the TypeError the callback method throws', async () => {
    const recorder = new NativeScreenRecorder();
    const pending = recorder.startRecordingWindow('2', path.join(tempDir, 'c.mp4'), options);
    assert.ok(pending instanceof Promise);
    await assert.rejects(pending, { name: 'TypeError',
                                    message: 'Expected (windowID, outputPath, options, callback)' });
});

test('a recording with a pause resolves at each step and ends with the file', async () => {
    const recorder = new NativeScreenRecorder();
    const file = path.join(tempDir, 'take.mp4');
    assert.equal(await recorder.startRecordingDisplay(DISPLAY, file, null, options), undefined);
    await assert.rejects(recorder.startRecordingDisplay(DISPLAY, path.join(tempDir, 'd.mp4'), null, options),
                         { message: 'A recording is already in progress', domain: 'ScreenRecorder' });
    await sleep(400);
    assert.equal(await recorder.pauseRecording(), undefined);
    await sleep(300);
    assert.equal(await recorder.resumeRecording(), undefined);
    await sleep(400);
    assert.equal(await recorder.stopRecording(), file);
    await assert.rejects(recorder.stopRecording(), { message: 'Not recording', code: 4 });

    const duration = Number(execFileSync('ffprobe', ['-v', 'error', '-show_entries', 'format=duration',
                                                     '-of', 'csv=p=0', file], { encoding: 'utf8' }));
    assert.ok(duration > 0.6 && duration < 1.4, `duration ${duration} leaves the pause out`);
});

test('an idle pause and resume resolve; the stream-stopped listener is the callback one', async () => {
    const recorder = new NativeScreenRecorder();
    assert.deepEqual([await recorder.pauseRecording(), await recorder.resumeRecording()],
                     [undefined, undefined]);
    assert.equal(recorder.setStreamStoppedCallback, CallbackRecorder.prototype.setStreamStoppedCallback);
    assert.ok(recorder instanceof CallbackRecorder);
});
