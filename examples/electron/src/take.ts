// One take of input into the recorded window: input_relay started from the main process, its
// event records parsed as they arrive, stopped early with SIGTERM.
import { spawn, type ChildProcess } from 'node:child_process';
import { input_relay } from 'native-layer';
import type { WindowRecord } from 'native-layer/desktop_info';
import { followLines, type Finished } from './lines';

const CANCELLED = 'Selected capture input was cancelled.';

/** One injected event, as the relay reports it. */
export interface RelayEvent {
    kind: 'key' | 'down' | 'up' | 'move' | 'scroll';
    /** Milliseconds since 1970 when the event was injected. */
    at: number;
    x: number;
    y: number;
    key?: string;
    modifiers?: string[];
    dy?: number;
}

export type TakeEnd =
    | { outcome: 'done' }
    | { outcome: 'stopped' }
    | { outcome: 'failed'; reason: string };

export interface Take {
    /** Ends the take early; the relay releases what it holds and exits. */
    stop(): void;
    ended: Promise<TakeEnd>;
}

// A click in the middle of the window and a short typed text.
function script(target: WindowRecord): string[] {
    const middle = `${Math.round(target.x + target.width / 2)},${Math.round(target.y + target.height / 2)}`;
    return [`window:${target.windowId}`, 'd:12', 'k:60', middle, 'click',
            `type:${Buffer.from('Hello from the relay').toString('base64')}`, 'key:Enter'];
}

// The relay's exit, in the take's terms. Status 2 comes with one sentence saying why (the
// window moved, the user took over, or "Selected capture input was cancelled." after a stop).
function takeEnd({ status, signal, stderr }: Finished): TakeEnd {
    if (status === 0) {
        return { outcome: 'done' };
    }
    if (signal === 'SIGTERM' || (status === 2 && stderr === CANCELLED)) {
        return { outcome: 'stopped' };
    }
    return { outcome: 'failed', reason: stderr || `input_relay ended with ${signal ?? `status ${status}`}` };
}

export function startTake(target: WindowRecord, onEvent: (event: RelayEvent) => void): Take {
    let child: ChildProcess;
    try {
        child = spawn(input_relay, script(target), { stdio: ['ignore', 'pipe', 'pipe'] });
    } catch (error) {
        // The program is not built for this machine (reading its path throws).
        const reason = error instanceof Error ? error.message : String(error);
        return { stop: () => {}, ended: Promise.resolve({ outcome: 'failed', reason }) };
    }
    const ended = followLines(child, (line) => {
        try {
            onEvent(JSON.parse(line) as RelayEvent);
        } catch {
            // Not a record: nothing the take depends on.
        }
    }).then(takeEnd, (error: Error): TakeEnd => ({ outcome: 'failed', reason: `cannot start input_relay: ${error.message}` }));
    return { stop: () => { child.kill('SIGTERM'); }, ended };
}
