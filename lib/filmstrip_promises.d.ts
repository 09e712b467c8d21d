// The screen recorder plug-in with promises, as `native-layer/filmstrip/promises`: the same
// recorder as `native-layer/filmstrip`, each method resolving with what its callback would be
// given and rejecting with the same RecorderError. A misfit argument rejects with a TypeError.
import type { CaptureOptions, CaptureRect, RecorderError, StreamStoppedCallback }
    from './filmstrip';

export type { CaptureOptions, CaptureRect, RecorderError, StreamStoppedCallback };

export declare class NativeScreenRecorder {
    constructor();
    /** Resolves once capture has started; rejects with why it did not. */
    startRecordingDisplay(displayID: number, outputPath: string, rect: CaptureRect | null,
                          options: CaptureOptions): Promise<void>;
    /** Resolves once capture of the window has started; rejects with why it did not. */
    startRecordingWindow(windowID: number, outputPath: string, options: CaptureOptions): Promise<void>;
    /**
     * Resolves with the finished file's path, or null when there was no file to report;
     * rejects when the recording failed (or none was running: "Not recording").
     */
    stopRecording(): Promise<string | null>;
    /** Resolves always: a pause that does not apply is ignored. */
    pauseRecording(): Promise<void>;
    /** Resolves always: a resume that does not apply is ignored. */
    resumeRecording(): Promise<void>;
    /** Replaces the listener for unexpected ends; it stays in force for later recordings. */
    setStreamStoppedCallback(callback: StreamStoppedCallback): void;
}
