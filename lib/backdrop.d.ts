/// <reference types="node" />
// The backdrop plug-in: glass behind rectangles of an Electron window. Call it on the
// application's main thread only.

/**
 * The window's native handle, as Electron's `BrowserWindow.getNativeWindowHandle()` gives
 * it: its first 8 bytes hold the address of the window's root view.
 */
export type HandleBuffer = Buffer;

/** One rectangle that shows glass, in the content view's points, origin bottom-left. */
export interface GlassRect {
    /** Identity across calls; an empty id is ignored. */
    id: string;
    x: number;
    /** Bottom edge, measured upward from the bottom of the content area. */
    y: number;
    /** No glass unless above 0. */
    width: number;
    /** No glass unless above 0. */
    height: number;
    /** Corner radius in points; 12 when left out. */
    cornerRadius?: number;
    /** Tint as "#RRGGBB" or "#RRGGBBAA"; no tint when left out or "". */
    tintColor?: string;
}

/** Prepares the window for glass; false where the platform has no glass (Linux). */
export declare function initializeBackdrop(handleBuffer: HandleBuffer): boolean;
/** Makes the window's glass views exactly the rectangles listed, by id. */
export declare function updateGlassRects(handleBuffer: HandleBuffer,
                                         rectsArray: readonly GlassRect[]): boolean;
/** Removes every glass view of the window. */
export declare function removeAllBackdrops(handleBuffer: HandleBuffer): boolean;
