'use strict';
// Prints getWindowList() p50/p99 with 30 windows on screen and getCurrentCursorType() p50
// (goals: list p50 <= 2 ms; cursor p50 <= 0.5 ms). Run through bench/run.
const path = require('node:path');
const { startDisplay, startClient } = require(path.join(__dirname, '../../tests/x11_display.js'));

const WINDOWS = 30;

function percentile(sorted, p) {
    return sorted[Math.min(sorted.length - 1, Math.floor((p / 100) * sorted.length))];
}

function measure(fn, runs) {
    for (let i = 0; i < 50; i++) fn();
    const times = [];
    for (let i = 0; i < runs; i++) {
        const start = process.hrtime.bigint();
        fn();
        times.push(Number(process.hrtime.bigint() - start) / 1e6);
    }
    return times.sort((a, b) => a - b);
}

async function main() {
    const windowManager = Boolean(process.env.BENCH_WINDOW_MANAGER);
    const display = await startDisplay({ windowManager });
    process.env.DISPLAY = display.display;
    const plugin = require(process.env.DESKTOP_INFO_MODULE);
    const specs = Array.from({ length: WINDOWS }, (_, i) => `normal:${20 * i},${15 * i},400,300:Window ${i}`);
    const client = await startClient(display.display, ['--pid', String(process.pid), '--focus', '--cursor', 'hand2', ...specs]);
    try {
        const listed = plugin.getWindowList().length;
        if (listed !== WINDOWS) throw new Error(`expected ${WINDOWS} windows, listed ${listed}`);
        const list = measure(() => plugin.getWindowList(), 2000);
        const cursor = measure(() => plugin.getCurrentCursorType(), 5000);
        if (plugin.getCurrentCursorType() !== 'pointer') throw new Error('the cursor was not named');
        const where = windowManager ? 'Xvfb + openbox' : 'Xvfb';
        console.log(`getWindowList (${WINDOWS} windows, ${where}): p50 ${percentile(list, 50).toFixed(3)} ms, p99 ${percentile(list, 99).toFixed(3)} ms (goal p50 <= 2 ms)`);
        console.log(`getCurrentCursorType (frontmost, XFixes): p50 ${percentile(cursor, 50).toFixed(3)} ms, p99 ${percentile(cursor, 99).toFixed(3)} ms (goal p50 <= 0.5 ms)`);
    } finally {
        await client.stop();
        await display.stop();
    }
}

main().catch((error) => {
    console.error(error);
    process.exit(1);
});
