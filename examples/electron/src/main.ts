// The Electron main process: every call into the native layer happens here, never in a
// renderer (backdrop must run on the main thread; the plug-ins are loaded once).
import { app, BrowserWindow, ipcMain } from 'electron';
import { release } from 'node:os';
import { join } from 'node:path';
import { runProbes } from './probes';
import { startTake, type Take } from './take';

// Each require throws an Error naming the plug-in and why when it cannot be loaded; the
// window then says so instead of the app failing to start.
type Layer = {
    desktop: typeof import('native-layer/desktop_info');
    filmstrip: typeof import('native-layer/filmstrip/promises');
    backdrop: typeof import('native-layer/backdrop');
};
function loadLayer(): Layer | Error {
    try {
        return { desktop: require('native-layer/desktop_info'),
                 filmstrip: require('native-layer/filmstrip/promises'),
                 backdrop: require('native-layer/backdrop') };
    } catch (error) {
        return error instanceof Error ? error : new Error(String(error));
    }
}

const OPTIONS = { framerate: 30, lowMemoryEncoder: false, hevcEncoder: false, systemAudio: true };
// Glass exists from macOS 26 (Darwin 25) on.
const HAS_GLASS = process.platform === 'darwin' && Number(release().split('.')[0]) >= 25;
const PANEL = { id: 'panel', x: 0, y: 0, width: 280, height: 600, cornerRadius: 16 };

let win: BrowserWindow | null = null;
let take: Take | null = null;
let recorder: InstanceType<Layer['filmstrip']['NativeScreenRecorder']> | null = null;

function show(channel: string, payload: unknown): void {
    win?.webContents.send(channel, payload);
}

// A recorder failure as the window shows it: the message with its domain and code.
function describe(error: unknown): string {
    if (error instanceof Error) {
        const { code, domain } = error as Error & { code?: number; domain?: string };
        return domain === undefined ? error.message : `${error.message} (${domain} ${code})`;
    }
    return String(error);
}

// Each handler answers { ok, value } or { ok: false, error } so that no rejection escapes.
function handle<A extends unknown[]>(channel: string, work: (...args: A) => unknown): void {
    ipcMain.handle(channel, async (_event, ...args: unknown[]) => {
        try {
            return { ok: true, value: await work(...(args as A)) };
        } catch (error) {
            return { ok: false, error: describe(error) };
        }
    });
}

function wire(layer: Layer): void {
    const { desktop, filmstrip } = layer;
    handle('windows', () => desktop.getWindowList());
    handle('permissions', () => ({
        accessibility: desktop.hasAccessibilityPermissions() || desktop.requestAccessibilityPermissions(),
        inputMonitoring: desktop.hasInputMonitoringPermissions() || desktop.requestInputMonitoringPermissions(),
    }));
    handle('record', async (windowId: number) => {
        if (recorder) {
            throw new Error('already recording');
        }
        const fresh = new filmstrip.NativeScreenRecorder();
        fresh.setStreamStoppedCallback((message, outputPath, wroteVideo) => {
            if (recorder === fresh) {
                recorder = null;
            }
            show('stream-stopped', { message, outputPath, wroteVideo });
        });
        const file = join(app.getPath('videos'), `take-${Date.now()}.mp4`);
        await fresh.startRecordingWindow(windowId, file, OPTIONS);
        recorder = fresh;
        return file;
    });
    handle('pause', () => recorder?.pauseRecording());
    handle('resume', () => recorder?.resumeRecording());
    handle('take', (windowId: number) => {
        const target = desktop.getWindowList().find((w) => w.windowId === windowId);
        if (!target) {
            throw new Error(`window ${windowId} is gone`);
        }
        if (take) {
            throw new Error('a take is already running');
        }
        const current = startTake(target, (event) => show('relay-event', event));
        take = current;
        current.ended.then((end) => {
            take = null;
            show('take-ended', end);
        });
        return 'started';
    });
    handle('stop-take', () => take?.stop());
    handle('finish', async () => {
        if (!recorder) {
            throw new Error('not recording');
        }
        const finishing = recorder;
        recorder = null;
        const file = await finishing.stopRecording();
        if (file === null) {
            throw new Error('the recording left no file');
        }
        return { file, probes: await runProbes(file) };
    });
}

function glassBehindPanel(window: BrowserWindow, backdrop: Layer['backdrop']): void {
    const handleBuffer = window.getNativeWindowHandle();
    if (!HAS_GLASS || !backdrop.initializeBackdrop(handleBuffer)) {
        return; // no glass on this system: the panel keeps its own background
    }
    const place = (): void => {
        const { height } = window.getContentBounds();
        backdrop.updateGlassRects(handleBuffer, [{ ...PANEL, height }]);
    };
    place();
    window.on('resize', place);
    window.on('closed', () => backdrop.removeAllBackdrops(handleBuffer));
}

app.whenReady().then(async () => {
    win = new BrowserWindow({
        width: 900, height: 600, transparent: HAS_GLASS,
        webPreferences: { preload: join(__dirname, 'preload.js'), contextIsolation: true },
    });
    win.on('closed', () => { win = null; });
    const layer = loadLayer();
    if (layer instanceof Error) {
        await win.loadFile(join(__dirname, '..', 'index.html'), { query: { failure: layer.message } });
        return;
    }
    wire(layer);
    glassBehindPanel(win, layer.backdrop);
    await win.loadFile(join(__dirname, '..', 'index.html'));
}).catch((error: unknown) => {
    console.error(describe(error));
    app.exit(1);
});

app.on('window-all-closed', () => {
    take?.stop();
    app.quit();
});
