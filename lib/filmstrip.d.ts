// The screen recorder plug-in. Every method checks its arguments before anything happens
// (a misfit throws a TypeError) and answers through an error-first callback on the
// JavaScript thread.

/** The four recording options; all are required and have no defaults. */
export interface CaptureOptions {
    /** Frames per second, taken as a 32-bit integer that must be above 0 (59.94 records at 59). */
    framerate: number;
    lowMemoryEncoder: boolean;
    /** HEVC instead of H.264. */
    hevcEncoder: boolean;
    /** Record the system audio as AAC. */
    systemAudio: boolean;
}

/** A rectangle of a display in global display points. */
export interface CaptureRect {
    x: number;
    y: number;
    width: number;
    height: number;
}

/**
 * A recording failure: the description as its message, with the failure's number and the
 * domain that number belongs to ("ScreenRecorder" for the recorder's own, or the system's,
 * such as "POSIX").
 */
export interface RecorderError extends Error {
    code: number;
    domain: string;
}

/** null once capture has started; otherwise why it did not. */
export type StartCallback = (error: RecorderError | null) => void;
/**
 * (error, null) when the recording failed, (null, outputPath) when the file is finished,
 * (null, null) when there was no file to report.
 */
export type StopCallback = (error: RecorderError | null, outputPath: string | null) => void;
/** Always null: a pause or resume that does not apply is ignored. */
export type AcknowledgeCallback = (error: null) => void;
/** Called once per unexpected end of a recording. */
export type StreamStoppedCallback = (message: string, outputPath: string, wroteVideo: boolean) => void;

export declare class NativeScreenRecorder {
    constructor();
    /** Records a display, or the rectangle `rect` of it (null: the whole display), to an MP4 file. */
    startRecordingDisplay(displayID: number, outputPath: string, rect: CaptureRect | null,
                          options: CaptureOptions, callback: StartCallback): void;
    /**
     * Records one window, by its number as `getWindowList` reports it, to an MP4 file. On a
     * Linux Wayland desktop only XWayland windows can be recorded; any other number fails
     * with a message naming Wayland.
     */
    startRecordingWindow(windowID: number, outputPath: string, options: CaptureOptions,
                         callback: StartCallback): void;
    stopRecording(callback: StopCallback): void;
    pauseRecording(callback: AcknowledgeCallback): void;
    resumeRecording(callback: AcknowledgeCallback): void;
    /** Replaces the listener for unexpected ends; it stays in force for later recordings. */
    setStreamStoppedCallback(callback: StreamStoppedCallback): void;
}
