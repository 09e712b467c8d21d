// The renderer's only door to the main process: named requests and the events it sends.
import { contextBridge, ipcRenderer, type IpcRendererEvent } from 'electron';

const EVENTS = ['relay-event', 'take-ended', 'stream-stopped'] as const;

contextBridge.exposeInMainWorld('layer', {
    ask: (channel: string, ...args: unknown[]): Promise<unknown> => ipcRenderer.invoke(channel, ...args),
    on: (channel: (typeof EVENTS)[number], listener: (payload: unknown) => void): void => {
        if (EVENTS.includes(channel)) {
            ipcRenderer.on(channel, (_event: IpcRendererEvent, payload: unknown) => listener(payload));
        }
    },
});
