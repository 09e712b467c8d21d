'use strict';
// getWindowList on a Wayland desktop (headless weston, run by tools/with-weston): the X11
// windows of its XWayland, found although weston's window manager keeps no client list.
const test = require('node:test');
const assert = require('node:assert');
const path = require('node:path');
const { startClient } = require(path.join(__dirname, '../../tests/x11_display.js'));

const plugin = require(process.env.DESKTOP_INFO_MODULE);

test('an XWayland window is listed with its title and owner', async () => {
  const client = await startClient(process.env.DISPLAY, ['normal:0,0,320,240:On XWayland']);
  try {
    const [id] = client.windows;
    const entry = plugin.getWindowList().find((w) => w.windowId === id);
    assert.ok(entry, `window ${id} not in ${JSON.stringify(plugin.getWindowList())}`);
    assert.equal(entry.name, 'On XWayland');
    assert.equal(entry.ownerName, 'x11_test_client');
    assert.equal(entry.width, 320);
    assert.equal(entry.height, 240);
  } finally {
    await client.stop();
  }
});
