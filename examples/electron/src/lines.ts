// A child's standard output taken line by line as the lines arrive: the relay and the probes
// write each line as soon as it is complete.
import type { ChildProcess } from 'node:child_process';
import { createInterface } from 'node:readline';

export interface Finished {
    /** The exit status, or null when a signal ended the child. */
    status: number | null;
    signal: NodeJS.Signals | null;
    /** The child's standard error: one failure line at most. */
    stderr: string;
}

/** Calls `onLine` for each line of the child's output; resolves once the child has exited. */
export function followLines(child: ChildProcess, onLine: (line: string) => void): Promise<Finished> {
    let stderr = '';
    child.stderr?.setEncoding('utf8');
    child.stderr?.on('data', (chunk: string) => { stderr += chunk; });
    if (child.stdout) {
        createInterface({ input: child.stdout }).on('line', onLine);
    }
    return new Promise((resolve, reject) => {
        // A program that cannot be started (missing, not executable) never exits.
        child.once('error', reject);
        child.once('close', (status, signal) => resolve({ status, signal, stderr: stderr.trim() }));
    });
}
