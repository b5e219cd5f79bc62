"""The benchmark's chart, performance.svg, drawn by gnuplot: the speed of
the filters, and percent of each measurement's limit. Report (report.py)
draws it from its Results (results.py).
"""
import os
import subprocess

from results import SIZE_NAMES


class Chart:
    def chart(self, out_dir):
        """Two panels for the largest size: rates on a log scale, and percent of limit."""
        size = self.sizes[-1]
        # Each series keeps its colour whichever others have no data yet.
        colours = ["#9467bd", "#2ca02c", "#17becf", "#ff7f0e", "#7f7f7f"]
        series_rate = list(
            zip(
                ["core", "plug-in 64-bit", "plug-in 32-bit (emulated)", "tool", "fastest peer"],
                colours,
            )
        )
        series_pct = list(
            zip(
                [
                    "core / memcpy",
                    "plug-in 64-bit / stand-in copy",
                    "plug-in 32-bit / stand-in copy",
                    "tool / cat",
                ],
                colours,
            )
        )
        lines = []
        for filt, corpus in self.pairs:
            key = (filt, corpus, size)
            tool_rate, tool_pct, _, peer_rate = self.tool_rates(key)
            core_rate, core_pct = self.core_rates(key)
            p64, p64_pct = self.plugin_rates("64", key)
            p32, p32_pct = self.plugin_rates("32", key)
            values = [
                core_rate,
                p64,
                p32,
                tool_rate,
                peer_rate,
                core_pct,
                p64_pct,
                p32_pct,
                tool_pct,
            ]
            label = f"{filt} {corpus}"
            lines.append(
                "\t".join([f'"{label}"'] + ["-" if v is None else f"{v:.3f}" for v in values])
            )
        data = os.path.join(self.results, "performance.dat")
        with open(data, "w") as f:
            f.write("\n".join(lines) + "\n")
        columns = list(zip(*[l.split("\t") for l in lines]))

        def plots(series, first):
            used = [
                (i, n, c)
                for i, (n, c) in enumerate(series, first)
                if any(v != "-" for v in columns[i - 1])
            ]
            return ", ".join(
                f"'{data}' using {i}{':xtic(1)' if k == 0 else ''} title '{n}' lc rgb '{c}'"
                for k, (i, n, c) in enumerate(used)
            )

        svg = os.path.join(out_dir, "performance.svg")
        width = max(900, 60 * len(lines) + 200)
        script = f"""
set terminal svg size {width},900 dynamic noenhanced font "sans,11" background rgb "white"
set output '{svg}'
set datafile separator "\\t"
set datafile missing "-"
set style data histogram
set style histogram clustered gap 1
set style fill solid 0.85 border -1
set boxwidth 0.9
set grid ytics
set key outside top center horizontal
set xtics rotate by 35 right scale 0 font ",9" nomirror
set multiplot layout 2,1 title "tobble: {SIZE_NAMES[size]} corpora, fastest runs"
set rmargin 10
set logscale y
set yrange [*:*]
set ylabel "MB/s of UTF-16 input"
plot {plots(series_rate, 2)}
unset logscale y
set yrange [0:200]
set ylabel "% of its limit (cut at 200%)"
set arrow from graph 0, first 100 to graph 1, first 100 nohead dashtype 2 lc rgb "black"
plot {plots(series_pct, 7)}
unset multiplot
"""
        subprocess.run(["gnuplot"], input=script, text=True, check=True)
