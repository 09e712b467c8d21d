// NativeScreenRecorder from JavaScript: argument checking, callback shapes, the recorder's
// refusals, and real recordings checked with ffprobe. FILMSTRIP_MODULE is the built module.
'use strict';

const test = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { execFileSync, spawnSync } = require('node:child_process');
const { Worker } = require('node:worker_threads');

const modulePath = process.env.FILMSTRIP_MODULE;
const { NativeScreenRecorder } = require(modulePath);

// What the Linux capture source offers until screen capture exists.
const DISPLAY = 1;
const WINDOW = 2;
const FRAMERATE = 10; // one frame is 100 ms: timing checks stay meaningful under load
const FRAME_SECONDS = 1 / FRAMERATE;
// Rounding of the hold frame's end to the file's time base.
const HOLD_SLACK_SECONDS = 0.01;

const options = (extra = {}) => ({
  framerate: FRAMERATE,
  lowMemoryEncoder: false,
  hevcEncoder: false,
  systemAudio: false,
  ...extra,
});
const noop = () => {};
const tempDir = fs.mkdtempSync(path.join(os.tmpdir(), 'filmstrip-'));
let fileCount = 0;
const newPath = () => path.join(tempDir, `recording-${++fileCount}.mp4`);
const now = () => performance.now() / 1000;
const sleep = (seconds) => new Promise((resolve) => setTimeout(resolve, seconds * 1000));
// A stream-stopped message without the count of frames a loaded machine had no time to
// write, which ends it when there were any.
const withoutDrops = (message) => message.replace(/; \d+ video frames dropped$/, '');

// Calls a recorder method and resolves with the arguments of its callback.
function call(recorder, method, ...args) {
  return new Promise((resolve) => recorder[method](...args, (...results) => resolve(results)));
}

function probe(file) {
  const json = execFileSync('ffprobe', ['-v', 'error', '-show_streams', '-show_format',
    '-of', 'json', file]);
  const { streams, format } = JSON.parse(json);
  return {
    video: streams.find((s) => s.codec_type === 'video'),
    audio: streams.find((s) => s.codec_type === 'audio'),
    format,
  };
}

test('the class must be called with new', () => {
  assert.equal(typeof NativeScreenRecorder, 'function');
  assert.throws(() => NativeScreenRecorder(), {
    name: 'TypeError',
    message: "Class constructors cannot be invoked without 'new'",
  });
});

test('arguments are checked before anything happens', () => {
  const recorder = new NativeScreenRecorder();
  const file = newPath();
  const display = 'Expected (displayID, outputPath, rect | null, options, callback)';
  const window = 'Expected (windowID, outputPath, options, callback)';
  const callback = 'Expected callback function';
  const cases = [
    ['display, 4 arguments', () => recorder.startRecordingDisplay(DISPLAY, file, null, options()), display],
    ['display, 6 arguments', () => recorder.startRecordingDisplay(DISPLAY, file, null, options(), noop, 1), display],
    ['display, string id', () => recorder.startRecordingDisplay('1', file, null, options(), noop), display],
    ['display, path not a string', () => recorder.startRecordingDisplay(DISPLAY, 7, null, options(), noop), display],
    ['display, undefined rect', () => recorder.startRecordingDisplay(DISPLAY, file, undefined, options(), noop), display],
    ['display, number rect', () => recorder.startRecordingDisplay(DISPLAY, file, 3, options(), noop), display],
    ['window, 3 arguments', () => recorder.startRecordingWindow(WINDOW, file, options()), window],
    ['window, 5 arguments', () => recorder.startRecordingWindow(WINDOW, file, options(), noop, noop), window],
    ['window, string id', () => recorder.startRecordingWindow('2', file, options(), noop), window],
    ['options not an object', () => recorder.startRecordingWindow(WINDOW, file, 'fast', noop), 'Expected capture options'],
    ['options null', () => recorder.startRecordingDisplay(DISPLAY, file, null, null, noop), 'Expected capture options'],
    ['framerate 0, before any boolean', () => recorder.startRecordingWindow(WINDOW, file, { framerate: 0 }, noop), 'Expected a positive framerate'],
    ['framerate 0.5', () => recorder.startRecordingWindow(WINDOW, file, options({ framerate: 0.5 }), noop), 'Expected a positive framerate'],
    ['framerate a string', () => recorder.startRecordingWindow(WINDOW, file, options({ framerate: '30' }), noop), 'Expected a positive framerate'],
    ['framerate missing', () => recorder.startRecordingWindow(WINDOW, file, { lowMemoryEncoder: false, hevcEncoder: false, systemAudio: false }, noop), 'Expected a positive framerate'],
    ['systemAudio missing', () => recorder.startRecordingWindow(WINDOW, file, { framerate: 30, lowMemoryEncoder: false, hevcEncoder: true }, noop), 'Expected boolean systemAudio'],
    ['lowMemoryEncoder not a boolean', () => recorder.startRecordingWindow(WINDOW, file, options({ lowMemoryEncoder: 1 }), noop), 'Expected boolean lowMemoryEncoder'],
    ['hevcEncoder not a boolean', () => recorder.startRecordingDisplay(DISPLAY, file, null, options({ hevcEncoder: 'yes' }), noop), 'Expected boolean hevcEncoder'],
    ['display callback', () => recorder.startRecordingDisplay(DISPLAY, file, null, options(), {}), callback],
    ['window callback', () => recorder.startRecordingWindow(WINDOW, file, options(), null), callback],
    ['stop without callback', () => recorder.stopRecording(), callback],
    ['pause with a string', () => recorder.pauseRecording('later'), callback],
    ['resume without callback', () => recorder.resumeRecording(), callback],
    ['stream stopped without callback', () => recorder.setStreamStoppedCallback(42), callback],
  ];
  for (const [name, attempt, message] of cases) {
    assert.throws(attempt, { name: 'TypeError', message }, name);
  }
  assert.equal(fs.existsSync(file), false);
});

test('a bad rectangle throws the Node-API error before the options and callback are looked at', () => {
  const recorder = new NativeScreenRecorder();
  for (const rect of [{ x: 0, y: 0, width: 10 }, { x: 0, y: '0', width: 10, height: 10 }]) {
    assert.throws(() => recorder.startRecordingDisplay(DISPLAY, newPath(), rect, 'bad', 'bad'),
      (error) => error.constructor === Error && error.message === 'A number was expected');
  }
});

test('idle recorder: stop fails, pause and resume answer null', async () => {
  const recorder = new NativeScreenRecorder();
  const [stopError, stopPath, ...stopRest] = await call(recorder, 'stopRecording');
  assert.equal(stopError.constructor, Error);
  assert.equal(stopError.message, 'Not recording');
  assert.equal(stopError.code, 4);
  assert.equal(stopError.domain, 'ScreenRecorder');
  assert.equal(stopPath, null);
  assert.equal(stopRest.length, 0);
  assert.deepEqual(await call(recorder, 'pauseRecording'), [null]);
  assert.deepEqual(await call(recorder, 'resumeRecording'), [null]);
});

test('refused starts report why and leave files alone', async () => {
  const recorder = new NativeScreenRecorder();
  const missingDisplay = newPath();
  const [displayError] = await call(recorder, 'startRecordingDisplay', 4000000001,
    missingDisplay, null, options());
  assert.equal(displayError.message, 'Display 4000000001 not found (disconnected?)');
  assert.equal(displayError.code, 1);
  assert.equal(displayError.domain, 'ScreenRecorder');
  assert.equal(fs.existsSync(missingDisplay), false);

  const nowhere = path.join(tempDir, 'missing', 'out.mp4');
  const [folderError] = await call(recorder, 'startRecordingDisplay', DISPLAY, nowhere, null,
    options());
  assert.equal(folderError.message,
    `Cannot create ${nowhere}: the folder ${path.dirname(nowhere)} does not exist`);
  assert.equal(folderError.domain, 'POSIX');
  assert.equal(folderError.code, os.constants.errno.ENOENT);

  const [windowError] = await call(recorder, 'startRecordingWindow', 999, newPath(), options());
  assert.equal(windowError.message, 'Window not found');

  const tooNarrow = newPath();
  const [sizeError] = await call(recorder, 'startRecordingDisplay', DISPLAY, tooNarrow,
    { x: 0, y: 0, width: 0.4, height: 100 }, options());
  assert.equal(sizeError.message, "The video encoder refused this capture's settings");
  assert.equal(fs.existsSync(tooNarrow), false);

  const precious = newPath();
  fs.writeFileSync(precious, 'an earlier recording');
  const [existsError] = await call(recorder, 'startRecordingDisplay', DISPLAY, precious, null,
    options());
  assert.equal(existsError.message, `Cannot create ${precious}: File exists`);
  assert.equal(existsError.code, os.constants.errno.EEXIST);
  assert.equal(fs.readFileSync(precious, 'utf8'), 'an earlier recording');
});

test('a recording with a pause, audio and a hold frame', async () => {
  const recorder = new NativeScreenRecorder();
  const file = newPath();
  const rect = { x: 100, y: 50, width: 321, height: 240.6 };
  const startCalled = now();
  const startResult = await call(recorder, 'startRecordingDisplay', DISPLAY, file, rect,
    options({ systemAudio: true }));
  const startAnswered = now();
  assert.deepEqual(startResult, [null]);

  const [busy, ...busyRest] = await call(recorder, 'startRecordingDisplay', DISPLAY, newPath(),
    null, options());
  assert.equal(busy.message, 'A recording is already in progress');
  assert.equal(busyRest.length, 0);

  await sleep(0.6);
  const pauseCalled = now();
  assert.deepEqual(await call(recorder, 'pauseRecording'), [null]);
  const pauseAnswered = now();
  await sleep(0.7);
  const resumeCalled = now();
  assert.deepEqual(await call(recorder, 'resumeRecording'), [null]);
  const resumeAnswered = now();
  await sleep(0.75); // stops between two pictures: only the hold frame reaches the end
  const stopCalled = now();
  const stopping = call(recorder, 'stopRecording');
  const [again] = await call(recorder, 'stopRecording');
  assert.equal(again.message, 'Not recording');
  assert.deepEqual(await stopping, [null, file]);
  const stopAnswered = now();

  const { video, audio } = probe(file);
  assert.equal(video.codec_name, 'h264');
  assert.equal(video.width, 320);
  assert.equal(video.height, 240);
  assert.equal(audio.codec_name, 'aac');
  assert.equal(audio.sample_rate, '48000');
  assert.equal(audio.channels, 2);
  // The file lasts from the first frame to the stop, minus the pause, and at most one frame
  // longer (a last frame keeps its own length). Each native moment is bracketed by the
  // JavaScript call that asked for it and the callback that confirmed it.
  const pausedMost = resumeAnswered - pauseCalled;
  const pausedLeast = resumeCalled - pauseAnswered;
  const duration = Number(video.duration);
  assert.ok(duration >= stopCalled - startAnswered - pausedMost - HOLD_SLACK_SECONDS,
    `duration ${duration} ends before the stop`);
  assert.ok(duration <= stopAnswered - startCalled - pausedLeast + FRAME_SECONDS,
    `duration ${duration} does not leave out the pause`);
});

test('a window in HEVC with the low-memory settings', async () => {
  const recorder = new NativeScreenRecorder();
  const file = newPath();
  assert.deepEqual(await call(recorder, 'startRecordingWindow', WINDOW, file,
    options({ hevcEncoder: true, lowMemoryEncoder: true })), [null]);
  await sleep(0.5);
  assert.deepEqual(await call(recorder, 'stopRecording'), [null, file]);
  const { video, audio } = probe(file);
  assert.equal(video.codec_name, 'hevc');
  assert.equal(video.codec_tag_string, 'hvc1');
  assert.equal(video.width, 640);
  assert.equal(video.height, 480);
  assert.equal(audio, undefined);
});

test('a process killed mid-recording leaves every closed fragment playable', async () => {
  const file = newPath();
  const child = require('node:child_process').spawn(process.execPath, ['-e', `
    const { NativeScreenRecorder } = require(${JSON.stringify(modulePath)});
    new NativeScreenRecorder().startRecordingDisplay(${DISPLAY}, ${JSON.stringify(file)},
      { x: 0, y: 0, width: 160, height: 120 }, ${JSON.stringify(options({ systemAudio: true }))},
      (error) => console.log(error ? error.message : 'started'));
    setInterval(() => {}, 1000);
  `], { stdio: ['ignore', 'pipe', 'inherit'] });
  const [line] = await new Promise((resolve) => child.stdout.once('data', (data) => resolve(String(data).split('\n'))));
  assert.equal(line, 'started');
  await sleep(6.2); // past the first 5-second fragment
  const exited = new Promise((resolve) => child.once('exit', (code, signal) => resolve(signal)));
  child.kill('SIGKILL');
  assert.equal(await exited, 'SIGKILL');
  const { video, audio } = probe(file);
  assert.equal(video.codec_name, 'h264');
  assert.equal(audio.codec_name, 'aac');
  assert.ok(Number(video.duration) >= 4.9, `only ${video.duration} s survived`);
});

// Records into `file` in a child process (through `shell`, which sets its limits) until the
// stream-stopped callback fires, then asks for a stop; resolves to what the child saw.
function recordUntilStopped(file, shell) {
  const script = `
    const { NativeScreenRecorder } = require(${JSON.stringify(modulePath)});
    const recorder = new NativeScreenRecorder();
    const say = (what) => console.log(JSON.stringify(what));
    recorder.setStreamStoppedCallback((...stopped) => {
      say({ stopped });
      recorder.stopRecording((error) => { say({ stop: error && error.message }); process.exit(0); });
    });
    recorder.startRecordingDisplay(${DISPLAY}, ${JSON.stringify(file)},
      { x: 0, y: 0, width: 320, height: 240 }, ${JSON.stringify(options({ systemAudio: true }))},
      (error) => say({ started: error && error.message }));
    setTimeout(() => process.exit(1), 30000);`;
  const child = require('node:child_process').spawn('bash',
    ['-c', `${shell}; exec "$0" -e "$1"`, process.execPath, script],
    { stdio: ['ignore', 'pipe', 'pipe'] });
  let out = '';
  let log = '';
  child.stdout.on('data', (data) => { out += data; });
  child.stderr.on('data', (data) => { log += data; });
  const parse = (line) => {
    const seen = JSON.parse(line);
    if (seen.stopped) seen.stopped[0] = withoutDrops(seen.stopped[0]);
    return seen;
  };
  return new Promise((resolve) => child.once('exit', (code) => resolve({
    code, seen: out.trim().split('\n').map(parse), log,
  })));
}

test('a disk that fills mid-take ends it at once, told once, with the file whole', async (t) => {
  // One 5-second fragment fits, the second does not.
  const limitKB = 256;
  const cases = [{ name: 'a file size limit', dir: tempDir, shell: `ulimit -f ${limitKB}`,
    reason: 'File too large' }];
  const full = path.join(tempDir, 'full');
  fs.mkdirSync(full);
  const mounted = spawnSync('mount', ['-t', 'tmpfs', '-o', `size=${limitKB}k`, 'tmpfs', full]);
  if (mounted.status === 0) {
    cases.push({ name: 'a full disk', dir: full, shell: 'true', reason: 'No space left on device' });
    t.after(() => spawnSync('umount', [full]));
  } else {
    t.diagnostic('no tmpfs can be mounted here: the full disk is stood in for by a file size limit');
  }
  await Promise.all(cases.map(async ({ name, dir, shell, reason }) => {
    const file = path.join(dir, 'take.mp4');
    const { code, seen, log } = await recordUntilStopped(file, shell);
    assert.equal(code, 0, name);
    if (!fs.existsSync('/dev/log')) { // no system log: the lines go to standard error
      assert.match(log, new RegExp(`^filmstrip: Writing failed: Cannot write to .*: ${reason}$`, 'm'));
      assert.match(log, /^filmstrip: Recording ended: \d+ video frames written, \d+ video frames and \d+ audio buffers dropped because the writer was not ready$/m);
    }
    assert.deepEqual(seen, [
      { started: null },
      { stopped: [`Cannot write to ${file}: ${reason}`, file, true] },
      { stop: 'Not recording' },
    ], name);
    const { video, audio } = probe(file);
    assert.ok(Number(video.duration) >= 4.9, `${name}: ${video.duration} s of video kept`);
    assert.ok(Number(audio.duration) >= 4.9, `${name}: ${audio.duration} s of audio kept`);
    const decoded = spawnSync('ffmpeg', ['-v', 'error', '-i', file, '-f', 'null', '-']);
    assert.equal(decoded.status, 0, name);
    assert.equal(String(decoded.stderr), '', `${name}: the file does not decode cleanly`);
  }));
});

test('an unexpected end reaches the stream-stopped callback that replaced the first', async () => {
  // In this build of the plug-in every capture ends on its own after its third picture.
  const dying = require(process.env.FILMSTRIP_DYING_MODULE);
  const recorder = new dying.NativeScreenRecorder();
  assert.equal(recorder.setStreamStoppedCallback(() => assert.fail('replaced')), undefined);
  const stopped = new Promise((resolve) => recorder.setStreamStoppedCallback(
    (...args) => resolve(args)));
  // The callback alone does not keep the process alive.
  const keepAlive = setInterval(noop, 1000);
  const file = newPath();
  assert.deepEqual(await call(recorder, 'startRecordingDisplay', DISPLAY, file, null,
    options({ lowMemoryEncoder: true })), [null]);
  const [message, ...rest] = await stopped;
  assert.deepEqual([withoutDrops(message), ...rest], ['The test display went away', file, true]);
  clearInterval(keepAlive);
  const [error, stopPath] = await call(recorder, 'stopRecording');
  assert.equal(error.message, 'Not recording');
  assert.equal(stopPath, null);
  assert.equal(probe(file).video.codec_name, 'h264');
});

test('an environment torn down with live recorders cleans up after itself', async () => {
  const worker = new Worker(`
    const { NativeScreenRecorder } = require(${JSON.stringify(modulePath)});
    const { parentPort } = require('node:worker_threads');
    const kept = [new NativeScreenRecorder(), new NativeScreenRecorder()];
    kept[0].setStreamStoppedCallback(() => {});
    kept[1].pauseRecording(() => parentPort.postMessage('ready'));
    setInterval(() => {}, 1000); // alive until terminated
  `, { eval: true });
  await new Promise((resolve) => worker.once('message', resolve));
  assert.equal(await worker.terminate(), 1);
});

test('recorders collected by the garbage collector let go of their callbacks', async () => {
  require('node:v8').setFlagsFromString('--expose-gc');
  const gc = require('node:vm').runInNewContext('gc');
  for (let i = 0; i < 20; ++i) {
    new NativeScreenRecorder().setStreamStoppedCallback(noop);
  }
  await sleep(0);
  gc();
  await sleep(0);
});

test.after(() => fs.rmSync(tempDir, { recursive: true, force: true }));
