#!/usr/bin/python3
"""The demo's picture and findings: a contact sheet of the recording with the probes' curves.

  demo_sheet.py OUT_DIR FFMPEG FLOW_RATE MOUTH_STEP_MS

Reads OUT_DIR/recording.mp4, OUT_DIR/clip.mp4 and the probes' lines beside them
(<video>.flow_probe.txt, <video>.mouth_probe.txt), writes OUT_DIR/demo.png and prints one
finding per probe and video.
"""
import json
import os
import subprocess
import sys
import tempfile

import matplotlib

matplotlib.use("Agg")
import matplotlib.image as mpimg  # noqa: E402
import matplotlib.pyplot as plt  # noqa: E402

THUMBNAILS = 8
PAN_X, PAN_Y, ZOOM = 3, 4, 5  # positions in a flow_probe line
OPENING = 4  # position in one face of a mouth_probe line


def lines(path):
    if not os.path.exists(path):
        return []
    with open(path) as stream:
        return [json.loads(line) for line in stream if line.strip()]


def duration(ffmpeg, video):
    probe = subprocess.run([os.path.join(os.path.dirname(ffmpeg), "ffprobe"), "-v", "error",
                            "-show_entries", "format=duration", "-of", "csv=p=0", video],
                           capture_output=True, text=True, check=True)
    return float(probe.stdout.strip())


def thumbnails(ffmpeg, video, times, folder):
    """The frames of the video at the given times, as (time, image) pairs."""
    frames = []
    for index, at in enumerate(times):
        target = os.path.join(folder, f"{os.path.basename(video)}.{index}.png")
        subprocess.run([ffmpeg, "-v", "error", "-nostdin", "-y", "-ss", f"{at:.3f}", "-i", video,
                        "-frames:v", "1", "-vf", "scale=480:-2", target], check=True)
        if os.path.exists(target):
            frames.append((at, mpimg.imread(target)))
    return frames


def flow_curves(axis, flows, rate):
    zoom_axis = axis.twinx()
    for name, rows, style in flows:
        times = [(index + 1) / rate for index in range(len(rows))]
        axis.plot(times, [100 * row[PAN_X] for row in rows], style, color="tab:blue",
                  label=f"pan x ({name})")
        axis.plot(times, [100 * row[PAN_Y] for row in rows], style, color="tab:orange",
                  label=f"pan y ({name})")
        zoom_axis.plot(times, [100 * row[ZOOM] for row in rows], style, color="tab:green",
                       label=f"zoom ({name})")
    axis.set_title(f"flow_probe: camera pan and zoom between frames {1 / rate:g} s apart")
    axis.set_xlabel("seconds")
    axis.set_ylabel("pan (% of the picture width)")
    zoom_axis.set_ylabel("zoom (% stretch)", color="tab:green")
    handles = axis.get_legend_handles_labels()
    zoom_handles = zoom_axis.get_legend_handles_labels()
    axis.legend(handles[0] + zoom_handles[0], handles[1] + zoom_handles[1], fontsize=8,
                loc="upper left")


def mouth_curves(axis, mouths, step_ms):
    drawn = False
    for name, rows, style in mouths:
        faces = max((len(row) for row in rows), default=0)
        for face in range(faces):  # faces in the order the probe lists them
            points = [(index * step_ms / 1000, row[face][OPENING])
                      for index, row in enumerate(rows) if len(row) > face]
            axis.plot(*zip(*points), style, marker="o", color=f"C{face}",
                      label=f"face {face + 1} ({name})")
            drawn = True
    axis.set_title("mouth_probe: mouth opening per face")
    axis.set_xlabel("seconds")
    axis.set_ylabel("opening (in the face's landmark frame)")
    if drawn:
        axis.legend(fontsize=8, loc="upper right")
    else:
        axis.text(0.5, 0.5, "no face found", ha="center", transform=axis.transAxes)


def finding_flow(name, rows):
    if not rows:
        return f"flow_probe  {name}: no frame pairs"
    mean = lambda index: 100 * sum(row[index] for row in rows) / len(rows)  # noqa: E731
    return (f"flow_probe  {name}: {len(rows)} frame pairs, mean pan x {mean(PAN_X):+.2f} % and "
            f"y {mean(PAN_Y):+.2f} % of the width, mean zoom {mean(ZOOM):+.2f} % per pair")


def finding_mouth(name, rows):
    with_faces = [row for row in rows if row]
    if not with_faces:
        return f"mouth_probe {name}: {len(rows)} frames, no face"
    openings = [face[OPENING] for row in with_faces for face in row]
    most = max(len(row) for row in rows)
    return (f"mouth_probe {name}: {len(rows)} frames, a face in {len(with_faces)} "
            f"(at most {most} at once), opening {min(openings):.3f} to {max(openings):.3f}")


def main():
    out, ffmpeg, rate, step_ms = sys.argv[1], sys.argv[2], float(sys.argv[3]), float(sys.argv[4])
    videos = [("recording", os.path.join(out, "recording.mp4"), "-"),
              ("clip", os.path.join(out, "clip.mp4"), "--")]
    flows = [(name, lines(video + ".flow_probe.txt"), style) for name, video, style in videos]
    mouths = [(name, lines(video + ".mouth_probe.txt"), style) for name, video, style in videos]
    for name, rows, _ in flows:
        print("   " + finding_flow(name, rows))
    for name, rows, _ in mouths:
        print("   " + finding_mouth(name, rows))

    recording, clip = videos[0][1], videos[1][1]
    seconds = duration(ffmpeg, recording)
    columns = THUMBNAILS // 2
    clip_rows = mouths[1][1]
    clip_samples = list(range(0, len(clip_rows), max(1, len(clip_rows) // columns)))[:columns]
    with tempfile.TemporaryDirectory() as folder:
        frames = thumbnails(ffmpeg, recording,
                            [seconds * (index + 0.5) / THUMBNAILS for index in range(THUMBNAILS)],
                            folder)
        clip_frames = thumbnails(ffmpeg, clip, [index * step_ms / 1000 for index in clip_samples],
                                 folder)
    figure = plt.figure(figsize=(16, 14), layout="constrained")
    figure.suptitle(f"The recording ({seconds:.1f} s), the camera-like clip with the faces "
                    "mouth_probe found, and both probes' curves", fontsize=14)
    grid = figure.add_gridspec(5, columns)
    for index, (at, image) in enumerate(frames):
        axis = figure.add_subplot(grid[index // columns, index % columns])
        axis.imshow(image)
        axis.set_title(f"recording {at:.1f} s", fontsize=9)
        axis.axis("off")
    for column, ((at, image), sample) in enumerate(zip(clip_frames, clip_samples)):
        axis = figure.add_subplot(grid[2, column])
        axis.imshow(image)
        height, width = image.shape[:2]
        for number, face in enumerate(clip_rows[sample]):
            centre_x, centre_y, face_width, face_height, opening = face
            axis.add_patch(plt.Rectangle(((centre_x - face_width / 2) * width,
                                          (centre_y - face_height / 2) * height),
                                         face_width * width, face_height * height, fill=False,
                                         color=f"C{number}", linewidth=2))
            axis.text((centre_x - face_width / 2) * width, (centre_y + face_height / 2) * height,
                      f"face {number + 1}: {opening:.3f}", color="white", fontsize=8,
                      backgroundcolor=f"C{number}", va="top")
        axis.set_title(f"clip {at:.1f} s", fontsize=9)
        axis.axis("off")
    flow_curves(figure.add_subplot(grid[3, :]), flows, rate)
    mouth_curves(figure.add_subplot(grid[4, :]), mouths, step_ms)
    figure.savefig(os.path.join(out, "demo.png"), dpi=80)


if __name__ == "__main__":
    main()
