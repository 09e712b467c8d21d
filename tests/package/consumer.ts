// An application's use of every export of the package; compiled with `tsc --strict` against
// the installed package's declarations. Each @ts-expect-error line is a call the
// declarations must refuse.
import { spawn } from 'node:child_process';
import * as programs from 'native-layer';
import { NativeScreenRecorder, type CaptureOptions, type RecorderError } from 'native-layer/filmstrip';
import { NativeScreenRecorder as PromiseRecorder } from 'native-layer/filmstrip/promises';
import * as desktop from 'native-layer/desktop_info';
import { initializeBackdrop, updateGlassRects, removeAllBackdrops, type GlassRect }
    from 'native-layer/backdrop';

const relay: string = programs.input_relay;
spawn(relay, ['--help']);
spawn(programs.flow_probe, ['ffmpeg', 'video.mp4', '4']);
spawn(programs.mouth_probe, ['ffmpeg', 'video.mp4', '500']);
// @ts-expect-error no such program
spawn(programs.ffmpeg, []);

const windows = desktop.getWindowList();
const first: { windowId: number; name: string; ownerName: string } | undefined = windows[0];
const cursor: 'default' | 'text' | string = desktop.getCurrentCursorType();
// @ts-expect-error a cursor type is one of the known names
const unknownCursor: ReturnType<typeof desktop.getCurrentCursorType> = 'hourglass';
const permissions: boolean[] = [
    desktop.hasAccessibilityPermissions(), desktop.requestAccessibilityPermissions(),
    desktop.hasInputMonitoringPermissions(), desktop.requestInputMonitoringPermissions()];
// @ts-expect-error the window list takes no filter
desktop.getWindowList('Finder');

const options: CaptureOptions = { framerate: 30, lowMemoryEncoder: false, hevcEncoder: false,
                                  systemAudio: true };
const recorder = new NativeScreenRecorder();
recorder.setStreamStoppedCallback((message: string, outputPath: string, wroteVideo: boolean) => {
    console.log(message, outputPath, wroteVideo);
});
recorder.startRecordingDisplay(1, '/tmp/display.mp4', null, options, (error) => {
    const code: number | undefined = error?.code;
    console.log(error?.message, code, error?.domain);
});
recorder.startRecordingDisplay(1, '/tmp/rect.mp4', { x: 0, y: 0, width: 640, height: 480 }, options,
                               (error: Error | null) => console.log(error));
recorder.startRecordingWindow(first?.windowId ?? 0, '/tmp/window.mp4', options, () => {});
recorder.pauseRecording((error) => console.log(error));
recorder.resumeRecording(() => {});
recorder.stopRecording((error, outputPath) => {
    const path: string | null = outputPath;
    console.log(error?.message, path);
});
// @ts-expect-error the options have no defaults
recorder.startRecordingWindow(1, '/tmp/window.mp4', { framerate: 30 }, () => {});
// @ts-expect-error the rectangle is an object or null, never left out
recorder.startRecordingDisplay(1, '/tmp/display.mp4', options, () => {});
// @ts-expect-error the window is given by number
recorder.startRecordingWindow('Finder', '/tmp/window.mp4', options, () => {});
// @ts-expect-error every result comes through a callback
recorder.stopRecording();
// @ts-expect-error the stop callback's path may be null
recorder.stopRecording((error: Error | null, outputPath: string) => console.log(outputPath));

async function promised(): Promise<string | null> {
    const promising = new PromiseRecorder();
    promising.setStreamStoppedCallback((message, outputPath, wroteVideo) => console.log(message, outputPath, wroteVideo));
    await promising.startRecordingWindow(first?.windowId ?? 0, '/tmp/window.mp4', options);
    await promising.pauseRecording();
    await promising.resumeRecording();
    await promising.startRecordingDisplay(1, '/tmp/display.mp4', null, options).catch((error: RecorderError) => {
        const fields: [number, string] = [error.code, error.domain];
        console.log(fields);
    });
    // @ts-expect-error the promise methods take no callback
    promising.pauseRecording(() => {});
    // @ts-expect-error a stop may resolve with null
    const file: string = await promising.stopRecording();
    return file;
}
promised().catch(console.error);

const handle: Buffer = Buffer.alloc(8);
const rects: GlassRect[] = [{ id: 'sidebar', x: 0, y: 0, width: 240, height: 600 },
                            { id: 'toolbar', x: 0, y: 600, width: 800, height: 52,
                              cornerRadius: 0, tintColor: '#20202080' }];
const glass: boolean = initializeBackdrop(handle) && updateGlassRects(handle, rects);
removeAllBackdrops(handle);
// @ts-expect-error the handle is the window's native handle buffer
initializeBackdrop(42);
// @ts-expect-error a glass rect has an id
updateGlassRects(handle, [{ x: 0, y: 0, width: 10, height: 10 }]);
// @ts-expect-error a corner radius is a number
updateGlassRects(handle, [{ id: 'a', x: 0, y: 0, width: 10, height: 10, cornerRadius: '4px' }]);

console.log(relay, cursor, unknownCursor, permissions, glass);
