// Both probes run on a finished recording. Each starts the decoder it is given (ffmpeg's
// command-line program) and prints one line per sampled frame (pair).
import { spawn } from 'node:child_process';
import { existsSync } from 'node:fs';
import { flow_probe, mouth_probe } from 'native-layer';
import { followLines } from './lines';

// The ffmpeg an app ships or the user installed; the probes need its path.
const DECODERS = [process.env.FFMPEG_PATH, '/opt/homebrew/bin/ffmpeg', '/usr/local/bin/ffmpeg',
                  '/usr/bin/ffmpeg'];
const FLOW_RATE = '4';          // frame pairs per second
const MOUTH_INTERVAL = '500';   // milliseconds between sampled frames

export interface ProbeResult {
    probe: 'flow_probe' | 'mouth_probe';
    /** flow_probe: "[13 numbers]" per frame pair; mouth_probe: a JSON line per sampled frame. */
    lines: string[];
    /** Why the run failed; absent when it ended with status 0. */
    failure?: string;
}

function decoder(): string {
    const found = DECODERS.find((candidate): candidate is string => !!candidate && existsSync(candidate));
    if (!found) {
        throw new Error('no ffmpeg found: install it or set FFMPEG_PATH');
    }
    return found;
}

async function runProbe(probe: ProbeResult['probe'], program: string, video: string,
                        rate: string): Promise<ProbeResult> {
    const lines: string[] = [];
    try {
        const child = spawn(program, [decoder(), video, rate], { stdio: ['ignore', 'pipe', 'pipe'] });
        const { status, signal, stderr } = await followLines(child, (line) => lines.push(line));
        // 64: a usage error; 70: the probe's engine is missing; otherwise the decoder's status.
        return status === 0 ? { probe, lines }
                            : { probe, lines, failure: stderr || `${probe} ended with ${signal ?? `status ${status}`}` };
    } catch (error) {
        return { probe, lines, failure: error instanceof Error ? error.message : String(error) };
    }
}

export function runProbes(video: string): Promise<ProbeResult[]> {
    return Promise.all([runProbe('flow_probe', flow_probe, video, FLOW_RATE),
                        runProbe('mouth_probe', mouth_probe, video, MOUTH_INTERVAL)]);
}
