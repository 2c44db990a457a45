// Table formatting and the results folder.
#include "report.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <sys/stat.h>

#include "proc.h"

namespace {

constexpr double PERCENT = 100.0;
constexpr size_t MAX_CDF_POINTS = 2000;  // keeps the data files and the plot small

std::string fixed(double v, int decimals)
{
    if (v < 0) return "-";
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.*f", decimals, v);
    return buf;
}

std::string percentOfLimit(const Row& r)
{
    if (r.bytesPerSec < 0 || r.limitBytesPerSec <= 0) return "-";
    return fixed(PERCENT * r.bytesPerSec / r.limitBytesPerSec, 1) + " %";
}

struct Column {
    const char* title;
    size_t width;
};
const Column COLUMNS[] = {{"workload", 44}, {"tool", 22},       {"msg/frame", 9}, {"B/s", 9},
                          {"of limit", 8},  {"lost B", 6},      {"p50 ms", 7},    {"p99 ms", 7},
                          {"max ms", 7},    {"CPU us/frm", 10}, {"note", 0}};

std::vector<std::string> cells(const Row& r)
{
    const bool ok = r.status == "ok";
    const std::string note = ok ? r.note : r.status + (r.note.empty() ? "" : "; " + r.note);
    return {r.workload,
            r.tool,
            fixed(r.msgsPerFrame, 2),
            fixed(r.bytesPerSec, 0),
            percentOfLimit(r),
            r.lostBytes < 0 ? "-" : std::to_string(r.lostBytes),
            fixed(r.p50Ms, 2),
            fixed(r.p99Ms, 2),
            fixed(r.maxMs, 2),
            fixed(r.cpuUsPerFrame, 1),
            note};
}

std::string pad(const std::string& s, size_t width)
{
    return s.size() >= width ? s : s + std::string(width - s.size(), ' ');
}

std::string slug(size_t index) { return "lat" + std::to_string(index) + ".dat"; }

}  // namespace

double percentile(std::vector<double> samples, double p)
{
    if (samples.empty()) return NOT_MEASURED;
    std::sort(samples.begin(), samples.end());
    const double rank = std::ceil(p / PERCENT * static_cast<double>(samples.size()));
    const size_t index = rank < 1 ? 0 : static_cast<size_t>(rank) - 1;
    return samples[std::min(index, samples.size() - 1)];
}

std::string formatTable(const std::vector<Row>& rows)
{
    std::ostringstream out;
    for (const Column& c : COLUMNS) out << pad(c.title, c.width) << ' ';
    out << '\n';
    for (const Row& r : rows) {
        const std::vector<std::string> cs = cells(r);
        for (size_t i = 0; i < cs.size(); ++i) out << pad(cs[i], COLUMNS[i].width) << ' ';
        out << '\n';
    }
    return out.str();
}

std::string formatMarkdown(const std::vector<Row>& rows)
{
    std::ostringstream out;
    out << '|';
    for (const Column& c : COLUMNS) out << ' ' << c.title << " |";
    out << "\n|";
    for (size_t i = 0; i < sizeof COLUMNS / sizeof COLUMNS[0]; ++i) out << "---|";
    out << '\n';
    for (const Row& r : rows) {
        out << '|';
        for (const std::string& c : cells(r)) out << ' ' << c << " |";
        out << '\n';
    }
    return out.str();
}

std::string writeResults(const std::string& dir, const std::vector<Row>& rows,
                         const std::string& header)
{
    ::mkdir(dir.c_str(), 0755);
    std::ofstream(dir + "/table.txt") << header << formatTable(rows);
    std::ofstream(dir + "/table.md") << formatMarkdown(rows);

    // Latency: one cumulative distribution per tool of the rows marked for it.
    std::ostringstream latPlot;
    size_t series = 0;
    for (const Row& r : rows) {
        if (!r.plotLatency || r.latenciesMs.empty()) continue;
        std::vector<double> s = r.latenciesMs;
        std::sort(s.begin(), s.end());
        std::ofstream f(dir + "/" + slug(series));
        const size_t step = std::max<size_t>(1, s.size() / MAX_CDF_POINTS);
        for (size_t i = 0; i < s.size(); i += step) {
            f << s[i] << ' ' << static_cast<double>(i + 1) / static_cast<double>(s.size()) << '\n';
        }
        f << s.back() << " 1\n";
        latPlot << (series == 0 ? "plot " : ", ") << '"' << slug(series)
                << "\" using 1:2 with steps lw 2 title \"" << r.tool << '"';
        ++series;
    }

    // Throughput: every row with a limit, as a percentage of that limit.
    std::ofstream tp(dir + "/throughput.dat");
    size_t bars = 0;
    for (const Row& r : rows) {
        if (r.status != "ok" || r.bytesPerSec < 0 || r.limitBytesPerSec <= 0) continue;
        tp << bars++ << " \"" << r.tool << " / " << r.workload << "\" "
           << PERCENT * r.bytesPerSec / r.limitBytesPerSec << '\n';
    }
    tp.close();

    std::ofstream gp(dir + "/plot.gp");
    // Latency on top, throughput below with room on the left for its labels.
    const size_t barsHeight = 60 + 14 * bars;
    gp << "set terminal pngcairo size 900," << (360 + barsHeight) << " font ',9'\n"
       << "set output 'plot.png'\n"
       << "set multiplot\n"
       << "set origin 0," << static_cast<double>(barsHeight) / (360 + barsHeight) << "\n"
       << "set size 1," << 360.0 / (360 + barsHeight) << "\n"
       << "set title 'Latency, last byte written to delivery (headline case)'\n"
       << "set xlabel 'ms'\nset ylabel 'fraction of frames'\nset logscale x\n"
       << "set key bottom right\nset grid\n"
       << (series > 0 ? latPlot.str() : std::string("plot 0 notitle")) << '\n'
       << "set origin 0,0\nset size 1," << static_cast<double>(barsHeight) / (360 + barsHeight)
       << "\nset lmargin at screen 0.45\n"
       << "unset logscale x\nset title 'Throughput against the line or link limit'\n"
       << "set xlabel '% of the limit'\nunset ylabel\n"
       << "set xrange [0:110]\nset yrange [-1:" << bars << "]\nset ytics font ',7'\n"
       << "set key off\nset style fill solid 0.5\n"
       << (bars > 0 ? "plot 'throughput.dat' using ($3*0.5):1:($3*0.5):(0.35):ytic(2) "
                      "with boxxyerror"
                    : "plot 0 notitle")
       << "\nunset multiplot\n";
    gp.close();

    if (findProgram("gnuplot").empty()) {
        return "results in " + dir +
               " (no gnuplot: plot.png not drawn; scripts/bootstrap.sh bench)";
    }
    const std::string cmd = "cd '" + dir + "' && gnuplot plot.gp 2>gnuplot.log";
    const int rc = std::system(cmd.c_str());
    return "results in " + dir +
           (rc == 0 ? " (table.txt, table.md, plot.png)" : " (gnuplot failed: see gnuplot.log)");
}
