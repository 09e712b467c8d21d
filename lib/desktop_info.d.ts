// The desktop_info plug-in: synchronous questions about the desktop. Platform failures
// come back as neutral values ("default", false, an empty list), never as exceptions.

/** CSS cursor keywords, and "disappearing-item"; anything unrecognised is "default". */
export type CursorType =
    | 'default' | 'text' | 'pointer' | 'grabbing' | 'grab' | 'crosshair'
    | 'w-resize' | 'e-resize' | 'n-resize' | 's-resize' | 'ew-resize' | 'ns-resize'
    | 'nesw-resize' | 'nwse-resize' | 'context-menu' | 'disappearing-item' | 'copy' | 'alias'
    | 'not-allowed' | 'vertical-text';

/** One ordinary on-screen window; bounds in global display points. */
export interface WindowRecord {
    /** The window number, as `startRecordingWindow` and the relay's window token take it. */
    windowId: number;
    /** The title; "" when the window has none. */
    name: string;
    /** The owning application's name; "" when unknown. */
    ownerName: string;
    x: number;
    y: number;
    width: number;
    height: number;
}

/**
 * The on-screen windows, front-most first. On a Linux Wayland desktop: the XWayland (X11)
 * windows only; native Wayland windows are not listed.
 */
export declare function getWindowList(): WindowRecord[];
export declare function getCurrentCursorType(): CursorType;
export declare function hasAccessibilityPermissions(): boolean;
/** Asks for the permission (the system may show its prompt) and returns at once. */
export declare function requestAccessibilityPermissions(): boolean;
export declare function hasInputMonitoringPermissions(): boolean;
/** Asks for the permission (the system may show its prompt) and returns at once. */
export declare function requestInputMonitoringPermissions(): boolean;
