'use strict';
// Private X servers and test clients for the plug-ins' JavaScript tests: a display from
// tools/with-xvfb (optionally under openbox) that lives until stop(), and the X test
// client, which keeps its windows until stop().
const { spawn } = require('node:child_process');
const path = require('node:path');
const readline = require('node:readline');

// Helper programs are not instrumented: keep a sanitizer runtime preloaded into Node out of them.
function helperEnv(extra = {}) {
    const env = { ...process.env, ...extra };
    delete env.LD_PRELOAD;
    delete env.ASAN_OPTIONS;
    return env;
}

function firstLine(child, what) {
    return new Promise((resolve, reject) => {
        const lines = readline.createInterface({ input: child.stdout });
        lines.once('line', (line) => {
            lines.close();
            resolve(line);
        });
        child.once('exit', (code) => reject(new Error(`${what} exited (${code}) before it was ready`)));
    });
}

function stopper(child) {
    return () =>
        new Promise((resolve) => {
            if (child.exitCode !== null || child.signalCode !== null) {
                resolve();
                return;
            }
            child.once('exit', resolve);
            child.stdin.end();
        });
}

// Starts a private X server; resolves to { display, stop }.
async function startDisplay({ windowManager = false } = {}) {
    const announce = ['sh', '-c', 'echo "$DISPLAY"; exec cat'];
    const args = windowManager ? [process.env.WITH_OPENBOX, ...announce] : announce;
    const child = spawn(process.env.WITH_XVFB, args, { stdio: ['pipe', 'pipe', 'inherit'], env: helperEnv() });
    const display = await firstLine(child, 'with-xvfb');
    return { display, stop: stopper(child) };
}

// Starts a private session bus (settings kept in memory) whose accessibility bus is private
// too; resolves to { address, stop }.
async function startSessionBus() {
    const withSession = path.join(__dirname, '..', '..', '..', 'tools', 'with-session');
    const child = spawn(withSession, ['sh', '-c', 'echo "$DBUS_SESSION_BUS_ADDRESS"; exec cat'], {
        stdio: ['pipe', 'pipe', 'ignore'],
        env: helperEnv({ GSETTINGS_BACKEND: 'memory' }),
    });
    const address = await firstLine(child, 'dbus-run-session');
    return { address, stop: stopper(child) };
}

// Starts a test program (x11_test_client unless named) on `display` that prints one JSON
// line when ready; resolves to that line's fields and stop().
async function startClient(display, args, program = process.env.X11_TEST_CLIENT, extraEnv = {}) {
    const child = spawn(program, args, {
        stdio: ['pipe', 'pipe', 'inherit'],
        env: helperEnv({ DISPLAY: display, ...extraEnv }),
    });
    const ready = JSON.parse(await firstLine(child, path.basename(program)));
    return { ...ready, stop: stopper(child) };
}

module.exports = { startDisplay, startSessionBus, startClient };
