// The three programs of the layer, as absolute paths for `child_process.spawn`. Reading one
// throws an Error naming it when it is not built for this platform and architecture.

/** Drives a command script into one window and logs each injected event as a JSON line. */
export declare const input_relay: string;
/** Prints the camera motion of a video, one line per sampled frame pair. */
export declare const flow_probe: string;
/** Prints the mouth opening of every face of a video, one line per sampled frame. */
export declare const mouth_probe: string;
