// One row of the benchmark's table per tool and workload, and the writers of
// the results folder: the table as text and Markdown, the data files and the
// gnuplot script of the plot (latency distribution per tool, throughput
// against the line or link limit).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

constexpr double NOT_MEASURED = -1.0;

struct Row {
    std::string workload;                    // what was measured, with its rate and sizes
    std::string tool;                        // who relayed or served it
    std::string status;                      // "ok", or why there is no figure ("not yet: ...")
    double msgsPerFrame = NOT_MEASURED;      // messages delivered per frame written
    double bytesPerSec = NOT_MEASURED;       // payload delivered per second
    double limitBytesPerSec = NOT_MEASURED;  // the line's or link's limit for that payload
    int64_t lostBytes = -1;                  // written but never delivered (or corrupted)
    double p50Ms = NOT_MEASURED;             // latency, last byte written to delivery
    double p99Ms = NOT_MEASURED;
    double maxMs = NOT_MEASURED;
    double cpuUsPerFrame = NOT_MEASURED;  // relay's CPU time per frame
    std::string note;                     // anything else worth a figure
    std::vector<double> latenciesMs;      // every sample, for the plot
    bool plotLatency = false;             // part of the latency plot
};

// Nearest-rank percentile of unsorted samples (p in 0..100).
double percentile(std::vector<double> samples, double p);

// The table as fixed-width text (printed and saved as table.txt).
std::string formatTable(const std::vector<Row>& rows);
// The same as a Markdown table (table.md, pasted into the README).
std::string formatMarkdown(const std::vector<Row>& rows);

// Writes table.txt, table.md, the data files and plot.gp into dir, and
// renders plot.png with gnuplot when it is installed. Returns a line saying
// what was written.
std::string writeResults(const std::string& dir, const std::vector<Row>& rows,
                         const std::string& header);
