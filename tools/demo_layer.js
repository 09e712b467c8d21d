'use strict';
// The layer at work on one desktop (the demo's private one unless asked otherwise): a small
// sign-in window, desktop_info listing the windows and the cursor, filmstrip recording that
// window while input_relay clicks and types into it, with a pause and a resume in between.
//
//   node tools/demo_layer.js PARTS_DIR TEST_WINDOW OUT_DIR
//
// PARTS_DIR holds the package's six parts; TEST_WINDOW is the relay's GTK test window.
// Writes OUT_DIR/recording.mp4, relay.log (one JSON record per injected event) and
// layer.json (what happened, for the summary and the contact sheet). With DEMO_OWN_DESKTOP
// set it uses the caller's display and audio server instead of starting its own.
const fs = require('node:fs');
const path = require('node:path');
const { spawnSync } = require('node:child_process');
const { startClient } = require('../electron/native/tests/x11_display.js');
const { startPulse, playTone, sleep } = require('../electron/native/filmstrip/tests/x11/scene.js');

const [partsDir, testWindow, outDir] = process.argv.slice(2).map((arg) => path.resolve(arg));
const part = (name) => path.join(partsDir, name);
const { NativeScreenRecorder } = require(part('filmstrip.node'));
const desktop = require(part('desktop_info.node'));
const backdrop = require(part('backdrop.node'));

const OWN_DESKTOP = Boolean(process.env.DEMO_OWN_DESKTOP);
const GEOMETRY = [80, 60, 480, 300];
const ACCESSIBLE_SECONDS = 15;
const PAUSE_SECONDS = 1.5;
const TONE_SECONDS = 6;
const CAPTURE = { framerate: 30, lowMemoryEncoder: false, hevcEncoder: false, systemAudio: true };

const say = (text) => console.log(`   ${text}`);
const base64 = (text) => `type:${Buffer.from(text).toString('base64')}`;
const centre = ({ x, y, width, height }) => `${Math.round(x + width / 2)},${Math.round(y + height / 2)}`;

function relay(args) {
    return spawnSync(part('input_relay'), args, { encoding: 'utf8', timeout: 60000 });
}

function call(recorder, method, ...args) {
    return new Promise((resolve) => recorder[method](...args, (...results) => resolve(results)));
}

// The window's accessibility tree reaches the bus a moment after it is mapped; the relay
// reports it once it is there.
async function elementsOf(token) {
    const deadline = Date.now() + ACCESSIBLE_SECONDS * 1000;
    for (;;) {
        const report = relay(['elements', token]);
        if (report.status === 0) {
            return JSON.parse(report.stdout).elements;
        }
        if (Date.now() > deadline) {
            throw new Error(`the demo window never became inspectable: ${report.stderr.trim()}`);
        }
        await sleep(0.2);
    }
}

// Drives one part of the take; returns its event records.
function drive(token, commands, log) {
    const run = relay([token, 'd:25', 'k:90', ...commands]);
    fs.appendFileSync(log, run.stdout);
    if (run.status !== 0) {
        throw new Error(`input_relay failed (${run.status}): ${run.stderr.trim()}`);
    }
    return run.stdout.split('\n').filter(Boolean).map((line) => JSON.parse(line));
}

async function main() {
    const facts = { display: process.env.DISPLAY };
    let pulse = null;
    if (!OWN_DESKTOP) {
        pulse = await startPulse();
        process.env.PULSE_SERVER = pulse.server;
    }
    const window = await startClient(process.env.DISPLAY, [
        '--content', 'widgets', '--geometry', GEOMETRY.join(','), '--title', 'Sign in (demo)'],
    testWindow);
    try {
        // desktop_info: on X11 the accessibility request switches the session's bus on, which
        // the relay needs to find and check the window.
        facts.accessibility = desktop.requestAccessibilityPermissions();
        facts.inputMonitoring = desktop.hasInputMonitoringPermissions();
        const token = `window:${window.window}`;
        const elements = await elementsOf(token);
        facts.windows = desktop.getWindowList();
        facts.cursor = desktop.getCurrentCursorType();
        facts.window = facts.windows.find((entry) => entry.windowId === window.window);
        say(`desktop_info: ${facts.windows.length} window(s) on ${facts.display}; cursor "${facts.cursor}"; ` +
            `accessibility ${facts.accessibility}, input monitoring ${facts.inputMonitoring}`);
        for (const entry of facts.windows) {
            say(`  #${entry.windowId} "${entry.name}" (${entry.ownerName}) ${entry.width}x${entry.height} at ${entry.x},${entry.y}`);
        }
        facts.backdrop = backdrop.initializeBackdrop(Buffer.alloc(8));
        say(`backdrop: initializeBackdrop -> ${facts.backdrop} (X11 has no glass material)`);
        const at = (label) => {
            const element = elements.find((candidate) => candidate.label === label);
            if (!element) throw new Error(`the demo window has no "${label}"`);
            return centre(element.frame);
        };

        const recording = path.join(outDir, 'recording.mp4');
        const log = path.join(outDir, 'relay.log');
        fs.rmSync(log, { force: true });
        const recorder = new NativeScreenRecorder();
        recorder.setStreamStoppedCallback((message) => say(`filmstrip stopped unexpectedly: ${message}`));
        const [startError] = await call(recorder, 'startRecordingWindow', window.window, recording, CAPTURE);
        if (startError) throw startError;
        say(`filmstrip: recording window #${window.window} to ${recording}`);
        const tone = pulse ? playTone(pulse.server, TONE_SECONDS) : Promise.resolve();
        const started = Date.now();
        await sleep(0.5);
        const records = drive(token, [at('Your name'), 'click', 'key:end', base64(' Lovelace')], log);
        await call(recorder, 'pauseRecording');
        say(`paused after ${((Date.now() - started) / 1000).toFixed(1)} s; resuming in ${PAUSE_SECONDS} s`);
        await sleep(PAUSE_SECONDS);
        await call(recorder, 'resumeRecording');
        records.push(...drive(token, [at('Your password'), 'click', base64('analytical'),
                                      at('Remember me'), 'click', at('Sign in'), 'click'], log));
        await sleep(0.5);
        const [stopError, file] = await call(recorder, 'stopRecording');
        if (stopError) throw stopError;
        await tone;
        facts.recording = file;
        facts.pauseSeconds = PAUSE_SECONDS;
        facts.events = records.length;
        facts.eventKinds = {};
        for (const record of records) {
            facts.eventKinds[record.kind] = (facts.eventKinds[record.kind] || 0) + 1;
        }
        facts.windowTextAfter = (await elementsOf(token))
            .filter((element) => element.role === 'textField').map((element) => element.value);
        say(`input_relay: ${records.length} events injected; the text fields now read ${JSON.stringify(facts.windowTextAfter)}`);
        fs.writeFileSync(path.join(outDir, 'layer.json'), JSON.stringify(facts, null, 2));
    } finally {
        await window.stop();
        if (pulse) await pulse.stop();
    }
}

main().catch((error) => {
    console.error(`demo: ${error.message}`);
    process.exit(1);
});
