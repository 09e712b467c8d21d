'use strict';
// The accessibility side of the real desktop_info module: a private session bus whose
// accessibility is off until requested, and a GTK window of another process under the pointer.
const test = require('node:test');
const assert = require('node:assert');
const path = require('node:path');
const { execFileSync } = require('node:child_process');
const { setTimeout: delay } = require('node:timers/promises');
const { startDisplay, startSessionBus, startClient } = require(path.join(__dirname, '../../tests/x11_display.js'));

let display;
let bus;
let plugin;

test.before(async () => {
    display = await startDisplay();
    bus = await startSessionBus();
    process.env.DISPLAY = display.display;
    process.env.DBUS_SESSION_BUS_ADDRESS = bus.address;
    process.env.GSETTINGS_BACKEND = 'memory';
    plugin = require(process.env.DESKTOP_INFO_MODULE);
});
test.after(async () => {
    await bus.stop();
    await display.stop();
});

test('accessibility is off until requested, and the request turns it on', () => {
    assert.strictEqual(plugin.hasAccessibilityPermissions(), false);
    assert.strictEqual(plugin.getCurrentCursorType(), 'default');
    assert.strictEqual(plugin.requestAccessibilityPermissions(), true);
    assert.strictEqual(plugin.hasAccessibilityPermissions(), true);
});

// The window registers with the accessibility registry a moment after it is shown, and an
// unanswered query quiets the plug-in for a second: ask until the answer settles.
async function cursorSettlesOn(expected) {
    let name;
    for (let attempt = 0; attempt < 100; attempt++) {
        name = plugin.getCurrentCursorType();
        if (name === expected) return name;
        await delay(100);
    }
    return name;
}

test('the role of the element under the pointer names the cursor of another application', async () => {
    const window = await startClient(display.display, [], process.env.ATSPI_TEST_WINDOW, {
        DBUS_SESSION_BUS_ADDRESS: bus.address,
        GSETTINGS_BACKEND: 'memory',
    });
    try {
        for (const [widget, expected] of [['button', 'pointer'], ['entry', 'text'], ['label', 'default']]) {
            const [x, y] = window[widget];
            execFileSync('xdotool', ['mousemove', String(x), String(y)], { env: { ...process.env, LD_PRELOAD: '' } });
            assert.strictEqual(await cursorSettlesOn(expected), expected, widget);
        }
    } finally {
        await window.stop();
    }
});
