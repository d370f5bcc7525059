#!/usr/bin/env python3
"""Writes a realistic chart file of about the requested size.

A header of tag lines, then charts in several difficulties and two play
styles: each a separator line, the notes tag, the five indented fields (play
style, author, difficulty, meter, radar values) and measures of note rows
separated by comma lines.

Two shapes: "sealed" (the default) puts Beginner, Easy, Medium, Hard and
Challenge first and has no Edit chart, so the survey reads every line and
nearly every byte lands in the sealed Challenge slot; "plain" finds Medium
sixth, after Edit, so the second play style joins the plain Medium slot and
nearly every byte stays in the chart.

Usage: gen_chart.py SIZE OUTPUT [--seed N] [--shape sealed|plain]      SIZE like 50M, 1048576 or 2G
"""
import argparse
import random
import sys

# No Edit charts, as in most songs: the survey then has to read the whole file.
SHAPES = {
    "sealed": ["Beginner", "Easy", "Medium", "Hard", "Challenge"],
    "plain": ["Beginner", "Easy", "Hard", "Challenge", "Edit", "Medium"],
}
STYLES = [("step-single", 4), ("step-double", 8)]


def parse_size(text):
    units = {"K": 1 << 10, "M": 1 << 20, "G": 1 << 30}
    if text[-1].upper() in units:
        return int(float(text[:-1]) * units[text[-1].upper()])
    return int(text)


def measure_pool(rng, width, count):
    """Measures of 4, 8 or 16 rows, built once and reused, so generating
    hundreds of megabytes stays fast."""
    pool = []
    for _ in range(count):
        rows = []
        for _ in range(rng.choice((4, 8, 16))):
            row = ["0"] * width
            for _ in range(rng.choice((0, 0, 1, 1, 1, 2))):
                row[rng.randrange(width)] = rng.choice("1124M")
            rows.append("".join(row))
        pool.append("\n".join(rows) + "\n")
    return pool


def write_chart(output, target, seed=1, shape="sealed"):
    """Writes a chart of about target bytes to the file output."""
    difficulties = SHAPES[shape]
    rng = random.Random(seed)
    pools = {width: measure_pool(rng, width, 256) for _, width in STYLES}

    header = (
        "#TITLE:Generated Song {seed};\n#SUBTITLE:;\n#ARTIST:chartseal bench;\n#CREDIT:gen_chart.py;\n"
        "#MUSIC:generated.ogg;\n#OFFSET:-0.020;\n#SAMPLESTART:30.000;\n#SAMPLELENGTH:12.000;\n"
        "#BPMS:0.000=140.000;\n#STOPS:;\n\n"
    ).format(seed=seed)
    written = 0
    with open(output, "w", newline="\n") as out:
        out.write(header)
        written += len(header)
        chart = 0
        while written < target:
            style, width = STYLES[(chart // len(difficulties)) % len(STYLES)]
            difficulty = difficulties[chart % len(difficulties)]
            meter = 1 + difficulties.index(difficulty) * 2
            parts = [
                "//---------------%s - %s----------------\n" % (style, difficulty),
                "#NOTES:\n",
                "     %s:\n" % style,
                "     chartseal bench:\n",
                "     %s:\n" % difficulty,
                "     %d:\n" % meter,
                "     %s:\n" % ",".join("%.3f" % rng.random() for _ in range(5)),
            ]
            measures = rng.randrange(32, 96)
            pool = pools[width]
            parts.append(",\n".join(pool[rng.randrange(len(pool))] for _ in range(measures)))
            parts.append(";\n")
            block = "".join(parts)
            out.write(block)
            written += len(block)
            chart += 1


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("size")
    parser.add_argument("output")
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--shape", choices=sorted(SHAPES), default="sealed")
    args = parser.parse_args()
    write_chart(args.output, parse_size(args.size), args.seed, args.shape)
    return 0


if __name__ == "__main__":
    sys.exit(main())
